"""The kernel's terminal work kept beside the clients while a benchmark measures latency.

A pseudo-terminal's bytes are handed to the other end by a worker of an unbound workqueue, which
runs wherever the unbound workqueues' cpumask lets it. With the clients pinned to one processor
and the worker free to run on another, an exchange's time on these virtual machines depends on
whether that other processor has halted (its wake-up costs the host's exit and re-entry, tens of
microseconds): pinned to CPU 0 the floor took about 26 µs in some rounds and about 145 µs in
others. Kept on the clients' processors, the worker runs between the writer and the reader, and
no hand-over waits for a halted processor:

    with steady.unbound_workqueues({0}):
        ...measure...

Root only. The previous mask is written back on leaving, on an exception, Ctrl-C and SIGTERM
included. (A spinner at SCHED_IDLE keeping every processor from halting was tried as well, and
made things worse: it kept other programs off its processor, which crowded the worker.)

Standard library only.
"""
import contextlib
import fcntl
import os
import signal
import sys
import tempfile

WORKQUEUE_MASK = "/sys/devices/virtual/workqueue/cpumask"


def mask_of(cpus):
    """The hexadecimal cpumask sysfs takes for a set of processor numbers."""
    return format(sum(1 << c for c in cpus), "x")


@contextlib.contextmanager
def _terminated_as_exit():
    """SIGTERM raises SystemExit meanwhile, so that `finally` clauses run."""
    def handler(signum, _frame):
        raise SystemExit(128 + signum)
    try:
        previous = signal.signal(signal.SIGTERM, handler)
    except ValueError:  # not the main thread
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


LOCK = os.path.join(tempfile.gettempdir(), "varno-bench-workqueues.lock")


@contextlib.contextmanager
def unbound_workqueues(cpus, path=WORKQUEUE_MASK, lock=LOCK):
    """The unbound workqueues kept on `cpus` meanwhile; raises OSError (saying why) where the mask
    cannot be read or written (not root, no such file, a mask the kernel refuses). Two benchmarks
    doing this at once would each restore what the other set, so the second waits for the first
    (a lock file)."""
    with open(lock, "a") as held:
        try:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"waiting for another benchmark's pinned workqueues ({lock})", file=sys.stderr,
                  flush=True)
            fcntl.flock(held, fcntl.LOCK_EX)
        with _pinned(cpus, path) as before:
            yield before


@contextlib.contextmanager
def _pinned(cpus, path):
    try:
        with open(path) as f:
            before = f.read().strip()
    except OSError as e:
        raise OSError(f"cannot read {path}: {e.strerror or e}") from e
    with _terminated_as_exit():
        try:
            with open(path, "w") as f:
                f.write(mask_of(cpus))
        except OSError as e:
            raise OSError(f"cannot write {path}: {e.strerror or e}") from e
        try:
            yield before
        finally:
            with open(path, "w") as f:
                f.write(before)


def main():
    """steady.py --cpus LIST -- COMMAND...: COMMAND kept on the CPUs (its children too) with the
    unbound workqueues beside it (where this may write their mask); its exit status."""
    import argparse
    import subprocess
    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--cpus", required=True, metavar="LIST")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    a = parser.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    try:
        cpus = {int(c) for c in a.cpus.split(",")}
    except ValueError:
        parser.error("--cpus takes CPU numbers separated by commas")
    if not command:
        parser.error("no command")
    os.sched_setaffinity(0, cpus)
    with contextlib.ExitStack() as stack:
        try:
            stack.enter_context(unbound_workqueues(cpus))
            print(f"steady: on CPU(s) {a.cpus}, the unbound workqueues there too", flush=True)
        except OSError as e:
            print(f"steady: on CPU(s) {a.cpus}; workqueues NOT pinned ({e})", flush=True)
        return subprocess.call(command)


if __name__ == "__main__":
    raise SystemExit(main())
