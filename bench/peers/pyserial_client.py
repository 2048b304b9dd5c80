#!/usr/bin/python3
"""pyserial making the exchange: write the 12 bytes, read(12).

    /usr/bin/python3 pyserial_client.py PATH BAUD COUNT|- WARMUP

PATH may be one of pyserial's URLs (socket://HOST:PORT, rfc2217://HOST:PORT[?options]): then
pyserial's own network client makes the exchange, with its default time-outs between bytes.
Runs and reports like the other clients (peer_common.py).
"""
import time

from peer_common import arguments, fail, run_blocks

CLIENT = "pyserial_client"
REQUEST = bytes.fromhex("81 1F 00 00 00 00 00 00 00 00 00 06")
REPLY = bytes.fromhex("9F 01 00 00 00 00 00 00 00 00 00 36")


def main():
    path, baud, count, warmup = arguments(CLIENT)
    try:
        import serial
    except ImportError:
        fail(CLIENT, "no pyserial for /usr/bin/python3 (Debian: python3-serial, scripts/setup.sh)")

    try:
        if "://" in path:
            port = serial.serial_for_url(path, baudrate=baud, timeout=1.0)
        else:
            port = serial.Serial(path, baud, timeout=1.0, inter_byte_timeout=0.010)
    except (serial.SerialException, OSError) as e:
        fail(CLIENT, f"cannot open {path}: {e}")

    def exchange():
        port.write(REQUEST)
        reply = port.read(12)
        return None if reply == REPLY else f"got {reply.hex(' ') or 'nothing'}"

    def settle():
        # Let whatever is still on its way arrive, then drop it.
        time.sleep(0.05)
        port.reset_input_buffer()

    run_blocks(CLIENT, count, warmup, exchange, settle)
    port.close()


if __name__ == "__main__":
    main()
