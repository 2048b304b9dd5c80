"""Runs the peer clients one after another, each against its own fresh varno-sim, and prints one
Markdown table per line speed (with --network: per network mode, through ser2net). Started by run.sh, which builds and installs what this needs;
standard library only.

    peers.py [N] [--baud B] [--warmup W] [--rounds R] [--cpus LIST] [--only NAME,...]
             [--no-unpaced] [--json FILE] [--network]

N exchanges per client (default 2000) after W warm-up exchanges (default 200). Every client runs
once with the simulator answering at once and once with it pacing the line at B baud (default
38400; 0 leaves the paced run out). With R rounds every client runs R times at each speed (the
clients taking turns), and its samples are pooled. --cpus keeps clients and simulators on the
CPUs given: on a virtual machine whose idle processors halt, a wake-up that crosses processors
can cost tens of microseconds, and where the scheduler happens to put the two processes then
decides an unpaced exchange's time more than the client does.

--network compares the network clients instead: this library's tcp:// and rfc2217:// ports with
pyserial's socket:// and rfc2217:// clients, each run against its own fresh varno-sim (answering
at once) served on 127.0.0.1 by its own Debian ser2net (raw, then telnet with RFC 2217).
"""
import argparse
import json
import os
import re
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = ROOT / "bench" / "peers"
UNPACED_OPEN_BAUD = 115200  # what the clients ask for when the simulator does not pace


@dataclass
class Client:
    name: str  # short, for --only
    label: str  # in the table
    command: list  # PATH BAUD COUNT WARMUP are appended, then `tail`
    tail: list = field(default_factory=list)
    env: dict = field(default_factory=dict)


@dataclass
class Result:
    samples: list = field(default_factory=list)
    cpu_s: float = 0.0
    count: int = 0
    errors: int = 0  # failed exchanges among `count`, left out of the samples
    warmup_errors: int = 0
    first_error: str = ""
    extra: dict = field(default_factory=dict)
    failure: str = ""


def clients(build: Path):
    peers_bin = build / "bench" / "peers"
    node = "/usr/bin/node" if Path("/usr/bin/node").exists() else "node"
    node_modules = ROOT / "build" / "peers-node" / "node_modules"
    return [
        Client("floor", "raw termios write/poll/read (floor)", [str(peers_bin / "peer_termios")]),
        Client("varno", "VarnoDLL send to callback", [str(peers_bin / "peer_varno")], ["callback"]),
        Client("varno-wait", "VarnoDLL send with wait, to return", [str(peers_bin / "peer_varno")],
               ["wait"]),
        Client("varno-transact", "VarnoDLL link transact, to return",
               [str(peers_bin / "peer_varno")], ["transact"]),
        Client("pyserial", "pyserial write/read(12)",
               ["/usr/bin/python3", str(HERE / "pyserial_client.py")]),
        Client("python", "varno (Python) link.transact",
               ["/usr/bin/python3", str(HERE / "varno_py_client.py")],
               env={"VARNO_LIBRARY": str(build / "link" / "libVarnoDLL.so"),
                    "PYTHONPATH": str(ROOT / "python")}),
        Client("node", "Node serialport write/'data'", [node, str(HERE / "node_client.js")],
               env={"NODE_PATH": str(node_modules)}),
    ]


@dataclass
class NetworkClient:
    name: str
    label: str
    command: list
    urls: dict  # mode -> the URL format for the client, {port} filled in
    tail: list = field(default_factory=list)


NETWORK_MODES = {"raw": "tcp", "rfc2217": "telnet(rfc2217),tcp"}


def network_clients(build: Path):
    peers_bin = build / "bench" / "peers"
    return [
        NetworkClient("varno", "VarnoDLL send to callback", [str(peers_bin / "peer_varno")],
                      {"raw": "tcp://127.0.0.1:{port}", "rfc2217": "rfc2217://127.0.0.1:{port}"},
                      ["callback"]),
        # ser2net serving a terminal does not answer SET-CONTROL for DTR, which pyserial's client
        # waits for unless told not to.
        NetworkClient("pyserial", "pyserial 3.5 write/read(12)",
                      ["/usr/bin/python3", str(HERE / "pyserial_client.py")],
                      {"raw": "socket://127.0.0.1:{port}",
                       "rfc2217": "rfc2217://127.0.0.1:{port}?ign_set_control"}),
    ]


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, limit=10.0):
    """Whether something listens on the port within `limit` (from /proc: no connection made)."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    for line in list(f)[1:]:
                        fields = line.split()
                        if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                            return True
            except OSError:
                pass
        time.sleep(0.02)
    return False


def run_network_client(client: NetworkClient, mode, sim: Path, count, warmup, cpus):
    """One run of one network client against a fresh simulator behind a fresh ser2net."""
    result = Result()
    with tempfile.TemporaryDirectory(prefix="varno-peers-") as directory, \
            tempfile.TemporaryFile() as sim_log, tempfile.TemporaryFile() as client_log:
        try:
            proc, path = start_simulator(sim, 0, sim_log, cpus)
        except RuntimeError as e:
            result.failure = str(e)
            return result
        port = free_port()
        config = Path(directory) / "ser2net.yaml"
        config.write_text("%YAML 1.1\n---\n"
                          f"connection: &line\n"
                          f"    accepter: {NETWORK_MODES[mode]},127.0.0.1,{port}\n"
                          f"    options:\n"
                          f"      kickolduser: true\n"
                          f"    connector: serialdev,{path},{UNPACED_OPEN_BAUD}n81,local\n")
        server = None
        try:
            server = subprocess.Popen(["ser2net", "-n", "-c", str(config), "-P",
                                       str(Path(directory) / "pid")],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, preexec_fn=pinning(cpus))
            if not wait_listening(port):
                result.failure = "ser2net is not listening"
                return result
            url = client.urls[mode].format(port=port)
            args = client.command + [url, str(UNPACED_OPEN_BAUD), str(count), str(warmup)] + \
                client.tail
            limit = 30 + (count + warmup) * 0.05
            done = subprocess.run(args, stdout=subprocess.PIPE, stderr=client_log,
                                  stdin=subprocess.DEVNULL, timeout=limit,
                                  preexec_fn=pinning(cpus))
        except OSError as e:
            result.failure = f"cannot run: {e}"
            return result
        except subprocess.TimeoutExpired:
            result.failure = "no result in time (killed)"
            return result
        finally:
            if server is not None:
                server.terminate()
                try:
                    server.wait(5)
                except subprocess.TimeoutExpired:
                    server.kill()
                    server.wait()
            stop_simulator(proc)
        read_result(result, done, client_log)
    if not result.failure and not result.samples:
        result.failure = f"every exchange failed; the first, {result.first_error}"
    return result


def run_network(a, build, cpus):
    """The network comparison: tables and targets; the exit status."""
    sim = build / "tools" / "sim" / "varno-sim"
    chosen = network_clients(build)
    print(f"command: {a.command or shlex.join(sys.argv)}")
    print(f"machine: {load_line()} at start, {time.strftime('%Y-%m-%d %H:%M:%S')}")
    print(f"{a.count} exchanges per client after {a.warmup} warm-up, {a.rounds} round(s); each "
          "client in its own process against its own varno-sim behind its own ser2net, one at a "
          "time")
    ticks_before = cpu_ticks()
    by_mode = {}
    for mode in NETWORK_MODES:
        runs = {c.name: [] for c in chosen}
        for round_number in range(a.rounds):
            for c in chosen:
                r = run_network_client(c, mode, sim, a.count, a.warmup, cpus)
                where = f"{mode}, round {round_number + 1}"
                if r.failure:
                    print(f"{c.label} ({where}): FAILED: {r.failure}", file=sys.stderr)
                else:
                    print(f"{c.label} ({where}): median {median_p99(r.samples)[0]:.1f} µs",
                          file=sys.stderr)
                runs[c.name].append(r)
        by_mode[mode] = {name: pool(rs) for name, rs in runs.items()}
    lines = []
    for mode, results in by_mode.items():
        title = {"raw": "Raw TCP through ser2net (varno tcp://, pyserial socket://)",
                 "rfc2217": "RFC 2217 through ser2net (varno rfc2217://, pyserial rfc2217://)"}
        table(title[mode], chosen, results, None)
        lib, py = results["varno"], results["pyserial"]
        if not lib.failure and not py.failure:
            (lm, lp), (pm, pp) = median_p99(lib.samples), median_p99(py.samples)
            lines.append(f"{mode}: median {lm:.1f} µs vs pyserial's {pm:.1f} µs (target: no "
                         f"worse): {'met' if lm <= pm else 'MISSED'}")
            lines.append(f"{mode}: p99 {lp:.1f} µs vs pyserial's {pp:.1f} µs = {lp / pp:.2f}× "
                         f"(target ≤ 1.1×): {'met' if lp <= 1.1 * pp else 'MISSED'}")
    if lines:
        print("\n### Targets\n")
        for line in lines:
            print(f"- {line}")
    print(f"\nmachine: {load_line()} at end; {busy_line(ticks_before, cpu_ticks())}")
    failed = any(r.failure for results in by_mode.values() for r in results.values())
    return 1 if failed else 0


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


def pinning(cpus):
    """A preexec_fn that keeps a child on `cpus` (None: wherever the scheduler likes)."""
    if cpus is None:
        return None
    return lambda: os.sched_setaffinity(0, cpus)


def start_simulator(sim: Path, baud: int, log, cpus):
    """The simulator's process and its terminal's path; raises RuntimeError."""
    args = [str(sim)] + (["--baud", str(baud)] if baud else []) + ["1"]
    try:
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL,
                                preexec_fn=pinning(cpus))
    except OSError as e:
        raise RuntimeError(f"cannot start {sim}: {e}") from e
    ready, _, _ = select.select([proc.stdout], [], [], 10)
    line = proc.stdout.readline().decode().strip() if ready else ""
    if not line.startswith("/"):
        stop_simulator(proc)
        raise RuntimeError(f"varno-sim gave no terminal path (exit {proc.returncode})")
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


def run_client(client: Client, sim: Path, baud: int, count: int, warmup: int, cpus):
    """One run of one client against a fresh simulator: the parsed result line, or a failure."""
    result = Result()
    with tempfile.TemporaryFile() as sim_log, tempfile.TemporaryFile() as client_log:
        try:
            proc, path = start_simulator(sim, baud, sim_log, cpus)
        except RuntimeError as e:
            result.failure = str(e)
            return result
        open_baud = baud or UNPACED_OPEN_BAUD
        args = client.command + [path, str(open_baud), str(count), str(warmup)] + client.tail
        # Generous: a paced exchange takes 6.25 ms at 38400 baud.
        limit = 30 + (count + warmup) * 0.05
        try:
            done = subprocess.run(args, stdout=subprocess.PIPE, stderr=client_log,
                                  stdin=subprocess.DEVNULL, timeout=limit,
                                  env={**os.environ, **client.env}, preexec_fn=pinning(cpus))
        except OSError as e:
            result.failure = f"cannot run {args[0]}: {e}"
            return result
        except subprocess.TimeoutExpired:
            result.failure = f"no result within {limit:.0f} s (killed)"
            return result
        finally:
            stop_simulator(proc)
        read_result(result, done, client_log)
    if not result.failure and len(result.samples) + result.errors != count:
        result.failure = f"{len(result.samples)} samples and {result.errors} errors, {count} expected"
    if not result.failure and not result.samples:
        result.failure = f"every exchange failed; the first, {result.first_error}"
    return result


def read_result(result: Result, done, client_log):
    """Fills `result` from the client's last JSON line, or says why there is none."""
    client_log.seek(0)
    log = client_log.read().decode(errors="replace")
    lines = [l for l in done.stdout.decode(errors="replace").splitlines() if l.startswith("{")]
    if done.returncode != 0 or not lines:
        result.failure = f"exit status {done.returncode}: {last_message(log)}"
        return
    try:
        data = json.loads(lines[-1])
        result.samples = [float(s) for s in data.pop("samples_us")]
        result.cpu_s = float(data.pop("cpu_s"))
        result.count = int(data.pop("count"))
        result.errors = int(data.pop("errors", 0))
        result.warmup_errors = int(data.pop("warmup_errors", 0))
        result.first_error = str(data.pop("first_error", ""))
        result.extra = {k: v for k, v in data.items() if isinstance(v, list)}
    except (ValueError, KeyError, TypeError) as e:
        result.failure = f"unreadable result line ({e})"


def last_message(log):
    """The client's own last complaint in its stderr (the library writes diagnostics there too,
    without line ends of their own)."""
    found = re.findall(r"(?:peer_\w+|pyserial_client|varno_py_client|node_client): [^\n]*", log)
    if found:
        return found[-1].strip()
    lines = [l.strip() for l in log.splitlines() if l.strip()]
    return lines[-1] if lines else "no message"


def pool(results):
    """Several rounds of one client as one result; failed as soon as one round failed."""
    total = Result()
    if len(results) > 1:
        total.extra["round_medians_us"] = [median_p99(r.samples)[0] if r.samples else float("nan")
                                           for r in results]
    for r in results:
        if r.failure:
            return r
        total.samples += r.samples
        total.cpu_s += r.cpu_s
        total.count += r.count
        total.errors += r.errors
        total.warmup_errors += r.warmup_errors
        total.first_error = total.first_error or r.first_error
        for k, v in r.extra.items():
            total.extra.setdefault(k, []).extend(v)
    return total


def median_p99(samples):
    s = sorted(samples)
    return s[len(s) // 2], s[min(len(s) - 1, len(s) * 99 // 100)]


def table(title, rows, results, floor):
    print(f"\n### {title}\n")
    print("| client | median µs | p99 µs | CPU µs per exchange | median ratio to floor "
          "| p99 ratio to floor |")
    print("|---|---:|---:|---:|---:|---:|")
    for client in rows:
        r = results[client.name]
        if r.failure:
            print(f"| {client.label} | FAILED | FAILED | FAILED | — | — |")
            continue
        med, p99 = median_p99(r.samples)
        cpu = r.cpu_s * 1e6 / r.count
        if floor is not None:
            ratios = f"{med / floor[0]:.2f} | {p99 / floor[1]:.2f}"
        else:
            ratios = "— | —"
        label = client.label + (f" ({r.errors} failed)" if r.errors else "")
        print(f"| {label} | {med:.1f} | {p99:.1f} | {cpu:.1f} | {ratios} |")
    print()
    for client in rows:
        r = results[client.name]
        if r.failure:
            print(f"- {client.label}: FAILED: {r.failure}")
        elif r.errors or r.warmup_errors:
            print(f"- {client.label}: {r.errors} of {r.count} exchanges failed "
                  f"({r.warmup_errors} in warm-up) and are left out of the samples; the first, "
                  f"{r.first_error}")
    for client in rows:
        r = results[client.name]
        if not r.failure and "round_medians_us" in r.extra:
            each = ", ".join(f"{m:.1f}" for m in r.extra["round_medians_us"])
            print(f"- {client.label}: median of each round {each} µs")
    if "return_after_callback_us" in results.get("varno-wait", Result()).extra:
        med, p99 = median_p99(results["varno-wait"].extra["return_after_callback_us"])
        print(f"- wait: the send returns {med:.1f} µs (median), {p99:.1f} µs (p99) after its "
              "callback began")


def targets(paced_baud, by_speed):
    """The comparisons the project watches, met or not."""
    lines = []

    def stats(speed, name):
        r = by_speed.get(speed, {}).get(name)
        return None if r is None or r.failure else median_p99(r.samples)

    lib, floor, node = stats(0, "varno"), stats(0, "floor"), stats(0, "node")
    if lib and floor:
        ratio = lib[0] / floor[0]
        lines.append(f"terminal speed: send-to-callback median {ratio:.2f}× the floor's "
                     f"(target ≤ 1.5×): {'met' if ratio <= 1.5 else 'MISSED'}")
    transact, py = stats(0, "varno-transact"), stats(0, "pyserial")
    if transact and floor:
        ratio = transact[0] / floor[0]
        lines.append(f"terminal speed: link transact median {ratio:.2f}× the floor's "
                     f"(target ≤ 1.1×): {'met' if ratio <= 1.1 else 'MISSED'}")
    mine, theirs = by_speed.get(0, {}).get("varno-transact"), by_speed.get(0, {}).get("pyserial")
    if mine and theirs and not mine.failure and not theirs.failure:
        a, b = mine.cpu_s * 1e6 / mine.count, theirs.cpu_s * 1e6 / theirs.count
        lines.append(f"terminal speed: link transact CPU {a:.1f} µs per exchange vs pyserial's "
                     f"{b:.1f} µs (target: no more): {'met' if a <= b else 'MISSED'}")
    if lib and node:
        lines.append(f"terminal speed: send-to-callback median {lib[0]:.1f} µs vs Node's "
                     f"{node[0]:.1f} µs (target: ahead): {'met' if lib[0] < node[0] else 'MISSED'}")
    python, pyserial = stats(0, "python"), stats(0, "pyserial")
    if python and pyserial:
        ratio = python[0] / pyserial[0]
        lines.append(f"terminal speed: Python link.transact median {ratio:.2f}× pyserial's "
                     f"(target ≤ 1.25×): {'met' if ratio <= 1.25 else 'MISSED'}")
    if paced_baud:
        python, pyserial = stats(paced_baud, "python"), stats(paced_baud, "pyserial")
        if python and pyserial:
            diff = (python[0] - pyserial[0]) / pyserial[0] * 100
            lines.append(f"{paced_baud} baud: Python link.transact median {diff:+.2f}% vs "
                         f"pyserial's (target within ±2%): {'met' if abs(diff) <= 2 else 'MISSED'}")
        lib, py = stats(paced_baud, "varno"), stats(paced_baud, "pyserial")
        if lib and py:
            diff = (lib[0] - py[0]) / py[0] * 100
            lines.append(f"{paced_baud} baud: send-to-callback median {diff:+.2f}% vs pyserial's "
                         f"(target within ±2%): {'met' if abs(diff) <= 2 else 'MISSED'}")
            lines.append(f"{paced_baud} baud: send-to-callback p99 {lib[1]:.1f} µs vs pyserial's "
                         f"{py[1]:.1f} µs (target: no worse): "
                         f"{'met' if lib[1] <= py[1] else 'MISSED'}")
    if lines:
        print("\n### Targets\n")
        for line in lines:
            print(f"- {line}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", nargs="?", type=int, default=2000, metavar="N")
    parser.add_argument("--baud", type=int, default=38400, metavar="B")
    parser.add_argument("--warmup", type=int, default=200, metavar="W")
    parser.add_argument("--rounds", type=int, default=1, metavar="R")
    parser.add_argument("--no-unpaced", action="store_true",
                        help="leave out the run with the simulator answering at once")
    parser.add_argument("--only", default="", metavar="NAME,...",
                        help="floor, varno, varno-wait, pyserial, python, node (the floor always runs)")
    parser.add_argument("--cpus", metavar="LIST",
                        help="keep every client and simulator on these CPUs (e.g. 1 or 0,1); "
                             "default: no pinning")
    parser.add_argument("--build", default=str(ROOT / "build" / "release"), metavar="DIR")
    parser.add_argument("--json", metavar="FILE", help="also write every sample here")
    parser.add_argument("--command", default="", help=argparse.SUPPRESS)  # as run.sh was called
    parser.add_argument("--network", action="store_true",
                        help="compare the network clients through ser2net instead")
    a = parser.parse_args()
    if a.count <= 0 or a.warmup < 0 or a.rounds <= 0 or a.baud < 0:
        parser.error("N and R must be positive, W and B not negative")

    cpus = None
    if a.cpus:
        try:
            cpus = {int(c) for c in a.cpus.split(",")}
        except ValueError:
            parser.error("--cpus takes CPU numbers separated by commas")
    build = Path(a.build)
    if a.network:
        return run_network(a, build, cpus)
    sim = build / "tools" / "sim" / "varno-sim"
    chosen = clients(build)
    if a.only:
        wanted = set(a.only.split(",")) | {"floor"}
        unknown = wanted - {c.name for c in chosen}
        if unknown:
            parser.error(f"unknown client(s): {', '.join(sorted(unknown))}")
        chosen = [c for c in chosen if c.name in wanted]

    print(f"command: {a.command or shlex.join(sys.argv)}")
    print(f"machine: {load_line()} at start, {time.strftime('%Y-%m-%d %H:%M:%S')}")
    print(f"{a.count} exchanges per client after {a.warmup} warm-up, {a.rounds} round(s); "
          "each client in its own process against its own varno-sim, one at a time"
          + (f"; clients and simulators kept on CPU(s) {a.cpus}" if cpus else ""))

    ticks_before = cpu_ticks()
    speeds = ([] if a.no_unpaced else [0]) + ([a.baud] if a.baud else [])
    if not speeds:
        parser.error("nothing to run: --no-unpaced and --baud 0")
    by_speed = {}
    for speed in speeds:
        runs = {c.name: [] for c in chosen}
        for round_number in range(a.rounds):
            for c in chosen:
                r = run_client(c, sim, speed, a.count, a.warmup, cpus)
                where = f"{'unpaced' if speed == 0 else f'{speed} baud'}, round {round_number + 1}"
                if r.failure:
                    print(f"{c.label} ({where}): FAILED: {r.failure}", file=sys.stderr)
                else:
                    med, _ = median_p99(r.samples)
                    failed = f", {r.errors} failed" if r.errors else ""
                    print(f"{c.label} ({where}): median {med:.1f} µs{failed}", file=sys.stderr)
                runs[c.name].append(r)
        by_speed[speed] = {name: pool(rs) for name, rs in runs.items()}

    for speed in speeds:
        results = by_speed[speed]
        floor = None if results["floor"].failure else median_p99(results["floor"].samples)
        title = ("Terminal speed (simulator answering at once; clients open at "
                 f"{UNPACED_OPEN_BAUD})" if speed == 0 else
                 f"{speed} baud (simulator pacing 10 bit times per byte, 24 byte times per "
                 f"exchange = {240e6 / speed:.0f} µs)")
        table(title, chosen, results, floor)
    targets(a.baud, by_speed)
    print(f"\nmachine: {load_line()} at end; {busy_line(ticks_before, cpu_ticks())}")

    if a.json:
        dump = {str(speed): {name: {"samples_us": r.samples, "cpu_s": r.cpu_s, "count": r.count,
                                    "errors": r.errors, "failure": r.failure, **r.extra}
                             for name, r in results.items()}
                for speed, results in by_speed.items()}
        Path(a.json).write_text(json.dumps(dump))
    failed = any(r.failure for results in by_speed.values() for r in results.values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
