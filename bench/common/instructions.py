"""Instructions per operation: the cost of a client that no scheduling moves.

Where the processor's counters are visible (`perf stat -e instructions:u true` counts), perf
counts the process; on a virtual machine that hides them, valgrind's callgrind does, slower but
with the same count on a busy machine as on a quiet one. Either counts the user-space
instructions of the process and its threads (callgrind cannot see the kernel's, so perf is told
to leave them out too: the two give comparable figures). Start-up and shut-down fall out by
counting two runs of different lengths and dividing the difference:

    per_op = per_operation(lambda n: count([...client..., str(n)]), short=200, long=1200)

Debian: linux-perf, valgrind. Standard library only.
"""
import functools
import os
import re
import shutil
import subprocess
import tempfile


class CountFailed(Exception):
    pass


@functools.lru_cache(maxsize=None)
def counter():
    """"perf", "callgrind" or None (neither can count here)."""
    if shutil.which("perf"):
        try:
            done = subprocess.run(["perf", "stat", "-x,", "-e", "instructions:u", "true"],
                                  capture_output=True, text=True, timeout=30)
            if re.search(r"^\d+,", done.stderr, re.M):
                return "perf"
        except (OSError, subprocess.TimeoutExpired):
            pass
    if shutil.which("valgrind"):
        return "callgrind"
    return None


def count(argv, env=None, preexec_fn=None, timeout=600, check=None):
    """The user-space instructions one run of `argv` executes. `check(stdout)` may raise
    CountFailed when the program's own output says the run went wrong."""
    how = counter()
    if how is None:
        raise CountFailed("neither perf with counters nor valgrind on this machine")
    with tempfile.TemporaryDirectory(prefix="varno-count-") as directory:
        out = os.path.join(directory, "count")
        if how == "perf":
            wrapped = ["perf", "stat", "-x,", "-e", "instructions:u", "-o", out, "--"] + argv
        else:
            wrapped = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                       f"--log-file={out}", "--"] + argv
        try:
            done = subprocess.run(wrapped, stdin=subprocess.DEVNULL, capture_output=True,
                                  env=env, preexec_fn=preexec_fn, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise CountFailed(f"{how}: no end within {timeout} s") from e
        except OSError as e:
            raise CountFailed(f"cannot run {how}: {e}") from e
        if done.returncode != 0:
            lines = done.stderr.decode(errors="replace").strip().splitlines()
            raise CountFailed(f"{how}: exit status {done.returncode}: "
                              f"{lines[-1] if lines else 'no message'}")
        if check is not None:
            check(done.stdout.decode(errors="replace"))
        try:
            with open(out) as f:
                text = f.read()
        except OSError as e:
            raise CountFailed(f"{how} wrote no count") from e
    pattern = r"^(\d+),[^,]*,instructions" if how == "perf" else r"Collected : (\d+)"
    found = re.search(pattern, text, re.M)
    if not found:
        raise CountFailed(f"{how} wrote no count")
    return int(found.group(1))


def per_operation(count_for, short=200, long=1200):
    """(count_for(long) - count_for(short)) / (long - short): one operation's instructions with
    the program's start-up and end taken out."""
    return (count_for(long) - count_for(short)) / (long - short)
