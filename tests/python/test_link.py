"""Links against simulated devices: outcomes, open errors, threads, callbacks, closing."""
import gc
import logging
import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

import varno
from conftest import BUILD, Simulator
from varno import _native

SILENT = 2
ANSWER = 3.0  # the reply time-out for a device that answers: only a starved machine reaches it


def test_every_outcome_is_a_reply_or_its_exception(bus, simulate):
    with varno.Link(bus, 38400) as link:
        reply = link.transact(dest=1, code=3, param=0x85, data=varno.Data.from_decimal(21.5, 1),
                              source=31, write_timeout=0.1, reply_timeout=ANSWER)
        assert (reply.dest, reply.source, reply.code, reply.param) == (31, 1, 3, 0x85)
        assert (reply.status, reply.error, reply.data.decimal) == (0, 0, 21.5)
        reply = link.transact(7, 2, reply_timeout=ANSWER)
        assert (reply.status, reply.error, reply.data.uint) == (1, 2, 0x1234)

        for dest, kind, builtin in ((SILENT, varno.NoReply, TimeoutError),
                                    (3, varno.InvalidReply, None),   # cut short
                                    (4, varno.InvalidReply, None)):  # bad CRC
            with pytest.raises(kind) as e:
                link.transact(dest, 9, 0x81, varno.Data.from_uint(77),
                              reply_timeout=0.1 if dest == SILENT else ANSWER)
            command = e.value.command
            assert (command.dest, command.source, command.code, command.param) == (31, dest, 9, 0x81)
            assert command.data.uint == 77 and isinstance(e.value, varno.TransactionError)
            if builtin:
                assert isinstance(e.value, builtin)
        assert link.transact(1, 4, reply_timeout=ANSWER).code == 4  # in step again

    vanishing = simulate("9:hangup=0")  # gone before it answers: no race with the byte gap
    with varno.Link(vanishing, 38400) as link:
        with pytest.raises(varno.ReadFailed) as e:
            link.transact(9, 0, reply_timeout=ANSWER)
        assert e.value.code == 4
        with pytest.raises(varno.WriteFailed):  # the line has gone: nothing can be written
            link.transact(9, 0)


@pytest.mark.parametrize("outcome, kind, builtin", [
    (1, varno.WriteTimeout, TimeoutError), (2, varno.WriteFailed, None),
    (3, varno.NoReply, TimeoutError), (4, varno.ReadFailed, None), (5, varno.InvalidReply, None),
])
def test_outcomes_map_to_exceptions(outcome, kind, builtin):
    # Outcomes 1 and 2 cannot be caused on a pseudo-terminal.
    from varno._link import _result
    frame = _native.VarnoFrame(dest=31, source=6, code=2)
    error = _result(outcome, frame)
    assert type(error) is kind and error.code == outcome and error.command.source == 6
    assert error.text == _native.error_text(outcome)
    assert builtin is None or isinstance(error, builtin)


def test_network_port_names_pass_through():
    sim = Simulator(["1", "2:silent"], serve=("tcp", "rfc2217"))
    try:
        for name in sim.names:
            with varno.Link(name, 38400) as link:
                assert link.transact(1, 3, reply_timeout=ANSWER).source == 1, name
                with pytest.raises(varno.NoReply):
                    link.transact(SILENT, 3, reply_timeout=0.1)
        with pytest.raises(varno.OpenError) as e:
            varno.Link("tcp://127.0.0.1:99999", 38400)
        assert e.value.code == -1  # a port number out of range is a bad name
    finally:
        sim.stop()


def test_gateway_port_names_pass_through():
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
    from fake_gateway import FakeGateway, CODE_QUEUE_TIMEOUT
    gateway = FakeGateway()
    try:
        name = f"varno://127.0.0.1:{gateway.port}/bus1"
        with varno.Link(name, 38400) as link:
            assert link.transact(1, 0, reply_timeout=ANSWER).status == 0x11
            with pytest.raises(varno.NoReply):
                link.transact(1, 3)
            with pytest.raises(varno.QueueTimeout) as e:
                link.transact(1, CODE_QUEUE_TIMEOUT)
            assert e.value.code == -21 and isinstance(e.value, TimeoutError)
            assert isinstance(e.value, varno.TransactionError) and e.value.command.source == 1
        with pytest.raises(varno.PortNotFound):
            varno.Link(f"varno://127.0.0.1:{gateway.port}/nowhere", 38400)
        # The command-line tool passes the name through as well.
        tool = [str(BUILD / "tools" / "varno" / "varno"), "send", "--port", name]
        sent = subprocess.run(tool + ["--code", "0"], capture_output=True, text=True, timeout=60)
        assert sent.returncode == 0, sent.stderr
        busy = subprocess.run(tool + ["--code", str(CODE_QUEUE_TIMEOUT)], capture_output=True,
                              text=True, timeout=60)
        assert busy.returncode == 1 and "queue timed out" in busy.stdout, busy.stdout
    finally:
        gateway.close()


def test_open_errors(bus, tmp_path):
    with pytest.raises(varno.PortNotFound) as e:
        varno.Link(str(tmp_path / "no-such-port"), 38400)
    assert isinstance(e.value, FileNotFoundError) and e.value.code == _native.E_NOT_FOUND
    with pytest.raises(varno.OpenError) as e:
        varno.Link("/dev/null", 38400)
    assert e.value.code == _native.E_NOT_SERIAL and "Not a serial port" in str(e.value)
    with varno.Link(bus, 38400):
        with pytest.raises(varno.PortBusy):
            varno.Link(bus, 38400)
    varno.Link(bus, 38400).close()  # released


def test_open_without_permission(bus):
    if os.geteuid() != 0:
        pytest.skip("needs root, to open the terminal as another user")
    script = ("import os, sys; os.setgid(65534); os.setuid(65534); import varno\n"
              "try:\n varno.Link(sys.argv[1], 38400)\nexcept varno.PortPermissionDenied as e:\n"
              " sys.exit(0 if isinstance(e, PermissionError) else 3)\nsys.exit(4)")
    done = subprocess.run([sys.executable, "-c", script, bus], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
    if "ImportError" in done.stderr or "Permission denied" in done.stderr:
        pytest.skip(f"nobody cannot load the package or the library: {done.stderr[-300:]}")
    assert done.returncode == 0, done.stderr


def test_two_links_in_two_threads(simulate):
    paths = [simulate("1", "9:late=1000"), simulate("1")]
    errors, done = [], []
    late, finished = threading.Event(), threading.Event()

    def slow():
        try:
            with varno.Link(paths[0], 38400) as link:
                late.set()
                assert link.transact(9, 1, reply_timeout=ANSWER + 1).source == 9
                late.clear()
                for i in range(100):
                    reply = link.transact(1, i % 128, data=varno.Data.from_uint(i),
                                          reply_timeout=ANSWER)
                    assert reply.data.uint == i
        except Exception as e:  # noqa: BLE001
            errors.append(e)
        finally:
            late.clear()
            finished.set()

    def other():
        try:
            with varno.Link(paths[1], 38400) as link:
                n = 0
                while not finished.is_set() or n < 100:
                    reply = link.transact(1, 7, data=varno.Data.from_uint(n), reply_timeout=ANSWER)
                    assert reply.data.uint == n
                    n += 1
                done.append(n)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=slow), threading.Thread(target=other)]
    for t in threads:
        t.start()
    # While one link waits a second for its reply inside the library, this thread runs: the wait
    # does not hold the interpreter.
    assert late.wait(10)
    spins = 0
    while late.is_set():
        spins += 1
    for t in threads:
        t.join(60)
    assert not errors and done
    assert spins > 1000


def test_send_callback_results_and_a_raising_callback(bus):
    results = []
    done = threading.Event()

    def keep(result):
        results.append(result)
        done.set()

    with varno.Link(bus, 38400) as link:
        link.send(SILENT, 1, callback=keep, reply_timeout=0.5)
        with pytest.raises(varno.LinkBusy):
            link.transact(1, 1)
        assert done.wait(5)
        assert isinstance(results[-1], varno.NoReply)

        logged = []
        record_came = threading.Event()

        class Keep(logging.Handler):
            def emit(self, record):
                logged.append(record)
                record_came.set()

        def boom(result):
            raise RuntimeError("a fault in the host's callback")

        keeper = Keep(logging.ERROR)
        logging.getLogger("varno").addHandler(keeper)
        try:
            link.send(1, 2, callback=boom)
            assert record_came.wait(5)
        finally:
            logging.getLogger("varno").removeHandler(keeper)
        assert logged[0].exc_info and "host's callback" in str(logged[0].exc_info[1])
        assert link.transact(1, 3, reply_timeout=ANSWER).code == 3  # the worker goes on
        done.clear()
        link.send(1, 4, callback=keep, reply_timeout=ANSWER)  # and so do its callbacks
        assert done.wait(5) and results[-1].code == 4

        # A reply's callback wakes the next sender at once, many times over: the link is free
        # for it by then.
        for i in range(200):
            done.clear()
            link.send(1, i % 128, callback=keep, reply_timeout=ANSWER)
            assert done.wait(5)
            assert results[-1].code == i % 128

        # A callback may send the next command itself.
        chain = []

        def next_one(result):
            chain.append(result)
            if len(chain) < 20:
                link.send(1, len(chain), callback=next_one, reply_timeout=ANSWER)
            else:
                done.set()

        done.clear()
        link.send(1, 0, callback=next_one, reply_timeout=ANSWER)
        assert done.wait(10) and [r.code for r in chain] == list(range(20))

        # A send pending at the close ends closed.
        done.clear()
        link.send(SILENT, 6, callback=keep, reply_timeout=10)
    assert done.wait(5) and isinstance(results[-1], varno.LinkClosed)


def test_closing(bus):
    link = varno.Link(bus, 38400)
    outcome = []
    waiter = threading.Thread(target=lambda: outcome.append(_try_silent(link)))
    waiter.start()
    deadline = time.monotonic() + 5
    while link.state != varno.LinkState.AWAITING_REPLY and time.monotonic() < deadline:
        time.sleep(0.001)
    link.close()
    waiter.join(5)
    assert isinstance(outcome[0], varno.LinkClosed)  # at once, not after its 10 s
    assert link.closed and link.state == varno.LinkState.CLOSED
    link.close()
    with pytest.raises(varno.LinkClosed):
        link.transact(1, 0)
    with pytest.raises(varno.LinkClosed):
        link.send(1, 0, callback=print)

    varno.Link(bus, 38400)  # dropped: the finalizer closes it
    gc.collect()
    with varno.Link(bus, 38400) as again:
        assert again.transact(1, 0, reply_timeout=ANSWER).source == 1
    assert again.closed


def _try_silent(link):
    try:
        link.transact(SILENT, 0, reply_timeout=10)
    except varno.LinkError as e:
        return e


def test_scan(simulate):
    path = simulate("1", "2:silent", "4:badcrc", "6", "8:to=9")
    found = varno.scan(path, 38400, [1, 2, 4, 6, 8], reply_timeout=1.0)
    assert [r.source for r in found] == [1, 6, 8]


def test_library_texts_reach_logging(caplog):
    with caplog.at_level(logging.WARNING, logger="varno"):
        # The classic open logs its failures; the C interface's links do not.
        assert not _native.lib.varnoOpenSerialPortA(b"/nonexistent/varno-port", 38400)
    texts = [r.getMessage() for r in caplog.records if r.name == "varno"]
    assert "openInterface INVALID_HANDLE_VALUE" in texts
    assert caplog.records[-1].varno_text == "\n openInterface INVALID_HANDLE_VALUE"


def test_list_ports():
    if _native.list_ports_function is None:
        with pytest.raises(NotImplementedError, match="varnoListPorts"):
            varno.list_ports()
        pytest.skip("the library has no varnoListPorts")
    ports = varno.list_ports(include_all=True)
    assert all(isinstance(p, varno.PortInfo) and p.device for p in ports)
    assert len(ports) >= len(varno.list_ports())


def _run_script(script, *args, timeout=60):
    """Runs `script` in a Python of its own (fork and signals stay out of pytest's process)."""
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True,
                          text=True, timeout=timeout,
                          env={**os.environ, "PYTHONPATH": ":".join(sys.path)})


FORK = """
import os, sys, varno
link = varno.Link(sys.argv[1], 38400)
pid = os.fork()
if pid == 0:
    # The parent's link, seen from the child: closed here, and never touched by the child.
    seen = link.closed and link.state == varno.LinkState.CLOSED
    try:
        link.transact(1, 0)
    except varno.LinkClosed:
        pass
    else:
        seen = False
    sys.exit(0 if seen else 5)  # a normal exit: the finalizers run
_, status = os.waitpid(pid, 0)
try:
    varno.Link(sys.argv[1], 38400)
except varno.PortBusy:
    pass
else:
    sys.exit("a second link opened the port the parent still holds")
assert os.waitstatus_to_exitcode(status) == 0, status
assert link.transact(1, 7, reply_timeout=3.0).code == 7
print("ok")
"""


def test_a_forked_child_leaves_the_parents_link_alone(simulate):
    done = _run_script(FORK, simulate("1"))
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr



INTERRUPT = """
import os, signal, sys, threading, varno
link = varno.Link(sys.argv[1], 38400)

def interrupt_when_waiting():
    while link.state != varno.LinkState.AWAITING_REPLY:
        pass
    os.kill(os.getpid(), signal.SIGINT)

for dest, timeout in ((9, None), (2, 0.2)):  # waiting on the worker; on this thread
    threading.Thread(target=interrupt_when_waiting, daemon=True).start()
    try:
        link.transact(dest, 1, reply_timeout=timeout)
    except KeyboardInterrupt:
        # Before the late reply: the exchange on the wire goes on without its caller.
        if dest == 9:
            assert link.state == varno.LinkState.AWAITING_REPLY, (timeout, link.state)
            try:
                link.send(1, 0, callback=print)
            except varno.LinkBusy:
                pass
            else:
                sys.exit("a send went out during the interrupted exchange")
    else:
        sys.exit(f"transact to {dest} ({timeout} s) was not interrupted")
    # The next transaction waits for that exchange's end, and gets its own reply.
    reply = link.transact(1, 2, reply_timeout=30.0)
    assert (reply.source, reply.code) == (1, 2), reply
print("ok")
"""


def test_ctrl_c_interrupts_a_transaction_and_leaves_the_link_usable(simulate):
    done = _run_script(INTERRUPT, simulate("1", "2:silent", "9:late=2000"))
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr
