#!/usr/bin/python3
"""varno-gateway on MQTT, measured on loopback (a shared, noisy machine: read the spread too).

  1. One command's round trip through the broker (MQTT 5 request, response topic) against the
     same command through varno:// on the same gateway and simulated bus, in interleaved blocks.
  2. GATEWAYS gateways with BUSES simulated buses each, a point per bus polled every 100 ms with
     publish = "every", for SECONDS: polls published against those received by one subscriber,
     and the gateways' CPU time per published value.

  mqtt_bench.py --gateway build/default/tools/gateway/varno-gateway \\
                --sim build/default/tools/sim/varno-sim [--seconds 60] [--blocks 10]
"""
import argparse
import json
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from repeat import figure_line, run_twice  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("nothing listens on %d" % port)


def start_sim(sim, tmp, name):
    p = subprocess.Popen([sim, "--link", os.path.join(tmp, name), "1"], stdout=subprocess.PIPE,
                         text=True)
    p.stdout.readline()
    return p, os.path.join(tmp, name)


def start_gateway(gateway, tmp, index, broker_port, buses, listen_port=0):
    text = '[gateway]\nlisten = "127.0.0.1:%d"\n' % listen_port
    for b, path in enumerate(buses):
        text += '[[bus]]\nname = "b%d"\nport = "%s"\nbaud = 38400\n' % (b, path)
        text += ('[[point]]\nname = "p%d"\nbus = "b%d"\ndest = 1\ncode = 3\nevery_ms = 100\n'
                 'publish = "every"\n' % (b, b))
    text += '[mqtt]\nurl = "mqtt://127.0.0.1:%d"\nclient_id = "gw%d"\nprefix = "gw%d"\n' % (
        broker_port, index, index)
    config = os.path.join(tmp, "gw%d.toml" % index)
    with open(config, "w") as f:
        f.write(text)
    return subprocess.Popen([gateway, "--config", config], stderr=subprocess.DEVNULL)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def varno_client(port):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.sendall(bytes([1]) + struct.pack(">H", 3 + 2 + 5) + bytes([1, 2]) + b"b0" + bytes([5]) +
                 b"bench")
    sock.recv(64)
    return sock


def varno_round_trip(sock, i):
    record = bytes([1, 31, 3, 0, 0, 0, i & 0x7F, 0, 0, 0])
    start = time.perf_counter()
    sock.sendall(bytes([2]) + struct.pack(">HIII", 22, i, 1000, 1000) + record)
    got = b""
    while len(got) < 25:
        got += sock.recv(64)
    return (time.perf_counter() - start) * 1000


class MqttAsker:
    def __init__(self, port):
        self.got = threading.Event()
        self.c = mqtt.Client(client_id="asker", protocol=mqtt.MQTTv5)
        self.c.on_message = lambda c, u, m: self.got.set()
        self.c.connect("127.0.0.1", port, 30)
        # paho leaves Nagle on: its request would wait for the broker's delayed ACK.
        self.c.socket().setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.c.subscribe("bench/answer", 1)
        self.c.loop_start()
        time.sleep(0.5)

    def round_trip(self, i):
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = "bench/answer"
        props.CorrelationData = str(i).encode()
        self.got.clear()
        start = time.perf_counter()
        self.c.publish("gw0/transact/b0", '{"dest": 1, "code": 3, "uint": %d}' % i, qos=1,
                       properties=props)
        if not self.got.wait(5):
            raise SystemExit("no answer through the broker")
        return (time.perf_counter() - start) * 1000


def round_trips(args, tmp, broker_port):
    sim, path = start_sim(args.sim, tmp, "rt")
    listen = free_port()
    gw = start_gateway(args.gateway, tmp, 0, broker_port, [path], listen)
    try:
        wait_port(listen)
        sock, asker = varno_client(listen), MqttAsker(broker_port)
        times = {"varno": [], "mqtt": []}
        ratios = []
        i = 0
        for b in range(args.blocks):  # interleaved half-second blocks, the first alternating
            block = {}
            for kind in ("varno", "mqtt") if b % 2 == 0 else ("mqtt", "varno"):
                end = time.monotonic() + 0.5
                block[kind] = []
                while time.monotonic() < end:
                    i += 1
                    block[kind].append(varno_round_trip(sock, i) if kind == "varno"
                                       else asker.round_trip(i))
                times[kind] += block[kind]
            ratios.append(statistics.median(block["mqtt"]) / statistics.median(block["varno"]))
        for kind, t in times.items():
            q = statistics.quantiles(t, n=100)
            print("%-6s round trip: median %.3f ms, p10 %.3f, p90 %.3f, p99 %.3f (%d commands)" %
                  (kind, statistics.median(t), q[9], q[89], q[98], len(t)))
        print("MQTT costs %.3f ms more (median)" %
              (statistics.median(times["mqtt"]) - statistics.median(times["varno"])))
        print(figure_line("MQTT / varno:// round trip, per block", statistics.median(ratios)))
    finally:
        gw.send_signal(signal.SIGTERM)
        gw.wait(20)
        sim.terminate()


def fan_in(args, tmp, broker_port):
    sims, gws = [], []
    received = {}
    lock = threading.Lock()

    def on_message(c, u, m):
        with lock:
            received[m.topic] = received.get(m.topic, 0) + 1

    sub = mqtt.Client(client_id="fan-in", protocol=mqtt.MQTTv5)
    sub.on_message = on_message
    sub.connect("127.0.0.1", broker_port, 30)
    sub.subscribe("+/status/#", 1)
    sub.loop_start()
    try:
        for g in range(args.gateways):
            paths = []
            for b in range(args.buses):
                s, path = start_sim(args.sim, tmp, "g%db%d" % (g, b))
                sims.append(s)
                paths.append(path)
            gws.append(start_gateway(args.gateway, tmp, g + 1, broker_port, paths))
        time.sleep(3)  # every bus open, the first values through
        with lock:
            received.clear()
        cpu0 = sum(cpu_seconds(g.pid) for g in gws)
        t0 = time.monotonic()
        time.sleep(args.seconds)
        cpu = sum(cpu_seconds(g.pid) for g in gws) - cpu0
        elapsed = time.monotonic() - t0
        with lock:
            total = sum(received.values())
            fewest = min(received.values()) if received else 0
        points = args.gateways * args.buses
        print("%d gateways x %d buses, %d points every 100 ms for %.0f s: %d values received "
              "(%.0f/s; polling at 100 ms would give %.0f/s), fewest for one point %d, points "
              "heard %d of %d" % (args.gateways, args.buses, points, elapsed, total, total / elapsed,
                                 points * 10, fewest, len(received), points))
        print("gateways' CPU: %.3f s for %d values: %.1f us per published value (polling "
              "included)" % (cpu, total, 1e6 * cpu / max(total, 1)))
        print(figure_line("fan-in: values received / polls due", total / (elapsed * points * 10)))
        print(figure_line("fan-in: gateways' CPU per value, us", 1e6 * cpu / max(total, 1),
                          judged=False))
    finally:
        sub.loop_stop()
        for g in gws:
            g.send_signal(signal.SIGTERM)
        for g in gws:
            g.wait(20)
        for s in sims:
            s.terminate()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--blocks", type=int, default=10)
    parser.add_argument("--gateways", type=int, default=4)
    parser.add_argument("--buses", type=int, default=8)
    parser.add_argument("--check-repeat", action="store_true",
                        help="measure twice; exit 3 unless the figures agree within 10%%")
    args = parser.parse_args()
    if args.check_repeat:
        return run_twice([sys.executable, os.path.abspath(__file__)] +
                         [a for a in sys.argv[1:] if a != "--check-repeat"])
    with tempfile.TemporaryDirectory() as tmp:
        broker_port = free_port()
        with open(os.path.join(tmp, "mosquitto.conf"), "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\nlog_dest none\nset_tcp_nodelay true\n" % broker_port)
        broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(tmp, "mosquitto.conf")])
        try:
            wait_port(broker_port)
            round_trips(args, tmp, broker_port)
            fan_in(args, tmp, broker_port)
        finally:
            broker.terminate()
            broker.wait(10)


if __name__ == "__main__":
    sys.exit(main())
