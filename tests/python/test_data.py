"""Data words and frames through the library: the wrapper must hand values to the conversions
unchanged (single precision, the decimals byte) and bring their results back unchanged."""
import math
import subprocess
import sys

import pytest

import varno


@pytest.mark.parametrize("value, decimals, word", [
    (123.45, 2, "39 30 00 02"),
    (21.5, 1, "d7 00 00 01"),
    (0.5, 0, "01 00 00 00"),        # half away from zero, both ways
    (-0.5, 0, "ff ff ff 00"),
    (2.5, 0, "03 00 00 00"),        # not to even
    (1.005, 2, "65 00 00 02"),      # scaled in single precision: 100.5, so 101 (double: 100)
    (8388607, 0, "ff ff 7f 00"),    # the largest mantissa
    (8388608, 0, "00 00 80 00"),    # the 24-bit wrap: reads back as -8388608
    (-8388608, 0, "00 00 80 00"),
    (16777216, 0, "00 00 00 00"),
    (1.5, 7, "dc 05 00 03"),        # at most 3 places are stored
    (1e19, 0, "00 00 00 00"),       # beyond 2^63
])
def test_from_decimal_matches_the_library(value, decimals, word):
    d = varno.Data.from_decimal(value, decimals)
    assert bytes(d) == bytes.fromhex(word)
    assert d.uint == int.from_bytes(bytes.fromhex(word), "little")


def test_reading_words():
    assert varno.Data(bytes.fromhex("39300002")).decimal == 123.45  # shortest, not 123.4499969
    assert varno.Data(bytes.fromhex("00008000")).decimal == -8388608.0
    assert varno.Data(bytes.fromhex("ffffff03")).decimal == -0.001
    zero = varno.Data(bytes([1, 0, 0, 200])).decimal  # the divisor overflows: a signed zero
    assert zero == 0.0
    assert varno.Data.from_uint(0xFFFFFFFF).uint == 0xFFFFFFFF
    assert bytes(varno.Data.from_uint(0x02003039)) == bytes.fromhex("39300002")
    for bad in (-1, 2**32):
        with pytest.raises(ValueError):
            varno.Data.from_uint(bad)
    with pytest.raises(ValueError):
        varno.Data(b"\0\0\0")


def test_data_is_a_value():
    a, b = varno.Data([1, 2, 3, 4]), varno.Data(b"\x01\x02\x03\x04")
    assert a == b and hash(a) == hash(b) and a != varno.Data()
    assert {a: 1}[b] == 1
    assert "01 02 03 04" in repr(a) and "uint 67305985" in repr(a)
    with pytest.raises(AttributeError):
        a._bytes = b"\0\0\0\0"


def test_frames_through_the_codec():
    assert varno.encode_frame(1, 31, 0) == bytes.fromhex("811F00000000000000000006")
    reply = varno.decode_frame(bytes.fromhex("9F 01 03 05 11 22 7F 00 01 02 19 00"))
    assert (reply.dest, reply.source, reply.code) == (31, 1, 3)
    raw = varno.encode_frame(5, 31, 3, 0x85, varno.Data.from_uint(0x80FF), status=0x81, error=2)
    again = varno.decode_frame(raw)
    assert (again.dest, again.param, again.status, again.data.uint) == (5, 0x85, 0x81, 0x80FF)
    # One type for both ways, under both names; its fields are the encoder's arguments.
    assert type(again) is varno.Frame is varno.Reply and repr(again).startswith("Frame(dest=5, ")
    assert varno.encode_frame(**vars(again)) == raw and varno.decode_frame(raw) == again
    with pytest.raises(AttributeError):
        again.dest = 6
    for broken, code in ((b"\x01" + raw[1:], -18), (raw[:1] + b"\x80" + raw[2:], -19),
                         (raw[:11] + bytes([raw[11] ^ 1]), -20)):
        with pytest.raises(varno.FrameError) as e:
            varno.decode_frame(broken)
        assert e.value.code == code and isinstance(e.value, ValueError)


def test_loading_names_every_place_tried(tmp_path):
    missing = tmp_path / "libVarnoDLL.so"
    done = subprocess.run([sys.executable, "-c", "import varno"], capture_output=True, text=True,
                          env={"VARNO_LIBRARY": str(missing), "PYTHONPATH": ":".join(sys.path)})
    assert done.returncode != 0
    assert "ImportError" in done.stderr and str(missing) in done.stderr


def test_arguments_of_a_wrong_type_or_out_of_range(bus):
    # A wrong type is a TypeError (bool is no number here), a value out of range a ValueError.
    wrong_types = [lambda: varno.decode_frame(12), lambda: varno.Data.from_decimal(True, 1),
                   lambda: varno.Data.from_decimal("21.5", 1), lambda: varno.Data(12),
                   lambda: varno.encode_frame(1.0, 31, 0), lambda: varno.encode_frame(1, 31, 0, status=None),
                   lambda: varno.Link(bus, True), lambda: varno.Link(bus, "38400")]
    for call in wrong_types:
        with pytest.raises(TypeError):
            call()
    for value in (math.nan, math.inf, -math.inf, 1e300, -(10**400)):
        with pytest.raises(ValueError):
            varno.Data.from_decimal(value, 1)
    assert varno.Data.from_decimal(-(10**20), 0) == varno.Data.from_decimal(-1e20, 0)
    with pytest.raises(ValueError):
        varno.encode_frame(128, 31, 0)

    with varno.Link(bus, 38400) as link:
        link.transact(1, 0, write_timeout=1, reply_timeout=3)  # 1 s and 3 s, now known
        for timeout, kind in ((True, TypeError), ("0.1", TypeError), (b"1", TypeError),
                              (-0.0004, ValueError), (-1, ValueError), (math.nan, ValueError),
                              (math.inf, ValueError), (2**32, ValueError)):
            with pytest.raises(kind):
                link.transact(1, 0, reply_timeout=timeout)
            with pytest.raises(kind):
                link.send(1, 0, callback=print, write_timeout=timeout)
        assert link.state == varno.LinkState.IDLE
