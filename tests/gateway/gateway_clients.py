#!/usr/bin/python3
"""Independent clients of varno-gateway, written from the README rather than the codec:
the bytes-only listener through pyserial's socket://, and the gateway protocol with struct.
Exit 0 when all is as documented, 1 otherwise, 77 when pyserial is missing."""
import argparse
import socket
import struct
import sys
import time

try:
    import serial
except ImportError:
    print("pyserial is not installed (python3-serial)")
    sys.exit(77)


def crc7(body):
    """Shift-in CRC-7 as the README describes it."""
    r = 0
    for byte in body:
        for i in range(8):
            r = ((r << 1) | ((byte >> i) & 1)) & 0xFF
            if r & 0x80:
                r ^= 0x09
    return r & 0x7F


def encode(dest, source, code, param=0, status=0, error=0, data=b"\0\0\0\0"):
    high = [param, status, error] + list(data)
    body = [dest | 0x80, source & 0x7F, code & 0x7F] + [b & 0x7F for b in high]
    body.append(sum(((b >> 7) & 1) << i for i, b in enumerate(high)))
    return bytes(body + [crc7(body)])


assert encode(1, 31, 0) == bytes.fromhex("811F00000000000000000006"), "the README's example frame"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def raw_client(port):
    link = serial.serial_for_url("socket://127.0.0.1:%d" % port, timeout=2.0)
    # A device that answers: the reply's bytes as the bus carried them.
    command = encode(1, 31, 3, data=bytes([0x39, 0x30, 0x00, 0x82]))
    link.write(command)
    reply = link.read(12)
    check(reply == encode(31, 1, 3, data=bytes([0x39, 0x30, 0x00, 0x82])), "raw reply %r" % reply)
    # A silent address: nothing at all.
    link.write(encode(2, 31, 3))
    link.timeout = 0.5
    check(link.read(12) == b"", "raw silence")
    # Giving up: a late device's command, then at once another; only the second is answered,
    # and the late reply never follows.
    link.write(encode(3, 31, 3, data=b"\x01\x00\x00\x00"))
    time.sleep(0.05)
    link.write(encode(1, 31, 3, data=b"\x02\x00\x00\x00"))
    link.timeout = 3.0
    reply = link.read(12)
    check(reply == encode(31, 1, 3, data=b"\x02\x00\x00\x00"), "raw newer reply %r" % reply)
    link.timeout = 0.8
    check(link.read(1) == b"", "no late reply on the raw listener")
    link.close()


def recv_exact(sock, count):
    data = b""
    while len(data) < count:
        more = sock.recv(count - len(data))
        if not more:
            return None
        data += more
    return data


def recv_message(sock):
    header = recv_exact(sock, 3)
    if header is None:
        return None, None
    kind, length = header[0], struct.unpack(">H", header[1:])[0]
    return kind, recv_exact(sock, length)


def protocol_client(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    # HELLO: version, bus name, client name.
    bus, name = b"bench", b"python client"
    sock.sendall(bytes([0x01]) + struct.pack(">H", 3 + len(bus) + len(name)) +
                 bytes([1, len(bus)]) + bus + bytes([len(name)]) + name)
    kind, body = recv_message(sock)
    check(kind == 0x81 and len(body) == 14, "WELCOME %r %r" % (kind, body))
    version, result, baud, queue_ms, is_open = struct.unpack(">BiIIB", body)
    check((version, result, baud, is_open) == (1, 0, 38400, 1), "WELCOME fields")
    check(queue_ms == 1000, "queue time-out %d" % queue_ms)
    # Three TRANSACTs at once: answered in order, each with its own id.
    for i, dest in enumerate([1, 2, 1]):
        record = bytes([dest, 31, 3, 0, 0, 0, i, 0, 0, 0x40])
        sock.sendall(bytes([0x02]) + struct.pack(">HIII", 22, 1000 + i, 100, 100) + record)
    for i, dest in enumerate([1, 2, 1]):
        kind, body = recv_message(sock)
        check(kind == 0x82 and len(body) == 22, "RESULT %r" % kind)
        rid, outcome, bus_us = struct.unpack(">IiI", body[:12])
        frame = body[12:]
        check(rid == 1000 + i, "id %d for %d" % (rid, 1000 + i))
        check(outcome == (0 if dest == 1 else 3), "outcome %d" % outcome)
        check(frame[0] == (31 | 0x80 if dest == 1 else 31) and frame[1] == dest,
              "addresses %r" % frame[:2])
        check(frame[6:] == bytes([i, 0, 0, 0x40]), "data word %r" % frame[6:])
        check(bus_us > 0, "time on the bus")
    sock.close()
    # A bus it does not have: WELCOME with VARNO_E_NOT_FOUND (-2), then the end.
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    sock.sendall(bytes([0x01, 0, 6, 1, 3]) + b"nop" + bytes([0]))
    kind, body = recv_message(sock)
    check(kind == 0x81 and struct.unpack(">BiIIB", body)[1] == -2, "unknown bus")
    check(sock.recv(1) == b"", "closed after the WELCOME")
    sock.close()


parser = argparse.ArgumentParser()
parser.add_argument("--raw", type=int, required=True)
parser.add_argument("--gateway", type=int, required=True)
args = parser.parse_args()
raw_client(args.raw)
protocol_client(args.gateway)
print("ok" if not failures else "%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
