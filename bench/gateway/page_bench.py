#!/usr/bin/python3
"""The page's cost to a bus running flat out: varno-sim unpaced, two load processes each keeping
32 requests in flight through the gateway protocol, and the gateway's throughput (replies a
second, from /metrics) in interleaved blocks with the page open in headless Chromium and without
(the same browser on about:blank), so that the machine's noise falls on both alike.
  page_bench.py GATEWAY SIM [ROUNDS] [BLOCK_SECONDS]"""
import multiprocessing
import os
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

GATEWAY, SIM = sys.argv[1], sys.argv[2]
ROUNDS = int(sys.argv[3]) if len(sys.argv) > 3 else 5
BLOCK = float(sys.argv[4]) if len(sys.argv) > 4 else 3.0


def load(port, stop):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(bytes([1, 0, 13, 1, 5]) + b"bench" + bytes([5]) + b"bench")
    s.recv(17)
    command = bytes([5, 31, 3, 0, 0, 0, 0x39, 0x30, 0, 1])
    request = lambda i: bytes([2, 0, 22]) + struct.pack(">III", i, 0, 0) + command
    s.sendall(b"".join(request(i) for i in range(32)))
    buffer, n = b"", 32
    while not stop.is_set():
        buffer += s.recv(65536)
        done = len(buffer) // 25
        buffer = buffer[done * 25:]
        s.sendall(b"".join(request(n + i) for i in range(done)))
        n += done


def replies(url):
    text = urllib.request.urlopen(url + "metrics", timeout=10).read().decode()
    return int(re.search(r'transactions_total\{bus="bench",outcome="reply"\} (\d+)', text).group(1))


def main():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    work = tempfile.mkdtemp()
    sim = subprocess.Popen([SIM, "--link", os.path.join(work, "bus"), "5"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    sim.stdout.readline()
    with open(os.path.join(work, "g.toml"), "w") as f:
        f.write('[gateway]\nlisten = "127.0.0.1:0"\nhttp = "127.0.0.1:0"\n[[bus]]\nname = "bench"\n'
                'port = "%s"\nbaud = 115200\n[[point]]\nname = "t"\nbus = "bench"\ndest = 5\n'
                'code = 3\ndecimals = 1\nevery_ms = 100\n' % os.path.join(work, "bus"))
    gw = subprocess.Popen([GATEWAY, "-c", os.path.join(work, "g.toml")], stderr=subprocess.PIPE, text=True)
    ports = {}
    for line in gw.stderr:
        m = re.search(r"(gateway|http): listening on .*:(\d+)$", line.strip())
        if m:
            ports[m.group(1)] = int(m.group(2))
        if "running:" in line:
            break
    url = "http://127.0.0.1:%d/" % ports["http"]
    options = webdriver.ChromeOptions()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run",
              "--user-data-dir=" + os.path.join(work, "profile")):
        options.add_argument(a)
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    stop = multiprocessing.Event()
    loaders = [multiprocessing.Process(target=load, args=(ports["gateway"], stop)) for _ in range(2)]
    for p in loaders:
        p.start()
    rates = {"closed": [], "open": []}
    try:
        time.sleep(1)
        for _ in range(ROUNDS):
            for kind in ("closed", "open"):
                driver.get(url if kind == "open" else "about:blank")
                time.sleep(0.5)
                before, t0 = replies(url), time.monotonic()
                time.sleep(BLOCK)
                rates[kind].append((replies(url) - before) / (time.monotonic() - t0))
    finally:
        stop.set()
        for p in loaders:
            p.terminate()
        driver.quit()
        gw.terminate()
        sim.terminate()
        gw.wait()
        sim.wait()
    for kind in ("closed", "open"):
        print("page %-6s: median %.0f replies/s  (blocks: %s)" % (
            kind, statistics.median(rates[kind]), " ".join("%.0f" % r for r in rates[kind])))
    print("open / closed: %.1f %%" % (100 * statistics.median(rates["open"]) /
                                      statistics.median(rates["closed"])))


if __name__ == "__main__":
    main()
