// The peer benchmark's exchange (bench/peers: a 12-byte command to device 1, its 12-byte reply,
// against varno-sim on a pseudo-terminal) from C#: Varno's link.Transact beside what a C# user
// writes with System.IO.Ports' SerialPort (write the frame, read 12 bytes with a time-out).
//
//   VarnoBench SIM [--baud B] [--blocks N] [--block-size M] [--warmup W]
//
// The two clients take turns in blocks of M exchanges (the order swapped every block), each block
// on a port opened for it, so that whatever else the machine does falls on both alike. For every
// block: the median round trip and the process's CPU time per exchange; printed, a Markdown row per
// client with the median of the blocks' medians and of their CPU figures (and their spread).
// B 0 (the default): the simulator answers at once; otherwise it paces the line at B baud.
using System.Diagnostics;
using System.IO.Ports;
using Varno;

static class Bench
{
    static readonly byte[] Request = Convert.FromHexString("811F00000000000000000006");
    static readonly byte[] Expected = Convert.FromHexString("9F0100000000000000000036");

    interface IClient : IDisposable
    {
        bool Exchange();
    }

    sealed class VarnoClient(string path, int baud) : IClient
    {
        readonly Link _link = Link.Open(path, baud);
        static readonly TimeSpan Limit = TimeSpan.FromSeconds(1);
        public static readonly Dictionary<string, int> Failures = new();

        public bool Exchange()
        {
            try
            {
                Reply reply = _link.Transact(1, 0, replyTimeout: Limit);
                return reply.Source == 1 && reply.Dest == 31;
            }
            catch (Exception e) when (e is ITransactionException)
            {
                Failures[e.GetType().Name] = Failures.GetValueOrDefault(e.GetType().Name) + 1;
                return false;
            }
        }

        public void Dispose() => _link.Dispose();
    }

    sealed class SerialPortClient : IClient
    {
        readonly SerialPort _port;
        readonly byte[] _reply = new byte[12];

        public SerialPortClient(string path, int baud)
        {
            _port = new SerialPort(path, baud, Parity.None, 8, StopBits.One) { ReadTimeout = 1000, WriteTimeout = 1000 };
            _port.Open();
        }

        public bool Exchange()
        {
            try
            {
                _port.Write(Request, 0, Request.Length);
                int got = 0;
                while (got < 12)
                {
                    got += _port.Read(_reply, got, 12 - got);
                }
                return _reply.AsSpan().SequenceEqual(Expected);
            }
            catch (TimeoutException)
            {
                _port.DiscardInBuffer();
                return false;
            }
        }

        public void Dispose() => _port.Dispose();
    }

    record Block(double MedianUs, double CpuUs, int Errors);

    static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: VarnoBench SIM [--baud B] [--blocks N] [--block-size M] [--warmup W]");
            return 2;
        }
        string sim = args[0];
        int baud = 0, blocks = 20, blockSize = 100, warmup = 200;
        for (int i = 1; i + 1 < args.Length; i += 2)
        {
            int value = int.Parse(args[i + 1]);
            switch (args[i])
            {
                case "--baud": baud = value; break;
                case "--blocks": blocks = value; break;
                case "--block-size": blockSize = value; break;
                case "--warmup": warmup = value; break;
                default: Console.Error.WriteLine($"unknown option {args[i]}"); return 2;
            }
        }
        int openBaud = baud == 0 ? 115200 : baud;
        using Process simulator = StartSimulator(sim, baud, out string path);
        try
        {
            var clients = new (string Label, Func<IClient> Open)[]
            {
                ("Varno link.Transact", () => new VarnoClient(path, openBaud)),
                ("SerialPort Write + Read(12)", () => new SerialPortClient(path, openBaud)),
            };
            foreach (var (_, open) in clients)
            {
                using IClient client = open();
                for (int i = 0; i < warmup; i++)
                {
                    client.Exchange();
                }
            }
            var results = clients.Select(_ => new List<Block>()).ToArray();
            for (int b = 0; b < blocks; b++)
            {
                for (int k = 0; k < clients.Length; k++)
                {
                    int c = b % 2 == 0 ? k : clients.Length - 1 - k;
                    results[c].Add(RunBlock(clients[c].Open, blockSize));
                }
            }
            string speed = baud == 0 ? "simulator answering at once" : $"{baud} baud, paced";
            Console.WriteLine($"\n{speed}: {blocks} blocks of {blockSize} exchanges per client, interleaved\n");
            Console.WriteLine("| client | median µs (blocks' median; min–max) | CPU µs per exchange (median; min–max) | failed |");
            Console.WriteLine("|---|---:|---:|---:|");
            for (int c = 0; c < clients.Length; c++)
            {
                var r = results[c];
                var medians = r.Select(x => x.MedianUs).ToArray();
                var cpu = r.Select(x => x.CpuUs).ToArray();
                Console.WriteLine($"| {clients[c].Label} | {Median(medians):F1} ({medians.Min():F1}–{medians.Max():F1}) | " +
                                  $"{Median(cpu):F1} ({cpu.Min():F1}–{cpu.Max():F1}) | {r.Sum(x => x.Errors)} |");
            }
            double ratio = Median(results[0].Select(x => x.MedianUs).ToArray()) / Median(results[1].Select(x => x.MedianUs).ToArray());
            double perBlock = Median(results[0].Zip(results[1], (a, s) => a.MedianUs / s.MedianUs).ToArray());
            double cpuPerBlock = Median(results[0].Zip(results[1], (a, s) => a.CpuUs / s.CpuUs).ToArray());
            Console.WriteLine($"\nVarno / SerialPort median: {ratio:F2} (median of the per-block ratios {perBlock:F2})");
            // Lines for bench/common/repeat.py, which --check-repeat compares between two runs.
            string key = baud == 0 ? "unpaced" : $"{baud} baud";
            Console.WriteLine(FormattableString.Invariant($"figure: {key}: Varno / SerialPort round trip, per block = {perBlock:G6}"));
            Console.WriteLine(FormattableString.Invariant($"figure: {key}: Varno / SerialPort CPU per exchange, per block = {cpuPerBlock:G6}"));
            if (VarnoClient.Failures.Count > 0)
            {
                Console.WriteLine("Varno's failed exchanges (warm-up included): " + string.Join(", ", VarnoClient.Failures.Select(f => $"{f.Value} {f.Key}")));
            }
            return 0;
        }
        finally
        {
            simulator.Kill();
            simulator.WaitForExit();
        }
    }

    static Block RunBlock(Func<IClient> open, int count)
    {
        using IClient client = open();
        var samples = new double[count];
        int errors = 0, n = 0;
        Process self = Process.GetCurrentProcess();
        self.Refresh();
        TimeSpan cpuBefore = self.TotalProcessorTime;
        for (int i = 0; i < count; i++)
        {
            long start = Stopwatch.GetTimestamp();
            bool ok = client.Exchange();
            long end = Stopwatch.GetTimestamp();
            if (ok)
            {
                samples[n++] = (end - start) * 1e6 / Stopwatch.Frequency;
            }
            else
            {
                errors++;
            }
        }
        self.Refresh();
        double cpuUs = (self.TotalProcessorTime - cpuBefore).TotalMicroseconds / count;
        return new Block(Median(samples.AsSpan(0, n).ToArray()), cpuUs, errors);
    }

    static double Median(double[] values)
    {
        if (values.Length == 0)
        {
            return double.NaN;
        }
        Array.Sort(values);
        int mid = values.Length / 2;
        return values.Length % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    }

    static Process StartSimulator(string sim, int baud, out string path)
    {
        var info = new ProcessStartInfo(sim) { RedirectStandardOutput = true, RedirectStandardInput = true };
        if (baud != 0)
        {
            info.ArgumentList.Add("--baud");
            info.ArgumentList.Add(baud.ToString());
        }
        info.ArgumentList.Add("1");
        Process process = Process.Start(info)!;
        path = process.StandardOutput.ReadLine() ?? "";
        if (!path.StartsWith('/'))
        {
            process.Kill();
            throw new InvalidOperationException($"{sim} gave no terminal path");
        }
        return process;
    }
}
