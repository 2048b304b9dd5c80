using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Threading;
using Microsoft.Extensions.Logging;
using Xunit;

[assembly: CollectionBehavior(DisableTestParallelization = true)]

namespace Varno.Tests;

/// <summary>Links against simulated devices: outcomes, open errors, handlers, closing.</summary>
public class LinkTests : IClassFixture<Bus>
{
    private readonly Bus _bus;

    public LinkTests(Bus bus)
    {
        _bus = bus;
    }

    [Fact]
    public void EveryOutcomeIsAReplyOrItsException()
    {
        using (var link = Link.Open(_bus.Path, 38400))
        {
            Reply reply = link.Transact(1, 3, 0x85, Data.FromDecimal(21.5, 1), 31, replyTimeout: Build.Answer);
            Assert.Equal(new Reply(31, 1, 3, 0x85, 0, 0, Data.FromDecimal(21.5, 1)), reply);
            Assert.Equal(21.5, reply.Data.Decimal);
            reply = link.Transact(7, 2, replyTimeout: Build.Answer);
            Assert.Equal((1, 2, 0x1234u), (reply.Status, reply.Error, reply.Data.UInt));

            var silent = Assert.Throws<NoReplyException>(() =>
                link.Transact(Bus.Silent, 9, 0x81, Data.FromUInt(77), replyTimeout: TimeSpan.FromMilliseconds(100)));
            Assert.IsAssignableFrom<TimeoutException>(silent);
            Assert.Equal(new Reply(31, Bus.Silent, 9, 0x81, 0, 0, Data.FromUInt(77)), silent.Command);
            Assert.Equal((3, Native.ErrorText(3)), (silent.Code, silent.Text));
            foreach (byte dest in new byte[] { 3, 4 }) // cut short, bad CRC
            {
                var invalid = Assert.Throws<InvalidReplyException>(() => link.Transact(dest, 9, replyTimeout: Build.Answer));
                Assert.Equal((5, dest, (byte)31), (invalid.Code, invalid.Command.Source, invalid.Command.Dest));
            }
            Assert.Equal(4, link.Transact(1, 4, replyTimeout: Build.Answer).Code); // in step again
        }

        using (var sim = new Simulator("9:hangup=0")) // gone before it answers
        using (var link = Link.Open(sim.Path, 38400))
        {
            var read = Assert.Throws<ReadFailedException>(() => link.Transact(9, 0, replyTimeout: Build.Answer));
            Assert.Equal((4, (byte)9), (read.Code, read.Command.Source));
            Assert.Throws<WriteFailedException>(() => link.Transact(9, 0)); // nothing left to write to
        }

        // Outcomes 1 and 2 cannot be caused on a pseudo-terminal.
        var command = new NativeFrame { Dest = 31, Source = 6, Code = 2 };
        Assert.IsType<WriteTimeoutException>(Errors.For(1, command));
        Assert.IsAssignableFrom<TimeoutException>(Errors.For(1, command));
        Assert.Equal(6, ((ITransactionException)Errors.For(2, command)).Command.Source);
        Assert.IsType<WriteFailedException>(Errors.For(-16, command));
    }

    [Fact]
    public void NetworkNamesPassThrough()
    {
        using var sim = new Simulator(new[] { "1", "2:silent" }, new[] { "tcp", "rfc2217" });
        foreach (string name in sim.Names)
        {
            using var link = Link.Open(name, 38400);
            Assert.Equal(1, link.Transact(1, 3, replyTimeout: Build.Answer).Source);
            Assert.Throws<NoReplyException>(() => link.Transact(Bus.Silent, 3));
        }
        Assert.Equal(-1, Assert.Throws<OpenException>(() => Link.Open("tcp://127.0.0.1:99999", 38400)).Code);
    }

    [Fact]
    public void OpenErrors()
    {
        string missing = Path.Combine(Path.GetTempPath(), $"varno-no-such-port-{Environment.ProcessId}");
        var notFound = Assert.Throws<PortNotFoundException>(() => Link.Open(missing, 38400));
        Assert.Equal((-2, missing), (notFound.Code, notFound.Port));
        var notSerial = Assert.Throws<OpenException>(() => Link.Open("/dev/null", 38400));
        Assert.Equal(-5, notSerial.Code);
        Assert.Contains("Not a serial port", notSerial.Message);
        using (Link.Open(_bus.Path, 38400))
        {
            Assert.Equal(-4, Assert.Throws<PortBusyException>(() => Link.Open(_bus.Path, 38400)).Code);
        }
        Link.Open(_bus.Path, 38400).Dispose(); // released
        Assert.Throws<ArgumentOutOfRangeException>(() => Link.Open(_bus.Path, 0));
        Assert.Throws<ArgumentException>(() => Link.Open("tty\0S0", 38400));
    }

    [Fact]
    public void OpenWithoutPermissionIsAccessDenied()
    {
        if (Environment.UserName != "root")
        {
            return; // needs root, to open the terminal as another user
        }
        string[] asNobody = { "--reuid=65534", "--regid=65534", "--clear-groups" };
        string assembly = typeof(LinkTests).Assembly.Location;
        using (var probe = Process.Start("setpriv", asNobody.Concat(new[] { "test", "-r", assembly, "-a", "-r", Build.Library })))
        {
            probe.WaitForExit();
            if (probe.ExitCode != 0)
            {
                return; // a tree that nobody cannot read (a checkout under /root): nothing to learn
            }
        }
        // This assembly's own Main, as user nobody: it prints the exception's type.
        var info = new ProcessStartInfo("setpriv", asNobody.Concat(new[] {
            Environment.ProcessPath!, "exec", assembly, "open", _bus.Path }))
        { RedirectStandardOutput = true, RedirectStandardError = true };
        info.Environment["VARNO_LIBRARY"] = Build.Library;
        info.Environment["DOTNET_CLI_HOME"] = Path.GetTempPath();
        using var child = Process.Start(info)!;
        string output = child.StandardOutput.ReadToEnd() + child.StandardError.ReadToEnd();
        Assert.True(child.WaitForExit(60_000));
        Assert.Equal("PortAccessDeniedException -3", output.Trim());
    }

    [Fact]
    public void HandlersGetEveryResultAndOneThatThrowsIsLogged()
    {
        var logger = new ListLogger();
        using var link = Link.Open(_bus.Path, 38400, logger);
        var results = new System.Collections.Concurrent.BlockingCollection<Result>();

        link.Send(Bus.Silent, 1, 0, default, 31, null, TimeSpan.FromMilliseconds(300), results.Add);
        Assert.Throws<LinkBusyException>(() => link.Transact(1, 1));
        Assert.True(results.TryTake(out Result? result, 5000));
        Assert.IsType<NoReplyException>(result!.Exception);
        Assert.Throws<NoReplyException>(() => result.GetReply());

        link.Send(1, 2, _ => throw new InvalidOperationException("a fault in the host's handler"));
        Assert.True(logger.Logged.Wait(5000));
        var entry = Assert.Single(logger.Entries);
        Assert.Equal(LogLevel.Error, entry.Level);
        Assert.Equal("a fault in the host's handler", entry.Exception!.Message);
        Assert.Equal(3, link.Transact(1, 3, replyTimeout: Build.Answer).Code); // the link goes on

        // Each handler starts the next send; the collector runs meanwhile: the delegate and the
        // context the library holds must stay reachable.
        int count = 0;
        var chainDone = new ManualResetEventSlim();
        void Next(Result r)
        {
            if (r.GetReply().Code != count % 128 || ++count == 200)
            {
                chainDone.Set();
                return;
            }
            GC.Collect();
            link.Send(1, (byte)(count % 128), 0, Data.FromUInt((uint)count), 31, null, Build.Answer, Next);
        }
        link.Send(1, 0, 0, default, 31, null, Build.Answer, Next);
        Assert.True(chainDone.Wait(30_000));
        Assert.Equal(200, count);
    }

    [Fact]
    public void DisposeEndsEveryWait()
    {
        var link = Link.Open(_bus.Path, 38400);
        Exception? outcome = null;
        var waiter = new Thread(() => outcome = Record(() => link.Transact(Bus.Silent, 0, replyTimeout: TimeSpan.FromSeconds(20))));
        var watch = Stopwatch.StartNew();
        waiter.Start();
        Assert.True(Build.Eventually(() => link.State == LinkState.AwaitingReply));
        link.Dispose();
        Assert.True(waiter.Join(10_000));
        Assert.IsType<LinkClosedException>(outcome);
        Assert.True(watch.Elapsed < TimeSpan.FromSeconds(15), $"{watch.Elapsed}: waited for the time-out");
        Assert.Equal(LinkState.Closed, link.State);
        link.Dispose();
        Assert.Throws<LinkClosedException>(() => link.Transact(1, 0));
        Assert.Throws<LinkClosedException>(() => link.Send(1, 0, _ => { }));

        // A send pending at the close ends closed, through its handler.
        var results = new System.Collections.Concurrent.BlockingCollection<Result>();
        using (var again = Link.Open(_bus.Path, 38400))
        {
            again.Send(Bus.Silent, 6, 0, default, 31, null, TimeSpan.FromSeconds(20), results.Add);
        }
        Assert.True(results.TryTake(out Result? closed, 5000));
        Assert.IsType<LinkClosedException>(closed!.Exception);
        using var third = Link.Open(_bus.Path, 38400);
        Assert.Equal(1, third.Transact(1, 0, replyTimeout: Build.Answer).Source);
    }

    [Fact]
    public void LibraryTextsReachTheLoggerGiven()
    {
        var logger = new ListLogger();
        Diagnostics.Logger = logger;
        try
        {
            IntPtr name = Native.PortName("/nonexistent/varno-port");
            unsafe
            {
                // The classic open logs its failures; links do not.
                Assert.Equal(0, Native.varnoOpenSerialPortA((byte*)name, 38400));
            }
            System.Runtime.InteropServices.Marshal.FreeHGlobal(name);
        }
        finally
        {
            Diagnostics.Logger = null;
        }
        Assert.Contains(logger.Entries, e => e.Level == LogLevel.Warning && e.Message == "openInterface INVALID_HANDLE_VALUE");
        Assert.Matches(@"^\d+\.\d+\.\d+$", Diagnostics.LibraryVersion);
    }

    internal static Exception? Record(Action action)
    {
        try
        {
            action();
            return null;
        }
        catch (Exception e)
        {
            return e;
        }
    }
}
