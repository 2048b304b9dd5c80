#!/usr/bin/python3
"""varno-gateway's page and its API, against a simulated bus on a pseudo-terminal.
  page_test.py GATEWAY SIM api              the API with urllib: points, refusals, the token
  page_test.py GATEWAY SIM browser OUTDIR   the page in headless Chromium (selenium); saves
                                            OUTDIR/gateway-page.png
Exit 0 when all is as documented, 1 otherwise, 77 when chromium or selenium is missing."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

GATEWAY, SIM, MODE = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)


def crc7(body):
    r = 0
    for byte in body:
        for i in range(8):
            r = ((r << 1) | ((byte >> i) & 1)) & 0xFF
            if r & 0x80:
                r ^= 0x09
    return r & 0x7F


def encode(dest, source, code, param=0, data=b"\0\0\0\0"):
    high = [param, 0, 0] + list(data)
    body = [dest | 0x80, source & 0x7F, code & 0x7F] + [b & 0x7F for b in high]
    body.append(sum(((b >> 7) & 1) << i for i, b in enumerate(high)))
    return bytes(body + [crc7(body)])


def decimal_word(mantissa, places):
    return (mantissa & 0xFFFFFF).to_bytes(3, "little") + bytes([places])


class Gateway:
    """varno-sim with device 5 (its value settable: store) and a silent 6, and the gateway."""

    def __init__(self, work, send, token=None):
        self.work = work
        self.sim = subprocess.Popen([SIM, "--link", os.path.join(work, "bus"), "5:store", "6:silent"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.sim.stdout.readline()  # the terminal: the link exists from now on
        extra = ""
        if token:
            with open(os.path.join(work, "token"), "w") as f:
                f.write(token + "\n")
            extra = 'http_token_file = "%s"\n' % os.path.join(work, "token")
        config = os.path.join(work, "gateway.toml")
        with open(config, "w") as f:
            f.write('[gateway]\nlisten = ""\nhttp = "127.0.0.1:0"\nhttp_send = %s\n%s'
                    '[[bus]]\nname = "bench"\nport = "%s"\nbaud = 115200\nraw_listen = "127.0.0.1:0"\n'
                    '[[point]]\nname = "temperature"\nbus = "bench"\ndest = 5\ncode = 3\n'
                    'decimals = 1\nunit = "°C"\nevery_ms = 200\n'
                    % ("true" if send else "false", extra, os.path.join(work, "bus")))
        self.proc = subprocess.Popen([GATEWAY, "--config", config], stderr=subprocess.PIPE, text=True)
        self.ports = {}
        ready = threading.Event()

        def read_log():
            for line in self.proc.stderr:
                m = re.search(r"(http|raw): listening on .*:(\d+)$", line.strip())
                if m:
                    self.ports[m.group(1)] = int(m.group(2))
                if "running:" in line:
                    ready.set()
            ready.set()

        threading.Thread(target=read_log, daemon=True).start()
        if not ready.wait(20) or "http" not in self.ports:
            raise SystemExit("FAILED: the gateway did not start")
        self.url = "http://127.0.0.1:%d/" % self.ports["http"]

    def raw_transact(self, command):
        with socket.create_connection(("127.0.0.1", self.ports["raw"]), timeout=5) as s:
            s.sendall(command)
            reply = b""
            while len(reply) < 12:
                chunk = s.recv(12 - len(reply))
                if not chunk:
                    break
                reply += chunk
            return reply

    def close(self):
        for p in (self.proc, self.sim):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()


def http(url, body=None, headers=None):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=15) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    return condition()


def api_tests(work):
    command = {"bus": "bench", "dest": 5, "code": 3, "param": 0, "data": "D7 00 00 01"}
    g = Gateway(work, send=False)
    try:
        status, _ = http(g.url + "api/transact", command)
        check(status == 403, "sending off: 403, not %d" % status)
        status, page = http(g.url)
        check(status == 200 and b'id="send"' not in page, "sending off: no form on the page")
        points = wait_for(lambda: [p for p in json.loads(http(g.url + "api/points")[1])
                                   if p["ts"] is not None], 10)
        check(points and points[0]["name"] == "temperature" and points[0]["bus"] == "bench" and
              points[0]["unit"] == "°C" and points[0]["outcome"] == 0 and
              points[0]["value"] == 0, "api/points %r" % points)
        check(points and abs(points[0]["ts"] / 1000 - time.time()) < 30, "ts is the Unix time in ms")
    finally:
        g.close()

    token = "s3cret-token-0123456789"
    g = Gateway(work, send=True, token=token)
    try:
        url = g.url + "api/transact"
        for header, expected in ((None, 401), ("Bearer wrong-token-0123456789", 401),
                                 ("Bearer " + token + "x", 401), ("Bearer " + token, 200)):
            status, body = http(url, command, {"Authorization": header} if header else {})
            check(status == expected, "token %r: %d, not %d" % (header, status, expected))
        answer = json.loads(body)
        check(answer["outcome"] == 0 and answer["outcome_text"] == "reply" and
              answer["reply"]["data"] == {"bytes": "D7 00 00 01", "uint": 16777431,
                                          "decimal": 21.5, "decimals": 1} and
              answer["reply"]["source"] == 5 and answer["round_trip_ms"] > 0, "answer %r" % answer)
        auth = {"Authorization": "Bearer " + token}
        status, body = http(url, {"bus": "bench", "dest": 6, "code": 3, "value": -1.5, "decimals": 1,
                                  "reply_timeout_ms": 50}, auth)
        answer = json.loads(body)
        check(status == 200 and answer["outcome"] == 3 and answer["reply"] is None, "silent %r" % answer)
        for bad, expected in (({"bus": "nope", "dest": 1, "code": 0}, 404),
                              ({"bus": "bench", "dest": 128, "code": 0}, 400),
                              ({"bus": "bench", "code": 0}, 400),
                              ({"bus": "bench", "dest": 1, "code": 0, "data": "D7 00"}, 400),
                              ({"bus": "bench", "dest": 1, "code": 0, "uint": 1, "value": 2}, 400),
                              (b"{not json", 400)):
            status, body = http(url, bad, auth)
            check(status == expected and "error" in json.loads(body), "%r: %d" % (bad, status))
        status, csv = http(g.url + "api/frames.csv?address=6")
        lines = csv.decode().strip().split("\r\n")
        check(status == 200 and len(lines) == 2 and ',6,' in lines[1] and lines[1].split(",")[5] == "3",
              "the CSV of address 6: %r" % lines)
    finally:
        g.close()


def browser_tests(work, outdir):
    if not shutil.which("chromium") or not shutil.which("chromedriver"):
        print("SKIP: chromium and chromium-driver are not installed (scripts/setup.sh)")
        sys.exit(77)
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
    except ImportError:
        print("SKIP: selenium is not installed (python3-selenium)")
        sys.exit(77)
    options = webdriver.ChromeOptions()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run",
              "--user-data-dir=" + os.path.join(work, "profile"), "--window-size=1280,1400"):
        options.add_argument(a)
    options.binary_location = shutil.which("chromium")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(executable_path=shutil.which("chromedriver"))
    g = Gateway(work, send=True)
    driver = webdriver.Chrome(options=options, service=service)
    try:
        driver.get(g.url)
        text = lambda css: driver.find_element(By.CSS_SELECTOR, css).text
        check(wait_for(lambda: text("#link") == "live", 10), "the event stream is live")
        check(wait_for(lambda: "0" == text("#point-bench-temperature .value"), 10), "the point's first value")
        # Another client (the raw listener) sets the device's value: the poll sees it, the page too.
        reply = g.raw_transact(encode(5, 31, 3, data=decimal_word(235, 1)))
        check(len(reply) == 12, "the raw client's reply")
        changed = time.monotonic()
        shown = wait_for(lambda: text("#point-bench-temperature .value") == "23.5", 5)
        check(shown and time.monotonic() - changed < 2 + 0.2 + 1, "the new value within 2 s of the poll")
        check(wait_for(lambda: "raw 127.0.0.1" in text("#frames tbody"), 5), "the raw client's frame in the log")
        # The form: one command, its outcome as `varno send` shows it.
        form = driver.find_element(By.ID, "send")
        for name, value in (("dest", "6"), ("code", "3")):
            field = form.find_element(By.NAME, name)
            field.clear()
            field.send_keys(value)
        form.find_element(By.CSS_SELECTOR, "button").click()
        check(wait_for(lambda: "no reply (outcome 3" in text("#send-result"), 10), "the form's outcome")
        field = form.find_element(By.NAME, "dest")
        field.clear()
        field.send_keys("5")
        form.find_element(By.NAME, "word").send_keys("19.5")
        form.find_element(By.CSS_SELECTOR, "button").click()
        check(wait_for(lambda: "decimal 19.5" in text("#send-result"), 10), "the form's reply")
        check(wait_for(lambda: text("#point-bench-temperature .value") == "19.5", 5), "the form's value polled")
        check(wait_for(lambda: "http 127.0.0.1" in text("#frames tbody"), 5), "the form's frame in the log")
        filt = driver.find_element(By.ID, "filter")
        filt.send_keys("6")
        rows = driver.find_elements(By.CSS_SELECTOR, "#frames tbody tr")
        check(rows and all("06 1F 03" in r.text for r in rows), "the filter keeps address 6 only")
        filt.send_keys(Keys.BACKSPACE)
        check(wait_for(lambda: "raw 127.0.0.1" in text("#frames tbody"), 5), "all addresses again")
        time.sleep(0.6)  # a few more updates for the plot, then the picture
        os.makedirs(outdir, exist_ok=True)
        driver.save_screenshot(os.path.join(outdir, "gateway-page.png"))
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        check(not errors, "console errors: %r" % errors)
    finally:
        driver.quit()
        g.close()
    g = Gateway(work, send=False)
    driver = webdriver.Chrome(options=options, service=service)
    try:
        driver.get(g.url)
        check(wait_for(lambda: text("#link") == "live", 10), "live without sending")
        check(not driver.find_elements(By.ID, "send"), "no form with http_send off")
    finally:
        driver.quit()
        g.close()


with tempfile.TemporaryDirectory() as work:
    if MODE == "api":
        api_tests(work)
    else:
        browser_tests(work, sys.argv[4])
print("ok" if not failures else "%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
