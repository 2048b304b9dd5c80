"""What the Python peer clients share with the C++ ones (peer_common.h): the arguments, the loop
of blocks and the result line.

    /usr/bin/python3 CLIENT.py PATH BAUD COUNT|- WARMUP

After WARMUP exchanges a client runs COUNT of them and prints one line of JSON ({"count", "cpu_s",
"errors", "samples_us", ...}). With COUNT "-" it runs blocks instead, keeping the port open: each
line of standard input holding a number N runs N exchanges and prints one such line; an empty
line or the end of the input ends the client. A failed exchange is counted, left out of the
samples and followed by the client's pause; too many of them in one block (the warm-up counted
with the first), or anything else going wrong, end the client with one line on stderr and exit
status 1.
"""
import json
import resource
import sys
import time


def fail(client, message):
    print(f"{client}: {message}", file=sys.stderr)
    sys.exit(1)


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def arguments(client):
    """PATH, BAUD, COUNT (0: blocks from standard input) and WARMUP from the command line."""
    if len(sys.argv) < 5:
        fail(client, f"usage: {client}.py PATH BAUD COUNT|- WARMUP")
    try:
        path, baud, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[4])
        count = 0 if sys.argv[3] == "-" else int(sys.argv[3])
    except ValueError:
        fail(client, "bad arguments")
    if baud <= 0 or warmup < 0 or (count <= 0 and sys.argv[3] != "-"):
        fail(client, "bad arguments")
    return path, baud, count, warmup


def run_blocks(client, count, warmup, exchange, settle):
    """The warm-up, then the blocks. `exchange()` makes one exchange and returns None when the
    expected reply came, else what went wrong; `settle()` runs after a failed one."""
    errors = {"measured": 0, "warmup": 0, "first": "", "limit": max(10, warmup // 50)}

    def note(measured, i, what):
        errors["measured" if measured else "warmup"] += 1
        if not errors["first"]:
            errors["first"] = f"{'exchange' if measured else 'warm-up exchange'} {i}: {what}"
        if errors["measured"] + errors["warmup"] > errors["limit"]:
            fail(client, f"{errors['measured'] + errors['warmup']} failed exchanges; the first, "
                         f"{errors['first']}")
        settle()

    for i in range(warmup):
        what = exchange()
        if what:
            note(False, i, what)
    clock = time.perf_counter_ns

    def block(n, first):
        if not first:
            errors["warmup"], errors["first"] = 0, ""
        errors["measured"] = 0
        errors["limit"] = max(10, n // 50) + errors["warmup"]
        samples = []
        cpu_before = cpu_seconds()
        for i in range(n):
            start = clock()
            what = exchange()
            end = clock()
            if what:
                note(True, i, what)
            else:
                samples.append((end - start) / 1000.0)
        cpu = cpu_seconds() - cpu_before
        print(json.dumps({"count": n, "cpu_s": cpu, "errors": errors["measured"],
                          "warmup_errors": errors["warmup"], "first_error": errors["first"],
                          "samples_us": [round(s, 3) for s in samples]}), flush=True)

    if count > 0:
        block(count, True)
        return
    first = True
    for line in sys.stdin:
        try:
            n = int(line)
        except ValueError:
            n = 0
        if n <= 0:
            break
        block(n, first)
        first = False
