using System;

namespace Varno
{
    /// <summary>What every exception of the package about a link or a frame has: the library's
    /// code and its sentence for it.</summary>
    public interface IVarnoException
    {
        /// <summary>The library's number: negative for an error, 1..5 for a transaction's
        /// outcome.</summary>
        int Code { get; }

        /// <summary>The library's sentence for <see cref="Code"/> (varnoErrorText).</summary>
        string Text { get; }
    }

    /// <summary>
    /// A transaction that ended without a valid reply: <see cref="WriteTimeoutException"/> (1),
    /// <see cref="WriteFailedException"/> (2, or -16: the write could not start),
    /// <see cref="NoReplyException"/> (3), <see cref="ReadFailedException"/> (4),
    /// <see cref="InvalidReplyException"/> (5). The two time-outs are
    /// <see cref="TimeoutException"/>s, the others <see cref="VarnoException"/>s: catch this
    /// interface with <c>catch (Exception e) when (e is ITransactionException)</c>.
    /// </summary>
    public interface ITransactionException : IVarnoException
    {
        /// <summary>The command seen from the device's side, as the library reports it: its
        /// addresses swapped, status and error 0, its data word.</summary>
        Reply Command { get; }
    }

    /// <summary>The root of the package's exceptions but the two time-outs
    /// (<see cref="WriteTimeoutException"/> and <see cref="NoReplyException"/>, which are
    /// <see cref="TimeoutException"/>s).</summary>
    public class VarnoException : Exception, IVarnoException
    {
        /// <summary>An exception for the library's <paramref name="code"/>, with its text as the
        /// message unless one is given.</summary>
        public VarnoException(int code, string? message = null)
            : this(code, Native.ErrorText(code), message)
        {
        }

        private protected VarnoException(int code, string text, string? message)
            : base(message ?? text)
        {
            Code = code;
            Text = text;
        }

        /// <inheritdoc/>
        public int Code { get; }

        /// <inheritdoc/>
        public string Text { get; }

        internal static string Described(string text, Reply command) => $"{text} (device {command.Source})";
    }

    /// <summary>The port did not open: codes -1 (a malformed name), -5 (not a serial port), -6..-12
    /// (the driver refused a setting), -13 (out of resources), -17; the subclasses for -2, -3,
    /// -4.</summary>
    public class OpenException : VarnoException
    {
        /// <summary>The port <paramref name="port"/> did not open, for the library's <paramref name="code"/>.</summary>
        public OpenException(int code, string port)
            : this(code, Native.ErrorText(code), port)
        {
        }

        private protected OpenException(int code, string text, string port)
            : base(code, text, $"{port}: {text}")
        {
            Port = port;
        }

        /// <summary>The name given to <see cref="Link.Open"/>.</summary>
        public string Port { get; }

        internal static OpenException For(int code, string port)
        {
            string text = Native.ErrorText(code);
            switch (code)
            {
                case Native.ENotFound:
                    return new PortNotFoundException(code, text, port);
                case Native.EPermission:
                    return new PortAccessDeniedException(code, text, port);
                case Native.EInUse:
                    return new PortBusyException(code, text, port);
                default:
                    return new OpenException(code, text, port);
            }
        }
    }

    /// <summary>There is no such port (-2); for a network name, the host cannot be found or
    /// reached.</summary>
    public sealed class PortNotFoundException : OpenException
    {
        internal PortNotFoundException(int code, string text, string port) : base(code, text, port) { }
    }

    /// <summary>
    /// The system denied access to the port (-3; on Linux the text says how to join
    /// <c>dialout</c>). The same failure as an <see cref="UnauthorizedAccessException"/> from the
    /// framework's own file and port classes; to handle both in one place:
    /// <c>catch (Exception e) when (e is PortAccessDeniedException || e is UnauthorizedAccessException)</c>.
    /// </summary>
    public sealed class PortAccessDeniedException : OpenException
    {
        internal PortAccessDeniedException(int code, string text, string port) : base(code, text, port) { }
    }

    /// <summary>Another link, of this process or another program, holds the port (-4).</summary>
    public sealed class PortBusyException : OpenException
    {
        internal PortBusyException(int code, string text, string port) : base(code, text, port) { }
    }

    /// <summary>A transaction is in progress on the link (-14): one at a time per link.</summary>
    public sealed class LinkBusyException : VarnoException
    {
        internal LinkBusyException() : base(Native.EBusy) { }
    }

    /// <summary>The link is closed, or was closed (disposed) while the call waited (-15).</summary>
    public sealed class LinkClosedException : VarnoException
    {
        internal LinkClosedException() : base(Native.EClosed) { }
    }

    /// <summary>The write did not complete within the write time-out (outcome 1).</summary>
    public sealed class WriteTimeoutException : TimeoutException, ITransactionException
    {
        internal WriteTimeoutException(string text, Reply command)
            : base(VarnoException.Described(text, command))
        {
            Text = text;
            Command = command;
        }

        /// <inheritdoc/>
        public int Code => Native.WriteTimeout;

        /// <inheritdoc/>
        public string Text { get; }

        /// <inheritdoc/>
        public Reply Command { get; }
    }

    /// <summary>No reply byte came within the reply time-out (outcome 3), counted from the end
    /// of the write.</summary>
    public sealed class NoReplyException : TimeoutException, ITransactionException
    {
        internal NoReplyException(string text, Reply command)
            : base(VarnoException.Described(text, command))
        {
            Text = text;
            Command = command;
        }

        /// <inheritdoc/>
        public int Code => Native.NoReply;

        /// <inheritdoc/>
        public string Text { get; }

        /// <inheritdoc/>
        public Reply Command { get; }
    }

    /// <summary>The write failed (outcome 2), or could not be started (-16).</summary>
    public sealed class WriteFailedException : VarnoException, ITransactionException
    {
        internal WriteFailedException(int code, string text, Reply command)
            : base(code, text, Described(text, command))
        {
            Command = command;
        }

        /// <inheritdoc/>
        public Reply Command { get; }
    }

    /// <summary>The read of the reply failed (outcome 4): the port or its adapter went away, or
    /// a network connection dropped.</summary>
    public sealed class ReadFailedException : VarnoException, ITransactionException
    {
        internal ReadFailedException(int code, string text, Reply command)
            : base(code, text, Described(text, command))
        {
            Command = command;
        }

        /// <inheritdoc/>
        public Reply Command { get; }
    }

    /// <summary>What came is not a valid frame (outcome 5): corrupt, cut short, or cut by more
    /// than 10 ms of silence.</summary>
    public sealed class InvalidReplyException : VarnoException, ITransactionException
    {
        internal InvalidReplyException(int code, string text, Reply command)
            : base(code, text, Described(text, command))
        {
            Command = command;
        }

        /// <inheritdoc/>
        public Reply Command { get; }
    }

    /// <summary>Twelve bytes that are not a frame (<see cref="Frame.Decode"/>): no start mark
    /// (-18), bit 7 set in bytes 1..10 (-19), or a wrong CRC (-20).</summary>
    public sealed class FrameException : VarnoException
    {
        internal FrameException(int code) : base(code) { }
    }

    internal static class Errors
    {
        /// <summary>The exception for an outcome 1..5 (<paramref name="frame"/> the command,
        /// addresses swapped, as the library reports it) or a negative code from a call that
        /// started nothing.</summary>
        internal static Exception For(int code, in NativeFrame frame)
        {
            switch (code)
            {
                case Native.WriteTimeout:
                    return new WriteTimeoutException(Native.ErrorText(code), frame.ToReply());
                case Native.NoReply:
                    return new NoReplyException(Native.ErrorText(code), frame.ToReply());
                case Native.WriteFailed:
                case Native.EWriteStart:
                    return new WriteFailedException(code, Native.ErrorText(code), frame.ToReply());
                case Native.ReadFailed:
                    return new ReadFailedException(code, Native.ErrorText(code), frame.ToReply());
                case Native.InvalidReply:
                    return new InvalidReplyException(code, Native.ErrorText(code), frame.ToReply());
                case Native.EBusy:
                    return new LinkBusyException();
                case Native.EClosed:
                    return new LinkClosedException();
                default:
                    return new VarnoException(code);
            }
        }
    }
}
