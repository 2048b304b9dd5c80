"""The 12-byte frame, through the library's codec."""
from __future__ import annotations

import ctypes

from . import _native
from ._data import _bytes_of
from ._errors import FrameError
from ._frame import DataArgument, Frame, _command, _field

_Bytes12 = ctypes.c_uint8 * 12


def encode_frame(dest: int, source: int, code: int, param: int = 0, data: DataArgument = None,
                 *, status: int = 0, error: int = 0) -> bytes:
    """The 12 bytes a frame with these fields goes out as (varnoFrameEncode). Addresses and
    codes 0..127, the other bytes 0..255."""
    frame = _command(dest, code, param, data, source)
    frame.status, frame.error = _field(status, "status", 255), _field(error, "error", 255)
    out = _Bytes12()
    _native.lib.varnoFrameEncode(frame, out)
    return bytes(out)


def decode_frame(frame_bytes: bytes) -> Frame:
    """The fields of 12 received bytes (varnoFrameDecode); FrameError when they are not a valid
    frame, ValueError when they are not 12, TypeError when they are not bytes."""
    raw = _bytes_of(frame_bytes, 12, "a frame")
    frame = _native.VarnoFrame()
    code = _native.lib.varnoFrameDecode(_Bytes12.from_buffer_copy(raw), frame)
    if code != 0:
        raise FrameError(code)
    return Frame._from_frame(frame)


__all__ = ["decode_frame", "encode_frame"]
