"""The shared library: finding and loading it, the C declarations, and its log handler.

Nothing here knows frames or data words beyond their layout: every conversion is the library's.
"""
from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import logging
import os
import sys
from pathlib import Path
from typing import List, Optional, Tuple

logger = logging.getLogger("varno")

WINDOWS = sys.platform == "win32"
LIBRARY_FILE = "VarnoDLL.dll" if WINDOWS else "libVarnoDLL.so"
# The system's: by its soname first (the runtime package has only that), then by the plain name
# (the development files' link).
SYSTEM_NAMES = ["VarnoDLL.dll"] if WINDOWS else ["libVarnoDLL.so.1", "libVarnoDLL.so"]

# The constants of varno_link.h, its VARNO_ prefix dropped (tests/python/test_sources.py holds
# the two to each other).

# Outcomes of a transaction.
REPLY = 0
WRITE_TIMEOUT = 1
WRITE_FAILED = 2
NO_REPLY = 3
READ_FAILED = 4
INVALID_REPLY = 5

# Error codes (negative), as the C interface numbers them.
OK = 0
E_ARGUMENT = -1
E_NOT_FOUND = -2
E_PERMISSION = -3
E_IN_USE = -4
E_NOT_SERIAL = -5
E_REFUSED_PURGE = -6
E_REFUSED_READ_SETTINGS = -7
E_REFUSED_QUEUES = -8
E_REFUSED_LINE_SETTINGS = -9
E_REFUSED_TIMEOUTS = -10
E_REFUSED_EVENT_MASK = -11
E_REFUSED_CLEAR_ERRORS = -12
E_RESOURCES = -13
E_BUSY = -14
E_CLOSED = -15
E_WRITE_START = -16
E_SYSTEM = -17
E_FRAME_START_MARK = -18
E_FRAME_HIGH_BIT = -19
E_FRAME_CRC = -20
E_QUEUE_TIMEOUT = -21

# Link states.
STATE_CLOSED = 0
STATE_IDLE = 1
STATE_AWAITING_REPLY = 2
STATE_SENDING = 3

# varnoListPorts: a port's flags, and the flag that lists them all.
PORT_USB = 0x1
PORT_VIRTUAL = 0x2
LIST_ALL = 0x1

# A write time-out of this many milliseconds has no limit.
NO_LIMIT_MS = 0xFFFFFFFF


class VarnoFrame(ctypes.Structure):
    """struct VarnoFrame: the fields of a frame, each a byte, and the data word."""

    _fields_ = [
        ("dest", ctypes.c_uint8),
        ("source", ctypes.c_uint8),
        ("code", ctypes.c_uint8),
        ("param", ctypes.c_uint8),
        ("status", ctypes.c_uint8),
        ("error", ctypes.c_uint8),
        ("data", ctypes.c_uint8 * 4),
    ]


class VarnoPortInfo(ctypes.Structure):
    """struct VarnoPortInfo: one port as varnoListPorts describes it."""

    _fields_ = [
        ("device", ctypes.c_char * 256),
        ("stable_path", ctypes.c_char * 256),
        ("driver", ctypes.c_char * 64),
        ("manufacturer", ctypes.c_char * 128),
        ("product", ctypes.c_char * 128),
        ("serial_number", ctypes.c_char * 128),
        ("vendor_id", ctypes.c_uint16),
        ("product_id", ctypes.c_uint16),
        ("flags", ctypes.c_uint32),
    ]


# The C calling convention on every platform (VARNO_CALL is __cdecl on Windows).
REPLY_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(VarnoFrame), ctypes.c_int32)
LOG_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)

_u8p = ctypes.POINTER(ctypes.c_uint8)
_frame_p = ctypes.POINTER(VarnoFrame)

# name: (result type, argument types)
_PROTOTYPES = {
    "varnoLinkOpen": (
        ctypes.c_int32,
        [ctypes.c_char_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_void_p)],
    ),
    "varnoLinkClose": (None, [ctypes.c_void_p]),
    "varnoLinkState": (ctypes.c_int32, [ctypes.c_void_p]),
    "varnoLinkSend": (
        ctypes.c_int32,
        [ctypes.c_void_p, _frame_p, ctypes.c_uint32, ctypes.c_uint32, REPLY_HANDLER,
         ctypes.c_void_p],
    ),
    "varnoLinkTransact": (
        ctypes.c_int32,
        [ctypes.c_void_p, _frame_p, ctypes.c_uint32, ctypes.c_uint32, _frame_p],
    ),
    "varnoErrorText": (ctypes.c_char_p, [ctypes.c_int32]),
    "varnoSetLogHandler": (None, [LOG_HANDLER, ctypes.c_void_p]),
    "varnoVersion": (ctypes.c_char_p, []),
    "varnoFrameEncode": (ctypes.c_int32, [_frame_p, _u8p]),
    "varnoFrameDecode": (ctypes.c_int32, [_u8p, _frame_p]),
    "varnoOpenSerialPortA": (ctypes.c_bool, [ctypes.c_char_p, ctypes.c_uint32]),
    "varnoDataToUInt": (ctypes.c_uint32, [_u8p]),
    "varnoUIntToData": (ctypes.c_bool, [ctypes.c_uint32, _u8p]),
    "varnoDataToFloat": (ctypes.c_float, [_u8p]),
    "varnoFloatToData": (ctypes.c_bool, [ctypes.c_float, ctypes.c_uint8, _u8p]),
}
# Newer than the rest: a library without it still serves everything else.
_OPTIONAL_PROTOTYPES = {
    "varnoListPorts": (
        ctypes.c_int32,
        [ctypes.POINTER(VarnoPortInfo), ctypes.c_int32, ctypes.c_uint32],
    ),
}


def _candidates() -> List[Tuple[str, str]]:
    """(what to hand the loader, where it came from), in the order they are tried."""
    explicit = os.environ.get("VARNO_LIBRARY")
    if explicit:
        # An explicit choice that fails is an error, not a reason to take another library.
        return [(explicit, "VARNO_LIBRARY")]
    here = Path(__file__).resolve().parent
    found = [
        (str(here / LIBRARY_FILE), "in the package"),
        # The Windows zip puts the package directory beside the DLL.
        (str(here.parent / LIBRARY_FILE), "beside the package"),
    ]
    found += [(name, "the system's") for name in SYSTEM_NAMES]
    located = ctypes.util.find_library("VarnoDLL")
    if located and located not in SYSTEM_NAMES:
        found.append((located, "the system's"))
    return found


def _load() -> Tuple[ctypes.CDLL, str]:
    tried = []
    for name, where in _candidates():
        if os.path.dirname(name) and not os.path.exists(name) and where != "VARNO_LIBRARY":
            tried.append(f"{name} ({where}): not there")
            continue
        try:
            library = ctypes.CDLL(name)
        except OSError as e:
            tried.append(f"{name} ({where}): {e}")
            continue
        lacking = [f for f in _PROTOTYPES if not hasattr(library, f)]
        if lacking:
            tried.append(f"{name} ({where}): loaded, but too old: no {', '.join(lacking)}")
            continue
        return library, name
    raise ImportError(
        "varno: cannot load the VarnoDLL library; tried:\n  " + "\n  ".join(tried)
        + "\nSet VARNO_LIBRARY to the library's path, or install it where these are looked for."
    )


lib, _loaded_name = _load()
for _name, (_result, _arguments) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments

list_ports_function: Optional[ctypes._CFuncPtr]  # type: ignore[name-defined]
try:
    list_ports_function = lib.varnoListPorts
except AttributeError:
    list_ports_function = None
else:
    list_ports_function.restype = _OPTIONAL_PROTOTYPES["varnoListPorts"][0]
    list_ports_function.argtypes = _OPTIONAL_PROTOTYPES["varnoListPorts"][1]  # type: ignore


def error_text(code: int) -> str:
    """The library's sentence for an error code or an outcome."""
    text: bytes = lib.varnoErrorText(code)
    return text.decode("utf-8", "replace")


def library_path() -> str:
    """The library the package loaded: its path, or the bare name the system's loader found."""
    return _loaded_name


def library_version() -> str:
    """The loaded library's version, "MAJOR.MINOR.PATCH"."""
    text: bytes = lib.varnoVersion()
    return text.decode("ascii", "replace")


@LOG_HANDLER  # type: ignore[misc]
def _log_to_logging(_context: Optional[int], text: Optional[bytes]) -> None:
    # On whichever thread the library logs from. Nothing may leave this function.
    try:
        raw = (text or b"").decode("utf-8", "replace")
        logger.warning("%s", raw.strip(), extra={"varno_text": raw})
    except BaseException:  # noqa: BLE001 - an exception here would only be printed to stderr
        pass


def _stop_logging() -> None:
    # Past this point the interpreter is going away; the library writes to stderr again.
    lib.varnoSetLogHandler(LOG_HANDLER(), None)  # type: ignore[call-overload]


lib.varnoSetLogHandler(_log_to_logging, None)
atexit.register(_stop_logging)
