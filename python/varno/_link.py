"""Links: a port opened through the library, its transactions, blocking, with a callback, or
awaited; and a scan of a port's addresses."""
from __future__ import annotations

import asyncio
import ctypes
import enum
import itertools
import os
import threading
import weakref
from typing import Callable, Dict, Iterable, List, Optional, Tuple, Union

from . import _native
from ._data import _real
from ._errors import (
    OUTCOME_ERRORS,
    InvalidReply,
    LinkBusy,
    LinkClosed,
    LinkError,
    NoReply,
    call_error,
    open_error,
)
from ._frame import DataArgument, Frame, _command, _swapped

DEFAULT_SOURCE = 31
# Signal handlers run on the main thread, and only between the interpreter's steps, never during
# a call into the library. There a transaction whose time-outs allow it more than this many
# milliseconds waits for its outcome from the library's worker, in slices, so that Ctrl-C
# (KeyboardInterrupt) ends the wait at once; a shorter one runs on the calling thread, which
# saves two thread hand-overs, and Ctrl-C takes effect when it ends.
DIRECT_MAX_MS = 250
SLICE_S = 0.1  # a lock's wait is not interrupted by Ctrl-C on Windows: it looks this often
Seconds = Optional[float]


class LinkState(enum.IntEnum):
    """What a link is doing, as the library reports it."""

    CLOSED = _native.STATE_CLOSED
    IDLE = _native.STATE_IDLE
    AWAITING_REPLY = _native.STATE_AWAITING_REPLY
    SENDING = _native.STATE_SENDING


Result = Union[Frame, LinkError]
Callback = Callable[[Result], object]


def _result(outcome: int, frame: _native.VarnoFrame) -> Result:
    """The reply for outcome 0; the exception to raise (or hand to a callback) otherwise."""
    if outcome == _native.REPLY:
        return Frame._from_frame(frame)
    return _error(outcome, frame)


def _error(outcome: int, frame: _native.VarnoFrame) -> LinkError:
    """The exception for an outcome 1..5 (`frame` the command, addresses swapped) or a negative
    code."""
    kind = OUTCOME_ERRORS.get(outcome)
    if kind is not None:
        return kind(outcome, Frame._from_frame(frame))
    return call_error(outcome)


def _milliseconds(seconds: Seconds, name: str) -> int:
    if seconds.__class__ is not bool:  # True would find 1's entry
        try:
            return _milliseconds_of[seconds]  # type: ignore[index]
        except (KeyError, TypeError):
            pass
    ms = _to_milliseconds(seconds, name)
    if len(_milliseconds_of) < 64 and type(seconds) in (int, float):
        _milliseconds_of[seconds] = ms  # type: ignore[index]
    return ms


# The time-outs a program uses, converted: a program uses few.
_milliseconds_of: Dict[float, int] = {}


def _to_milliseconds(seconds: Seconds, name: str) -> int:
    if seconds is None:
        return _native.NO_LIMIT_MS
    number = _real(seconds, f"{name} must be a number of seconds or None (no limit)")
    ms = round(number * 1000.0)
    # The sign before the rounding: a negative time-out is a mistake, however small.
    if number < 0 or ms >= _native.NO_LIMIT_MS:
        raise ValueError(f"{name} {seconds!r} s is outside 0..4294967.294 s (None: no limit)")
    return ms


class _Core:
    """A link's handle and what the package knows of its use; shared with the finalizer and the
    reply handler, which must not keep the Link itself alive.

    The handle is freed by varnoLinkClose, which also ends a transaction waiting inside the
    library. A thread must therefore never be on its way into the library with the handle while
    it is closed: sends run with the lock held; a transaction marks itself `calling`, and a close
    waits until such a caller is either out again or seen inside. The state leaves Idle only
    through that caller: a transaction begins only when no other is pending or calling, and the
    library is Idle again before it calls a send's handler.
    """

    def __init__(self, handle: int) -> None:
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.handle: Optional[int] = handle
        self.calling = False  # a thread is in (or on its way into) varnoLinkTransact
        self.pending = False  # a send's reply handler is still to come
        self.abandoned = False  # ... and the transact waiting for it was interrupted

    def claim(self, wait: bool = False) -> int:
        """The handle, when the link is free for a new transaction; with the lock held. With
        `wait`, a transaction whose caller was interrupted is waited for (in slices: a second
        Ctrl-C ends this wait too), not reported busy."""
        while True:
            handle = self.handle
            if handle is None:
                raise LinkClosed(_native.E_CLOSED)
            if not (self.calling or self.pending):
                return handle
            if not (wait and self.abandoned):
                raise LinkBusy(_native.E_BUSY)
            self.changed.wait(SLICE_S)

    def forget(self) -> None:
        """In a child process made by fork: the handle is the parent's (its worker threads are
        not here, its open file is shared with the parent), so the child treats the link as
        closed and never calls the library with it. Its locks may have been held by a thread
        that the child does not have."""
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.handle = None
        self.calling = self.pending = self.abandoned = False

    def handler_called(self) -> None:
        with self.lock:
            self.pending = False
            if self.abandoned:
                self.abandoned = False
                self.changed.notify_all()

    def close(self) -> None:
        with self.lock:
            handle = self.handle
            if handle is None:
                return
            self.handle = None
            while self.calling:
                if _native.lib.varnoLinkState(handle) != _native.STATE_IDLE:
                    break  # the caller is inside: the close ends its wait
                self.changed.wait(0.0002)
        # Without the lock: the close calls a pending send's handler, which takes it.
        _native.lib.varnoLinkClose(handle)


_transact = _native.lib.varnoLinkTransact

# The reply handler for every send. The library gets a number as the context; the callback and
# the link's core wait here until the handler is called, which the library promises exactly once
# for every send it accepted (also when the link is closed first).
_sends: Dict[int, Tuple[_Core, Callback]] = {}
_send_keys = itertools.count(1)


@_native.REPLY_HANDLER  # type: ignore[misc]
def _on_reply(context: Optional[int], frame: "ctypes._Pointer[_native.VarnoFrame]",
              outcome: int) -> None:
    # The link's worker thread. Nothing may leave this function: ctypes would only print it.
    try:
        entry = _sends.pop(context or 0, None)
        if entry is None:
            _native.logger.error("varno: a reply for an unknown send (context %r)", context)
            return
        core, callback = entry
        result = _result(outcome, frame.contents)
        # The library is Idle again: the callback, or a thread it wakes, may start the next
        # transaction at once.
        core.handler_called()
        try:
            callback(result)
        except BaseException:  # noqa: BLE001 - logged, and the worker goes on
            _native.logger.exception("varno: the callback of a send raised; the link goes on")
    except BaseException:  # noqa: BLE001
        try:
            _native.logger.exception("varno: the reply handler failed")
        except BaseException:  # noqa: BLE001
            pass


# Every open link's core, for a forked child to forget.
_cores: "weakref.WeakSet[_Core]" = weakref.WeakSet()


_main_thread = threading.main_thread().ident


def _after_fork_in_child() -> None:
    global _main_thread
    _main_thread = threading.get_ident()
    # A close from here would restore the line settings and release the lock and the exclusive
    # flag on the open file the parent still uses, and wait for worker threads that are not here.
    _sends.clear()
    for core in list(_cores):
        core.forget()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _port_bytes(port: Union[str, "os.PathLike[str]"]) -> bytes:
    name = os.fspath(port)
    if not isinstance(name, str):
        name = os.fsdecode(name)
    if not name or "\0" in name:
        raise ValueError(f"not a port name: {name!r}")
    # The library opens ports with the system's narrow (ANSI) calls on Windows.
    return name.encode("mbcs") if _native.WINDOWS else os.fsencode(name)


class Link:
    """An open port: ``Link("ttyUSB0", 38400)``, ``Link("COM3", 9600)``, ``Link("/dev/...")``
    or any other name the library takes, passed to it as it is.

    One transaction at a time: ``transact`` waits for it, ``send`` hands its result to a
    callback, ``transact_async`` awaits it. Close with ``close()`` or a ``with`` block (a link
    that is garbage is closed too). Methods may be called from any thread; a second transaction
    while one is in progress raises LinkBusy. In a child made by ``os.fork`` the parent's links
    are closed (LinkClosed) without the port being touched: the parent goes on using them.

    Opening raises PortNotFound, PortPermissionDenied, PortBusy, or OpenError for the other
    reasons (``code`` tells which).
    """

    port: str
    baud: int

    def __init__(self, port: Union[str, "os.PathLike[str]"], baud: int) -> None:
        """Opens `port` at `baud` (any rate the driver takes): 8 data bits, no parity, one stop
        bit, no flow control, held exclusively until closed."""
        name = _port_bytes(port)
        if isinstance(baud, bool) or not isinstance(baud, int):
            raise TypeError(f"baud must be a positive integer, not {type(baud).__name__}")
        if not 0 < baud <= 0xFFFFFFFF:
            raise ValueError(f"baud must be a positive integer, not {baud!r}")
        self.port = os.fsdecode(name) if not _native.WINDOWS else name.decode("mbcs")
        self.baud = baud
        handle = ctypes.c_void_p()
        code = _native.lib.varnoLinkOpen(name, baud, ctypes.byref(handle))
        if code != 0 or not handle.value:
            raise open_error(code, self.port)
        self._core = _Core(handle.value)
        _cores.add(self._core)
        self._finalizer = weakref.finalize(self, self._core.close)

    # Closing

    def close(self) -> None:
        """Closes the link: a transaction in progress ends at once (LinkClosed), the port gets
        its previous settings back and is released. Closing twice does nothing."""
        self._core.close()

    @property
    def closed(self) -> bool:
        """True once the link is closed."""
        return self._core.handle is None

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def state(self) -> LinkState:
        """What the link is doing now."""
        with self._core.lock:
            handle = self._core.handle
            if handle is None:
                return LinkState.CLOSED
            return LinkState(_native.lib.varnoLinkState(handle))

    def __repr__(self) -> str:
        return f"<varno.Link {self.port!r} {self.baud} baud{' closed' if self.closed else ''}>"

    # Transactions

    def transact(self, dest: int, code: int, param: int = 0, data: DataArgument = None, *,
                 source: int = DEFAULT_SOURCE, write_timeout: Seconds = 0.1,
                 reply_timeout: Seconds = 0.1) -> Frame:
        """Sends one command and returns the device's reply.

        `dest`, `source` and `code` are addresses and codes 0..127, `param` 0..255, `data` a
        Data (or its 4 bytes; zeros when left out). Time-outs are in seconds; None is no limit.
        The reply time-out counts from the end of the write.

        Raises WriteTimeout, WriteFailed, NoReply, ReadFailed or InvalidReply for the outcomes
        1..5, QueueTimeout when a gateway's bus (varno://) stayed busy too long, LinkBusy when a
        transaction is in progress, LinkClosed when the link is closed (also while this waits).

        Ctrl-C raises KeyboardInterrupt at once when the time-outs add up to more than 0.25 s
        (or have no limit), else when the exchange ends. The exchange on the wire runs to its
        end either way, and its reply is dropped; the next transact waits for that end, while
        send and transact_async raise LinkBusy until then.
        """
        command = _command(dest, code, param, data, source)
        write_ms = _milliseconds(write_timeout, "write_timeout")
        reply_ms = _milliseconds(reply_timeout, "reply_timeout")
        if write_ms + reply_ms > DIRECT_MAX_MS and threading.get_ident() == _main_thread:
            return self._transact_interruptibly(command, write_ms, reply_ms)
        core = self._core
        reply = _native.VarnoFrame()
        claimed = False
        try:
            with core.lock:
                handle = core.claim(wait=True)
                core.calling = claimed = True
            outcome = _transact(handle, command, write_ms, reply_ms, reply)
        finally:
            # Also when a KeyboardInterrupt comes between the steps. (A close waiting for it
            # looks again within 0.2 ms: no need to wake it.)
            if claimed:
                core.calling = False
        if outcome == _native.REPLY:
            return Frame._from_frame(reply)
        # Started nothing (negative): the library left the reply alone.
        raise _error(outcome, reply if outcome > 0 else _swapped(command))

    def send(self, dest: int, code: int, param: int = 0, data: DataArgument = None, *,
             callback: Callback, source: int = DEFAULT_SOURCE, write_timeout: Seconds = 0.1,
             reply_timeout: Seconds = 0.1) -> None:
        """Starts one transaction and returns at once; `callback` then gets its reply (a Frame),
        or the exception transact would raise (LinkClosed when the link is closed first).

        The callback runs on the library's worker thread, exactly once. An exception it raises
        is logged to the "varno" logger and goes no further. The link is free again when the
        callback runs: the callback, or a thread it wakes, may start the next transaction.
        Arguments as for transact; raises LinkBusy, LinkClosed or WriteFailed (the write could
        not start) when nothing was started.
        """
        if not callable(callback):
            raise TypeError("callback must be callable")
        command = _command(dest, code, param, data, source)
        write_ms = _milliseconds(write_timeout, "write_timeout")
        reply_ms = _milliseconds(reply_timeout, "reply_timeout")
        self._start(next(_send_keys), command, write_ms, reply_ms, callback, wait=False)

    def _start(self, key: int, command: _native.VarnoFrame, write_ms: int, reply_ms: int,
               callback: Callback, wait: bool) -> None:
        core = self._core
        with core.lock:
            handle = core.claim(wait)
            _sends[key] = (core, callback)
            core.pending = True
            # With the lock held: the call is short, and a close must not free the handle under it.
            code_ = _native.lib.varnoLinkSend(handle, command, write_ms, reply_ms, _on_reply, key)
            if code_ != 0:
                core.pending = False
                _sends.pop(key, None)
        if code_ != 0:
            raise _error(code_, _swapped(command))

    def _transact_interruptibly(self, command: _native.VarnoFrame, write_ms: int,
                                reply_ms: int) -> Frame:
        done = threading.Lock()
        done.acquire()
        results: List[Result] = []

        def settle(result: Result) -> None:
            results.append(result)
            done.release()

        key = next(_send_keys)
        try:
            self._start(key, command, write_ms, reply_ms, settle, wait=True)
            while not done.acquire(timeout=SLICE_S):
                pass
        except BaseException:
            # Interrupted: the exchange goes on, and the next transact waits for it.
            core = self._core
            with core.lock:
                if key in _sends:
                    core.abandoned = True
            raise
        result = results[0]
        if isinstance(result, Frame):
            return result
        raise result

    async def transact_async(self, dest: int, code: int, param: int = 0,
                             data: DataArgument = None, *, source: int = DEFAULT_SOURCE,
                             write_timeout: Seconds = 0.1, reply_timeout: Seconds = 0.1) -> Frame:
        """transact for asyncio: the exchange runs on the library's worker while the event loop
        goes on. Several links may have transactions in flight at once; one link has one at a
        time (LinkBusy otherwise). Cancelling the awaiting task does not stop the exchange
        itself, which ends by its time-outs."""
        loop = asyncio.get_running_loop()
        future: "asyncio.Future[Frame]" = loop.create_future()

        def settle(result: Result) -> None:
            if future.done():
                return
            if isinstance(result, BaseException):
                future.set_exception(result)
            else:
                future.set_result(result)

        def done(result: Result) -> None:
            try:
                loop.call_soon_threadsafe(settle, result)
            except RuntimeError:
                pass  # the loop has been closed: nobody is waiting any more

        self.send(dest, code, param, data, callback=done, source=source,
                  write_timeout=write_timeout, reply_timeout=reply_timeout)
        return await future


def scan(port: Union[str, "os.PathLike[str]"], baud: int, addresses: Iterable[int] = range(1, 128),
         reply_timeout: Seconds = 0.05, *, source: int = DEFAULT_SOURCE, code: int = 0,
         param: int = 0, write_timeout: Seconds = 0.1) -> List[Frame]:
    """Opens `port`, sends one command (`code`, `param`, zero data) to each address in turn and
    returns the valid replies that came from the address asked, in address order. Silence and
    invalid replies are passed over; a failed write or read (the port in trouble) is raised."""
    found = []
    with Link(port, baud) as link:
        for address in addresses:
            try:
                reply = link.transact(address, code, param, source=source,
                                      write_timeout=write_timeout, reply_timeout=reply_timeout)
            except (NoReply, InvalidReply):
                continue
            if reply.source == address:
                found.append(reply)
    return found
