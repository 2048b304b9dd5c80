"""VarnoDLL for Python: links to addressed devices over a serial port.

::

    import varno
    with varno.Link("ttyUSB0", 38400) as link:
        reply = link.transact(dest=5, code=3, param=0, data=varno.Data.from_decimal(21.5, 1))
        print(reply.status, reply.data.decimal)

A reply, the command in a TransactionError and what ``decode_frame`` gives are each a ``Frame``
(``Reply`` is the same type under its earlier name); its fields are ``encode_frame``'s arguments.

The package loads the VarnoDLL library (``VARNO_LIBRARY`` if set, else the one inside the
package, as a wheel carries it, or beside it, else the system's) and calls it for everything: the link, the frame codec and the data-word
conversions. The library's diagnostics go to ``logging.getLogger("varno")``.
"""
from ._native import library_path, library_version
from ._data import Data
from ._errors import (
    FrameError,
    InvalidReply,
    LinkBusy,
    LinkClosed,
    LinkError,
    NoReply,
    OpenError,
    PortBusy,
    PortNotFound,
    PortPermissionDenied,
    QueueTimeout,
    ReadFailed,
    TransactionError,
    WriteFailed,
    WriteTimeout,
)
from ._codec import decode_frame, encode_frame
from ._frame import Frame, Reply
from ._link import Link, LinkState, scan
from ._ports import PortInfo, list_ports
from ._version import __version__


__all__ = [
    "Data",
    "Frame",
    "FrameError",
    "InvalidReply",
    "Link",
    "LinkBusy",
    "LinkClosed",
    "LinkError",
    "LinkState",
    "NoReply",
    "OpenError",
    "PortBusy",
    "PortInfo",
    "PortNotFound",
    "PortPermissionDenied",
    "QueueTimeout",
    "ReadFailed",
    "Reply",
    "TransactionError",
    "WriteFailed",
    "WriteTimeout",
    "decode_frame",
    "encode_frame",
    "library_path",
    "library_version",
    "list_ports",
    "scan",
]
