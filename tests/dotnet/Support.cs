using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;
using Microsoft.Extensions.Logging;
using Xunit;

namespace Varno.Tests;

/// <summary>The build's library and simulator: VARNO_LIBRARY and VARNO_SIM from CTest, else the
/// default preset's build.</summary>
public static class Build
{
    public static readonly string Root = FindRoot();
    public static readonly string Library = Environment.GetEnvironmentVariable("VARNO_LIBRARY") is { Length: > 0 } l
        ? l : Path.Combine(Root, "build/default/link/libVarnoDLL.so");
    public static readonly string Sim = Environment.GetEnvironmentVariable("VARNO_SIM") is { Length: > 0 } s
        ? s : Path.Combine(Root, "build/default/tools/sim/varno-sim");

    /// <summary>The reply time-out for a device that answers: only a starved machine reaches it.</summary>
    public static readonly TimeSpan Answer = TimeSpan.FromSeconds(3);

    [System.Runtime.CompilerServices.ModuleInitializer]
    internal static void UseTheBuildsLibrary()
    {
        // Read by the package when it first calls the library.
        Environment.SetEnvironmentVariable("VARNO_LIBRARY", Library);
    }

    private static string FindRoot()
    {
        string? dir = AppContext.BaseDirectory;
        while (dir is not null && !File.Exists(Path.Combine(dir, "link/include/varno_link.h")))
        {
            dir = Path.GetDirectoryName(dir);
        }
        return dir ?? throw new InvalidOperationException("not inside the VarnoDLL tree");
    }

    /// <summary>Waits for a condition that the library's threads make true; false after `limit`.</summary>
    public static bool Eventually(Func<bool> condition, double seconds = 10)
    {
        var watch = Stopwatch.StartNew();
        while (!condition())
        {
            if (watch.Elapsed.TotalSeconds > seconds)
            {
                return false;
            }
            Thread.Sleep(1);
        }
        return true;
    }
}

/// <summary>A varno-sim playing `devices` on a pseudo-terminal (and, with `serve`, on 127.0.0.1
/// too); stopped with SIGTERM at Dispose.</summary>
public sealed class Simulator : IDisposable
{
    private readonly Process _process;

    public Simulator(params string[] devices) : this(devices, Array.Empty<string>()) { }

    public Simulator(string[] devices, string[] serve)
    {
        var info = new ProcessStartInfo(Build.Sim) { RedirectStandardOutput = true, RedirectStandardInput = true };
        foreach (string kind in serve)
        {
            info.ArgumentList.Add($"--{kind}");
            info.ArgumentList.Add("0");
        }
        foreach (string device in devices)
        {
            info.ArgumentList.Add(device);
        }
        _process = Process.Start(info)!;
        var lines = new List<string>();
        var reader = new Thread(() =>
        {
            for (int i = 0; i <= serve.Length; i++)
            {
                lines.Add(_process.StandardOutput.ReadLine() ?? "");
            }
        });
        reader.Start();
        if (!reader.Join(TimeSpan.FromSeconds(10)) || !lines[0].StartsWith('/'))
        {
            Dispose();
            throw new InvalidOperationException($"{Build.Sim} gave no terminal path");
        }
        Path = lines[0];
        Names = lines.GetRange(1, serve.Length);
    }

    public string Path { get; }

    /// <summary>The network names, in the order `serve` asked for them.</summary>
    public List<string> Names { get; }

    public void Dispose()
    {
        if (!_process.HasExited)
        {
            kill(_process.Id, 15);
            if (!_process.WaitForExit(10_000))
            {
                _process.Kill();
            }
        }
        _process.Dispose();
    }

    [DllImport("libc", SetLastError = true)]
    private static extern int kill(int pid, int signal);
}

/// <summary>One simulated bus for the tests that only ask: an answering device, one with fields
/// of its own, and each way of failing that a device can cause on an open line.</summary>
public sealed class Bus : IDisposable
{
    public const byte Silent = 2;
    private readonly Simulator _sim = new("1", "2:silent", "3:short=5", "4:badcrc", "7:status=1,error=2,data=0x1234");

    public string Path => _sim.Path;

    public void Dispose() => _sim.Dispose();
}

/// <summary>Keeps what is logged.</summary>
public sealed class ListLogger : ILogger
{
    public readonly ConcurrentQueue<(LogLevel Level, string Message, Exception? Exception)> Entries = new();
    public readonly SemaphoreSlim Logged = new(0);

    public IDisposable BeginScope<TState>(TState state) => new MemoryStream(); // any disposable will do

    public bool IsEnabled(LogLevel logLevel) => true;

    public void Log<TState>(LogLevel logLevel, EventId eventId, TState state, Exception? exception,
                            Func<TState, Exception?, string> formatter)
    {
        Entries.Enqueue((logLevel, formatter(state, exception), exception));
        Logged.Release();
    }
}
