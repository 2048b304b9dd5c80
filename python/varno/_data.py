"""The frame's 4-byte data word."""
from __future__ import annotations

import ctypes
import math
import struct
from typing import Iterable, Union

from . import _native

_Word = ctypes.c_uint8 * 4
BytesLike = Union[bytes, bytearray, memoryview, Iterable[int]]
# The largest single-precision value: beyond it the library would get an infinity.
_SINGLE_MAX = 3.4028234663852886e38


def _real(value: object, what: str) -> float:
    """`value` as a float: an int, a float, or another real number (Decimal, Fraction, NumPy's).
    A bool, a string or anything else is a TypeError; NaN, an infinity or an integer too large
    for a float a ValueError: the library would take them for something else."""
    if isinstance(value, (bool, str, bytes, bytearray)):
        raise TypeError(f"{what}, not {type(value).__name__}")
    try:
        number = float(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what}, not {type(value).__name__}") from None
    except OverflowError:
        raise ValueError(f"{what}: {value!r} is out of range") from None
    if not math.isfinite(number):
        raise ValueError(f"{what}, not {value!r}")
    return number


def _shortest_single(value: float) -> float:
    """The shortest decimal that single precision reads back as `value` (itself a single):
    123.44999694824219 is 123.45."""
    if not math.isfinite(value) or value == 0.0:
        return value
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        try:
            if struct.unpack("<f", struct.pack("<f", candidate))[0] == value:
                return candidate
        except OverflowError:
            continue
    return value


def _bytes_of(value: BytesLike, size: int, what: str) -> bytes:
    # bytes(12) would be twelve zero bytes.
    if isinstance(value, int):
        raise TypeError(f"{what} is {size} bytes, not an integer")
    raw = bytes(value)
    if len(raw) != size:
        raise ValueError(f"{what} is {size} bytes, not {len(raw)}")
    return raw


class Data:
    """The frame's data word: four bytes, read as an unsigned integer or as a decimal.

    ``Data(b"\\x39\\x30\\x00\\x02")`` takes the bytes as they go on the wire; ``from_uint`` and
    ``from_decimal`` make one through the library's conversions, and ``uint`` and ``decimal``
    read one through them. Immutable and hashable; two words are equal when their bytes are.
    """

    __slots__ = ("_bytes",)
    _bytes: bytes

    def __init__(self, value: BytesLike = b"\0\0\0\0") -> None:
        """Four bytes, least significant first: bytes, bytearray, memoryview or four integers
        0..255. Anything else of another length raises ValueError."""
        object.__setattr__(self, "_bytes", _bytes_of(value, 4, "a data word"))

    @classmethod
    def _of(cls, raw: bytes) -> "Data":
        """Four bytes known to be four bytes: no checks (the transaction path)."""
        word = object.__new__(cls)
        object.__setattr__(word, "_bytes", raw)
        return word

    @classmethod
    def from_uint(cls, value: int) -> "Data":
        """The word holding `value` (0..4294967295) as an unsigned integer (varnoUIntToData)."""
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"an unsigned integer is needed, not {type(value).__name__}")
        if not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"{value} is outside 0..4294967295")
        word = _Word()
        _native.lib.varnoUIntToData(value, word)
        return cls(bytes(word))

    @classmethod
    def from_decimal(cls, value: float, decimals: int) -> "Data":
        """The word holding `value` with `decimals` places (varnoFloatToData): the value is
        taken in single precision, scaled, rounded half away from zero, and its low 24 bits kept;
        at most 3 places are stored. NaN, the infinities and values beyond single precision's
        range raise ValueError (the library would store 0 for them)."""
        if isinstance(decimals, bool) or not isinstance(decimals, int):
            raise TypeError(f"decimals must be an integer, not {type(decimals).__name__}")
        if not 0 <= decimals <= 255:
            raise ValueError(f"decimals {decimals} is outside 0..255")
        number = _real(value, "the value must be a finite number")
        if abs(number) > _SINGLE_MAX:
            raise ValueError(f"{value!r} is beyond single precision's range (3.4e38)")
        word = _Word()
        _native.lib.varnoFloatToData(number, decimals, word)
        return cls(bytes(word))

    @property
    def uint(self) -> int:
        """The word as an unsigned 32-bit integer, least significant byte first
        (varnoDataToUInt)."""
        return int(_native.lib.varnoDataToUInt(_Word.from_buffer_copy(self._bytes)))

    @property
    def decimal(self) -> float:
        """The word as a decimal (varnoDataToFloat): the library's single-precision value, given
        as the shortest decimal that reads back to it (123.45, not 123.44999694824219)."""
        return _shortest_single(_native.lib.varnoDataToFloat(_Word.from_buffer_copy(self._bytes)))

    @property
    def decimals(self) -> int:
        """The number of decimal places the word says it has (its last byte)."""
        return self._bytes[3]

    def __bytes__(self) -> bytes:
        return self._bytes

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Data):
            return self._bytes == other._bytes
        return NotImplemented

    def __ne__(self, other: object) -> bool:
        if isinstance(other, Data):
            return self._bytes != other._bytes
        return NotImplemented

    def __hash__(self) -> int:
        return hash((Data, self._bytes))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Data is immutable")

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (Data, (self._bytes,))

    def __repr__(self) -> str:
        return f"Data({self._bytes.hex(' ')}: uint {self.uint}, decimal {self.decimal!r})"
