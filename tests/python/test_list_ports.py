import contextlib
import gc
import inspect
import os
import subprocess
import sys
import weakref

import pytest

from marovenda.tools import list_ports
from marovenda.tools.list_ports import ListPortInfo, comports


@contextlib.contextmanager
def raises_with_note(exc, message, note):
    with pytest.raises(exc) as info:
        yield info
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == [note]


# ---- construction and fields ---------------------------------------------


@pytest.mark.parametrize(
    "device, name",
    [
        ("/dev/ttyUSB0", "ttyUSB0"),
        ("/dev/ttyUSB0/", "ttyUSB0"),
        ("/dev/ttyS1/.", "ttyS1"),
        ("a//b", "b"),
        ("COM3", "COM3"),
        ("/dev/serial/by-id/usb-\u00e9", "usb-\u00e9"),
        # No last component: the whole text.
        ("/", "/"),
        ("", ""),
        (".", "."),
        ("/dev/..", "/dev/.."),
    ],
)
def test_name_is_the_last_path_component(device, name):
    info = ListPortInfo(device)
    assert (info.device, info.name) == (device, name)


def test_new_object_defaults():
    info = ListPortInfo("/dev/ttyUSB0")
    assert (info.description, info.hwid) == ("n/a", "n/a")
    for field in ("serial_number", "location", "manufacturer", "product", "interface", "vid", "pid"):
        assert getattr(info, field) is None, field
    assert str(info) == "/dev/ttyUSB0 - n/a"
    assert info.usb_info() == "USB VID:PID=0000:0000"
    assert info.usb_description() == "ttyUSB0"


def test_constructor_arguments():
    assert ListPortInfo("/dev/x", True).device == "/dev/x"
    assert ListPortInfo(device="/dev/x", skip_link_detection=False).name == "x"
    with raises_with_note(TypeError, "'int' object is not an instance of 'bool'", "while processing 'skip_link_detection'"):
        ListPortInfo("/dev/x", skip_link_detection=1)
    with raises_with_note(TypeError, "'None' is not an instance of 'str'", "while processing 'device'"):
        ListPortInfo(None)
    with raises_with_note(TypeError, "'bytes' object is not an instance of 'str'", "while processing 'device'"):
        ListPortInfo(b"/dev/x")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'device'"):
        ListPortInfo()
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'port'"):
        ListPortInfo("/dev/x", port=1)


TEXT = ["device", "name", "description", "hwid"]
OPTIONAL_TEXT = ["serial_number", "location", "manufacturer", "product", "interface"]
NOT_STR = "'int' object is not an instance of 'str'"
NONE_NOT_STR = "'None' is not an instance of 'str'"
OUT_OF_RANGE = "out of range integral type conversion attempted"

FIELD_CASES = (
    [(f, "abc", 3, TypeError, NOT_STR) for f in TEXT]
    + [(f, "abc", None, TypeError, NONE_NOT_STR) for f in TEXT]
    + [(f, None, 3, TypeError, NOT_STR) for f in OPTIONAL_TEXT]
    + [(f, "abc", b"abc", TypeError, "'bytes' object is not an instance of 'str'") for f in OPTIONAL_TEXT]
    + [(f, 65535, 65536, OverflowError, OUT_OF_RANGE) for f in ("vid", "pid")]
    + [(f, 0, -1, OverflowError, OUT_OF_RANGE) for f in ("vid", "pid")]
    + [(f, None, 1.0, TypeError, "'float' object cannot be interpreted as an integer") for f in ("vid", "pid")]
    + [(f, 0x0403, "1", TypeError, "'str' object cannot be interpreted as an integer") for f in ("vid", "pid")]
)


@pytest.mark.parametrize("field, good, bad, exc, message", FIELD_CASES)
def test_field_types_and_ranges(field, good, bad, exc, message):
    info = ListPortInfo("/dev/ttyUSB0")
    setattr(info, field, good)
    assert getattr(info, field) == good
    with raises_with_note(exc, message, f"while processing '{field}'"):
        setattr(info, field, bad)
    assert getattr(info, field) == good


def test_text_fields_store_plain_str():
    class Text(str):
        pass

    info = ListPortInfo(Text("/dev/ttyS0"))
    info.product = Text("FT232R")
    assert type(info.device) is str and type(info.product) is str
    assert info.product == "FT232R"
    info.vid = True
    assert info.vid == 1 and type(info.vid) is int


def test_fields_cannot_be_deleted():
    info = ListPortInfo("/dev/ttyS0")
    for field in ("device", "product", "vid"):
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(info, field)
    assert info.device == "/dev/ttyS0"


def test_docstrings_and_module():
    assert ListPortInfo.__module__ == "marovenda.tools.list_ports"
    assert ListPortInfo.__name__ == "ListPortInfo"
    assert ListPortInfo.__doc__ == "Describes one serial port of the machine."
    assert str(inspect.signature(ListPortInfo)) == "(device, skip_link_detection=False)"
    for method in ("usb_description", "usb_info", "apply_usb_info"):
        assert getattr(ListPortInfo, method).__doc__ is None
        assert str(inspect.signature(getattr(ListPortInfo, method))) == "(self, /)"
    assert comports.__module__ == "marovenda.tools.list_ports"
    assert comports.__doc__ is None
    assert str(inspect.signature(comports)) == "(include_links=False)"
    assert list_ports.__all__ == ["ListPortInfo", "comports"]


# ---- USB texts -------------------------------------------------------------


@pytest.mark.parametrize(
    "fields, text",
    [
        ({"vid": 0x0403, "pid": 0x6001, "serial_number": "A1", "location": "1-1.2"},
         "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2"),
        ({"vid": 0xABCD, "pid": 0x00EF}, "USB VID:PID=ABCD:00EF"),
        ({"pid": 1, "location": "3-"}, "USB VID:PID=0000:0001 LOCATION=3-"),
        ({"serial_number": ""}, "USB VID:PID=0000:0000 SER="),
    ],
)
def test_usb_info(fields, text):
    info = ListPortInfo("/dev/ttyUSB0")
    for k, v in fields.items():
        setattr(info, k, v)
    assert info.usb_info() == text


@pytest.mark.parametrize(
    "interface, product, text",
    [(None, None, "ttyUSB0"), (None, "FT232R", "FT232R"), ("ttl", None, "None - ttl"), ("ttl", "FT232R", "FT232R - ttl")],
)
def test_usb_description(interface, product, text):
    info = ListPortInfo("/dev/ttyUSB0")
    info.interface, info.product = interface, product
    assert info.usb_description() == text


def test_apply_usb_info_overwrites_description_and_hwid():
    info = ListPortInfo("/dev/ttyUSB0")
    info.description, info.hwid = "mine", "also mine"
    info.vid, info.pid, info.product = 0x0403, 0x6001, "FT232R"
    assert info.apply_usb_info() is None
    assert (info.description, info.hwid) == ("FT232R", "USB VID:PID=0403:6001")
    assert str(info) == "/dev/ttyUSB0 - FT232R"


# ---- sequence access ------------------------------------------------------


def test_sequence_access():
    info = ListPortInfo("/dev/ttyS0")
    info.description, info.hwid = "d", "h"
    device, description, hwid = info
    assert (device, description, hwid) == ("/dev/ttyS0", "d", "h")
    assert [info[0], info[1], info[2]] == ["/dev/ttyS0", "d", "h"]
    assert info[True] == "d"
    for index in (3, -1, -3, 2**62):
        with pytest.raises(IndexError, match="^list index out of range$"):
            info[index]
    with raises_with_note(TypeError, "'str' object cannot be interpreted as an integer", "while processing 'index'"):
        info["0"]
    with pytest.raises(TypeError):
        len(info)
    # iter() hands out a snapshot.
    it = iter(info)
    info.hwid = "changed"
    assert list(it) == ["/dev/ttyS0", "d", "h"]


# ---- hashing, equality and order ------------------------------------------

HASH_DEVICES = ["/dev/ttyUSB0", "", "1234567", "12345678", "/dev/ttyS15", "/dev/serial/by-id/usb-\u00e9\u20ac"]


@pytest.mark.skipif(sys.hash_info.algorithm != "siphash13", reason="needs the interpreter's SipHash-1-3")
def test_hash_is_siphash13_with_zero_keys():
    # With PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 and
    # zero keys; a str hashes as its UTF-8 bytes followed by 0xFF.
    code = "import sys; [print(hash(d.encode() + b'\\xff')) for d in sys.argv[1:]]"
    out = subprocess.run(
        [sys.executable, "-c", code, *HASH_DEVICES],
        env={**os.environ, "PYTHONHASHSEED": "0"},
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    assert [hash(ListPortInfo(d)) for d in HASH_DEVICES] == [int(h) for h in out]


def test_equality_is_on_device_only():
    a, b = ListPortInfo("/dev/ttyS1"), ListPortInfo("/dev/ttyS1")
    b.description, b.vid = "other", 7
    assert a == b and not (a != b) and hash(a) == hash(b)
    assert a != ListPortInfo("/dev/ttyS2")
    assert (a == "/dev/ttyS1") is False
    assert (a != "x") is True
    assert ListPortInfo("/dev/ttyS1") in [ListPortInfo("/dev/ttyS0"), b]
    assert len({a, b, ListPortInfo("/dev/ttyS2")}) == 2


def test_not_equal_goes_through_the_subclass_equality():
    class Always(ListPortInfo):
        def __eq__(self, other):
            return True

    class Broken(ListPortInfo):
        def __eq__(self, other):
            raise ValueError("no")

    assert (ListPortInfo("/a") != Always("/b")) is False
    with pytest.raises(ValueError, match="no"):
        ListPortInfo("/a") != Broken("/b")


def test_sorting_is_natural():
    ports = [ListPortInfo(d) for d in ["/dev/ttyUSB0", "/dev/ttyS10", "/dev/ttyS2"]]
    assert [p.device for p in sorted(ports)] == ["/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"]


@pytest.mark.parametrize(
    "a, b",
    [
        ("/dev/ttyS2", "/dev/ttyS10"),
        ("/dev/ttyS", "/dev/ttyS0"),
        # A number against text: its value against the text's first byte.
        ("9x", "ax"),
        ("ax", "98x"),
        ("a1", "aa"),  # the shorter element first
        ("x" + "1" * 40, "x" + "9" * 40),  # beyond 128 bits: compared as text
        ("x5", "x" + "9" * 40),
        # One past the 128-bit range is text, whose first byte is below 2**128 - 1.
        ("x340282366920938463463374607431768211456", "x340282366920938463463374607431768211455"),
    ],
)
def test_natural_order_cases(a, b):
    pa, pb = ListPortInfo(a), ListPortInfo(b)
    assert pa < pb and not pb < pa
    assert pb > pa


def test_leading_zeros_tie_without_equality():
    a, b = ListPortInfo("/dev/ttyS01"), ListPortInfo("/dev/ttyS1")
    assert not a < b and not b < a and a != b


def test_ordering_errors():
    info = ListPortInfo("/dev/ttyS0")
    with pytest.raises(TypeError, match=r"^unorderable types: ListPortInfo\(\) and str\(\)$"):
        info < "x"
    with pytest.raises(TypeError, match=r"^unorderable types: ListPortInfo\(\) and NoneType\(\)$"):
        info < None
    for op in ("__le__", "__gt__", "__ge__"):
        assert getattr(info, op)(info) is NotImplemented
    with pytest.raises(TypeError, match="'<=' not supported"):
        info <= info
    with pytest.raises(TypeError, match="'>' not supported"):
        info > "x"


# ---- subclassing and attributes -------------------------------------------


def test_subclass_and_dict():
    class Port(ListPortInfo):
        def __init__(self, device, label):
            self.label = label

    with pytest.raises(TypeError):
        Port("/dev/ttyS0", "console")  # the base constructor sees both arguments

    class Tagged(ListPortInfo):
        kind = "tagged"

    t = Tagged("/dev/ttyS0")
    t.tag = 1
    assert (t.name, t.tag, t.__dict__, t.kind) == ("ttyS0", 1, {"tag": 1}, "tagged")
    assert t == ListPortInfo("/dev/ttyS0") and hash(t) == hash(ListPortInfo("/dev/ttyS0"))

    info = ListPortInfo("/dev/ttyS1")
    info.extra = [1]
    assert info.__dict__ == {"extra": [1]}


def test_reference_cycles_through_dict_are_collected():
    class Tagged(ListPortInfo):
        pass

    t = Tagged("/dev/ttyS0")
    t.me = t
    ref = weakref.ref(t)
    del t
    gc.collect()
    assert ref() is None


# ---- comports on this machine ---------------------------------------------


def test_comports_lists_existing_device_ports():
    ports = comports()
    assert isinstance(ports, list)
    for port in ports:
        assert type(port) is ListPortInfo
        assert os.path.exists(port.device), port.device
        assert port.device.startswith("/dev/")
        assert port.name == os.path.basename(port.device)
        try:
            with open(f"/sys/class/tty/{port.name}/type") as f:
                assert f.read().strip() != "0", port.device
        except OSError:
            pass
        if port.vid is not None:
            assert port.hwid.startswith("USB VID:PID=")
        else:
            assert (port.description, port.hwid) == ("n/a", "n/a")


def test_comports_include_links():
    devices = [p.device for p in comports()]
    assert [p.device for p in comports(True)] == devices
    assert [p.device for p in comports(include_links=False)] == devices
    with raises_with_note(TypeError, "'int' object is not an instance of 'bool'", "while processing 'include_links'"):
        comports(include_links=1)
    with raises_with_note(TypeError, "'None' is not an instance of 'bool'", "while processing 'include_links'"):
        comports(None)
    with pytest.raises(TypeError, match="takes from 0 to 1 positional arguments but 2 were given"):
        comports(True, True)
