#!/usr/bin/env python3
"""Runs a test program against serial lines served on 127.0.0.1, and the servers that misbehave.

    net_harness.py --sim VARNO_SIM --server ser2net|sim [--no-netns] -- COMMAND...

Two simulated buses (varno-sim, devices 1, 2:silent, 5 in pieces 20 ms apart, 127), each served
on a TCP port by the server under test: Debian's ser2net (a config written here: one raw, one
telnet(rfc2217) connection) or varno-sim itself (--tcp, --rfc2217). Beside them, scripted
servers: one that never says anything, one that answers the baud rate with another, one that
refuses COM-PORT-OPTION (the first also on ::1), three that flood the client with telnet commands
(IAC NOP once the first data byte comes, an endless sub-negotiation then, IAC NOP from the start
without agreeing to anything), one that ends every session at once with a line of text as
ser2net does while its line is taken, a port with nobody listening and one whose backlog is full (a
connect there cannot finish). With ser2net, a third accepter (RFC 2217) serves the raw line's
terminal too. A control port takes one line at a time and answers one:
    kill   the server under test is killed (SIGKILL)   -> ok
    start  ... started again on the same ports         -> ok
    speed  the baud rate of the RFC 2217 line's terminal -> e.g. 115200
    request  the last request the fake gateway got: id, write and reply time-outs, code
    client   the client name of the fake gateway's last HELLO
A fake gateway (tests/support/fake_gateway.py) serves the varno:// client's tests.
The program gets their addresses in VARNO_NET_* variables and its exit status is passed on;
everything started here is stopped when it ends. Exit 77 (skipped) without ser2net.

With varno-sim as the server (root, unshare available) it all runs in a network namespace of its
own with only a loopback device: a name lookup there cannot reach any name server
(VARNO_NET_ISOLATED=1), so the test of an unresolvable host runs there only.
"""
import argparse
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from fake_gateway import FakeGateway

DEVICES = ["1", "2:silent", "5:split=4+4+4,gap=20", "127"]
TCGETS2 = 0x802C542A
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
IAC, SB, SE, WILL, WONT, DO, DONT, NOP = 255, 250, 240, 251, 252, 253, 254, 241
COM_PORT = 44
FLOOD_SECONDS = 15  # a flood ends by itself: a client that never stops reading still gets out
FLOODS = {"nop": bytes([IAC, NOP]) * (1 << 19), "sub": b"\x01" * (1 << 20)}


def log(message):
    print(f"net_harness: {message}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something listens on 127.0.0.1:port (from /proc: no connection is made)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                        return True
        except OSError:
            pass
    return False


def wait_listening(ports, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if all(listening(p) for p in ports):
            return True
        time.sleep(0.02)
    return False


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def bring_loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH", b"lo", 0)
        flags = struct.unpack("16sH", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH", b"lo", flags | IFF_UP))


class Sim:
    """One varno-sim: its terminal, and its own network servers in `sim` mode."""

    def __init__(self, binary, raw_port=None, rfc2217_port=None):
        self.binary, self.raw_port, self.rfc2217_port = binary, raw_port, rfc2217_port
        self.proc, self.path = None, None

    def start(self):
        args = [self.binary]
        if self.raw_port:
            args += ["--tcp", str(self.raw_port)]
        if self.rfc2217_port:
            args += ["--rfc2217", str(self.rfc2217_port)]
        self.proc = subprocess.Popen(args + DEVICES, stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        self.path = self.proc.stdout.readline().decode().strip()
        if not self.path.startswith("/"):
            raise RuntimeError(f"{self.binary} gave no terminal path")
        for _ in [self.raw_port, self.rfc2217_port]:
            if _:
                self.proc.stdout.readline()

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Ser2net:
    def __init__(self, directory, raw_sim, rfc2217_sim, raw_port, rfc2217_port, shared_port):
        self.config = os.path.join(directory, "ser2net.yaml")
        self.pidfile = os.path.join(directory, "ser2net.pid")
        self.ports = [raw_port, rfc2217_port, shared_port]
        with open(self.config, "w") as f:
            f.write("%YAML 1.1\n---\n")
            # The raw line's terminal also behind a second, RFC 2217 accepter: one session after
            # another's on the same terminal.
            for name, accepter, sim, port in (("raw", "tcp", raw_sim, raw_port),
                                              ("rfc2217", "telnet(rfc2217),tcp", rfc2217_sim,
                                               rfc2217_port),
                                              ("shared", "telnet(rfc2217),tcp", raw_sim,
                                               shared_port)):
                f.write(f"connection: &{name}\n"
                        f"    accepter: {accepter},127.0.0.1,{port}\n"
                        f"    options:\n"
                        f"      kickolduser: true\n"
                        f"    connector: serialdev,{sim.path},38400n81,local\n")
        self.proc = None

    def start(self):
        # (Its complaint that it cannot start mDNS is harmless.)
        self.proc = subprocess.Popen(["ser2net", "-n", "-c", self.config, "-P", self.pidfile],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_listening(self.ports):
            raise RuntimeError("ser2net is not listening")

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def serve_forever(listener, handle):
    def accept_loop():
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=handle, args=(connection,), daemon=True).start()
    threading.Thread(target=accept_loop, daemon=True).start()


def listener_on(port=0, backlog=8):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(backlog)
    return s


def mute(connection):
    """Takes everything, says nothing."""
    with connection:
        while connection.recv(4096):
            pass


def taken(connection):
    """What ser2net says to a client while another session holds the line: its offers, a line of
    text, and the end of the connection."""
    with connection:
        connection.sendall(bytes([IAC, WILL, 0, IAC, DO, 0, IAC, DO, COM_PORT]) +
                           b"Port's device already in use\r\n")


def flood(connection, kind):
    """Sends telnet commands without a pause, for FLOOD_SECONDS at most or until the client goes:
    IAC NOP over and over, or one sub-negotiation that never ends."""
    end = time.monotonic() + FLOOD_SECONDS
    connection.settimeout(FLOOD_SECONDS)
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 22)
    try:
        if kind == "sub":
            connection.sendall(bytes([IAC, SB, COM_PORT]))
        while time.monotonic() < end:
            connection.sendall(FLOODS[kind])
    except OSError:
        pass


def scripted_rfc2217(baud_factor=1, refuse_com_port=False, flood_on_data=None,
                     flood_at_once=None):
    """An RFC 2217 server of a few lines: agrees to BINARY, then either refuses COM-PORT-OPTION
    or agrees and answers each setting, the baud rate multiplied by `baud_factor`. With
    `flood_on_data` it floods (see flood) once the first data byte comes, with `flood_at_once` as
    soon as the client connects."""
    def handle(connection):
        with connection:
            if flood_at_once:
                flood(connection, flood_at_once)
                return
            buffer = b""
            while True:
                data = connection.recv(4096)
                if not data:
                    return
                buffer += data
                out = b""
                while True:
                    if len(buffer) >= 3 and buffer[0] == IAC and buffer[1] in (WILL, DO):
                        verb, option = buffer[1], buffer[2]
                        buffer = buffer[3:]
                        if option == COM_PORT and verb == WILL:
                            out += bytes([IAC, DONT if refuse_com_port else DO, option])
                        elif option == 0:
                            out += bytes([IAC, DO if verb == WILL else WILL, option])
                        continue
                    end = buffer.find(bytes([IAC, SE]))
                    if buffer[:3] == bytes([IAC, SB, COM_PORT]) and end > 0:
                        command, value = buffer[3], buffer[4:end].replace(b"\xff\xff", b"\xff")
                        buffer = buffer[end + 2:]
                        if command == 1 and len(value) == 4:
                            rate = struct.unpack(">I", value)[0] * baud_factor
                            value = struct.pack(">I", rate & 0xFFFFFFFF)
                        value = value.replace(b"\xff", b"\xff\xff")
                        out += bytes([IAC, SB, COM_PORT, command + 100]) + value + bytes([IAC, SE])
                        continue
                    break
                if out:
                    connection.sendall(out)
                if flood_on_data and buffer[:1] not in (b"", bytes([IAC])):
                    flood(connection, flood_on_data)
                    return
    return handle


def terminal_speed(path):
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        buffer = bytearray(44)
        fcntl.ioctl(fd, TCGETS2, buffer)
        return struct.unpack_from("I", buffer, 40)[0]
    finally:
        os.close(fd)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--server", choices=["ser2net", "sim"], required=True)
    parser.add_argument("--no-netns", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    a = parser.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    if not command:
        parser.error("no command")
    if a.server == "ser2net" and shutil.which("ser2net") is None:
        print("skipped: no ser2net (scripts/setup.sh installs it)")
        return 77

    isolated = os.environ.get("VARNO_NET_ISOLATED") == "1"
    # (Not with ser2net: it looks its own listening address up with AI_ADDRCONFIG, which finds
    # nothing where the only addresses are loopback ones.)
    if a.server == "sim" and not a.no_netns and not isolated and shutil.which("unshare"):
        probe = subprocess.run(["unshare", "--net", "true"], stderr=subprocess.DEVNULL)
        if probe.returncode == 0:
            env = dict(os.environ, VARNO_NET_ISOLATED="1")
            return subprocess.run(["unshare", "--net", sys.executable, os.path.abspath(__file__)] + sys.argv[1:],
                                  env=env).returncode
    if isolated:
        bring_loopback_up()

    raw_port, rfc2217_port = free_port(), free_port()
    shared_port = 0  # ser2net only
    sims, server = [], None
    listeners = []
    with tempfile.TemporaryDirectory(prefix="varno-net-") as directory:
        try:
            if a.server == "sim":
                sims = [Sim(a.sim, raw_port=raw_port), Sim(a.sim, rfc2217_port=rfc2217_port)]
                for s in sims:
                    s.start()
                if not wait_listening([raw_port, rfc2217_port]):
                    raise RuntimeError("varno-sim is not listening")

                def kill_server():
                    for s in sims:
                        s.kill()

                def start_server():
                    for s in sims:
                        s.start()
                    return wait_listening([raw_port, rfc2217_port])
            else:
                sims = [Sim(a.sim), Sim(a.sim)]
                for s in sims:
                    s.start()
                shared_port = free_port()
                server = Ser2net(directory, sims[0], sims[1], raw_port, rfc2217_port,
                                 shared_port)
                server.start()
                kill_server = server.kill

                def start_server():
                    server.start()
                    return True

            scripted = {}
            for name, handle in (("MUTE", mute), ("PICKY", scripted_rfc2217(baud_factor=2)),
                                 ("REFUSING", scripted_rfc2217(refuse_com_port=True)),
                                 ("FLOOD_NOP", scripted_rfc2217(flood_on_data="nop")),
                                 ("FLOOD_SUB", scripted_rfc2217(flood_on_data="sub")),
                                 ("FLOOD_EARLY", scripted_rfc2217(flood_at_once="nop")),
                                 ("TAKEN", taken)):
                listener = listener_on()
                listeners.append(listener)
                serve_forever(listener, handle)
                scripted[name] = listener.getsockname()[1]
            # The mute server on IPv6's loopback too, where the system has one.
            mute6 = 0
            try:
                listener6 = socket.socket(socket.AF_INET6)
                listener6.bind(("::1", 0))
                listener6.listen(8)
                listeners.append(listener6)
                serve_forever(listener6, mute)
                mute6 = listener6.getsockname()[1]
            except OSError:
                pass
            # A full backlog: one connection waits unaccepted, and the next ones cannot finish.
            full = listener_on(backlog=0)
            listeners.append(full)
            filler = socket.create_connection(full.getsockname())
            listeners.append(filler)

            def control(connection):
                with connection, connection.makefile("rw") as f:
                    for line in f:
                        what = line.strip()
                        if what == "kill":
                            kill_server()
                            answer = "ok"
                        elif what == "start":
                            answer = "ok" if start_server() else "failed"
                        elif what == "speed":
                            answer = str(terminal_speed(sims[1].path))
                        elif what == "request":
                            answer = last_request()
                        elif what == "client":
                            answer = last_client()
                        else:
                            answer = "unknown"
                        f.write(answer + "\n")
                        f.flush()

            gateway = FakeGateway()
            listeners.append(gateway)

            def last_request():
                r = gateway.last_request()
                return "none" if r is None else f"{r[0]} {r[1]} {r[2]} {r[3][2]}"

            def last_client():
                with gateway.lock:
                    return gateway.hellos[-1][1] if gateway.hellos else "none"

            control_listener = listener_on()
            listeners.append(control_listener)
            serve_forever(control_listener, control)

            env = dict(os.environ)
            env.update({
                "VARNO_NET_SERVER": a.server,
                "VARNO_NET_RAW": f"tcp://127.0.0.1:{raw_port}",
                "VARNO_NET_RFC2217": f"rfc2217://127.0.0.1:{rfc2217_port}",
                "VARNO_NET_RAW_PORT": str(raw_port),
                "VARNO_NET_SHARED": str(shared_port),
                "VARNO_NET_CONTROL": str(control_listener.getsockname()[1]),
                "VARNO_NET_MUTE": str(scripted["MUTE"]),
                "VARNO_NET_MUTE6": str(mute6),
                "VARNO_NET_PICKY": str(scripted["PICKY"]),
                "VARNO_NET_REFUSING": str(scripted["REFUSING"]),
                "VARNO_NET_FLOOD_NOP": str(scripted["FLOOD_NOP"]),
                "VARNO_NET_FLOOD_SUB": str(scripted["FLOOD_SUB"]),
                "VARNO_NET_FLOOD_EARLY": str(scripted["FLOOD_EARLY"]),
                "VARNO_NET_TAKEN": str(scripted["TAKEN"]),
                "VARNO_NET_CLOSED": str(free_port()),
                "VARNO_NET_FULL": str(full.getsockname()[1]),
                "VARNO_NET_ISOLATED": "1" if isolated else "0",
                "VARNO_NET_GATEWAY": str(gateway.port),
            })
            log(f"{a.server}: raw {raw_port}, rfc2217 {rfc2217_port}"
                f"{', in a network namespace of its own' if isolated else ''}")
            return subprocess.run(command, env=env).returncode
        except RuntimeError as e:
            log(str(e))
            return 1
        finally:
            for listener in listeners:
                listener.close()
            if server:
                server.kill()
            for s in sims:
                stop(s.proc)


if __name__ == "__main__":
    sys.exit(main())
