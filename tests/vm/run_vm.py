#!/usr/bin/env python3
"""The library on the kernel's own serial drivers, in a QEMU guest.

Boots Debian's kernel (from the linux-image-amd64 package, fetched with apt-get download and
kept in a cache) under TCG with a 16550A on the guest's ttyS1 (the 8250 driver) and an FTDI USB
adapter on its ttyUSB0 (ftdi_sio), plays devices with varno-sim on the host side of both lines,
and runs the guest test program (guest_test.cpp) there. QEMU opens each simulator's terminal as
the line's host end. The adapter is pulled out (device_del on QEMU's monitor) and plugged in
again (device_add) when the guest asks, and a few bytes into every answer of device 11 on the
USB line.

Exit status: 0 passed, 1 failed, 77 skipped (no QEMU, no static busybox, no kernel package).
"""
import argparse
import glob
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
DEVICES = [
    "1", "2:silent", "3:short=5", "4:badcrc", "5:split=4+4+4,gap=4",
    "7:status=17,error=34,data=0x02003039", "11:split=2+1+1+1+1+1+1+1+1+1+1,gap=4",
]
PULL_ON_ANSWER = "device 11 answers"
# How far into that answer (42 ms long: 2 bytes, then one every 4 ms) the adapter is pulled:
# its first bytes are in the guest by then, most are still to come.
PULL_DELAY_S = 0.012
ADAPTER = "usb-serial,chardev=u,id=ftdi"
BOOT_LIMIT_S = 90
RUN_LIMIT_S = 180

INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in %s; do insmod /lib/modules/$m.ko || echo "@@VM error insmod $m"; done
i=0
while [ ! -e /sys/bus/usb-serial/devices/ttyUSB0 ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done
echo "@@VM init $(cut -d' ' -f1 /proc/uptime)"
/vm_guest_test --gtest_color=no %s
echo "@@VM exit $?"
poweroff -f
"""


def log(text):
    print(f"vm: {text}", flush=True)


def skip(reason):
    print(f"SKIPPED: {reason}", flush=True)
    sys.exit(SKIP)


def fail(reason):
    print(f"FAILED: {reason}", flush=True)
    sys.exit(1)


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def kernel_package():
    """The kernel package linux-image-amd64 currently stands for."""
    for attempt in range(2):
        out = run(["apt-cache", "depends", "linux-image-amd64"]).stdout
        m = re.search(r"Depends: (linux-image-\S+)", out)
        if m:
            return m.group(1)
        if attempt == 0 and os.geteuid() == 0:
            run(["apt-get", "update", "-qq"])
    return None


def fetch_kernel(cache):
    """vmlinuz and the modules, from the cached package, downloading it once."""
    os.makedirs(cache, exist_ok=True)
    package = kernel_package()
    debs = glob.glob(os.path.join(cache, f"{package}_*.deb")) if package else []
    if package and not debs:
        started = time.monotonic()
        got = run(["apt-get", "download", "-o", "APT::Sandbox::User=root", package], cwd=cache)
        debs = glob.glob(os.path.join(cache, f"{package}_*.deb"))
        if debs:
            log(f"downloaded {os.path.basename(debs[0])} "
                f"({os.path.getsize(debs[0]) // 1000000} MB) in {time.monotonic() - started:.1f} s")
            for old in glob.glob(os.path.join(cache, "linux-image-*.deb")):
                if old != debs[0]:
                    os.remove(old)
        else:
            log(f"apt-get download {package}: {got.stderr.strip()}")
    if not debs:  # no package list, or no network: whatever was fetched before
        debs = sorted(glob.glob(os.path.join(cache, "linux-image-*.deb")))
    if not debs:
        skip("the kernel package (linux-image-amd64) cannot be downloaded")
    deb = debs[-1]

    tree = os.path.join(cache, "kernel", os.path.basename(deb)[:-4])
    if not os.path.exists(os.path.join(tree, ".done")):
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(tree)
        wanted = ["./boot/vmlinuz-*"] + [f"./lib/modules/*/{m.replace('-', '[-_]')}.ko*"
                                          for m in MODULES]
        tar = subprocess.Popen(["tar", "-x", "-C", tree, "--wildcards"] + wanted,
                               stdin=subprocess.PIPE)
        unpack = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], stdout=tar.stdin)
        tar.stdin.close()
        if unpack.returncode != 0 or tar.wait() != 0:
            fail(f"cannot unpack {deb}")
        for packed in glob.glob(os.path.join(tree, "lib/modules/**/*.ko.xz"), recursive=True):
            subprocess.run(["xz", "-d", packed], check=True)
        open(os.path.join(tree, ".done"), "w").close()

    kernels = glob.glob(os.path.join(tree, "boot/vmlinuz-*"))
    modules = {}
    for path in glob.glob(os.path.join(tree, "lib/modules/**/*.ko"), recursive=True):
        modules[os.path.basename(path)[:-3].replace("_", "-")] = path
    missing = [m for m in MODULES if m.replace("_", "-") not in modules]
    if not kernels or missing:
        fail(f"{deb} lacks the kernel or modules {missing}")
    return kernels[0], [modules[m.replace("_", "-")] for m in MODULES]


def make_initramfs(work, busybox, kernel_modules, guest, guest_args):
    root = os.path.join(work, "root")
    shutil.rmtree(root, ignore_errors=True)
    for d in ["bin", "dev", "proc", "sys", "lib/modules"]:
        os.makedirs(os.path.join(root, d))
    shutil.copy(busybox, os.path.join(root, "bin/busybox"))
    for name, path in zip(MODULES, kernel_modules):
        shutil.copy(path, os.path.join(root, "lib/modules", name + ".ko"))
    shutil.copy(guest, os.path.join(root, "vm_guest_test"))
    with open(os.path.join(root, "init"), "w") as f:
        f.write(INIT % (" ".join(MODULES), guest_args))
    os.chmod(os.path.join(root, "init"), 0o755)
    names = []
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            names.append(os.path.relpath(os.path.join(d, n), root))
    image = os.path.join(work, "initramfs.cpio")
    with open(image, "wb") as out:
        subprocess.run([busybox, "cpio", "-o", "-H", "newc"], cwd=root, check=True, stdout=out,
                       stderr=subprocess.DEVNULL, input="\n".join(sorted(names)).encode())
    return image


class Simulator:
    """varno-sim on a pseudo-terminal; its trace goes to a log and to `on_line`."""

    def __init__(self, program, log_path, on_line=None):
        self.proc = subprocess.Popen([program, "-v"] + DEVICES, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not self.path:
            fail(f"varno-sim did not start: {self.proc.stderr.read()}")
        self.log = open(log_path, "w")
        self.on_line = on_line
        threading.Thread(target=self._trace, daemon=True).start()

    def _trace(self):
        for line in self.proc.stderr:
            self.log.write(f"{time.monotonic():.4f} {line}")
            self.log.flush()
            if self.on_line:
                self.on_line(line)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class Monitor:
    """QEMU's human monitor on a Unix socket."""

    def __init__(self, path, qemu):
        give_up = time.monotonic() + 20
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if qemu.poll() is not None or time.monotonic() > give_up:
                    raise
                time.sleep(0.05)
        self.lock = threading.Lock()
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        self.sock.settimeout(20)
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        return data.decode(errors="replace")

    def command(self, text):
        with self.lock:
            self.sock.sendall(text.encode() + b"\n")
            out = self._until_prompt()
        # The monitor echoes the command (with terminal escapes); anything after it is news.
        reply = out.split("\n", 1)[1] if "\n" in out else ""
        return reply.replace("(qemu) ", "").strip()


class Adapter:
    """Pulls the USB adapter out and plugs it in, once each in turn."""

    def __init__(self, monitor):
        self.monitor = monitor
        self.lock = threading.Lock()
        self.plugged = True
        self.pulls = 0

    def pull(self, why):
        with self.lock:
            if not self.plugged:
                return
            reply = self.monitor.command("device_del ftdi")
            self.plugged = False
            self.pulls += 1
            log(f"adapter pulled out ({why}){': ' + reply if reply else ''}")

    def plug(self):
        with self.lock:
            if self.plugged:
                return
            for _ in range(50):
                reply = self.monitor.command(f"device_add {ADAPTER}")
                if not reply:
                    break
                time.sleep(0.1)  # the old device is still being taken away
            self.plugged = not reply
            log(f"adapter plugged in{': ' + reply if reply else ''}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--guest", required=True, help="the guest test program (static)")
    parser.add_argument("--sim", required=True, help="varno-sim")
    parser.add_argument("--cache", required=True, help="where the kernel package is kept")
    parser.add_argument("--work", required=True, help="a directory for the run's files")
    parser.add_argument("--guest-args", default="",
                        help="for the guest program, e.g. '--gtest_filter=UnplugTest.*'")
    args = parser.parse_args()
    # Stopped from outside (a test time-out): still take QEMU and the simulators down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        skip("qemu-system-x86_64 is not installed (scripts/setup.sh installs qemu-system-x86)")
    busybox = "/bin/busybox"
    status = run(["dpkg-query", "-W", "-f=${Status}", "busybox-static"]).stdout
    if "install ok installed" not in status or not os.path.exists(busybox):
        skip("busybox-static is not installed (scripts/setup.sh installs it)")
    if not os.path.exists(args.guest):
        fail(f"no guest program {args.guest}")

    started = time.monotonic()
    kernel, modules = fetch_kernel(os.path.abspath(args.cache))
    os.makedirs(args.work, exist_ok=True)
    image = make_initramfs(args.work, busybox, modules, args.guest, args.guest_args)
    log(f"kernel {os.path.basename(kernel)}, initramfs {os.path.getsize(image) // 1000} kB, "
        f"ready in {time.monotonic() - started:.1f} s")

    attempts = 2
    for attempt in range(1, attempts + 1):
        result = run_once(args, qemu, kernel, image)
        # QEMU 7.2 has been seen to die of a segmentation fault when the adapter is pulled out
        # in the middle of a transfer, about once in 300 pulls: that says nothing of the library.
        crashed = result["exit_status"] is None and result["returncode"] is not None and \
            result["returncode"] < 0 and result["verdict"] is None
        if not (crashed and attempt < attempts):
            break
        log(f"QEMU died of signal {-result['returncode']}; running the guest once more")

    console, verdict = result["console"], result["verdict"]
    if not console and result["returncode"] not in (0, None):
        skip(f"QEMU cannot run here: {result['qemu_said']}")
    passed = next((l for l in console if l.startswith("[  PASSED  ]")), None)
    failed = [l for l in console if l.startswith("[  FAILED  ]")]
    if verdict is None:
        if result["exit_status"] is None:
            verdict = f"the guest program did not finish (QEMU exit status {result['returncode']}" + \
                (f": {result['qemu_said'][-2000:]})" if result["qemu_said"] else ")")
        elif result["exit_status"] != 0 or failed or not passed:
            verdict = f"the guest program exited with {result['exit_status']}"
    init_at = result["init_s"]
    boot_s = f"{init_at:.1f} s to init" if init_at is not None else "init not reached"
    log(f"VM run {result['ran_s']:.1f} s ({boot_s}); whole test {time.monotonic() - started:.1f} s; "
        f"adapter pulled out {result['pulls']} times")
    for figure in result["figures"]:
        log(f"figure: {figure}")
    if verdict:
        fail(verdict)
    print(f"vm: {passed[len('[  PASSED  ] '):].rstrip('.')} passed in the guest", flush=True)
    return 0


def run_once(args, qemu, kernel, image):
    """Boots the guest with both lines and its simulators; plays the host's part to the end."""
    sockets = tempfile.mkdtemp(prefix="varno-vm-")
    monitor_path = os.path.join(sockets, "monitor")
    adapter = None

    def on_usb_trace(line):
        if line.startswith(PULL_ON_ANSWER) and adapter:
            threading.Timer(PULL_DELAY_S, adapter.pull, args=("in an answer",)).start()

    serial_sim = Simulator(args.sim, os.path.join(args.work, "sim-ttyS1.log"))
    usb_sim = Simulator(args.sim, os.path.join(args.work, "sim-ttyUSB.log"), on_usb_trace)
    cmd = [
        qemu, "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults", "-no-reboot",
        "-display", "none", "-kernel", kernel, "-initrd", image,
        "-append", "console=ttyS0 rdinit=/init quiet panic=-1",
        "-serial", "stdio",
        "-chardev", f"serial,id=s,path={serial_sim.path}", "-serial", "chardev:s",
        "-device", "qemu-xhci,id=xhci",
        "-chardev", f"serial,id=u,path={usb_sim.path}", "-device", ADAPTER,
        "-monitor", f"unix:{monitor_path},server=on,wait=off",
    ]
    boot = time.monotonic()
    vm = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    lines = queue.Queue()

    def read_console():
        for raw in vm.stdout:
            lines.put(raw.decode(errors="replace").rstrip("\r\n"))
        lines.put(None)

    threading.Thread(target=read_console, daemon=True).start()

    verdict, init_at, exit_status, figures, console = None, None, None, [], []
    try:
        try:
            adapter = Adapter(Monitor(monitor_path, vm))
        except OSError as e:
            vm.wait(10)
            reason = vm.stderr.read().decode(errors="replace").strip() or str(e)
            skip(f"QEMU cannot run here: {reason}")
        deadline = boot + RUN_LIMIT_S
        while True:
            limit = deadline if init_at else boot + BOOT_LIMIT_S
            try:
                line = lines.get(timeout=max(0.0, limit - time.monotonic()))
            except queue.Empty:
                verdict = "the guest did not reach init" if not init_at else "the run took too long"
                break
            if line is None:
                break
            console.append(line)
            print(f"guest| {line}", flush=True)
            if not line.startswith("@@VM "):
                continue
            word = line.split()[1:]
            if word[0] == "init":
                init_at = time.monotonic()
            elif word[0] == "unplug":
                adapter.pull("asked")
            elif word[0] == "plug":
                adapter.plug()
            elif word[0] == "figure":
                figures.append(" ".join(word[1:]))
            elif word[0] == "exit":
                exit_status = int(word[1])
            elif word[0] == "error":
                verdict = " ".join(word[1:])
        try:
            vm.wait(20)
        except subprocess.TimeoutExpired:
            pass
    finally:
        if vm.poll() is None:
            vm.kill()
            vm.wait()
        serial_sim.stop()
        usb_sim.stop()
        shutil.rmtree(sockets, ignore_errors=True)
    return {
        "verdict": verdict, "console": console, "figures": figures, "exit_status": exit_status,
        "returncode": vm.returncode, "qemu_said": vm.stderr.read().decode(errors="replace").strip(),
        "init_s": init_at - boot if init_at else None, "ran_s": time.monotonic() - boot,
        "pulls": adapter.pulls if adapter else 0,
    }


if __name__ == "__main__":
    sys.exit(main())
