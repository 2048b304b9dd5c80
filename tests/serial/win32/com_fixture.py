#!/usr/bin/env python3
"""Runs a Windows test program under Wine with COM ports made for it.

A Windows program cannot create a pseudo-terminal, so this script does it on the Linux side and
links the terminals into the program's Wine prefix as COM ports:

  --echo COMn      a terminal whose other end sends back every byte it receives
  --stalled COMn   a terminal whose other end is never read: writes back up, reads never end
  --missing COMn   a COM name that leads to no device (COM10 or above)

The program learns the names from VARNO_TEST_ECHO_PORT, VARNO_TEST_STALLED_PORT and
VARNO_TEST_MISSING_PORT.

Wine's mount manager rewrites the COM links each time a Wine session starts: it applies the
values under HKLM\\Software\\Wine\\Ports and then hands the serial devices it detects (/dev/ttyS0,
which may be the system console) to the lowest COM numbers left over. So COM1..COM9 are set in the
registry as well as linked, the ones without a terminal pointing nowhere, and the detected devices
end up above COM9. Afterwards everything points nowhere again.

Every COM number the mount manager knows is a device that opens, even when its link leads nowhere.
A COM name that must fail to open is therefore one outside COM1..COM9 (and above any detected
device): only its link is pointed nowhere.

Exits with the program's exit code, or 77 (skipped) where Wine cannot run the program here.

usage: com_fixture.py --emulator WINE_RUN --prefix DIR [ports] -- PROGRAM [ARGS...]
"""

import argparse
import os
import pty
import select
import subprocess
import sys
import threading
import tty

NOWHERE = "/nonexistent/varno-no-port"
# COM1 .. COM9 belong to the tests; detected devices go to COM10 and above.
RESERVED_PORTS = range(1, 10)
# The exit code for a test that cannot run here.
SKIPPED = 77


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--emulator", required=True, help="scripts/wine-run.sh")
    parser.add_argument("--prefix", required=True, help="the Wine prefix to use")
    parser.add_argument("--echo", help="COM name of the echoing line")
    parser.add_argument("--stalled", help="COM name of the line nobody reads")
    parser.add_argument("--missing", help="COM name that leads nowhere")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    if arguments.command[:1] == ["--"]:
        arguments.command = arguments.command[1:]
    if not arguments.command:
        parser.error("no program to run")
    return arguments


def port_number(name, reserved):
    if not name.upper().startswith("COM") or not name[3:].isdigit():
        sys.exit(f"com_fixture: not a COM name: {name}")
    number = int(name[3:])
    if (number in RESERVED_PORTS) != reserved or not 1 <= number <= 255:
        where = "inside" if reserved else "outside"
        sys.exit(f"com_fixture: {name} must be {where} COM1..COM9")
    return number


class Terminal:
    """A pseudo-terminal in raw mode; the Windows side gets the slave."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def echo(master, stop):
    # The slave stays open in this process, so reads never fail with EIO while Wine reopens it.
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            continue
        data = os.read(master, 4096)
        while data:
            written = os.write(master, data)
            data = data[written:]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def point_ports(emulator, prefix, environment, targets, missing):
    """Points COM1..COM9 at the given targets (nowhere when not given), for this session and for
    every session that starts later; points the missing port's link nowhere."""
    lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"]
    for number in RESERVED_PORTS:
        lines.append(f'"COM{number}"="{targets.get(number, NOWHERE)}"')
    registry_file = prefix + ".ports.reg"
    with open(registry_file, "w", encoding="ascii") as output:
        output.write("\r\n".join(lines) + "\r\n")
    subprocess.run([emulator, "regedit", "/S", windows_path(registry_file)], env=environment,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The registry takes effect only when a session starts; the session now running keeps its
    # links until the links themselves are replaced.
    dosdevices = os.path.join(prefix, "dosdevices")
    for number in list(RESERVED_PORTS) + ([missing] if missing else []):
        link = os.path.join(dosdevices, f"com{number}")
        staging = link + ".new"
        if os.path.lexists(staging):
            os.unlink(staging)
        os.symlink(targets.get(number, NOWHERE), staging)
        os.replace(staging, link)


def main():
    arguments = parse_arguments()
    runnable = subprocess.run([arguments.emulator, "--can-run", arguments.command[0]],
                              stdout=subprocess.PIPE, text=True)
    if runnable.returncode != 0:
        print(f"skipped: {runnable.stdout.strip()}")
        return SKIPPED
    prefix = os.path.abspath(arguments.prefix)
    environment = dict(os.environ, VARNO_WINEPREFIX=prefix)
    subprocess.run([arguments.emulator, "--init"], env=environment, check=True)

    terminals = {}
    targets = {}
    test_environment = dict(environment)
    stop = threading.Event()
    echo_thread = None
    missing = None
    try:
        if arguments.echo:
            terminals["echo"] = Terminal()
            targets[port_number(arguments.echo, True)] = terminals["echo"].path
            test_environment["VARNO_TEST_ECHO_PORT"] = arguments.echo
            echo_thread = threading.Thread(target=echo, args=(terminals["echo"].master, stop),
                                           daemon=True)
            echo_thread.start()
        if arguments.stalled:
            terminals["stalled"] = Terminal()
            targets[port_number(arguments.stalled, True)] = terminals["stalled"].path
            test_environment["VARNO_TEST_STALLED_PORT"] = arguments.stalled
        if arguments.missing:
            missing = port_number(arguments.missing, False)
            test_environment["VARNO_TEST_MISSING_PORT"] = arguments.missing

        point_ports(arguments.emulator, prefix, environment, targets, missing)
        result = subprocess.run([arguments.emulator] + arguments.command, env=test_environment)
        return result.returncode
    finally:
        # The terminal names are reused by other processes once closed: leave no link to them.
        point_ports(arguments.emulator, prefix, environment, {}, missing)
        stop.set()
        if echo_thread is not None:
            echo_thread.join()
        for terminal in terminals.values():
            terminal.close()


if __name__ == "__main__":
    sys.exit(main())
