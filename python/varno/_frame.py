"""The frame: one type for a command's fields and a reply's, and the checked arguments a command's
fields come from."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Union

from . import _native
from ._data import BytesLike, Data

DataArgument = Union[Data, BytesLike, None]


@dataclass(frozen=True)
class Frame:
    """A frame's fields: a device's reply, or (in a TransactionError) the command seen from the
    device's side. ``dest`` is the address alone, without the frame's start mark. The fields are
    encode_frame's arguments: ``encode_frame(**vars(frame))`` gives its 12 bytes."""

    dest: int
    source: int
    code: int
    param: int
    status: int
    error: int
    data: Data

    @classmethod
    def _from_frame(cls, frame: _native.VarnoFrame) -> "Frame":
        # What the frozen dataclass's __init__ does a field at a time, in one step: this is on
        # every transaction's path.
        raw = bytes(frame)
        reply = object.__new__(cls)
        _set_attribute(reply, "__dict__", {
            "dest": raw[0] & 0x7F, "source": raw[1], "code": raw[2], "param": raw[3],
            "status": raw[4], "error": raw[5], "data": Data._of(raw[6:10])})
        return reply


_set_attribute = object.__setattr__
# The name of the type before commands were frames too: a reply is a Frame.
Reply = Frame


def _field(value: int, name: str, top: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer 0..{top}, not {type(value).__name__}")
    if not 0 <= value <= top:
        raise ValueError(f"{name} must be an integer 0..{top}, not {value!r}")
    return value


def _command(dest: int, code: int, param: int, data: DataArgument,
             source: int) -> _native.VarnoFrame:
    # The usual case in one test and one copy: every transaction comes here.
    if (type(dest) is int and type(code) is int and type(param) is int and type(source) is int
            and 0 <= dest <= 127 and 0 <= code <= 127 and 0 <= source <= 127
            and 0 <= param <= 255):
        if data is None:
            return _from_bytes(bytes((dest, source, code, param, 0, 0, 0, 0, 0, 0)))
        if type(data) is Data:
            return _from_bytes(bytes((dest, source, code, param, 0, 0)) + data._bytes)
    frame = _native.VarnoFrame()
    frame.dest = _field(dest, "dest", 127)
    frame.source = _field(source, "source", 127)
    frame.code = _field(code, "code", 127)
    frame.param = _field(param, "param", 255)
    if data is not None:
        frame.data[:] = bytes(data if isinstance(data, Data) else Data(data))
    return frame


_from_bytes = _native.VarnoFrame.from_buffer_copy


def _swapped(command: _native.VarnoFrame) -> _native.VarnoFrame:
    """The command seen from the device's side, as the library reports a failed one."""
    frame = _native.VarnoFrame()
    frame.dest, frame.source = command.source, command.dest
    frame.code, frame.param = command.code, command.param
    frame.data[:] = bytes(command.data)
    return frame
