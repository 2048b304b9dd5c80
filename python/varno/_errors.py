"""The exceptions: one root, each also the built-in it resembles where there is one."""
from __future__ import annotations

from typing import Dict, Optional, Type

from . import _native
from ._frame import Frame


class LinkError(Exception):
    """The root of every error the package raises about a link.

    ``code`` is the library's number (negative for an error, 1..5 for a transaction's outcome)
    and ``text`` the library's sentence for it.
    """

    code: int
    text: str

    def __init__(self, code: int, message: Optional[str] = None) -> None:
        self.code = code
        self.text = _native.error_text(code)
        super().__init__(message or self.text)


class OpenError(LinkError):
    """The port did not open. ``port`` is the name given."""

    port: str

    def __init__(self, code: int, port: str) -> None:
        self.port = port
        super().__init__(code, f"{port}: {_native.error_text(code)}")


class PortNotFound(OpenError, FileNotFoundError):
    """There is no such port."""


class PortPermissionDenied(OpenError, PermissionError):
    """The system denied access to the port."""


class PortBusy(OpenError):
    """Another link, in this process or another, holds the port."""


class LinkBusy(LinkError):
    """A transaction is in progress on the link."""


class LinkClosed(LinkError):
    """The link is closed, or was closed while the call waited."""


class TransactionError(LinkError):
    """A transaction ended without a valid reply.

    ``code`` is the outcome (1..5, or the queue time-out's -21), and ``command`` the command seen from the device's side:
    its addresses swapped, status and error 0, its data word.
    """

    command: Frame

    def __init__(self, code: int, command: Frame) -> None:
        self.command = command
        super().__init__(code, f"{_native.error_text(code)} (device {command.source})")


class WriteTimeout(TransactionError, TimeoutError):
    """The write did not complete within the write time-out."""


class WriteFailed(TransactionError):
    """The write failed, or could not be started."""


class NoReply(TransactionError, TimeoutError):
    """No reply byte came within the reply time-out."""


class ReadFailed(TransactionError):
    """The read of the reply failed: the port or its adapter went away."""


class InvalidReply(TransactionError):
    """What came is not a valid frame: corrupt, cut short, or cut by a silence."""


class QueueTimeout(TransactionError, TimeoutError):
    """varno://: the gateway's bus stayed busy for longer than its queue time-out; the command
    was not sent."""


OPEN_ERRORS: Dict[int, Type[OpenError]] = {
    _native.E_NOT_FOUND: PortNotFound,
    _native.E_PERMISSION: PortPermissionDenied,
    _native.E_IN_USE: PortBusy,
}

OUTCOME_ERRORS: Dict[int, Type[TransactionError]] = {
    _native.WRITE_TIMEOUT: WriteTimeout,
    _native.WRITE_FAILED: WriteFailed,
    _native.NO_REPLY: NoReply,
    _native.READ_FAILED: ReadFailed,
    _native.INVALID_REPLY: InvalidReply,
    _native.E_WRITE_START: WriteFailed,
    _native.E_QUEUE_TIMEOUT: QueueTimeout,
}


def open_error(code: int, port: str) -> OpenError:
    return OPEN_ERRORS.get(code, OpenError)(code, port)


def call_error(code: int) -> LinkError:
    """The exception for a negative code from a send or a transaction that started nothing."""
    if code == _native.E_BUSY:
        return LinkBusy(code)
    if code == _native.E_CLOSED:
        return LinkClosed(code)
    return LinkError(code)


class FrameError(LinkError, ValueError):
    """Twelve bytes that are not a frame: no start mark, bit 7 set in the body, or a wrong CRC
    (``code`` tells which)."""
