"""A gateway of a few lines for the varno:// client's tests, written from the message layout in
link/protocol/gateway_protocol.h (not from the codec), so that it checks that description too.

It has two buses: "bus1" (38400 baud, queue time-out QUEUE_MS) and "down" (WELCOME says
"reconnecting"); any other name gets WELCOME with VARNO_E_NOT_FOUND and the connection closed.
What it does with a TRANSACT depends on the command's `code`:

    0..5   RESULT with that outcome: for 0 the reply (addresses swapped, start mark on the
           destination, status 0x11, error 0x22, the command's data), else the command swapped
    6      RESULT with VARNO_E_QUEUE_TIMEOUT
    7      first a RESULT for the previous id (outcome 0, data EE EE EE EE), then as 0
    8      closes the connection without an answer
    9      never answers

Every request received is kept in `requests` (id, write ms, reply ms, the 10 record bytes) and
every HELLO in `hellos` (bus, client name).
"""
import socket
import struct
import threading

HELLO, TRANSACT, WELCOME, RESULT = 0x01, 0x02, 0x81, 0x82
E_NOT_FOUND, E_QUEUE_TIMEOUT = -2, -21
QUEUE_MS = 300
CODE_QUEUE_TIMEOUT, CODE_STALE_FIRST, CODE_HANG_UP, CODE_SILENT = 6, 7, 8, 9


def message(kind, payload):
    return bytes([kind]) + struct.pack(">H", len(payload)) + payload


def welcome(result, baud=38400, queue_ms=QUEUE_MS, bus_open=True):
    return message(WELCOME, struct.pack(">BiIIB", 1, result, baud, queue_ms, 1 if bus_open else 0))


def result(request_id, outcome, frame, bus_time_us=5000):
    return message(RESULT, struct.pack(">IiI", request_id, outcome, bus_time_us) + bytes(frame))


def swapped(record):
    return bytes([record[1], record[0], record[2], record[3], 0, 0]) + record[6:10]


class FakeGateway:
    def __init__(self, host="127.0.0.1"):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.requests, self.hellos = [], []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    @staticmethod
    def _read(connection, size):
        data = b""
        while len(data) < size:
            chunk = connection.recv(size - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def _next(self, connection):
        kind, length = struct.unpack(">BH", self._read(connection, 3))
        return kind, self._read(connection, length)

    def _serve(self, connection):
        with connection:
            try:
                kind, payload = self._next(connection)
                if kind != HELLO or payload[0] != 1:
                    return
                bus = payload[2:2 + payload[1]].decode("ascii")
                rest = payload[2 + payload[1]:]
                client = rest[1:1 + rest[0]].decode("ascii")
                assert len(rest) == 1 + rest[0], "HELLO's length does not fit its names"
                with self.lock:
                    self.hellos.append((bus, client))
                if bus not in ("bus1", "down"):
                    connection.sendall(welcome(E_NOT_FOUND, 0, 0, False))
                    return
                connection.sendall(welcome(0, bus_open=bus == "bus1"))
                while True:
                    kind, payload = self._next(connection)
                    if kind != TRANSACT or len(payload) != 22:
                        return
                    request_id, write_ms, reply_ms = struct.unpack(">III", payload[:12])
                    record = payload[12:]
                    with self.lock:
                        self.requests.append((request_id, write_ms, reply_ms, record))
                    code = record[2]
                    if code == CODE_HANG_UP:
                        return
                    if code == CODE_SILENT:
                        continue
                    if code == CODE_QUEUE_TIMEOUT:
                        connection.sendall(result(request_id, E_QUEUE_TIMEOUT, swapped(record), 0))
                        continue
                    out = b""
                    if code == CODE_STALE_FIRST:
                        stale = swapped(record)[:6] + b"\xee\xee\xee\xee"
                        out += result((request_id - 1) & 0xFFFFFFFF, 0, stale)
                        code = 0
                    if code == 0:
                        reply = bytes([record[1] | 0x80, record[0], record[2], record[3], 0x11,
                                       0x22]) + record[6:10]
                        out += result(request_id, 0, reply)
                    elif code <= 5:
                        out += result(request_id, code, swapped(record))
                    connection.sendall(out)
            except (EOFError, OSError):
                return

    def last_request(self):
        with self.lock:
            return self.requests[-1] if self.requests else None
