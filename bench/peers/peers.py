"""Runs the peer clients interleaved, each against its own varno-sim, and prints one Markdown table
per line speed (with --network: the network clients through ser2net). Started by run.sh, which
builds and installs what this needs; standard library only (and bench/common).

    peers.py [N] [--block B] [--rounds R] [--warmup W] [--baud BAUD] [--paced-count P]
             [--cpus LIST] [--leave-workqueues] [--only NAME,...] [--no-unpaced]
             [--instructions SHORT,LONG | --no-instructions] [--check-repeat] [--json FILE]
             [--compare FILE]
    peers.py --network [N] [--block B] [--rounds R] [--warmup W] [--cpus LIST] [--check-repeat]

Each round starts every client, each with its own simulator and its port kept open, runs each
one's W warm-up exchanges (default 200; at most 20 when paced) alone, then N exchanges per client
(default 2000; P = 300 when paced) in blocks of B (default 100): one block of each client in turn,
the first of each turn rotating, so that whatever the machine does in a stretch of time it does to
all of them. Per block, each client's median latency and its CPU time per exchange (getrusage)
over the floor's in the same block (the raw termios client: the plainest program that makes the
exchange); the tables give the median and the interquartile range of those ratios over all blocks
of all R rounds (default 6). Every client runs once with the simulator answering at once and once
with it pacing the line at BAUD (default 38400; 0 leaves the paced run out). --cpus keeps clients
and simulators on the CPUs given and, while measuring, the unbound workqueues too (root; see
bench/common/steady.py; --leave-workqueues does not).

Beside them, at terminal speed, user-space instructions per exchange, counted by perf where the
processor's counters are visible and by valgrind's callgrind elsewhere, on the client process
alone, as the difference between a run of LONG and one of SHORT exchanges (default 200,1200)
divided by LONG - SHORT, so that start-up falls out.

--check-repeat makes the whole measurement twice and compares the ratios in the tables, the
instruction counts and the ratios to pyserial in the targets (the `wait` send at terminal speed by
its median, which is the library's polling once a millisecond: its ratio would measure the floor;
Node's timing and the CPU ratios when paced are shown, not judged): exit status 0 when each pair
is within 10% (larger / smaller), 3 with a plain "NO STABLE ANSWER" when one is not; 1 whenever a
client failed. --json FILE keeps every block and each run's figures; --compare FILE prints this
run's figures beside an earlier --json FILE's.

--network compares the network clients instead: this library's tcp:// and rfc2217:// ports with
pyserial's socket:// and rfc2217:// clients, each against its own varno-sim (answering at once)
served on 127.0.0.1 by its own Debian ser2net (raw, and telnet with RFC 2217), all four
interleaved; the ratios are to pyserial's in the same mode.
"""
import argparse
import contextlib
import json
import os
import re
import select
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = ROOT / "bench" / "peers"
sys.path.insert(0, str(ROOT / "bench" / "common"))
import instructions  # noqa: E402
import steady  # noqa: E402
from interleave import (NOT_REPEATED, BlockProcess, ClientFailed, compare_runs,  # noqa: E402
                        repeat_report, run_interleaved, spread)

UNPACED_OPEN_BAUD = 115200  # what the clients ask for when the simulator does not pace
PACED_WARMUP = 20  # at most, when the line is paced: each exchange takes the wire time


@dataclass
class Client:
    name: str  # short, for --only
    label: str  # in the table
    command: list  # PATH BAUD COUNT WARMUP are appended, then `tail`
    tail: list = field(default_factory=list)
    env: dict = field(default_factory=dict)
    # What --check-repeat compares for it at terminal speed: its ratio to the floor, or (for a
    # time set by the library's own polling, not by the machine) its median.
    repeat_by_median: bool = False
    # Whether --check-repeat judges its latency and CPU ratios (its instructions always are).
    timing_judged: bool = True


def clients(build: Path):
    peers_bin = build / "bench" / "peers"
    node = "/usr/bin/node" if Path("/usr/bin/node").exists() else "node"
    node_modules = ROOT / "build" / "peers-node" / "node_modules"
    return [
        Client("floor", "raw termios write/poll/read (floor)", [str(peers_bin / "peer_termios")]),
        Client("varno", "VarnoDLL send to callback", [str(peers_bin / "peer_varno")], ["callback"]),
        # Its time is the state polled once a millisecond: over a floor of 25 to 80 µs its ratio
        # measures the floor.
        Client("varno-wait", "VarnoDLL send with wait, to return", [str(peers_bin / "peer_varno")],
               ["wait"], repeat_by_median=True),
        Client("varno-transact", "VarnoDLL link transact, to return",
               [str(peers_bin / "peer_varno")], ["transact"]),
        Client("pyserial", "pyserial write/read(12)",
               ["/usr/bin/python3", str(HERE / "pyserial_client.py")]),
        Client("python", "varno (Python) link.transact",
               ["/usr/bin/python3", str(HERE / "varno_py_client.py")],
               env={"VARNO_LIBRARY": str(build / "link" / "libVarnoDLL.so"),
                    "PYTHONPATH": str(ROOT / "python")}),
        # Its ratios moved by 20-25% between runs that agreed on every other client's within
        # 5% (its own compiler and collector, its writes through libuv's thread pool): shown,
        # not judged.
        Client("node", "Node serialport write/'data'", [node, str(HERE / "node_client.js")],
               env={"NODE_PATH": str(node_modules)}, timing_judged=False),
    ]


NETWORK_MODES = {"raw": "tcp", "rfc2217": "telnet(rfc2217),tcp"}
NETWORK_TITLES = {"raw": "Raw TCP through ser2net (varno tcp://, pyserial socket://)",
                  "rfc2217": "RFC 2217 through ser2net (varno rfc2217://, pyserial rfc2217://)"}


def network_clients(build: Path):
    """The network clients, one per library and mode, named "varno-raw" and so on."""
    peers_bin = build / "bench" / "peers"
    python = ["/usr/bin/python3", str(HERE / "pyserial_client.py")]
    # ser2net serving a terminal does not answer SET-CONTROL for DTR, which pyserial's client
    # waits for unless told not to.
    return [
        (Client("varno-raw", "VarnoDLL tcp://, send to callback", [str(peers_bin / "peer_varno")],
                ["callback"]), "raw", "tcp://127.0.0.1:{port}"),
        (Client("pyserial-raw", "pyserial 3.5 socket://", python), "raw",
         "socket://127.0.0.1:{port}"),
        (Client("varno-rfc2217", "VarnoDLL rfc2217://, send to callback",
                [str(peers_bin / "peer_varno")], ["callback"]), "rfc2217",
         "rfc2217://127.0.0.1:{port}"),
        (Client("pyserial-rfc2217", "pyserial 3.5 rfc2217:// (ign_set_control)", python),
         "rfc2217", "rfc2217://127.0.0.1:{port}?ign_set_control"),
    ]


def pinning(cpus):
    """A preexec_fn that keeps a child on `cpus` (None: wherever the scheduler likes)."""
    if cpus is None:
        return None
    return lambda: os.sched_setaffinity(0, cpus)


def start_simulator(sim: Path, baud: int, log, cpus):
    """The simulator's process and its terminal's path; raises ClientFailed."""
    args = [str(sim)] + (["--baud", str(baud)] if baud else []) + ["1"]
    try:
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL,
                                preexec_fn=pinning(cpus))
    except OSError as e:
        raise ClientFailed(f"cannot start {sim}: {e}") from e
    ready, _, _ = select.select([proc.stdout], [], [], 10)
    line = proc.stdout.readline().decode().strip() if ready else ""
    if not line.startswith("/"):
        stop_simulator(proc)
        raise ClientFailed(f"varno-sim gave no terminal path (exit {proc.returncode})")
    return proc, line


def stop_simulator(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    proc.stdout.close()


def stop_process(proc):
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def last_message(log):
    """The client's own last complaint in its stderr (the library writes diagnostics there too,
    without line ends of their own)."""
    found = re.findall(r"(?:peer_\w+|pyserial_client|varno_py_client|node_client): [^\n]*", log)
    if found:
        return found[-1].strip()
    lines = [l.strip() for l in log.splitlines() if l.strip()]
    return lines[-1] if lines else "no message"


def terminal_starter(sim: Path, speed: int, cpus, by_name):
    """start(name, round) for run_interleaved: a fresh simulator and the client in blocks."""
    def start(name, _round):
        client = by_name[name]
        log = tempfile.TemporaryFile()
        try:
            proc, path = start_simulator(sim, speed, log, cpus)
        except ClientFailed:
            log.close()
            raise

        def cleanup():
            stop_simulator(proc)
            log.close()
        args = client.command + [path, str(speed or UNPACED_OPEN_BAUD), "-", "0"] + client.tail
        # Generous: a paced exchange takes 6.25 ms at 38400 baud.
        return BlockProcess(args, env={**os.environ, **client.env}, preexec_fn=pinning(cpus),
                            cleanup=cleanup, message=last_message, seconds_per_op=0.05)
    return start


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, limit=10.0):
    """Whether something listens on the port within `limit` (from /proc: no connection made)."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        for table_path in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table_path) as f:
                    for line in list(f)[1:]:
                        fields = line.split()
                        if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                            return True
            except OSError:
                pass
        time.sleep(0.02)
    return False


def network_starter(sim: Path, cpus, by_name):
    """start(name, round): a fresh simulator behind a fresh ser2net, and the client in blocks."""
    def start(name, _round):
        client, mode, url = by_name[name]
        directory = tempfile.TemporaryDirectory(prefix="varno-peers-")
        log = tempfile.TemporaryFile()
        stack = [directory.cleanup, log.close]

        def cleanup():
            while stack:
                stack.pop()()
        try:
            proc, path = start_simulator(sim, 0, log, cpus)
            stack.append(lambda: stop_simulator(proc))
            port = free_port()
            config = Path(directory.name) / "ser2net.yaml"
            config.write_text("%YAML 1.1\n---\n"
                              f"connection: &line\n"
                              f"    accepter: {NETWORK_MODES[mode]},127.0.0.1,{port}\n"
                              f"    options:\n"
                              f"      kickolduser: true\n"
                              f"    connector: serialdev,{path},{UNPACED_OPEN_BAUD}n81,local\n")
            try:
                server = subprocess.Popen(["ser2net", "-n", "-c", str(config), "-P",
                                           str(Path(directory.name) / "pid")],
                                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL, preexec_fn=pinning(cpus))
            except OSError as e:
                raise ClientFailed(f"cannot run ser2net: {e}") from e
            stack.append(lambda: stop_process(server))
            if not wait_listening(port):
                raise ClientFailed("ser2net is not listening")
        except ClientFailed:
            cleanup()
            raise
        args = client.command + [url.format(port=port), str(UNPACED_OPEN_BAUD), "-", "0"] + \
            client.tail
        return BlockProcess(args, preexec_fn=pinning(cpus), cleanup=cleanup,
                            message=last_message)
    return start


def count_instructions(chosen, sim: Path, cpus, short, long):
    """Each client's user-space instructions per exchange at terminal speed: a float, or why
    there is none (a string)."""
    def one(client, n):
        # Under valgrind on a loaded machine an exchange now and then misses its time-out; the
        # count is of exchanges that all succeeded, so such a run is made again, once.
        try:
            return one_try(client, n)
        except instructions.CountFailed:
            return one_try(client, n)

    def one_try(client, n):
        log = tempfile.TemporaryFile()
        try:
            proc, path = start_simulator(sim, 0, log, cpus)
        except ClientFailed as e:
            log.close()
            raise instructions.CountFailed(str(e)) from e

        def check(stdout):
            lines = [l for l in stdout.splitlines() if l.startswith("{")]
            if not lines or json.loads(lines[-1]).get("errors", 1) != 0:
                raise instructions.CountFailed("the counted run's exchanges failed")
        try:
            args = client.command + [path, str(UNPACED_OPEN_BAUD), str(n), "0"] + client.tail
            # Under valgrind the Node client's watchdog needs longer than its 2 s.
            return instructions.count(args, env={**os.environ, **client.env,
                                                 "PEER_STALL_MS": "60000"},
                                      preexec_fn=pinning(cpus), check=check)
        finally:
            stop_simulator(proc)
            log.close()

    found = {}
    for client in chosen:
        try:
            found[client.name] = instructions.per_operation(lambda n: one(client, n), short, long)
            print(f"{client.label}: {found[client.name]:,.0f} instructions per exchange "
                  f"({instructions.counter()})", file=sys.stderr)
        except instructions.CountFailed as e:
            found[client.name] = str(e)
            print(f"{client.label}: no instruction count: {e}", file=sys.stderr)
    return found


def cpu_ticks():
    """All CPUs' time so far from /proc/stat: (busy, idle, steal) in ticks, or None."""
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    user, nice, system, idle, iowait, irq, softirq, steal = (fields + [0] * 8)[:8]
    return user + nice + system + irq + softirq, idle + iowait, steal


def busy_line(before, after):
    """How busy the whole machine was between two cpu_ticks() (this benchmark included)."""
    if before is None or after is None:
        return "machine busy: unknown"
    busy, idle, steal = (a - b for a, b in zip(after, before))
    total = busy + idle + steal
    if total <= 0:
        return "machine busy: unknown"
    return (f"all CPUs busy {100 * busy / total:.0f}% of the time during the run (this benchmark "
            f"included), {100 * steal / total:.1f}% stolen by the host")


def load_line():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f}, {five:.2f}, {fifteen:.2f} ({os.cpu_count()} cores)"




def speed_name(speed):
    return "unpaced" if speed == 0 else f"{speed} baud"


def p99(samples):
    s = sorted(samples)
    return s[min(len(s) - 1, len(s) * 99 // 100)]


def table(title, rows, m, reference_of, reference_word, counts=None, by_median=False,
          cpu_judged=True):
    """One client a row: the ratios to its reference per block of its latency and its CPU time,
    its instructions per exchange and, for reading, not compared, its median latency and CPU µs.
    Returns (judged, shown): what the repeat check compares, {"<client label> / <reference
    label>": median ratio, "<client label>, CPU / <reference label>": ..., "<client label>,
    instructions per exchange": ...}, and what it shows beside them (a client's timing that is
    not judged). With by_median, a client marked repeat_by_median gives its median instead of its
    ratios (its time and CPU follow its polling); without cpu_judged, the CPU ratios are shown."""
    labels = {c.name: c.label for c in rows}
    judged, shown = {}, {}
    blocks = 0
    print(f"\n### {title}\n")
    counted = counts is not None
    print(f"| client | latency: ratio to {reference_word}, median (IQR) | CPU: ratio to "
          f"{reference_word}, median (IQR) |" + (" instructions per exchange |" if counted else "")
          + " median µs, CPU µs (not compared) |")
    print("|---|---|---|" + ("---:|" if counted else "") + "---:|")
    for client in rows:
        name = client.name
        if name in m.failures or not m.block_medians(name):
            print(f"| {client.label} | FAILED | — |" + (" — |" if counted else "") + " — |")
            continue
        timing = judged if client.timing_judged else shown
        polled = by_median and client.repeat_by_median
        median = statistics.median(m.block_medians(name))
        reference = reference_of(name)
        cells = []
        if reference and reference != name:
            latency = m.summary(name, reference)
            cpu_ratios = m.cpu_ratios(name, reference)
            cpu = spread(cpu_ratios) if cpu_ratios else None
            cells += [str(latency) if latency else "—", str(cpu) if cpu else "—"]
            blocks = latency.n if latency else blocks
            if polled:
                timing[f"{client.label}, median µs"] = median
            else:
                if latency:
                    timing[f"{client.label} / {labels[reference]}"] = latency.median
                if cpu:
                    (timing if cpu_judged else shown)[
                        f"{client.label}, CPU / {labels[reference]}"] = cpu.median
        else:
            cells += ["(the reference)"] * 2
        if counted:
            c = counts.get(name)
            cells.append(f"{c:,.0f}" if isinstance(c, float) else "—")
            if isinstance(c, float):
                judged[f"{client.label}, instructions per exchange"] = c
        cells.append(f"{median:,.1f}, {m.cpu_per_op_us(name):,.1f}")
        errors = m.errors(name)
        label = client.label + (f" ({errors} failed)" if errors else "") + \
            ("" if client.timing_judged else " (timing not compared)")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print()
    print(f"Ratios: the client's median latency (its CPU time per exchange) over the "
          f"{reference_word}'s in the same block, their median and interquartile range over "
          f"{blocks} blocks; median µs: of the blocks' medians.")
    for client in rows:
        name = client.name
        if name in m.failures:
            print(f"- {client.label}: FAILED: {m.failures[name]}")
        elif m.errors(name) or sum(b.errors for b in m.warmups.get(name, [])):
            first = next((b.first_error for b in m.all_blocks(name) + m.warmups.get(name, [])
                          if b.first_error), "")
            print(f"- {client.label}: {m.errors(name)} exchanges failed and are left out of the "
                  f"samples; the first, {first}")
        if counted and isinstance(counts.get(name), str):
            print(f"- {client.label}: no instruction count: {counts[name]}")
    lags = [v for b in m.all_blocks("varno-wait") for v in b.extra.get("return_after_callback_us",
                                                                      [])]
    if lags:
        print(f"- wait: the send returns {statistics.median(lags):.1f} µs (median), "
              f"{p99(lags):.1f} µs (p99) after its callback began")
    return judged, shown


def pair(m, name, reference):
    """The spread of name's per-block ratio to reference, or None."""
    if name in m.failures or reference in m.failures:
        return None
    return m.summary(name, reference)


def targets(paced_baud, by_speed, counts):
    """The comparisons the project watches, met or not, from the per-block ratios. Returns the
    pair ratios as figures for the repeat check."""
    lines, figures = [], {}
    unpaced = by_speed.get(0)
    if unpaced is not None:
        m = unpaced
        s = pair(m, "varno", "floor")
        if s:
            lines.append(f"terminal speed: send-to-callback {s} × the floor's (target ≤ 1.5×): "
                         f"{'met' if s.median <= 1.5 else 'MISSED'}")
        s = pair(m, "varno-transact", "floor")
        if s:
            lines.append(f"terminal speed: link transact {s} × the floor's (target ≤ 1.1×): "
                         f"{'met' if s.median <= 1.1 else 'MISSED'}")
        s = pair(m, "varno-transact", "pyserial")
        if s:
            figures["unpaced: link transact / pyserial"] = s.median
            lines.append(f"terminal speed: link transact {s} × pyserial's, per block (below 1: "
                         "ahead)")
        if not {"varno-transact", "pyserial"} & set(m.failures) and \
                m.all_blocks("varno-transact") and m.all_blocks("pyserial"):
            a, b = m.cpu_per_op_us("varno-transact"), m.cpu_per_op_us("pyserial")
            lines.append(f"terminal speed: link transact CPU {a:.1f} µs per exchange vs "
                         f"pyserial's {b:.1f} µs (target: no more): {'met' if a <= b else 'MISSED'}")
        ia, ib = (counts or {}).get("varno-transact"), (counts or {}).get("pyserial")
        if isinstance(ia, float) and isinstance(ib, float):
            lines.append(f"terminal speed: link transact {ia:,.0f} instructions per exchange vs "
                         f"pyserial's {ib:,.0f} ({ia / ib:.2f}×)")
        s = pair(m, "varno", "node")
        if s:
            # Both ratios to the floor are compared; this one's target asks only for below 1.
            lines.append(f"terminal speed: send-to-callback {s} × Node's (target: ahead, below "
                         f"1): {'met' if s.median < 1 else 'MISSED'}")
        s = pair(m, "python", "pyserial")
        if s:
            figures["unpaced: Python link.transact / pyserial"] = s.median
            lines.append(f"terminal speed: Python link.transact {s} × pyserial's (target ≤ "
                         f"1.25×): {'met' if s.median <= 1.25 else 'MISSED'}")
    paced = by_speed.get(paced_baud) if paced_baud else None
    if paced is not None:
        for name, label in (("python", "Python link.transact"), ("varno", "send-to-callback")):
            s = pair(paced, name, "pyserial")
            if s:
                diff = (s.median - 1) * 100
                lines.append(f"{paced_baud} baud: {label} {diff:+.2f}% vs pyserial's, median of "
                             f"blocks (IQR {s.q1:.3f}–{s.q3:.3f}; target within ±2%): "
                             f"{'met' if abs(diff) <= 2 else 'MISSED'}")
        if pair(paced, "varno", "pyserial"):
            lib, py = p99(paced.samples("varno")), p99(paced.samples("pyserial"))
            lines.append(f"{paced_baud} baud: send-to-callback p99 {lib:,.1f} µs vs pyserial's "
                         f"{py:,.1f} µs (target: no worse): {'met' if lib <= py else 'MISSED'}")
    if lines:
        print("\n### Targets\n")
        for line in lines:
            print(f"- {line}")
    return figures


def report_terminal(a, chosen, by_speed, counts):
    """The tables and targets of one run: (judged, shown) figures for the repeat check."""
    figures, shown = {}, {}
    for speed, m in by_speed.items():
        title = ("Terminal speed (simulator answering at once; clients open at "
                 f"{UNPACED_OPEN_BAUD})" if speed == 0 else
                 f"{speed} baud (simulator pacing 10 bit times per byte, 24 byte times per "
                 f"exchange = {240e6 / speed:.0f} µs)")
        # Paced, an exchange's CPU is mostly its wake-ups over the wire time, and their ratios
        # moved by 11-27% between runs whose latency ratios agreed within 2%: shown, not judged.
        found, seen = table(title, chosen, m, lambda name: "floor", "floor",
                            counts if speed == 0 else None, by_median=speed == 0,
                            cpu_judged=speed == 0)
        figures.update({f"{speed_name(speed)}: {k}": v for k, v in found.items()})
        shown.update({f"{speed_name(speed)}: {k}": v for k, v in seen.items()})
    figures.update(targets(a.baud, by_speed, counts))
    return figures, shown


def report_network(chosen, m):
    figures, shown = {}, {}
    for mode in NETWORK_MODES:
        rows = [c for c, client_mode, _ in chosen if client_mode == mode]
        found, seen = table(NETWORK_TITLES[mode], rows, m,
                            lambda name, mode=mode: f"pyserial-{mode}", "pyserial")
        figures.update({f"{mode}: {k}": v for k, v in found.items()})
        shown.update({f"{mode}: {k}": v for k, v in seen.items()})
        lib, py = f"varno-{mode}", f"pyserial-{mode}"
        s = pair(m, lib, py)
        if s:
            lp, pp = p99(m.samples(lib)), p99(m.samples(py))
            print(f"\n- {mode}: median {s} × pyserial's per block (target: no worse, ≤ 1): "
                  f"{'met' if s.median <= 1 else 'MISSED'}")
            print(f"- {mode}: p99 {lp:,.1f} µs vs pyserial's {pp:,.1f} µs = {lp / pp:.2f}× "
                  f"(target ≤ 1.1×): {'met' if lp <= 1.1 * pp else 'MISSED'}")
    return figures, shown


def summarize(chosen, by_speed, counts, network):
    """One run's figures per line speed and client, for --json and --compare: the median latency,
    CPU µs and instructions per exchange, the median of the per-block ratios to the reference."""
    out = {}
    for speed, m in by_speed.items():
        rows = {}
        for entry in chosen:
            client = entry[0] if network else entry
            name = client.name
            if name in m.failures or not m.block_medians(name):
                rows[name] = {"label": client.label, "failed": m.failures.get(name, "no blocks")}
                continue
            reference = (f"pyserial-{entry[1]}" if network else "floor")
            row = {"label": client.label,
                   "median_us": statistics.median(m.block_medians(name)),
                   "cpu_us": m.cpu_per_op_us(name)}
            for key, ref in (("ratio_to_floor", reference), ("ratio_to_pyserial",
                                                             None if network else "pyserial")):
                found = pair(m, name, ref) if ref and ref != name else None
                if found:
                    row[key] = found.median
            cpu = m.cpu_ratios(name, reference) if reference != name else []
            if cpu:
                row["cpu_to_floor"] = statistics.median(cpu)
            if speed == 0 and isinstance((counts or {}).get(name), float):
                row["instructions"] = counts[name]
            rows[name] = row
        out[speed_name(speed) if speed is not None else "network"] = rows
    return out


COMPARED = (("ratio_to_floor", "ratio to floor", "{:.2f}"),
            ("ratio_to_pyserial", "ratio to pyserial", "{:.2f}"),
            ("cpu_to_floor", "CPU ratio to floor", "{:.2f}"),
            ("median_us", "median µs", "{:,.1f}"), ("cpu_us", "CPU µs/exchange", "{:,.1f}"),
            ("instructions", "instructions/exchange", "{:,.0f}"))


def print_comparison(before, after_summaries, path):
    """This run's figures (the mean over its runs) beside an earlier --json file's."""
    def mean_of(summaries):
        merged = {}
        for summary in summaries:
            for speed, rows in summary.items():
                for name, row in rows.items():
                    for key, *_ in COMPARED:
                        if key in row:
                            merged.setdefault(speed, {}).setdefault(name, {}).setdefault(
                                key, []).append(row[key])
                    merged.setdefault(speed, {}).setdefault(name, {})["label"] = row["label"]
        return {speed: {name: {k: (v if k == "label" else statistics.fmean(v))
                               for k, v in row.items()} for name, row in rows.items()}
                for speed, rows in merged.items()}
    old, new = mean_of(before.get("summaries", [])), mean_of(after_summaries)
    print(f"\n## Before ({path}: {before.get('command', '?')}, {before.get('when', '?')}) "
          "and now\n")
    print("Each cell: before → now (now / before); the mean over each side's runs.")
    for speed in new:
        if speed not in old:
            continue
        print(f"\n### {speed}\n")
        keys = [k for k, *_ in COMPARED
                if any(k in row for row in new[speed].values())]
        print("| client | " + " | ".join(t for k, t, _ in COMPARED if k in keys) + " |")
        print("|---|" + "---:|" * len(keys))
        for name, row in new[speed].items():
            was = old[speed].get(name, {})
            cells = []
            for key, _, fmt in COMPARED:
                if key not in keys:
                    continue
                if key in row and key in was:
                    cells.append(f"{fmt.format(was[key])} → {fmt.format(row[key])} "
                                 f"({row[key] / was[key]:.2f})" if was[key] else "—")
                else:
                    cells.append(fmt.format(row[key]) if key in row else "—")
            print(f"| {row['label']} | " + " | ".join(cells) + " |")


def dump(m):
    return {"failures": m.failures,
            "clients": {name: [{"round": r, "block": b, "samples_us": blk.samples,
                                "cpu_s": blk.cpu_s, "count": blk.count, "errors": blk.errors,
                                **blk.extra}
                               for (r, b), blk in m.blocks.get(name, {}).items()]
                        for name in m.names}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", nargs="?", type=int, default=2000, metavar="N",
                        help="exchanges per client and round, in whole blocks (default 2000)")
    parser.add_argument("--block", type=int, default=100, metavar="B",
                        help="exchanges per block (default 100)")
    parser.add_argument("--baud", type=int, default=38400, metavar="B")
    parser.add_argument("--warmup", type=int, default=200, metavar="W")
    parser.add_argument("--rounds", type=int, default=6, metavar="R")
    parser.add_argument("--paced-count", type=int, default=300, metavar="P",
                        help="exchanges per client and round at BAUD (default 300: every one "
                             "takes the wire time, and the ratios there hardly move)")
    parser.add_argument("--no-unpaced", action="store_true",
                        help="leave out the run with the simulator answering at once")
    parser.add_argument("--only", default="", metavar="NAME,...",
                        help="varno, varno-wait, varno-transact, pyserial, python, node (the "
                             "floor always runs)")
    parser.add_argument("--cpus", metavar="LIST",
                        help="keep every client and simulator on these CPUs (e.g. 1 or 0,1); "
                             "default: no pinning")
    parser.add_argument("--leave-workqueues", action="store_true",
                        help="with --cpus, leave the unbound workqueues (the terminal's worker) "
                             "where they are; by default they are kept on those CPUs while "
                             "measuring (root only; restored afterwards)")
    parser.add_argument("--instructions", default="200,1200", metavar="SHORT,LONG",
                        help="the two run lengths whose difference counts instructions per "
                             "exchange (default 200,1200)")
    parser.add_argument("--no-instructions", action="store_true",
                        help="count no instructions")
    parser.add_argument("--check-repeat", action="store_true",
                        help="measure twice; exit 3 unless every ratio agrees within 10%%")
    parser.add_argument("--build", default=str(ROOT / "build" / "release"), metavar="DIR")
    parser.add_argument("--json", metavar="FILE",
                        help="also write every block and each run's figures here")
    parser.add_argument("--compare", metavar="FILE",
                        help="print this run's figures beside those of an earlier --json FILE")
    parser.add_argument("--command", default="", help=argparse.SUPPRESS)  # as run.sh was called
    parser.add_argument("--network", action="store_true",
                        help="compare the network clients through ser2net instead")
    a = parser.parse_args()
    if a.count <= 0 or a.paced_count <= 0 or a.block <= 0 or a.warmup < 0 or a.rounds <= 0 \
            or a.baud < 0:
        parser.error("N, B and R must be positive, W and BAUD not negative")
    try:
        short, long = (int(x) for x in a.instructions.split(","))
        if not 0 < short < long:
            raise ValueError
    except ValueError:
        parser.error("--instructions takes SHORT,LONG with 0 < SHORT < LONG")
    cpus = None
    if a.cpus:
        try:
            cpus = {int(c) for c in a.cpus.split(",")}
        except ValueError:
            parser.error("--cpus takes CPU numbers separated by commas")
    pin_workqueues = bool(cpus) and not a.leave_workqueues
    blocks = max(1, round(a.count / a.block))
    build = Path(a.build)
    sim = build / "tools" / "sim" / "varno-sim"

    if a.network:
        chosen = network_clients(build)
        names = [c.name for c, _, _ in chosen]
        speeds = []
    else:
        chosen = clients(build)
        if a.only:
            wanted = set(a.only.split(",")) | {"floor"}
            unknown = wanted - {c.name for c in chosen}
            if unknown:
                parser.error(f"unknown client(s): {', '.join(sorted(unknown))}")
            chosen = [c for c in chosen if c.name in wanted]
        names = [c.name for c in chosen]
        speeds = ([] if a.no_unpaced else [0]) + ([a.baud] if a.baud else [])
        if not speeds:
            parser.error("nothing to run: --no-unpaced and --baud 0")

    print(f"command: {a.command or shlex.join(sys.argv)}")
    print(f"machine: {load_line()} at start, {time.strftime('%Y-%m-%d %H:%M:%S')}")
    paced_blocks = max(1, round(a.paced_count / a.block))
    print(f"{blocks} blocks of {a.block} exchanges per client and round"
          + (f" ({paced_blocks} at {a.baud} baud)" if a.baud and not a.network else "")
          + f" after {a.warmup} warm-up, "
          f"{a.rounds} round(s); every client in its own process against its own varno-sim"
          + (" behind its own ser2net" if a.network else "")
          + ", the clients interleaved block by block"
          + (f"; clients and simulators kept on CPU(s) {a.cpus}" if cpus else "")
          + ("; unbound workqueues kept there too while measuring" if pin_workqueues else ""))

    def progress(prefix):
        return lambda text: print(f"{prefix}: {text}", file=sys.stderr)

    def measure(run):
        with contextlib.ExitStack() as stack:
            if pin_workqueues:
                try:
                    stack.enter_context(steady.unbound_workqueues(cpus))
                except OSError as e:
                    print(f"workqueues NOT pinned ({e}): the terminal's worker runs where the "
                          "kernel likes, and the floor may move from round to round")
            return measure_now(run)

    def measure_now(run):
        if a.network:
            by_name = {c.name: (c, mode, url) for c, mode, url in chosen}
            return {None: run_interleaved(names, network_starter(sim, cpus, by_name), a.rounds,
                                          blocks, a.block, a.warmup, progress(f"run {run}"))}
        by_name = {c.name: c for c in chosen}
        return {speed: run_interleaved(names, terminal_starter(sim, speed, cpus, by_name),
                                       a.rounds,
                                       max(1, round((a.paced_count if speed else a.count)
                                                    / a.block)),
                                       a.block, min(a.warmup, PACED_WARMUP) if speed else a.warmup,
                                       progress(f"run {run}, {speed_name(speed)}"))
                for speed in speeds}

    def count():
        if a.network or 0 not in speeds or a.no_instructions:
            return None
        print(f"counting instructions ({instructions.counter() or 'no counter'}), "
              f"{short} and {long} exchanges per client", file=sys.stderr)
        return count_instructions(chosen, sim, cpus, short, long)

    ticks_before = cpu_ticks()
    runs = [(measure(1), count())]
    if a.check_repeat:
        runs.append((measure(2), count()))
    if runs[0][1] is not None:
        how = {"perf": "perf stat, instructions:u", "callgrind": "valgrind --tool=callgrind"}
        print(f"instructions per exchange: user space, the client process only, "
              f"({long} − {short} exchanges) / {long - short}, by "
              f"{how.get(instructions.counter(), 'nothing')}")

    figures = []
    for number, (by_speed, counts) in enumerate(runs, 1):
        if a.check_repeat:
            print(f"\n## Run {number}")
        if a.network:
            figures.append(report_network(chosen, by_speed[None]))
        else:
            figures.append(report_terminal(a, chosen, by_speed, counts))
    agreed = True
    if a.check_repeat:
        rows, agreed = compare_runs(*(judged for judged, _ in figures))
        print("\n## Repeat\n")
        for line in repeat_report(rows, agreed, what="figure"):
            print(line)
        rows, _ = compare_runs(*(shown for _, shown in figures))
        if rows:
            print("\nShown, not judged (Node's timing, which moves on its own; CPU when paced):\n")
            for line in repeat_report(rows, True, what="figure", judged=False):
                print(line)
    print(f"\nmachine: {load_line()} at end; {busy_line(ticks_before, cpu_ticks())}")

    summaries = [summarize(chosen, by_speed, counts, a.network) for by_speed, counts in runs]
    if a.compare:
        print_comparison(json.loads(Path(a.compare).read_text()), summaries, a.compare)
    if a.json:
        Path(a.json).write_text(json.dumps({
            "command": a.command or shlex.join(sys.argv), "when": time.strftime("%Y-%m-%d %H:%M:%S"),
            "repeat_agreed": agreed if a.check_repeat else None, "summaries": summaries,
            "runs": [{"instructions_per_exchange": counts,
                      **{speed_name(s) if s is not None else "network": dump(m)
                         for s, m in by_speed.items()}} for by_speed, counts in runs]}))
    if any(m.failures for by_speed, _ in runs for m in by_speed.values()):
        return 1
    return 0 if agreed else NOT_REPEATED


if __name__ == "__main__":
    sys.exit(main())
