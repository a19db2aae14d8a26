import array
import math

import pytest

import marovenda
from helpers import Unprintable, notes


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("value, expected", [
    ("9600", 9600), (9600.7, 9600), (True, 1), (0, 0), (4294967295, 4294967295), (Index(300), 300),
])
def test_baudrate_accepts_what_int_accepts(value, expected):
    s = marovenda.Serial()
    s.baudrate = value
    assert s.baudrate == expected
    assert marovenda.Serial(baudrate=value).baudrate == expected


BAD_BAUDRATES = [
    (-1, "-1"), (4294967296, "4294967296"), (2**64, "18446744073709551616"),
    ("fast", "'fast'"), (None, "None"), (Unprintable(), "<unprintable>"), (math.nan, "nan"),
]


@pytest.mark.parametrize("value, text", BAD_BAUDRATES)
def test_baudrate_messages(value, text):
    s = marovenda.Serial()
    with pytest.raises(ValueError) as e:
        s.baudrate = value
    assert str(e.value) == f"Not a valid baudrate: {text}"
    assert notes(e) == ["while processing 'value'"]
    assert e.value.__context__ is None  # the conversion's own error is gone
    assert s.baudrate == 9600
    with pytest.raises(ValueError, match="^Not a valid baudrate: ") as e:
        marovenda.Serial(baudrate=value)
    assert notes(e) == ["while processing 'baudrate'"]


@pytest.mark.parametrize("value, expected", [(8.0, 8), (5, 5), (Index(7), 7), (6.0, 6)])
def test_bytesize_accepts_integral_numbers(value, expected):
    s = marovenda.Serial()
    s.bytesize = value
    assert s.bytesize == expected and type(s.bytesize) is int


@pytest.mark.parametrize("value, text", [
    (5.5, "5.5"), (9, "9"), (True, "1"), ("8", "'8'"), (math.inf, "inf"), (math.nan, "nan"),
    (1e300, "9223372036854775807"), (-1e300, "-9223372036854775808"), (None, "None"),
    (Unprintable(), "<unprintable>"),
])
def test_bytesize_messages(value, text):
    s = marovenda.Serial()
    with pytest.raises(ValueError) as e:
        s.bytesize = value
    assert str(e.value) == f"Not a valid byte size: {text}"
    assert notes(e) == ["while processing 'value'"]
    assert s.bytesize == 8
    with pytest.raises(ValueError) as e:
        marovenda.Serial(bytesize=value)
    assert notes(e) == ["while processing 'bytesize'"]


class OwnBytes(bytes):
    def __bytes__(self):
        return b"wrong"


@pytest.mark.parametrize("data, expected", [
    (b"abc", b"abc"),
    (OwnBytes(b"own"), b"own"),
    ("\u00e9", b"\xc3\xa9"),
    (bytearray(b"ba"), b"ba"),
    (memoryview(b"mv"), b"mv"),
    (array.array("H", [1, 2]), array.array("H", [1, 2]).tobytes()),
    (memoryview(bytearray(b"a-b-c"))[::2], b"abc"),
    (b"", b""),
])
def test_write_takes_bytes_str_and_buffers(port, data, expected):
    port.timeout = 0
    assert port.write(data) == len(expected)
    assert port.read(100) == expected


@pytest.mark.parametrize("value, name", [(5, "int"), ([1, 2], "list"), (None, "NoneType"), (3.0, "float")])
def test_write_refuses_non_buffers(port, value, name):
    with pytest.raises(TypeError) as e:
        port.write(value)
    assert str(e.value) == f"a bytes-like object or str is required, not '{name}'"
    assert notes(e) == []
    if value is not None:  # None is read_until's default terminator
        with pytest.raises(TypeError, match=f"not '{name}'$"):
            port.read_until(value)


def test_write_of_lone_surrogate_raises_encode_error(port):
    with pytest.raises(UnicodeEncodeError):
        port.write("\ud800")
    assert port.in_waiting == 0


def test_buffer_error_other_than_type_error_passes_through(port):
    class Broken:
        def __buffer__(self, flags):
            raise KeyError("buffer")

    with pytest.raises(KeyError):
        port.write(Broken())
