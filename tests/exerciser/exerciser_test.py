#!/usr/bin/env python3
"""Runs VarnoDLLTest end to end in one situation and checks what it shows.

usage: exerciser_test.py SCENARIO --program EXE [--emulator WINE_RUN] [--sim VARNO_SIM]
                         [--stub LIBRARY]

Linux:
  no-port                no /dev/COM1: the open fails, the program still waits for Enter
  no-library             the program alone in a directory: "Failed to load the DLL"
  missing-function       beside --stub, a library without varnoSendCommand
  silent-bus             /dev/COM1 linked to a simulated bus without device 1: two time-outs
  answering-device       /dev/COM1 linked to a simulated device 1 that answers
Windows, under Wine (--emulator, prefix in VARNO_WINEPREFIX):
  wine-no-port           COM1 of the prefix leads nowhere
  wine-terminal          COM1 at the simulator's pseudo-terminal, where Wine refuses RTS toggling
  wine-no-library        as on Linux, the message box seen in Wine's trace of the program's calls
  wine-missing-function  as on Linux, likewise

Exits 0 when the program behaved, 1 when it did not, 77 when the situation cannot be made here.
"""

import argparse
import contextlib
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

DEV_COM1 = "/dev/COM1"
NOWHERE = "/nonexistent/varno-no-port"
SKIPPED = 77

OPEN_FAILED = "\n openInterface INVALID_HANDLE_VALUE"
CLOSED = "\n THREAD EXIT\n closeInterface I/O is canceled\n interface has been closed"
# A time-out report comes a little over the 100 ms reply time-out after its send; anything up to
# this still passes on a loaded machine.
ELAPSED_LIMIT_MS = 5000
# The device that answers, and what its data word must print as: bytes C7 CF FF 03, a mantissa of
# -12345 with 3 decimal places.
ANSWERING_DEVICE = "1:status=5,error=6,data=0x03FFCFC7"
ANSWER_UINT = 67096519
ANSWER_FLOAT = "-12.345"


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Exerciser:
    """The program running with its standard streams piped."""

    def __init__(self, command, environment=None, startup_s=30.0):
        self.startup_s = startup_s
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=environment)
        self._changed = threading.Condition()
        self._streams = {"out": bytearray(), "err": bytearray()}
        self._readers = [
            threading.Thread(target=self._collect, args=(self.process.stdout, "out"), daemon=True),
            threading.Thread(target=self._collect, args=(self.process.stderr, "err"), daemon=True),
        ]
        for reader in self._readers:
            reader.start()

    def _collect(self, stream, name):
        while True:
            chunk = os.read(stream.fileno(), 4096)
            with self._changed:
                if not chunk:
                    self._streams[name + "-closed"] = True
                else:
                    self._streams[name] += chunk
                self._changed.notify_all()
            if not chunk:
                return

    def _text(self, name):
        # A Windows program's text-mode streams end lines with CR LF; the texts themselves have LF.
        with self._changed:
            return self._streams[name].decode("latin-1").replace("\r\n", "\n")

    def errors(self):
        return self._text("err")

    def output(self):
        return self._text("out")

    def wait_for_errors(self, pattern):
        """Waits until standard error matches `pattern` as a whole, or the program stops writing
        to it, or the start-up limit passes; returns the match or None."""
        give_up = time.monotonic() + self.startup_s
        with self._changed:
            while True:
                match = re.fullmatch(pattern, self.errors(), re.DOTALL)
                if match or self._streams.get("err-closed") or time.monotonic() > give_up:
                    return match
                self._changed.wait(0.1)

    def running(self):
        return self.process.poll() is None

    def press_enter(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.flush()

    def finish(self, timeout_s=30.0):
        """The exit code, once the program has ended and its streams are drained."""
        try:
            code = self.process.wait(timeout_s)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure(f"still running after {timeout_s:.0f} s; standard error so far:\n"
                          f"{self.errors()!r}")
        for reader in self._readers:
            reader.join(10)
        self.process.stdin.close()
        return code


# Stands for a number in an expected text.
NUMBER = "<N>"


def check_run_until_enter(command, before_enter, after_enter, environment=None, startup_s=30.0):
    """Runs the program, expects standard error to read `before_enter` and the program to wait
    there, presses Enter and expects `after_enter` and exit code 0. Returns the numbers found where
    `before_enter` has NUMBER."""
    pattern = re.escape(before_enter).replace(re.escape(NUMBER), r"(\d+)")
    run = Exerciser(command, environment, startup_s)
    try:
        match = run.wait_for_errors(pattern)
        check(match is not None,
              f"standard error before Enter:\n  got      {run.errors()!r}\n"
              f"  expected {before_enter!r}")
        # Generous: only a program that does not wait at all fails this.
        time.sleep(0.3)
        check(run.running(), "ended without waiting for Enter")
        check(run.errors() == match.group(0),
              f"more output before Enter: {run.errors()[len(match.group(0)):]!r}")
        run.press_enter()
        code = run.finish()
        check(run.errors()[len(match.group(0)):] == after_enter,
              f"standard error after Enter:\n  got      "
              f"{run.errors()[len(match.group(0)):]!r}\n  expected {after_enter!r}")
        check(run.output() == "", f"standard output not empty: {run.output()!r}")
        check(code == 0, f"exit code {code}")
        return [int(number) for number in match.groups()]
    finally:
        if run.running():
            run.process.kill()
            run.process.wait()


def check_run_without_enter(command, expected_errors, environment=None, timeout_s=30.0):
    """Runs the program with its input left open and never written to: it must end by itself with
    exit code 0 and exactly `expected_errors` on standard error (None: not examined). Returns the
    whole standard error."""
    run = Exerciser(command, environment)
    code = run.finish(timeout_s)
    if expected_errors is not None:
        check(run.errors() == expected_errors,
              f"standard error:\n  got      {run.errors()!r}\n  expected {expected_errors!r}")
    check(run.output() == "", f"standard output not empty: {run.output()!r}")
    check(code == 0, f"exit code {code}")
    return run.errors()


def report(code, error_status, status=0, error=0, uint=0, float_text="0"):
    """One callback report, its elapsed time left open."""
    return (f"\n elapsed send-receive time = {NUMBER} ms\n error_status = {error_status}\n"
            f"\n dest = 31\n source = 1\n code = {code}\n param = 0"
            f"\n status = {status}\n error = {error}"
            f"\n UINT data = {uint}\n FLOAT data = {float_text}")


def check_two_reports(arguments, devices, elapsed_at_least_ms, **fields):
    with simulator(arguments.sim, devices) as terminal, dev_com1_link(terminal):
        expected = report(0, **fields) + "\n" + report(3, **fields)
        elapsed_times = check_run_until_enter([arguments.program], expected, CLOSED)
    for elapsed in elapsed_times:
        check(elapsed_at_least_ms <= elapsed < ELAPSED_LIMIT_MS,
              f"elapsed time {elapsed} ms, expected {elapsed_at_least_ms}..{ELAPSED_LIMIT_MS - 1}")


@contextlib.contextmanager
def simulator(sim, devices, link=None):
    """varno-sim playing `devices`; yields the path of its terminal."""
    if not os.access(sim or "", os.X_OK):
        raise Failure(f"no simulator at {sim} (build the native default preset first)")
    command = [sim] + (["--link", link] if link else []) + devices
    process = subprocess.Popen(command, stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([process.stdout], [], [], 20)
        check(ready, "the simulator did not start")
        terminal = process.stdout.readline().decode().strip()
        check(terminal.startswith("/dev/"), f"the simulator did not start: {terminal!r}")
        yield terminal
    finally:
        process.terminate()
        process.wait(10)


@contextlib.contextmanager
def dev_com1_link(target):
    """/dev/COM1 as a symbolic link to `target`; never replaces what someone else put there."""
    try:
        os.symlink(target, DEV_COM1)
    except FileExistsError:
        raise Skip(f"{DEV_COM1} exists and is not ours") from None
    except PermissionError:
        raise Skip(f"no right to create {DEV_COM1}") from None
    try:
        yield
    finally:
        if os.path.islink(DEV_COM1) and os.readlink(DEV_COM1) == target:
            os.unlink(DEV_COM1)


@contextlib.contextmanager
def program_copy(program, library=None):
    """A directory of its own with a copy of the program and, if given, of `library` beside it
    under VarnoDLL's file name."""
    with tempfile.TemporaryDirectory(prefix="varno-exerciser.") as directory:
        copy = os.path.join(directory, os.path.basename(program))
        shutil.copy2(program, copy)
        if library:
            name = "VarnoDLL.dll" if library.endswith(".dll") else "libVarnoDLL.so"
            shutil.copy2(library, os.path.join(directory, name))
        yield copy


# --- Linux ----------------------------------------------------------------------------------------


def no_port(arguments):
    if os.path.lexists(DEV_COM1):
        raise Skip(f"{DEV_COM1} exists on this machine")
    check_run_until_enter([arguments.program], OPEN_FAILED, "")


def no_library(arguments):
    with program_copy(arguments.program) as program:
        check_run_without_enter([program], "Error: Failed to load the DLL\n")


def missing_function(arguments):
    with program_copy(arguments.program, arguments.stub) as program:
        check_run_without_enter([program], "Error: VarnoDLL functions load error !!!\n")


def silent_bus(arguments):
    # Device 2 is there only because the simulator wants one; nothing is sent to it.
    check_two_reports(arguments, ["2"], 100, error_status=3)


def answering_device(arguments):
    check_two_reports(arguments, [ANSWERING_DEVICE], 0, error_status=0, status=5, error=6,
                      uint=ANSWER_UINT, float_text=ANSWER_FLOAT)


# --- Windows, under Wine --------------------------------------------------------------------------

# Wine's relay trace of a call: "0024:Call KERNEL32.Sleep(000003e8) ret=1400b524b", with string
# arguments shown after their address; and of its return: "0024:Ret  KERNEL32.Sleep() retval=...".
TRACED_CALLS = ("winmm.timeBeginPeriod", "winmm.timeEndPeriod", "KERNEL32.Sleep",
                "KERNEL32.LoadLibraryA", "KERNEL32.GetProcAddress", "KERNEL32.FreeLibrary",
                "user32.MessageBoxA")
# The trace of a Wine session runs to tens of megabytes: one pass that picks out only these.
_TRACED_NAME = "(" + "|".join(re.escape(name) for name in TRACED_CALLS) + ")"
TRACE_LINE = re.compile(r"^([0-9a-f]{4}):(?:Call " + _TRACED_NAME + r"\((.*)\)|Ret  "
                        + _TRACED_NAME + r"\(\) retval=([0-9a-f]+)) ret=[0-9a-f]+$", re.MULTILINE)
ARGUMENT = re.compile(r'([0-9a-f]+)(?: "((?:[^"\\]|\\.)*)")?(?:,|$)')


def traced_calls(trace):
    """The program's calls to the functions above, in order, on the thread that raised the timer
    resolution, rendered so that they can be compared with what the program should do."""
    calls = []
    for thread, called, arguments, returned, result in TRACE_LINE.findall(trace):
        if called:
            calls.append({"thread": thread, "name": called.split(".")[1],
                          "arguments": ARGUMENT.findall(arguments), "result": None})
            continue
        name = returned.split(".")[1]
        for entry in reversed(calls):
            if entry["thread"] == thread and entry["name"] == name:
                if entry["result"] is None:
                    entry["result"] = int(result, 16)
                break
    main_thread = next((c["thread"] for c in calls if c["name"] == "timeBeginPeriod"), None)
    check(main_thread is not None, "no timeBeginPeriod in Wine's trace")

    rendered = []
    library = None
    for entry in calls:
        if entry["thread"] != main_thread:
            continue
        name, arguments, result = entry["name"], entry["arguments"], entry["result"]
        numbers = [int(number, 16) for number, _ in arguments]
        texts = [text for _, text in arguments]
        if name in ("timeBeginPeriod", "timeEndPeriod", "Sleep"):
            rendered.append(f"{name}({numbers[0]})")
        elif name == "LoadLibraryA":
            library = result
            rendered.append(f'LoadLibraryA("{texts[0]}") -> {"NULL" if not result else "module"}')
        elif name == "GetProcAddress":
            if not texts[1].startswith("varno"):
                continue  # the runtime's own look-ups
            module = "module" if numbers[0] == library else hex(numbers[0])
            rendered.append(f'GetProcAddress({module}, "{texts[1]}") -> '
                            f'{"NULL" if not result else "function"}')
        elif name == "FreeLibrary":
            module = "module" if numbers[0] == library else hex(numbers[0])
            rendered.append(f"FreeLibrary({module})")
        elif name == "MessageBoxA":
            owner = "NULL" if numbers[0] == 0 else hex(numbers[0])
            kind = "MB_OK" if numbers[3] == 0 else hex(numbers[3])
            rendered.append(f'MessageBoxA({owner}, "{texts[1]}", "{texts[2]}", {kind})')
    return rendered


def check_traced_run(arguments, library, expected_calls):
    environment = dict(os.environ, WINEDEBUG="-all,+relay")
    with program_copy(arguments.program, library) as program:
        trace = check_run_without_enter([arguments.emulator, program], None, environment, 120)
    calls = traced_calls(trace)
    check(calls == expected_calls,
          "calls made:\n  " + "\n  ".join(calls) + "\nexpected:\n  " + "\n  ".join(expected_calls))


def check_wine_runs(emulator, program):
    """Skips where this machine's Wine cannot run the program (a 32-bit one without 32-bit Wine)."""
    result = subprocess.run([emulator, "--can-run", program], stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise Skip(result.stdout.strip() or "Wine cannot run the program here")


def wine_prefix():
    prefix = os.environ.get("VARNO_WINEPREFIX")
    check(prefix, "VARNO_WINEPREFIX is not set")
    return prefix


def prepare_com1(arguments):
    """Makes sure the prefix exists, with COM1 leading nowhere; skips where Wine could hand the
    machine's own serial devices out as COM ports."""
    if subprocess.run([arguments.emulator, "--can-hide"]).returncode != 0:
        raise Skip("Wine cannot be kept off this machine's serial devices here")
    subprocess.run([arguments.emulator, "--init"], check=True)
    point_com1(NOWHERE)


def point_com1(target):
    link = os.path.join(wine_prefix(), "dosdevices", "com1")
    staging = link + ".new"
    if os.path.lexists(staging):
        os.unlink(staging)
    os.symlink(target, staging)
    os.replace(staging, link)


def wine_run_until_enter(arguments, before_enter):
    environment = dict(os.environ, WINEDEBUG="-all")
    check_run_until_enter([arguments.emulator, arguments.program], before_enter, "",
                          environment, startup_s=120)


def wine_no_port(arguments):
    prepare_com1(arguments)
    wine_run_until_enter(arguments, OPEN_FAILED)


def wine_terminal(arguments):
    prepare_com1(arguments)
    link = os.path.join(wine_prefix(), "dosdevices", "com1")
    try:
        with simulator(arguments.sim, ["1"], link):
            wine_run_until_enter(arguments, "\n openInterface !SetCommState")
    finally:
        # The terminal's name goes to the next process that asks for one.
        point_com1(NOWHERE)


def wine_no_library(arguments):
    check_traced_run(arguments, None, [
        "timeBeginPeriod(1)",
        "Sleep(1000)",
        'LoadLibraryA("VarnoDLL.dll") -> NULL',
        'MessageBoxA(NULL, "Failed to load the DLL", "Error", MB_OK)',
        "timeEndPeriod(1)",
    ])


def wine_missing_function(arguments):
    check_traced_run(arguments, arguments.stub, [
        "timeBeginPeriod(1)",
        "Sleep(1000)",
        'LoadLibraryA("VarnoDLL.dll") -> module',
        'GetProcAddress(module, "varnoUIntToData") -> function',
        'GetProcAddress(module, "varnoDataToUInt") -> function',
        'GetProcAddress(module, "varnoFloatToData") -> function',
        'GetProcAddress(module, "varnoDataToFloat") -> function',
        'GetProcAddress(module, "varnoOpenSerialPort") -> function',
        'GetProcAddress(module, "varnoGetSerialPortCurrentState") -> function',
        'GetProcAddress(module, "varnoCloseSerialPort") -> function',
        'GetProcAddress(module, "varnoSendCommand") -> NULL',
        'MessageBoxA(NULL, "VarnoDLL functions load error !!!", "Error", MB_OK)',
        "FreeLibrary(module)",
        "timeEndPeriod(1)",
    ])


SCENARIOS = {
    "no-port": no_port,
    "no-library": no_library,
    "missing-function": missing_function,
    "silent-bus": silent_bus,
    "answering-device": answering_device,
    "wine-no-port": wine_no_port,
    "wine-terminal": wine_terminal,
    "wine-no-library": wine_no_library,
    "wine-missing-function": wine_missing_function,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--program", required=True, help="VarnoDLLTest")
    parser.add_argument("--emulator", help="scripts/wine-run.sh, for the wine-* scenarios")
    parser.add_argument("--sim", help="varno-sim")
    parser.add_argument("--stub", help="a library under VarnoDLL's name that lacks a function")
    arguments = parser.parse_args()
    if arguments.scenario.startswith("wine-") and not arguments.emulator:
        parser.error("the wine-* scenarios need --emulator")
    try:
        if arguments.emulator:
            check_wine_runs(arguments.emulator, arguments.program)
        SCENARIOS[arguments.scenario](arguments)
    except Skip as reason:
        print(f"skipped: {reason}")
        return SKIPPED
    except Failure as failure:
        print(f"FAILED ({arguments.scenario}): {failure}")
        return 1
    print(f"passed: {arguments.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
