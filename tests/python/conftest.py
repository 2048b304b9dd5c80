"""The package under test, the library it loads and simulated devices.

VARNO_LIBRARY (the library) and VARNO_SIM (varno-sim) come from CTest; run by hand, the default
preset's build is used. The package is imported from python/ in the source tree.
"""
import os
import threading
import signal
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VARNO_BUILD_DIR", ROOT / "build" / "default"))
os.environ.setdefault("VARNO_LIBRARY", str(BUILD / "link" / "libVarnoDLL.so"))
SIM = Path(os.environ.get("VARNO_SIM", BUILD / "tools" / "sim" / "varno-sim"))
sys.path.insert(0, str(ROOT / "python"))


class Simulator:
    def __init__(self, devices, baud=None, serve=()):
        """serve: ("tcp", "rfc2217") to serve the line on 127.0.0.1 too; self.names has the
        port names for those, in that order."""
        args = [str(SIM)] + (["--baud", str(baud)] if baud else [])
        for kind in serve:
            args += [f"--{kind}", "0"]
        self.process = subprocess.Popen(args + list(devices), stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL)
        lines = []

        def read():  # (the pipe's reader buffers: select() cannot tell a second line is there)
            for _ in range(1 + len(serve)):
                lines.append(self.process.stdout.readline().decode().strip())

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        reader.join(10)
        lines += [""] * (1 + len(serve) - len(lines))
        self.path, self.names = lines[0], lines[1:]
        if not self.path.startswith("/") or not all("://" in n for n in self.names):
            self.stop()
            raise RuntimeError(f"{SIM} gave no terminal path or server address")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def simulate():
    """simulate("1", "2:silent", baud=None) starts a varno-sim and gives its terminal's path."""
    started = []

    def start(*devices, baud=None):
        sim = Simulator(devices, baud)
        started.append(sim)
        return sim.path

    yield start
    for sim in started:
        sim.stop()


# One bus for the tests that only ask: an answering device, one with fields of its own, and
# each way of failing that a device can cause on an open line.
BUS = ["1", "2:silent", "3:short=5", "4:badcrc", "7:status=1,error=2,data=0x1234"]


@pytest.fixture(scope="module")
def bus():
    sim = Simulator(BUS)
    yield sim.path
    sim.stop()
