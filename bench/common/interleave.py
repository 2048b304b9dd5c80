"""Interleaved measurement of several clients, for the benchmarks that compare them.

On a shared or virtual machine a client's latency moves with what the machine does meanwhile (an
idle virtual processor that halts, another program's build), by more than the differences between
clients. Measured one after the other, each client meets a different machine. Here every client
keeps its connection open and they take turns in short blocks, the order rotating from block to
block, so that whatever the machine does in a stretch of time it does to all of them; each
client's figure is then its ratio to a reference client within the same block, and the result is
the median and the interquartile range of those ratios over all blocks, not a pooled median.

A client is a process that speaks a small line protocol: each line "N" on its standard input runs
N operations and is answered by one line of JSON on its standard output with at least
"samples_us" (the latency of each successful operation), "cpu_s" (the process's CPU time for the
block) and "count"; optionally "errors", "warmup_errors", "first_error" and further lists. An empty
line or the end of its input ends it. BlockProcess runs one; anything with block(n) and close()
will do.

    m = run_interleaved(["floor", "mine"], start, rounds=3, blocks=20, size=100, warmup=200)
    m.summary("mine", "floor")  # Spread of the per-block ratios: median, q1, q3, n
    compare_runs(first, second)  # --check-repeat: did two whole runs agree within 10%?

Standard library only.
"""
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

# The exit status of a benchmark whose two runs did not agree (1 stays "a client failed").
NOT_REPEATED = 3
TOLERANCE = 0.10


class ClientFailed(Exception):
    """A client could not start, stopped, answered nothing in time or something unreadable."""


@dataclass
class Block:
    samples: list
    cpu_s: float
    count: int
    errors: int = 0
    warmup_errors: int = 0
    first_error: str = ""
    extra: dict = field(default_factory=dict)  # further named lists from the result line


def parse_block(line):
    """One result line as a Block; raises ValueError when it is not one."""
    try:
        data = json.loads(line)
        return Block(samples=[float(s) for s in data.pop("samples_us")],
                     cpu_s=float(data.pop("cpu_s")), count=int(data.pop("count")),
                     errors=int(data.pop("errors", 0)),
                     warmup_errors=int(data.pop("warmup_errors", 0)),
                     first_error=str(data.pop("first_error", "")),
                     extra={k: v for k, v in data.items() if isinstance(v, list)})
    except (KeyError, TypeError, AttributeError, json.JSONDecodeError) as e:
        raise ValueError(f"unreadable result line ({e})") from e


class BlockProcess:
    """A client process in blocks. `cleanup` runs after the process has ended (e.g. stopping the
    simulator it talks to). A block may take `seconds` plus `seconds_per_op` for each operation;
    a client that takes longer is killed. `message(stderr)` picks its complaint from its stderr."""

    def __init__(self, argv, env=None, preexec_fn=None, cleanup=None, seconds_per_op=0.05,
                 message=None, seconds=30):
        self.seconds_per_op = seconds_per_op
        self.seconds = seconds
        self.cleanup = cleanup
        self.message = message or last_line  # the client's complaint, from its stderr
        self.log = tempfile.TemporaryFile()
        self.buffer = b""
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=self.log, env=env, preexec_fn=preexec_fn)
        except OSError as e:
            self.proc = None
            self.close()
            raise ClientFailed(f"cannot run {argv[0]}: {e}") from e

    def block(self, n):
        """Runs n operations; their Block. Raises ClientFailed."""
        try:
            self.proc.stdin.write(f"{n}\n".encode())
            self.proc.stdin.flush()
        except OSError:
            pass  # it has ended; reading says why
        line = self._line(self.seconds + n * self.seconds_per_op)
        try:
            return parse_block(line)
        except ValueError as e:
            raise ClientFailed(str(e)) from e

    def _line(self, limit):
        end = time.monotonic() + limit
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buffer:
            left = end - time.monotonic()
            ready = select.select([fd], [], [], max(0.0, left))[0] if left > 0 else []
            if not ready:
                self.close(kill=True)
                raise ClientFailed(f"no result within {limit:.0f} s (killed)")
            chunk = os.read(fd, 65536)
            if not chunk:
                status = self.close()
                raise ClientFailed(f"exit status {status}: {self.complaint()}")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode(errors="replace")

    def complaint(self):
        self.log.seek(0)
        return self.message(self.log.read().decode(errors="replace"))

    def close(self, kill=False):
        """Ends the client (an empty line, then a kill if it lingers); its exit status."""
        status = None
        if self.proc is not None and kill:
            self.proc.kill()
        if self.proc is not None:
            try:
                self.proc.stdin.write(b"\n")
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                status = self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                status = self.proc.wait()
            self.proc.stdout.close()
            self.proc = None
        if self.cleanup is not None:
            cleanup, self.cleanup = self.cleanup, None
            cleanup()
        return status


def last_line(log):
    lines = [l.strip() for l in log.splitlines() if l.strip()]
    return lines[-1] if lines else "no message"


@dataclass
class Spread:
    median: float
    q1: float
    q3: float
    n: int

    def __str__(self):
        return f"{self.median:.2f} ({self.q1:.2f}–{self.q3:.2f})"


def spread(values):
    """Median and interquartile range of `values` (at least one)."""
    values = sorted(values)
    if len(values) == 1:
        return Spread(values[0], values[0], values[0], 1)
    q1, med, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return Spread(med, q1, q3, len(values))


@dataclass
class Measurement:
    """Every client's blocks, keyed by (round, block) so that ratios pair blocks of one stretch
    of time; the warm-up block of each round apart."""
    names: list
    blocks: dict = field(default_factory=dict)  # name -> {(round, block): Block}
    warmups: dict = field(default_factory=dict)  # name -> [Block], one per round
    failures: dict = field(default_factory=dict)  # name -> why

    def all_blocks(self, name):
        return list(self.blocks.get(name, {}).values())

    def samples(self, name):
        return [s for b in self.all_blocks(name) for s in b.samples]

    def block_medians(self, name):
        return [statistics.median(b.samples) for b in self.all_blocks(name) if b.samples]

    def ratios(self, name, reference):
        """The ratio of `name`'s median to `reference`'s in each block both completed."""
        mine, theirs = self.blocks.get(name, {}), self.blocks.get(reference, {})
        return [statistics.median(mine[k].samples) / statistics.median(theirs[k].samples)
                for k in mine if k in theirs and mine[k].samples and theirs[k].samples]

    def cpu_ratios(self, name, reference):
        """The ratio of `name`'s CPU time per operation to `reference`'s in each block both
        completed: what the machine's state (caches, frequency, others' load) does to both
        falls out, as with the latency."""
        mine, theirs = self.blocks.get(name, {}), self.blocks.get(reference, {})
        return [(mine[k].cpu_s / mine[k].count) / (theirs[k].cpu_s / theirs[k].count)
                for k in mine if k in theirs and mine[k].count and theirs[k].count
                and mine[k].cpu_s > 0 and theirs[k].cpu_s > 0]

    def summary(self, name, reference):
        """Spread of the per-block ratios, or None where there are none."""
        r = self.ratios(name, reference)
        return spread(r) if r else None

    def cpu_per_op_us(self, name):
        blocks = self.all_blocks(name)
        count = sum(b.count for b in blocks)
        return sum(b.cpu_s for b in blocks) * 1e6 / count if count else None

    def errors(self, name):
        return sum(b.errors for b in self.all_blocks(name))


def run_interleaved(names, start, rounds, blocks, size, warmup=0, progress=None):
    """Each round starts every client (`start(name, round)` returns one, or raises ClientFailed),
    runs each one's warm-up block alone, then `blocks` blocks of `size` operations, the clients
    taking turns, the first of each turn rotating; then ends them. A client that fails is left
    out from then on and its failure kept. `progress(text)` hears one line per round and client."""
    m = Measurement(list(names))
    say = progress or (lambda text: print(text, file=sys.stderr))
    for round_number in range(rounds):
        live = {}
        try:
            for name in names:
                if name in m.failures:
                    continue
                try:
                    live[name] = start(name, round_number)
                    if warmup:
                        m.warmups.setdefault(name, []).append(live[name].block(warmup))
                except ClientFailed as e:
                    m.failures[name] = str(e)
                    if name in live:
                        live.pop(name).close()
            for b in range(blocks):
                turn = list(live)
                shift = b % len(turn) if turn else 0
                for name in turn[shift:] + turn[:shift]:
                    try:
                        m.blocks.setdefault(name, {})[(round_number, b)] = live[name].block(size)
                    except ClientFailed as e:
                        m.failures[name] = f"round {round_number + 1}, block {b + 1}: {e}"
                        live.pop(name).close()
        finally:
            for client in live.values():
                client.close()
        for name in names:
            if name in m.failures:
                say(f"{name} (round {round_number + 1}): FAILED: {m.failures[name]}")
                continue
            these = [blk for (r, _), blk in m.blocks.get(name, {}).items() if r == round_number]
            meds = [statistics.median(blk.samples) for blk in these if blk.samples]
            if meds:
                say(f"{name} (round {round_number + 1}): median of {len(meds)} block medians "
                    f"{statistics.median(meds):.1f} µs")
    return m


def agree(a, b, tolerance=TOLERANCE):
    """Whether two positive figures are within `tolerance` of each other (larger / smaller)."""
    return a > 0 and b > 0 and max(a, b) / min(a, b) <= 1 + tolerance


def compare_runs(first, second, tolerance=TOLERANCE):
    """Two runs' figures ({key: value}) side by side: rows (key, first, second, agreed) for the
    keys both have, and whether all agreed (False where there are none, or a key is missing in
    one run only)."""
    rows = [(k, first[k], second[k], agree(first[k], second[k], tolerance))
            for k in first if k in second]
    complete = set(first) == set(second) and rows
    return rows, bool(complete) and all(ok for *_, ok in rows)


def repeat_report(rows, agreed, tolerance=TOLERANCE, what="ratio", judged=True):
    """The Markdown that --check-repeat prints for compare_runs()'s rows; with judged=False the
    figures are shown side by side without a verdict."""
    def cell(v):
        return f"{v:,.0f}" if abs(v) >= 100 else f"{v:.2f}"
    out = [f"| {what} | run 1 | run 2 | larger / smaller |"
           + (f" within {tolerance:.0%} |" if judged else ""),
           "|---|---:|---:|---:|" + ("---|" if judged else "")]
    for key, a, b, ok in rows:
        ratio = f"{max(a, b) / min(a, b):.3f}" if min(a, b) > 0 else "—"
        out.append(f"| {key} | {cell(a)} | {cell(b)} | {ratio} |"
                   + (f" {'yes' if ok else 'NO'} |" if judged else ""))
    if not judged:
        return out
    out.append("")
    if agreed:
        out.append(f"Repeat check: the two runs agree within {tolerance:.0%}; these {what}s are "
                   "this machine's answer.")
    else:
        out.append(f"Repeat check: NO STABLE ANSWER: the two runs do not agree within "
                   f"{tolerance:.0%} on this machine (its load moved them); the {what}s above "
                   "should not be quoted. Run again when the machine is quieter, with more "
                   "rounds, or pinned (--cpus).")
    return out
