using System;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Microsoft.Extensions.Logging;

namespace Varno
{
    /// <summary>What a link is doing, as the library reports it.</summary>
    public enum LinkState
    {
        /// <summary>Disposed.</summary>
        Closed = 0,
        /// <summary>Free for the next transaction.</summary>
        Idle = 1,
        /// <summary>The command is out; the reply is awaited.</summary>
        AwaitingReply = 2,
        /// <summary>The command is being written.</summary>
        Sending = 3,
    }

    /// <summary>
    /// An open port: <c>Link.Open("COM3", 38400)</c>, <c>Link.Open("ttyUSB0", 9600)</c>,
    /// <c>Link.Open("rfc2217://gw7:4001", 38400)</c> or any other name the library takes.
    /// </summary>
    /// <remarks>
    /// One transaction at a time: <see cref="Transact"/> waits for it on the calling thread,
    /// <see cref="TransactAsync"/> awaits it without holding a thread, <see cref="Send(byte, byte, Action{Result})"/>
    /// hands its result to a handler on the library's worker. A second transaction while one is
    /// in progress throws <see cref="LinkBusyException"/>, except after a cancelled
    /// <see cref="TransactAsync"/>: its exchange still runs to its end on the wire, and the next
    /// transaction waits for it. Any thread may use a link. <see cref="Dispose"/> ends every wait
    /// at once with <see cref="LinkClosedException"/> and gives the port back with its previous
    /// settings; a link that is never disposed is closed by its finalizer.
    /// </remarks>
    public sealed class Link : IDisposable
    {
        /// <summary>The source address commands carry unless told otherwise.</summary>
        public const byte DefaultSource = 31;

        /// <summary>The write and reply time-outs when none is given: 100 ms.</summary>
        public static readonly TimeSpan DefaultTimeout = TimeSpan.FromMilliseconds(100);

        // Kept in static fields for the life of the process: the library may call them at any
        // time a send is pending, on its own threads.
        private static readonly Native.ReplyHandler s_onReply = ReplyHandler();
        private static readonly IntPtr s_onReplyPointer = Marshal.GetFunctionPointerForDelegate(s_onReply);

        private readonly LinkHandle _handle;
        private readonly IntPtr _raw;
        private readonly ILogger? _logger;

        // The handle is freed by varnoLinkClose, which also ends a transaction waiting inside the
        // library; a thread must therefore never be on its way into the library with it while it
        // is closed. Sends call in with the gate held; a blocking transaction marks itself
        // `_calling`, and Dispose waits until such a caller is either out again or seen inside.
        private readonly object _gate = new object();
        private bool _closed;
        private volatile bool _calling;
        private PendingSend? _pending; // a send whose handler is still to come

        private Link(LinkHandle handle, string port, int baudRate, ILogger? logger)
        {
            _handle = handle;
            _raw = handle.DangerousGetHandle();
            _logger = logger;
            Port = port;
            BaudRate = baudRate;
        }

        /// <summary>The name the link was opened with.</summary>
        public string Port { get; }

        /// <summary>The baud rate asked for.</summary>
        public int BaudRate { get; }

        /// <summary>
        /// Opens <paramref name="port"/> at <paramref name="baudRate"/> (any rate the driver takes):
        /// 8 data bits, no parity, one stop bit, no flow control, held exclusively until disposed.
        /// </summary>
        /// <param name="port">Windows "COM3"; Linux "ttyUSB0" or a path; on either,
        /// "tcp://HOST:PORT" or "rfc2217://HOST:PORT" with options, for a line behind a device
        /// server. The name goes to the library as it is.</param>
        /// <param name="baudRate">The line's rate, above 0 (not used by tcp:// names).</param>
        /// <param name="logger">Where an exception thrown by a <see cref="Send(byte, byte, Action{Result})"/>
        /// handler of this link is logged; <see cref="Diagnostics.Logger"/> when null.</param>
        /// <exception cref="PortNotFoundException">No such port (a network host not found or not reached).</exception>
        /// <exception cref="PortAccessDeniedException">The system denied access.</exception>
        /// <exception cref="PortBusyException">Another link or program holds the port.</exception>
        /// <exception cref="OpenException">Any other reason (<see cref="VarnoException.Code"/> tells which).</exception>
        /// <exception cref="ArgumentException">An empty name, a NUL in it, or a rate of 0 or less.</exception>
        public static unsafe Link Open(string port, int baudRate, ILogger? logger = null)
        {
            if (port is null)
            {
                throw new ArgumentNullException(nameof(port));
            }
            if (port.Length == 0 || port.IndexOf('\0') >= 0)
            {
                throw new ArgumentException($"not a port name: \"{port}\"", nameof(port));
            }
            if (baudRate <= 0)
            {
                throw new ArgumentOutOfRangeException(nameof(baudRate), baudRate, "the baud rate must be above 0");
            }
            Native.EnsureLoaded();
            var handle = new LinkHandle();
            IntPtr name = Native.PortName(port);
            int code;
            try
            {
                IntPtr raw = IntPtr.Zero;
                code = Native.varnoLinkOpen((byte*)name, (uint)baudRate, &raw);
                if (code == 0 && raw != IntPtr.Zero)
                {
                    handle.Adopt(raw);
                }
            }
            finally
            {
                Marshal.FreeHGlobal(name);
            }
            if (handle.IsInvalid)
            {
                handle.SetHandleAsInvalid();
                throw OpenException.For(code == 0 ? -17 : code, port);
            }
            return new Link(handle, port, baudRate, logger);
        }

        /// <summary>What the link is doing now.</summary>
        public LinkState State
        {
            get
            {
                lock (_gate)
                {
                    return _closed ? LinkState.Closed : (LinkState)Native.varnoLinkState(_raw);
                }
            }
        }

        /// <summary>True once the link is disposed.</summary>
        public bool IsClosed
        {
            get
            {
                lock (_gate)
                {
                    return _closed;
                }
            }
        }

        /// <summary>
        /// Sends one command and waits for the device's reply on the calling thread.
        /// </summary>
        /// <param name="dest">The device's address, 0..127.</param>
        /// <param name="code">The command code, 0..127.</param>
        /// <param name="param">The parameter byte.</param>
        /// <param name="data">The data word (four zero bytes when left out).</param>
        /// <param name="source">The sender's address, 0..127.</param>
        /// <param name="writeTimeout">How long the write may take; null: 100 ms;
        /// <see cref="Timeout.InfiniteTimeSpan"/>: no limit.</param>
        /// <param name="replyTimeout">How long the first reply byte may take after the write;
        /// null: 100 ms; <see cref="Timeout.InfiniteTimeSpan"/>: no limit.</param>
        /// <returns>The reply.</returns>
        /// <exception cref="WriteTimeoutException">Outcome 1 (a <see cref="TimeoutException"/>).</exception>
        /// <exception cref="WriteFailedException">Outcome 2, or the write could not start.</exception>
        /// <exception cref="NoReplyException">Outcome 3 (a <see cref="TimeoutException"/>).</exception>
        /// <exception cref="ReadFailedException">Outcome 4.</exception>
        /// <exception cref="InvalidReplyException">Outcome 5.</exception>
        /// <exception cref="LinkBusyException">Another transaction is in progress on the link.</exception>
        /// <exception cref="LinkClosedException">The link is disposed, or was while this waited.</exception>
        public unsafe Reply Transact(byte dest, byte code, byte param = 0, Data data = default,
                                     byte source = DefaultSource, TimeSpan? writeTimeout = null,
                                     TimeSpan? replyTimeout = null)
        {
            NativeFrame command = Command(dest, code, param, data, source);
            uint writeMs = Milliseconds(writeTimeout, nameof(writeTimeout));
            uint replyMs = Milliseconds(replyTimeout, nameof(replyTimeout));
            lock (_gate)
            {
                WaitForAbandonedSend();
                ThrowUnlessFree();
                _calling = true;
            }
            NativeFrame reply;
            int outcome;
            try
            {
                outcome = Native.varnoLinkTransact(_raw, &command, writeMs, replyMs, &reply);
            }
            finally
            {
                // (A Dispose waiting for this caller looks again by itself: no need to wake it.)
                _calling = false;
            }
            if (outcome == Native.Reply)
            {
                return reply.ToReply();
            }
            // A negative code started nothing, and the library left the reply alone.
            throw Errors.For(outcome, outcome > 0 ? reply : command.Swapped());
        }

        /// <summary>
        /// <see cref="Transact"/> without holding a thread while the exchange runs: it runs on
        /// the library's worker, and the task completes from there (its continuations run on the
        /// thread pool, never on the worker). Several links may have transactions in flight at
        /// once.
        /// </summary>
        /// <param name="dest">The device's address, 0..127.</param>
        /// <param name="code">The command code, 0..127.</param>
        /// <param name="param">The parameter byte.</param>
        /// <param name="data">The data word (four zero bytes when left out).</param>
        /// <param name="source">The sender's address, 0..127.</param>
        /// <param name="writeTimeout">As for <see cref="Transact"/>.</param>
        /// <param name="replyTimeout">As for <see cref="Transact"/>.</param>
        /// <param name="cancellationToken">Ends the wait at once with an
        /// <see cref="OperationCanceledException"/>. The exchange itself, once on the wire, runs
        /// to its end (bounded by its time-outs); the link's next transaction waits for it.</param>
        /// <returns>The reply; the task faults with the exceptions <see cref="Transact"/> throws.</returns>
        public async Task<Reply> TransactAsync(byte dest, byte code, byte param = 0, Data data = default,
                                               byte source = DefaultSource, TimeSpan? writeTimeout = null,
                                               TimeSpan? replyTimeout = null,
                                               CancellationToken cancellationToken = default)
        {
            NativeFrame command = Command(dest, code, param, data, source);
            uint writeMs = Milliseconds(writeTimeout, nameof(writeTimeout));
            uint replyMs = Milliseconds(replyTimeout, nameof(replyTimeout));
            cancellationToken.ThrowIfCancellationRequested();
            var pending = new AwaitedSend(this);
            // Watched from the start: a cancellation while this waits for an abandoned send ends
            // that wait too, and one that comes before the send starts keeps it from starting.
            pending.Watch(cancellationToken);
            try
            {
                while (true)
                {
                    Task abandoned;
                    lock (_gate)
                    {
                        if (pending.Completion.Task.IsCanceled)
                        {
                            break;
                        }
                        if (_closed || _pending is not { Abandoned: true })
                        {
                            Start(pending, command, writeMs, replyMs);
                            break;
                        }
                        abandoned = _pending.WhenDone();
                    }
                    await Task.WhenAny(abandoned, pending.Completion.Task).ConfigureAwait(false);
                }
            }
            catch
            {
                pending.Unwatch();
                throw;
            }
            return await pending.Completion.Task.ConfigureAwait(false);
        }

        /// <summary>Starts one transaction and returns at once; <paramref name="handler"/> gets its
        /// <see cref="Result"/>. Sends to <paramref name="dest"/>, code <paramref name="code"/>,
        /// param 0, zero data, from <see cref="DefaultSource"/>, with 100 ms time-outs.</summary>
        /// <inheritdoc cref="Send(byte, byte, byte, Data, byte, TimeSpan?, TimeSpan?, Action{Result})" path="/exception"/>
        public void Send(byte dest, byte code, Action<Result> handler)
        {
            Send(dest, code, 0, default, DefaultSource, null, null, handler);
        }

        /// <summary>
        /// Starts one transaction and returns at once; <paramref name="handler"/> then gets its
        /// <see cref="Result"/>: the reply, or the exception <see cref="Transact"/> would throw
        /// (<see cref="LinkClosedException"/> when the link is disposed first).
        /// </summary>
        /// <remarks>
        /// The handler runs on the library's worker thread, exactly once. An exception it throws
        /// is logged (the link's logger, else <see cref="Diagnostics.Logger"/>) and goes no
        /// further: the link goes on. The link is free again when the handler runs: the handler,
        /// or a thread it wakes, may start the next transaction.
        /// </remarks>
        /// <param name="dest">The device's address, 0..127.</param>
        /// <param name="code">The command code, 0..127.</param>
        /// <param name="param">The parameter byte.</param>
        /// <param name="data">The data word.</param>
        /// <param name="source">The sender's address, 0..127.</param>
        /// <param name="writeTimeout">As for <see cref="Transact"/>.</param>
        /// <param name="replyTimeout">As for <see cref="Transact"/>.</param>
        /// <param name="handler">Gets the result.</param>
        /// <exception cref="LinkBusyException">Another transaction is in progress; nothing was sent.</exception>
        /// <exception cref="LinkClosedException">The link is disposed; nothing was sent.</exception>
        /// <exception cref="WriteFailedException">The write could not start; nothing was sent.</exception>
        public void Send(byte dest, byte code, byte param, Data data, byte source, TimeSpan? writeTimeout,
                         TimeSpan? replyTimeout, Action<Result> handler)
        {
            if (handler is null)
            {
                throw new ArgumentNullException(nameof(handler));
            }
            NativeFrame command = Command(dest, code, param, data, source);
            uint writeMs = Milliseconds(writeTimeout, nameof(writeTimeout));
            uint replyMs = Milliseconds(replyTimeout, nameof(replyTimeout));
            lock (_gate)
            {
                WaitForAbandonedSend();
                Start(new HandledSend(this, handler), command, writeMs, replyMs);
            }
        }

        /// <summary>Closes the link: a transaction in progress ends at once
        /// (<see cref="LinkClosedException"/> for whoever waits on it), the port gets its previous
        /// settings back and is released. Disposing twice does nothing.</summary>
        public void Dispose()
        {
            lock (_gate)
            {
                if (_closed)
                {
                    return;
                }
                _closed = true;
                Monitor.PulseAll(_gate); // threads waiting for an abandoned send: closed now
            }
            var spin = new SpinWait();
            while (_calling && Native.varnoLinkState(_raw) == Native.StateIdle)
            {
                spin.SpinOnce(); // the caller is on its way in: it is seen inside, or out, soon
            }
            // Without the gate: the close calls a pending send's handler, which takes it.
            _handle.Dispose();
        }

        /// <inheritdoc/>
        public override string ToString() => $"Link {Port} {BaudRate} baud{(IsClosed ? " closed" : "")}";

        // --- The parts -------------------------------------------------------------------------

        private static NativeFrame Command(byte dest, byte code, byte param, Data data, byte source)
        {
            if (dest > 127)
            {
                throw new ArgumentOutOfRangeException(nameof(dest), dest, "an address is 0..127");
            }
            if (code > 127)
            {
                throw new ArgumentOutOfRangeException(nameof(code), code, "a code is 0..127");
            }
            if (source > 127)
            {
                throw new ArgumentOutOfRangeException(nameof(source), source, "an address is 0..127");
            }
            return NativeFrame.Command(dest, source, code, param, data);
        }

        private static uint Milliseconds(TimeSpan? timeout, string name)
        {
            if (timeout is null)
            {
                return 100;
            }
            TimeSpan value = timeout.Value;
            if (value == Timeout.InfiniteTimeSpan)
            {
                return Native.NoLimit;
            }
            double ms = Math.Round(value.TotalMilliseconds);
            if (ms < 0 || ms >= Native.NoLimit)
            {
                throw new ArgumentOutOfRangeException(name, value,
                    "a time-out is 0 to 49 days, or Timeout.InfiniteTimeSpan for no limit");
            }
            return (uint)ms;
        }

        /// <summary>With the gate held: throws unless the link is free for a transaction.</summary>
        private void ThrowUnlessFree()
        {
            if (_closed)
            {
                throw new LinkClosedException();
            }
            if (_calling || _pending is not null)
            {
                throw new LinkBusyException();
            }
        }

        /// <summary>With the gate held: waits while a cancelled TransactAsync's exchange is still
        /// on the wire.</summary>
        private void WaitForAbandonedSend()
        {
            while (!_closed && _pending is { Abandoned: true })
            {
                Monitor.Wait(_gate);
            }
        }

        /// <summary>With the gate held: hands the command to the library (a short call, and a
        /// close must not free the handle under it).</summary>
        private unsafe void Start(PendingSend pending, NativeFrame command, uint writeMs, uint replyMs)
        {
            ThrowUnlessFree();
            GCHandle context = GCHandle.Alloc(pending);
            _pending = pending;
            int code;
            try
            {
                code = Native.varnoLinkSend(_raw, &command, writeMs, replyMs, s_onReplyPointer,
                                            GCHandle.ToIntPtr(context));
            }
            catch
            {
                _pending = null; // the library could not be called: nothing will call back
                context.Free();
                throw;
            }
            if (code != 0)
            {
                _pending = null;
                context.Free();
                throw Errors.For(code, command.Swapped());
            }
        }

        /// <summary>The library is idle again for this send: the next transaction may start.</summary>
        private void Finished(PendingSend pending)
        {
            lock (_gate)
            {
                if (ReferenceEquals(_pending, pending))
                {
                    _pending = null;
                }
                if (pending.Abandoned)
                {
                    Monitor.PulseAll(_gate);
                }
            }
        }

        private void LogHandlerFailure(Exception e)
        {
            ILogger? logger = _logger ?? Diagnostics.Logger;
            logger?.LogError(e, "The handler of a send on {Port} threw; the link goes on", Port);
        }

        private static unsafe Native.ReplyHandler ReplyHandler() => OnReply;

        // The library's worker (or the thread that disposes the link), exactly once for every
        // send it accepted. Nothing may leave this method: an exception would end the process.
        private static unsafe void OnReply(IntPtr context, NativeFrame* frame, int outcome)
        {
            try
            {
                GCHandle handle = GCHandle.FromIntPtr(context);
                var pending = (PendingSend)handle.Target!;
                handle.Free();
                Result result = outcome == Native.Reply
                    ? new Result(frame->ToReply(), null)
                    : new Result(null, Errors.For(outcome, *frame));
                pending.Link.Finished(pending);
                pending.Complete(result);
            }
            catch (Exception e)
            {
                try
                {
                    Diagnostics.Logger?.LogError(e, "The reply handler failed");
                }
                catch
                {
                    // Nowhere left to report it.
                }
            }
        }

        private abstract class PendingSend
        {
            private TaskCompletionSource<bool>? _done;

            protected PendingSend(Link link)
            {
                Link = link;
            }

            public Link Link { get; }

            /// <summary>Its awaiter gave up on it (under the link's gate).</summary>
            public bool Abandoned { get; set; }

            /// <summary>Under the link's gate: completes once the library has let go of the send.</summary>
            public Task WhenDone()
            {
                _done ??= new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
                return _done.Task;
            }

            public void Complete(Result result)
            {
                TaskCompletionSource<bool>? done;
                lock (Link._gate)
                {
                    done = _done;
                }
                done?.TrySetResult(true);
                Deliver(result);
            }

            protected abstract void Deliver(Result result);
        }

        private sealed class HandledSend : PendingSend
        {
            private readonly Action<Result> _handler;

            public HandledSend(Link link, Action<Result> handler) : base(link)
            {
                _handler = handler;
            }

            protected override void Deliver(Result result)
            {
                try
                {
                    _handler(result);
                }
                catch (Exception e)
                {
                    Link.LogHandlerFailure(e);
                }
            }
        }

        private sealed class AwaitedSend : PendingSend
        {
            private CancellationTokenRegistration _registration;

            public AwaitedSend(Link link) : base(link)
            {
            }

            public TaskCompletionSource<Reply> Completion { get; } =
                new TaskCompletionSource<Reply>(TaskCreationOptions.RunContinuationsAsynchronously);

            public void Watch(CancellationToken token)
            {
                if (!token.CanBeCanceled)
                {
                    return;
                }
                _registration = token.Register(state =>
                {
                    var self = (AwaitedSend)state!;
                    lock (self.Link._gate)
                    {
                        // Still with the library: the link's next transaction waits for it.
                        self.Abandoned = ReferenceEquals(self.Link._pending, self);
                    }
                    self.Completion.TrySetCanceled(token);
                }, this);
            }

            public void Unwatch() => _registration.Dispose();

            protected override void Deliver(Result result)
            {
                _registration.Dispose();
                if (result.Reply is not null)
                {
                    Completion.TrySetResult(result.Reply);
                }
                else
                {
                    Completion.TrySetException(result.Exception!);
                }
            }
        }
    }

    /// <summary>The library's handle of an open link; closing it closes the link.</summary>
    internal sealed class LinkHandle : SafeHandle
    {
        public LinkHandle() : base(IntPtr.Zero, ownsHandle: true)
        {
        }

        public override bool IsInvalid => handle == IntPtr.Zero;

        public void Adopt(IntPtr raw) => SetHandle(raw);

        protected override bool ReleaseHandle()
        {
            Native.varnoLinkClose(handle);
            return true;
        }
    }
}
