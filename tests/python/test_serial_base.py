import gc
import inspect
import io
import math
import os
import re
import termios
import weakref

import pytest

import marovenda
from helpers import BadBool, notes

NOT_OPEN = "Attempting to use a port that is not open"
NOT_CONFIGURED = "Port must be configured before it can be used."

DEFAULTS = {
    "port": None, "name": None, "portstr": None, "is_open": False, "baudrate": 9600, "bytesize": 8,
    "parity": "N", "stopbits": 1, "timeout": None, "write_timeout": None, "inter_byte_timeout": None,
    "xonxoff": False, "rtscts": False, "dsrdtr": False, "exclusive": None, "rts": True, "dtr": True,
    "break_condition": False, "closed": True,
}


def test_new_object_defaults():
    s = marovenda.Serial()
    got = {k: getattr(s, k) for k in DEFAULTS}
    assert got == DEFAULTS
    assert type(s.stopbits) is int


def test_base_class_is_not_instantiable_and_has_class_attributes():
    base = marovenda.SerialBase
    with pytest.raises(TypeError):
        base()
    assert base.BYTESIZES == (5, 6, 7, 8)
    assert base.PARITIES == ("N", "E", "O", "M", "S")
    assert base.STOPBITS == (1, 1.5, 2) and [type(x) for x in base.STOPBITS] == [int, float, int]
    assert base.BAUDRATES == tuple(marovenda.Baudrate) and len(base.BAUDRATES) == 30
    assert issubclass(marovenda.Serial, base)


def test_objects_have_no_dict_and_no_weakrefs():
    s = marovenda.Serial()
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(s)


@pytest.mark.parametrize("cls, link", [
    pytest.param(marovenda.Serial, lambda p: p, id="Serial-self"),
    pytest.param(marovenda.Serial, lambda p: p.close, id="Serial-bound-method"),
    pytest.param(marovenda.aio.Serial, lambda p: p, id="aio-self"),
    pytest.param(marovenda.aio.Serial, lambda p: p.close, id="aio-bound-method"),
    # The future's result is the object itself.
    pytest.param(marovenda.aio.Serial, lambda p: p.__aenter__(), id="aio-aenter-future"),
])
def test_subclass_instance_in_a_cycle_is_collected(cls, link):
    sub = type("Port", (cls,), {})
    p = sub()
    p.link = link(p)
    ref = weakref.ref(p)
    del p
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("prop, value, expected, kind", [
    ("stopbits", 1.5, 1.5, float), ("stopbits", 2, 2, int), ("stopbits", 2.0, 2, int),
    ("stopbits", True, 1, int),
    ("timeout", True, 1, int), ("timeout", 2**70, float(2**70), float), ("timeout", 0.25, 0.25, float),
    ("timeout", math.inf, math.inf, float), ("timeout", 3, 3, int), ("timeout", None, None, type(None)),
    ("write_timeout", 0, 0, int), ("inter_byte_timeout", 0.5, 0.5, float),
    ("exclusive", 0, False, bool), ("exclusive", "yes", True, bool), ("exclusive", None, None, type(None)),
    ("xonxoff", "x", True, bool), ("rtscts", [], False, bool),
    ("baudrate", "19200", 19200, int), ("bytesize", 7.0, 7, int),
    ("parity", "E", "E", str), ("parity", "S", "S", str),
    ("rts", 0, False, bool), ("dtr", "", False, bool), ("break_condition", 1, True, bool),
])
@pytest.mark.parametrize("opened", [False, True])
def test_setters_read_back(prop, value, expected, kind, opened):
    s = marovenda.Serial("loop://" if opened else None)
    setattr(s, prop, value)
    assert getattr(s, prop) == expected and type(getattr(s, prop)) is kind
    s.close()


def test_negative_zero_timeout_is_kept():
    s = marovenda.Serial()
    s.timeout = -0.0
    assert math.copysign(1, s.timeout) == -1


SETTER_ERRORS = [
    # property, value, exception, message (None: the interpreter's own), conversion note
    ("stopbits", 3, ValueError, "Not a valid stop bit size: 3.0", False),
    ("stopbits", 1.25, ValueError, "Not a valid stop bit size: 1.25", False),
    ("stopbits", "1", TypeError, None, True),
    ("parity", "n", ValueError, "Not a valid parity: 'n'", False),
    ("parity", "NONE", ValueError, "Not a valid parity: 'NONE'", False),
    ("parity", "", ValueError, "Not a valid parity: ''", False),
    ("parity", 5, TypeError, "'int' object is not an instance of 'str'", True),
    ("parity", None, TypeError, "'None' is not an instance of 'str'", True),
    ("timeout", -1, ValueError, "Not a valid timeout: -1", False),
    ("timeout", -1.0, ValueError, "Not a valid timeout: -1.0", False),
    ("timeout", -0.25, ValueError, "Not a valid timeout: -0.25", False),
    ("timeout", -1e16, ValueError, "Not a valid timeout: -1e16", False),
    ("timeout", -2.5e-5, ValueError, "Not a valid timeout: -2.5e-5", False),
    ("timeout", math.nan, ValueError, "Not a valid timeout: NaN", False),
    ("timeout", -math.inf, ValueError, "Not a valid timeout: -inf", False),
    ("timeout", "x", ValueError, "Not a valid timeout: 'x'", True),
    ("write_timeout", -2, ValueError, "Not a valid timeout: -2", False),
    ("inter_byte_timeout", "1", ValueError, "Not a valid timeout: '1'", True),
    ("baudrate", -5, ValueError, "Not a valid baudrate: -5", True),
    ("bytesize", 4, ValueError, "Not a valid byte size: 4", True),
    ("port", 5, TypeError, "'int' object is not an instance of 'str'", True),
    ("port", b"loop://", TypeError, "'bytes' object is not an instance of 'str'", True),
    ("xonxoff", BadBool(), ZeroDivisionError, "no truth", True),
    ("dsrdtr", BadBool(), ZeroDivisionError, "no truth", True),
    ("exclusive", BadBool(), ZeroDivisionError, "no truth", True),
    ("rts", BadBool(), ZeroDivisionError, "no truth", True),
    ("break_condition", BadBool(), ZeroDivisionError, "no truth", True),
]


@pytest.mark.parametrize("prop, value, exc, message, noted", SETTER_ERRORS)
def test_setter_errors_change_nothing(prop, value, exc, message, noted):
    s = marovenda.Serial()
    before = getattr(s, prop)
    with pytest.raises(exc) as e:
        setattr(s, prop, value)
    if message is not None:
        assert str(e.value) == message
    assert notes(e) == (["while processing 'value'"] if noted else [])
    assert getattr(s, prop) == before


def test_writable_properties_have_no_deleter():
    s = marovenda.Serial()
    for prop in ["port", "baudrate", "bytesize", "parity", "stopbits", "timeout", "write_timeout",
                 "inter_byte_timeout", "xonxoff", "rtscts", "dsrdtr", "exclusive", "rts", "dtr",
                 "break_condition"]:
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(s, prop)


@pytest.mark.parametrize("prop", ["name", "portstr", "is_open", "cts", "dsr", "ri", "cd", "in_waiting",
                                  "out_waiting", "closed"])
def test_read_only_properties(prop):
    s = marovenda.Serial()
    with pytest.raises(AttributeError):
        setattr(s, prop, 1)
    with pytest.raises(AttributeError):
        delattr(s, prop)


@pytest.mark.parametrize("prop", ["cts", "dsr", "ri", "cd", "in_waiting", "out_waiting"])
def test_queries_need_an_open_port(prop):
    with pytest.raises(marovenda.PortNotOpenError, match=f"^{NOT_OPEN}$"):
        getattr(marovenda.Serial(), prop)


def test_dsrdtr_none_follows_rtscts_once():
    s = marovenda.Serial()
    s.rtscts = True
    s.dsrdtr = None
    assert s.dsrdtr is True
    s.rtscts = False
    assert s.dsrdtr is True


@pytest.mark.parametrize("kwargs, dsrdtr", [
    ({"rtscts": True}, False), ({"rtscts": True, "dsrdtr": None}, True), ({"dsrdtr": None}, False),
    ({"rtscts": False, "dsrdtr": 1}, True),
])
def test_constructor_dsrdtr(kwargs, dsrdtr):
    s = marovenda.Serial(port="loop://", **kwargs)
    assert s.dsrdtr is dsrdtr
    s.close()


def test_line_levels_are_stored_under_flow_control():
    s = marovenda.Serial("loop://", rtscts=True, dsrdtr=True)
    s.rts = False
    s.dtr = False
    assert (s.rts, s.dtr) == (False, False)
    s.close()
    s.rts = True  # a closed port only stores
    assert s.rts is True


def test_settings_stored_while_closed_apply_on_open():
    s = marovenda.Serial()
    s.baudrate = 115200
    s.parity = "O"
    s.port = "loop://"
    assert not s.is_open
    s.open()
    assert (s.baudrate, s.parity, s.is_open) == (115200, "O", True)
    s.close()


def test_port_setter_reopens_with_an_empty_buffer():
    s = marovenda.Serial("loop://")
    s.write(b"abc")
    s.port = "loop://"
    assert s.is_open and s.in_waiting == 0
    s.port = "LOOP://other"
    assert s.is_open and s.port == "LOOP://other"
    s.close()


def test_port_none_on_open_port_closes_and_raises():
    s = marovenda.Serial("loop://")
    with pytest.raises(marovenda.SerialException, match=f"^{re.escape(NOT_CONFIGURED)}$"):
        s.port = None
    assert s.is_open is False and s.port is None


def test_second_init_reconfigures_and_reopens():
    s = marovenda.Serial("loop://")
    s.write(b"old")
    s.__init__("loop://", 19200, parity="E")
    assert (s.is_open, s.baudrate, s.parity, s.in_waiting) == (True, 19200, "E", 0)
    with pytest.raises(marovenda.SerialException, match=re.escape(NOT_CONFIGURED)):
        s.__init__(baudrate=300)
    assert (s.is_open, s.port, s.baudrate) == (False, None, 300)


@pytest.fixture
def pty_slave():
    """A pseudo-terminal slave path, and an fd to look at its attributes."""
    master, slave = os.openpty()
    yield os.ttyname(slave), slave
    os.close(master)
    os.close(slave)


def test_device_is_reconfigured_only_when_a_line_parameter_changes(pty_slave):
    name, fd = pty_slave
    s = marovenda.Serial(name, timeout=2)
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = termios.B300  # behind the object's back
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    s.baudrate = 9600
    s.timeout = 1
    s.exclusive = True
    s.apply_settings(s.get_settings())
    assert termios.tcgetattr(fd)[4] == termios.B300  # no configure call yet
    s.baudrate = 19200
    assert termios.tcgetattr(fd)[4] == termios.B19200
    s.close()


def test_failed_reconfiguration_restores_the_whole_record(pty_slave):
    # A pty refuses 7 data bits, so configure fails after the record changed.
    name, _ = pty_slave
    s = marovenda.Serial(name, 19200, timeout=2)
    before = s.get_settings()
    with pytest.raises(marovenda.SerialException):
        s.apply_settings({"baudrate": 38400, "bytesize": 7, "timeout": 5, "write_timeout": 1})
    assert s.get_settings() == before
    with pytest.raises(marovenda.SerialException):
        s.__init__("loop://", bytesize=7, timeout=3)
    assert (s.get_settings(), s.port, s.is_open) == (before, name, True)  # name kept, not reopened
    s.close()


INIT_ERRORS = [
    ({"baudrate": -1}, ValueError, "baudrate"),
    ({"baudrate": None}, ValueError, "baudrate"),
    ({"bytesize": None}, ValueError, "bytesize"),
    ({"parity": None}, TypeError, "parity"),
    ({"stopbits": None}, TypeError, "stopbits"),
    ({"stopbits": "1"}, TypeError, "stopbits"),
    ({"timeout": "x"}, ValueError, "timeout"),
    ({"write_timeout": "x"}, ValueError, "write_timeout"),
    ({"inter_byte_timeout": "x"}, ValueError, "inter_byte_timeout"),
    ({"port": 3}, TypeError, "port"),
    ({"xonxoff": BadBool()}, ZeroDivisionError, "xonxoff"),
    ({"exclusive": BadBool()}, ZeroDivisionError, "exclusive"),
    ({"parity": "X"}, ValueError, None),
    ({"stopbits": 3}, ValueError, None),
    ({"timeout": -1}, ValueError, None),
    ({"write_timeout": math.nan}, ValueError, None),
    ({"inter_byte_timeout": -0.5}, ValueError, None),
]


@pytest.mark.parametrize("kwargs, exc, noted", INIT_ERRORS)
def test_init_errors_store_nothing(kwargs, exc, noted):
    s = marovenda.Serial()
    with pytest.raises(exc) as e:
        s.__init__(**({"baudrate": 19200} | kwargs))
    assert notes(e) == ([f"while processing '{noted}'"] if noted else [])
    assert s.baudrate == 9600 and not s.is_open


class NulRepr:
    """Converts to nothing; its repr carries a NUL."""

    def __repr__(self):
        return "<a\x00b>"


@pytest.mark.parametrize("apply, message", [
    (lambda s: setattr(s, "parity", "N\x00x"), "Not a valid parity: 'N\x00x'"),
    (lambda s: s.__init__(parity="N\x00"), "Not a valid parity: 'N\x00'"),
    (lambda s: s.apply_settings({"parity": "E\x00"}), "Not a valid parity: 'E\x00'"),
    (lambda s: setattr(s, "baudrate", NulRepr()), "Not a valid baudrate: <a\x00b>"),
    (lambda s: s.__init__(bytesize=NulRepr()), "Not a valid byte size: <a\x00b>"),
    (lambda s: s.apply_settings({"timeout": NulRepr()}), "Not a valid timeout: <a\x00b>"),
])
def test_messages_keep_caller_text_whole(apply, message):
    with pytest.raises(ValueError) as e:
        apply(marovenda.Serial())
    assert str(e.value) == message


def test_init_converts_in_parameter_order():
    with pytest.raises(ValueError, match="baudrate"):
        marovenda.Serial(baudrate="x", timeout="y")


@pytest.mark.parametrize("args, kwargs", [
    (("loop://",) + (None,) * 12, {}),
    ((), {"speed": 9600}),
    (("loop://",), {"port": "loop://"}),
])
def test_init_refuses_bad_argument_lists(args, kwargs):
    with pytest.raises(TypeError):
        marovenda.Serial(*args, **kwargs)


def test_open_and_close():
    s = marovenda.Serial()
    with pytest.raises(marovenda.SerialException, match=f"^{re.escape(NOT_CONFIGURED)}$"):
        s.open()
    s.port = "loop://"
    s.open()
    with pytest.raises(marovenda.SerialException, match=r"^Port is already open\.$"):
        s.open()
    assert s.is_open
    s.close()
    s.close()
    assert not s.is_open and s.closed


def test_loopback_counts_and_buffer_resets(port):
    port.write(b"12345")
    assert (port.in_waiting, port.out_waiting) == (5, 5)
    port.reset_input_buffer()
    assert port.in_waiting == 0
    port.write(b"12")
    port.reset_output_buffer()
    assert port.in_waiting == 0
    port.close()
    for method in (port.reset_input_buffer, port.reset_output_buffer, port.fileno):
        with pytest.raises(marovenda.PortNotOpenError, match=f"^{NOT_OPEN}$"):
            method()


def test_fileno_of_loopback_is_unsupported(port):
    with pytest.raises(io.UnsupportedOperation) as e:
        port.fileno()
    assert e.value.args == ("fileno",)


def test_modem_lines_of_loopback(port):
    assert {k: type(getattr(port, k)) for k in ("cts", "dsr", "ri", "cd")} == dict.fromkeys(
        ("cts", "dsr", "ri", "cd"), bool)


SETTINGS_KEYS = ["baudrate", "bytesize", "parity", "stopbits", "xonxoff", "dsrdtr", "rtscts", "timeout",
                 "write_timeout", "inter_byte_timeout"]


def test_get_settings_order_and_values():
    s = marovenda.Serial(baudrate=300, bytesize=7, parity="M", stopbits=1.5, timeout=2, xonxoff=True,
                         write_timeout=0.5, exclusive=True)
    d = s.get_settings()
    assert list(d) == SETTINGS_KEYS
    assert d == {"baudrate": 300, "bytesize": 7, "parity": "M", "stopbits": 1.5, "xonxoff": True,
                 "dsrdtr": False, "rtscts": False, "timeout": 2, "write_timeout": 0.5,
                 "inter_byte_timeout": None}
    assert type(d["timeout"]) is int


@pytest.mark.parametrize("opened", [False, True])
def test_apply_settings_round_trip(opened):
    s = marovenda.Serial("loop://" if opened else None, 19200, timeout=1)
    t = marovenda.Serial()
    assert t.apply_settings(s.get_settings()) is None
    assert t.get_settings() == s.get_settings()
    before = s.get_settings()
    s.apply_settings(before)
    s.apply_settings({})
    s.apply_settings({"port": "x", "exclusive": True, "other": 1})
    assert s.get_settings() == before and s.exclusive is None
    assert s.port == ("loop://" if opened else None)
    s.close()


def test_apply_settings_none_values():
    s = marovenda.Serial(timeout=1, xonxoff=True)
    s.apply_settings({"xonxoff": None, "timeout": None, "rtscts": None})
    assert (s.xonxoff, s.timeout, s.rtscts) == (False, None, False)


def test_apply_settings_dsrdtr_none_uses_the_previous_rtscts():
    s = marovenda.Serial()
    s.apply_settings({"rtscts": True, "dsrdtr": None})
    assert (s.rtscts, s.dsrdtr) == (True, False)
    s.apply_settings({"dsrdtr": None})
    assert s.dsrdtr is True


@pytest.mark.parametrize("d, exc, message", [
    ({"baudrate": 19200, "parity": "X"}, ValueError, "Not a valid parity: 'X'"),
    ({"baudrate": None}, ValueError, "Not a valid baudrate: None"),
    ({"bytesize": None}, ValueError, "Not a valid byte size: None"),
    ({"baudrate": 19200, "parity": None}, TypeError, "'None' is not an instance of 'str'"),
    ({"parity": 1}, TypeError, "'int' object is not an instance of 'str'"),
    ({"baudrate": 19200, "stopbits": None}, TypeError, None),
    ({"baudrate": 19200, "stopbits": 3}, ValueError, "Not a valid stop bit size: 3.0"),
    ({"baudrate": 19200, "timeout": -1}, ValueError, "Not a valid timeout: -1"),
    ({"baudrate": 19200, "inter_byte_timeout": "x"}, ValueError, "Not a valid timeout: 'x'"),
    ({"baudrate": 19200, "rtscts": BadBool()}, ZeroDivisionError, "no truth"),
])
def test_apply_settings_errors_apply_nothing(d, exc, message):
    s = marovenda.Serial()
    with pytest.raises(exc) as e:
        s.apply_settings(d)
    if message is not None:
        assert str(e.value) == message
    assert notes(e) == []
    assert s.get_settings() == marovenda.Serial().get_settings()


def test_apply_settings_looks_up_the_ten_keys_in_order_through_get():
    seen = []

    class Lookup:
        def get(self, key, default):
            seen.append(key)
            if key == "bytesize":
                assert type(default) is object  # a fresh marker, not None
                return 6
            return default

    s = marovenda.Serial()
    s.apply_settings(d=Lookup())
    assert seen == SETTINGS_KEYS and s.bytesize == 6
    with pytest.raises(AttributeError):
        s.apply_settings(42)


def test_apply_settings_stops_at_the_first_bad_key():
    seen = []

    class Lookup(dict):
        def get(self, key, default):
            seen.append(key)
            return super().get(key, default)

    with pytest.raises(ValueError):
        marovenda.Serial().apply_settings(Lookup(bytesize=1, parity="N"))
    assert seen == ["baudrate", "bytesize"]


REPR = re.compile(
    r"(\w+)<id=0x([0-9a-f]+), open=(True|False)>\(port=(.*), baudrate=9600, bytesize=8, parity='N', "
    r"stopbits=1, timeout=(.*), xonxoff=False, rtscts=False, dsrdtr=False\)")


def test_repr():
    s = marovenda.Serial()
    m = REPR.fullmatch(repr(s))
    assert m and m.groups() == ("Serial", format(id(s), "x"), "False", "None", "None")
    s = marovenda.Serial("loop://", timeout=0.5)
    assert REPR.fullmatch(repr(s)).group(3, 4, 5) == ("True", "'loop://'", "0.5")
    s.close()


def test_repr_goes_through_attribute_lookup():
    class Mine(marovenda.Serial):
        @property
        def portstr(self):
            return "custom"

        @property
        def is_open(self):
            raise KeyError("is_open")

    with pytest.raises(KeyError):
        repr(Mine())

    class Named(marovenda.Serial):
        portstr = "custom"

    assert repr(Named()).startswith("Named<id=0x") and "port='custom'" in repr(Named())


METHOD_SIGNATURES = {
    "cancel_read": "($self)", "cancel_write": "($self)", "open": "($self)", "close": "($self)",
    "reset_input_buffer": "($self)", "reset_output_buffer": "($self)", "get_settings": "($self)",
    "apply_settings": "($self, d)", "fileno": "($self)",
    "read": "($self, size=1)", "read_until": "(self, /, expected=b'\\n', size=None)",
    "readline": "(self, /, size=-1)", "readlines": "(self, /, hint=-1)", "readable": "($self)",
    "writable": "($self)", "seekable": "($self)", "readinto": "($self, b)", "write": "($self, data)",
    "flush": "($self)", "send_break": "($self, duration=0.25)", "read_all": "($self)",
    "__enter__": "($self)", "__exit__": "($self, *_args)",
}


@pytest.mark.parametrize("name, sig", METHOD_SIGNATURES.items())
def test_methods_carry_only_their_text_signature(name, sig):
    method = getattr(marovenda.Serial, name)
    assert method.__text_signature__ == sig
    assert method.__doc__ is None
    inspect.signature(method)


def test_class_docstrings():
    assert marovenda.Serial.__text_signature__ == "(*_args, **_kwargs)"
    assert marovenda.Serial.__doc__ and marovenda.SerialBase.__doc__ == (
        "Properties and non-I/O methods shared by `marovenda.Serial` and `marovenda.aio.Serial`.")
    assert marovenda.Serial.closed.__doc__ is None
