#!/usr/bin/python3
"""pyserial making the exchange: write the 12 bytes, read(12).

    /usr/bin/python3 pyserial_client.py PATH BAUD COUNT WARMUP

PATH may be one of pyserial's URLs (socket://HOST:PORT, rfc2217://HOST:PORT[?options]): then
pyserial's own network client makes the exchange, with its default time-outs between bytes.

Prints one line of JSON ({"count", "cpu_s", "errors", "samples_us", ...}) like the C++ clients:
a failed exchange is counted, left out of the samples and followed by a pause; too many of them,
or anything else going wrong, end the client with one line on stderr and exit status 1.
"""
import json
import resource
import sys
import time

REQUEST = bytes.fromhex("81 1F 00 00 00 00 00 00 00 00 00 06")
REPLY = bytes.fromhex("9F 01 00 00 00 00 00 00 00 00 00 36")


def fail(message):
    print(f"pyserial_client: {message}", file=sys.stderr)
    sys.exit(1)


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def main():
    if len(sys.argv) < 5:
        fail("usage: pyserial_client.py PATH BAUD COUNT WARMUP")
    path, baud, count, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    try:
        import serial
    except ImportError:
        fail(f"no pyserial for {sys.executable} (Debian: python3-serial, scripts/setup.sh)")

    try:
        if "://" in path:
            port = serial.serial_for_url(path, baudrate=baud, timeout=1.0)
        else:
            port = serial.Serial(path, baud, timeout=1.0, inter_byte_timeout=0.010)
    except (serial.SerialException, OSError) as e:
        fail(f"cannot open {path}: {e}")

    def exchange():
        """None when the expected reply came, else what went wrong."""
        port.write(REQUEST)
        reply = port.read(12)
        return None if reply == REPLY else f"got {reply.hex(' ') or 'nothing'}"

    errors = {"measured": 0, "warmup": 0, "first": ""}
    limit = max(10, count // 50)

    def note(measured, i, what):
        errors["measured" if measured else "warmup"] += 1
        if not errors["first"]:
            errors["first"] = f"{'exchange' if measured else 'warm-up exchange'} {i}: {what}"
        if errors["measured"] + errors["warmup"] > limit:
            fail(f"{errors['measured'] + errors['warmup']} failed exchanges; the first, "
                 f"{errors['first']}")
        # Let whatever is still on its way arrive, then drop it.
        time.sleep(0.05)
        port.reset_input_buffer()

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
    port.close()
    print(json.dumps({"count": count, "cpu_s": cpu, "errors": errors["measured"],
                      "warmup_errors": errors["warmup"], "first_error": errors["first"],
                      "samples_us": [round(s, 3) for s in samples]}))


if __name__ == "__main__":
    main()
