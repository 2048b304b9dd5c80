#!/usr/bin/python3
"""The Python package making the exchange: link.transact, a blocking call into the library.

    /usr/bin/python3 varno_py_client.py PATH BAUD COUNT WARMUP

VARNO_LIBRARY names the library and PYTHONPATH holds python/ (peers.py sets both). Prints one
line of JSON like the other clients: a failed exchange is counted, left out of the samples and
followed by a pause; too many of them, or anything else going wrong, end the client with one
line on stderr and exit status 1.
"""
import json
import resource
import sys
import time


def fail(message):
    print(f"varno_py_client: {message}", file=sys.stderr)
    sys.exit(1)


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def main():
    if len(sys.argv) < 5:
        fail("usage: varno_py_client.py PATH BAUD COUNT WARMUP")
    path, baud, count, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    try:
        import varno
    except ImportError as e:
        fail(f"cannot import varno: {e}")
    try:
        link = varno.Link(path, baud)
    except varno.LinkError as e:
        fail(f"cannot open {path}: {e}")

    # The same command as the other clients: device 1, from 31, code 0, zero data. The
    # package's default time-outs: with longer ones the main thread's transact would wait on the
    # library's worker (to answer Ctrl-C at once), which is the send to callback's path.
    def exchange():
        """None when the expected reply came, else what went wrong."""
        try:
            reply = link.transact(1, 0, source=31, write_timeout=0.1, reply_timeout=0.1)
        except varno.LinkError as e:
            return f"{type(e).__name__}: {e}"
        return None if (reply.source, reply.dest, reply.code) == (1, 31, 0) else repr(reply)

    errors = {"measured": 0, "warmup": 0, "first": ""}
    limit = max(10, count // 50)

    def note(measured, i, what):
        errors["measured" if measured else "warmup"] += 1
        if not errors["first"]:
            errors["first"] = f"{'exchange' if measured else 'warm-up exchange'} {i}: {what}"
        if errors["measured"] + errors["warmup"] > limit:
            fail(f"{errors['measured'] + errors['warmup']} failed exchanges; the first, "
                 f"{errors['first']}")
        time.sleep(0.05)  # whatever is still on its way arrives, and the next write purges it

    for i in range(warmup):
        what = exchange()
        if what:
            note(False, i, what)
    samples = []
    clock = time.perf_counter_ns
    cpu_before = cpu_seconds()
    for i in range(count):
        start = clock()
        what = exchange()
        end = clock()
        if what:
            note(True, i, what)
        else:
            samples.append((end - start) / 1000.0)
    cpu = cpu_seconds() - cpu_before
    link.close()
    print(json.dumps({"count": count, "cpu_s": cpu, "errors": errors["measured"],
                      "warmup_errors": errors["warmup"], "first_error": errors["first"],
                      "samples_us": [round(s, 3) for s in samples]}))


if __name__ == "__main__":
    main()
