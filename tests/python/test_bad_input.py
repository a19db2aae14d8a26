"""Hostile arguments against every constructor parameter, property and method.

Each case must end either accepted or with one sound exception, never with a
crash, a hang or a half-applied setting, and the port must still carry bytes
afterwards. The expected outcome of each value comes from a small model of
the conversion rules (`accepts_*` below), so one table of values serves every
parameter of the same kind.
"""
import array
import asyncio
import math
import operator

import pytest

import marovenda
from marovenda import aio
from helpers import Background, BadBool, Unprintable, wait_until

OK = "accepted"


class Boom(Exception):
    """Raised by the hostile dunder methods, so it can be told apart."""


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class RaisingInt:
    def __int__(self):
        raise Boom("int")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        raise Boom("repr")


class BadIndexResult:
    def __index__(self):
        return 1.5


class IntEqRaises(int):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = int.__hash__


class StrSub(str):
    pass


class StrEqRaises(str):
    def __eq__(self, other):
        raise Boom("eq")

    def __hash__(self):
        raise Boom("hash")


class BytesEqRaises(bytes):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = bytes.__hash__


class RaisingBuffer:
    def __init__(self, exc):
        self.exc = exc

    def __buffer__(self, flags):
        raise self.exc


class ShrinkingBuffer:
    """Empties its storage while being asked for a view of it."""

    def __init__(self):
        self.store = bytearray(b"x" * 64)

    def __buffer__(self, flags):
        del self.store[:]
        return memoryview(self.store)


def released_view():
    m = memoryview(b"gone")
    m.release()
    return m


VALUES = {
    "0": 0, "1": 1, "-1": -1, "2**31": 2**31, "2**32": 2**32, "2**63": 2**63, "2**64": 2**64,
    "-2**63": -2**63, "-2**63-1": -2**63 - 1, "2**1000": 2**1000, "-2**1000": -2**1000, "10**400": 10**400,
    "True": True, "1.5": 1.5, "8.0": 8.0, "nan": math.nan, "inf": math.inf, "-inf": -math.inf,
    "-0.0": -0.0, "1e300": 1e300, "5e-324": 5e-324, "1j": 1j, "None": None,
    "'8'": "8", "''": "", "'E'": "E", "StrSub('O')": StrSub("O"), "StrEqRaises('E')": StrEqRaises("E"),
    "'\\ud800'": "\ud800", "'\\x00'": "\x00", "'e\\u0301'": "e\u0301", "'loop://'": "loop://",
    "StrSub('LOOP://x')": StrSub("LOOP://x"),
    "b'E'": b"E", "BytesEqRaises(b'ab')": BytesEqRaises(b"ab"), "bytearray": bytearray(b"ba"),
    "array('d')": array.array("d", [1.0]), "strided view": memoryview(bytearray(b"a-b-c"))[::2],
    "released view": released_view(), "ShrinkingBuffer": ShrinkingBuffer(),
    "RaisingBuffer(TypeError)": RaisingBuffer(TypeError("buf")),
    "RaisingBuffer(Boom)": RaisingBuffer(Boom("buf")),
    "[1]": [1], "{}": {}, "object()": object(),
    "RaisingIndex": RaisingIndex(), "RaisingFloat": RaisingFloat(), "RaisingInt": RaisingInt(),
    "Index(7)": Index(7), "Index(2**70)": Index(2**70), "BadIndexResult": BadIndexResult(),
    "IntEqRaises(19200)": IntEqRaises(19200), "Unprintable": Unprintable(), "BadBool": BadBool(),
}


# --- models of the conversion rules: the outcome expected for one value ---

def outcome(fn, v):
    try:
        return fn(v)
    except Exception as e:  # the model's own failure is the expected exception type
        return type(e)


def as_double(v):
    """The interpreter's float conversion: a float, __float__, else __index__."""
    if isinstance(v, float):
        return v
    if hasattr(type(v), "__float__"):
        return type(v).__float__(v)
    if hasattr(type(v), "__index__"):
        return float(operator.index(v))
    raise TypeError("must be real number")


def accepts_baudrate(v):
    try:
        n = int(v)
    except Exception:
        raise ValueError
    if not 0 <= n <= 2**32 - 1:
        raise ValueError
    return OK


def accepts_bytesize(v):
    try:
        f = as_double(v)
    except Exception:
        raise ValueError
    if not math.isfinite(f) or f != math.trunc(f) or not 5 <= f <= 8:
        raise ValueError
    return OK


def accepts_text(v):
    if not isinstance(v, str):
        raise TypeError
    return str.__str__(v).encode()


def accepts_parity(v):
    if accepts_text(v) not in (b"N", b"E", b"O", b"M", b"S"):
        raise ValueError
    return OK


def accepts_stopbits(v):
    if as_double(v) not in (1.0, 1.5, 2.0):
        raise ValueError
    return OK


def accepts_timeout(v):
    if v is None:
        return OK
    if isinstance(v, int) and -2**63 <= v < 2**63:
        if v < 0:
            raise ValueError
        return OK
    try:
        f = as_double(v)
    except Exception:
        raise ValueError
    if not f >= 0:
        raise ValueError
    return OK


def accepts_flag(v):
    bool(v)
    return OK


def accepts_optional_flag(v):
    return OK if v is None else accepts_flag(v)


def accepts_unsigned(v):
    n = operator.index(v)
    if not 0 <= n < 2**64:
        raise OverflowError
    return OK


def accepts_signed(v):
    n = operator.index(v)
    if not -2**63 <= n < 2**63:
        raise OverflowError
    return OK


def accepts_data(v):
    if isinstance(v, (bytes, str)):
        if isinstance(v, str):
            v.encode()
        return OK
    try:
        view = memoryview(v)
    except TypeError:
        raise TypeError
    bytearray(view)
    return OK


def accepts_duration(v):
    if not as_double(v) >= 0:
        raise ValueError
    return OK


def accepts_port(v):
    if v is None:
        return OK
    name = accepts_text(v)
    if name[:7].lower() == b"loop://":
        return OK
    # Anything else names a device that does not exist, or cannot be a path.
    raise marovenda.SerialException


SOUND_OPEN_FAILURES = (marovenda.SerialException, ValueError)

# parameter -> model; the same models serve the constructor, the property
# setters and apply_settings.
SETTINGS = {
    "baudrate": accepts_baudrate, "bytesize": accepts_bytesize, "parity": accepts_parity,
    "stopbits": accepts_stopbits, "timeout": accepts_timeout, "write_timeout": accepts_timeout,
    "inter_byte_timeout": accepts_timeout, "xonxoff": accepts_flag, "rtscts": accepts_flag,
    "dsrdtr": accepts_optional_flag, "exclusive": accepts_optional_flag,
}
LINE_FLAGS = ("rts", "dtr", "break_condition")


def open_port(cls=marovenda.Serial):
    return cls("loop://", timeout=1, write_timeout=1)


def assert_usable(s):
    """The port still carries bytes, whatever the case left in its settings."""
    s.timeout, s.write_timeout = 1, 1
    s.reset_input_buffer()
    if isinstance(s, aio.Serial):
        assert s.write(b"ok").wait(5) == 2 and s.read(2).wait(5) == b"ok"
    else:
        assert s.write(b"ok") == 2 and s.read(2) == b"ok"


def assert_outcome(label, expected, fn, mismatches):
    try:
        fn()
        got = OK
    except BaseException as e:  # every exception is compared against the model
        got = type(e)
    if isinstance(expected, tuple):
        good = got in expected or any(isinstance(got, type) and issubclass(got, x) for x in expected)
    else:
        good = got == expected or (isinstance(got, type) and isinstance(expected, type) and issubclass(got, expected))
    if not good:
        mismatches.append(f"{label}: expected {expected}, got {got}")


def sweep(target, model, case):
    """Runs case(value) for every hostile value; collects every mismatch."""
    mismatches = []
    for label, value in VALUES.items():
        expected = outcome(model, value)
        if expected is marovenda.SerialException:
            expected = SOUND_OPEN_FAILURES
        assert_outcome(f"{target}={label}", expected, lambda: case(value), mismatches)
    assert not mismatches, "\n".join(mismatches)


@pytest.mark.parametrize("name", list(SETTINGS) + ["port"])
@pytest.mark.parametrize("cls", [marovenda.Serial, aio.Serial], ids=["Serial", "aio.Serial"])
def test_constructor_arguments(cls, name):
    model = accepts_port if name == "port" else SETTINGS[name]

    def case(value):
        s = cls(**{name: value})
        try:
            if name != "port" or value is None:
                s.port = "loop://"
            if not s.is_open:
                s.open()
            assert_usable(s)
        finally:
            s.close()

    sweep(name, model, case)


@pytest.mark.parametrize("name", list(SETTINGS) + list(LINE_FLAGS))
def test_property_setters_change_nothing_when_they_fail(name):
    model = SETTINGS.get(name, accepts_flag)

    def case(value):
        s = open_port()
        try:
            before = (s.get_settings(), s.exclusive, s.rts, s.dtr, s.break_condition)
            try:
                setattr(s, name, value)
            except BaseException:
                after = (s.get_settings(), s.exclusive, s.rts, s.dtr, s.break_condition)
                assert after == before, f"{name} changed by a failed assignment"
                raise
            finally:
                s.break_condition = False
                assert_usable(s)
        finally:
            s.close()

    sweep(name, model, case)


def test_port_setter_leaves_a_reopenable_object():
    def case(value):
        s = open_port()
        try:
            s.port = value
        finally:
            if value is None:
                assert s.port is None and not s.is_open
            s.port = "loop://"
            assert_usable(s)
            s.close()

    def model(v):
        if v is None:
            raise marovenda.SerialException  # closes the open port, then cannot reopen it
        return accepts_port(v)

    sweep("port", model, case)


@pytest.mark.parametrize("key", list(SETTINGS)[:-1])  # exclusive is not a settings key
def test_apply_settings_values_change_nothing_when_they_fail(key):
    def case(value):
        s = open_port()
        try:
            before = s.get_settings()
            try:
                s.apply_settings({"xonxoff": True, key: value})
            except BaseException:
                assert s.get_settings() == before
                raise
            finally:
                assert_usable(s)
        finally:
            s.close()

    sweep(key, SETTINGS[key], case)


class GetRaises:
    def get(self, key, default):
        raise Boom("get")


class MarkerEq:
    """Its one value raises on ==: absence must be told by identity, not equality."""

    def get(self, key, default):
        return default if key != "baudrate" else IntEqRaises(19200)


@pytest.mark.parametrize("d, expected", [
    (None, AttributeError), (42, AttributeError), ([("baudrate", 1)], AttributeError),
    (GetRaises(), Boom), (MarkerEq(), OK), ({"port": 5, "exclusive": BadBool()}, OK),
])
def test_apply_settings_mapping_objects(d, expected):
    s = open_port()
    try:
        if expected is OK:
            s.apply_settings(d)
        else:
            with pytest.raises(expected):
                s.apply_settings(d)
        assert_usable(s)
    finally:
        s.close()


# method -> (positional argument builder, model). Every method runs on an
# empty port with timeout 0 so an accepted argument returns at once.
METHODS = {
    "read": (lambda v: (v,), accepts_unsigned),
    "read_until(size)": (lambda v: (b"\n", v), lambda v: OK if v is None else accepts_unsigned(v)),
    "read_until(expected)": (lambda v: (v, 4), lambda v: OK if v is None else accepts_data(v)),
    "readline": (lambda v: (v,), accepts_signed),
    "readlines": (lambda v: (v,), accepts_signed),
    "write": (lambda v: (v,), accepts_data),
    "send_break": (lambda v: (v,), accepts_duration),
}


def sweep_method(s, method, call, mismatches):
    build, model = METHODS[method]
    name = method.split("(")[0]
    for label, value in VALUES.items():
        expected = outcome(model, value)
        if name == "send_break" and expected is OK and not as_double(value) < 1e-3:
            continue  # a long break is a wait, not bad input; see the test below
        s.timeout = 0
        assert_outcome(f"{method}({label})", expected, lambda: call(getattr(s, name), build(value)), mismatches)
        assert_usable(s)


@pytest.mark.parametrize("method", list(METHODS))
def test_blocking_method_arguments(method):
    mismatches = []
    with open_port() as s:
        sweep_method(s, method, lambda fn, args: fn(*args), mismatches)
    assert not mismatches, "\n".join(mismatches)


@pytest.mark.parametrize("method", list(METHODS))
def test_aio_method_arguments_raise_from_the_call_or_the_future(method):
    mismatches = []
    s = open_port(aio.Serial)

    def call(fn, args):
        fut = fn(*args)
        assert isinstance(fut, aio.Future)
        return fut.wait(5)

    try:
        sweep_method(s, method, call, mismatches)
    finally:
        s.close()
    assert not mismatches, "\n".join(mismatches)


def test_readinto_targets():
    class LenRaises:
        def __len__(self):
            raise Boom("len")

    class HugeLen:
        def __len__(self):
            return 2**62

        def __setitem__(self, key, value):
            self.got = (key, value)

    class ShrinksOnStore(bytearray):
        def __setitem__(self, key, value):
            del self[:]
            super().__setitem__(key, value)

    cases = [
        (bytearray(4), OK), (memoryview(bytearray(4)), OK), (array.array("b", [0] * 4), OK), ([0] * 4, OK),
        (HugeLen(), OK), (ShrinksOnStore(4), OK),
        (b"abcd", TypeError), (memoryview(b"abcd"), TypeError), (LenRaises(), Boom), (5, TypeError),
        (None, TypeError), (released_view(), ValueError),
    ]
    mismatches = []
    with open_port() as s:
        for target, expected in cases:
            s.timeout = 0
            s.write(b"xy")
            assert_outcome(f"readinto({type(target).__name__})", expected, lambda: s.readinto(target), mismatches)
            assert_usable(s)
    assert not mismatches, "\n".join(mismatches)


@pytest.mark.parametrize("value, expected", [
    (None, OK), (0, OK), (-1, OK), (math.nan, OK), (-0.0, OK), (math.inf, OK), (2**1000, OK),
    (10**400, OverflowError), ("1", TypeError), (RaisingFloat(), Boom), (Index(2), OK), (1j, TypeError),
])
def test_future_wait_timeout(value, expected):
    s = open_port(aio.Serial)
    try:
        fut = s.read(0)
        if expected is OK:
            assert fut.wait(value) == b""
        else:
            with pytest.raises(expected):
                fut.wait(value)
    finally:
        s.close()


@pytest.mark.parametrize("fn", [marovenda.serial_for_url, aio.serial_for_url])
@pytest.mark.parametrize("url, expected", [
    ("loop://", OK), (StrSub("Loop://x"), OK), ("\ud800", UnicodeEncodeError), ("http://x", ValueError),
    ("://", ValueError), (StrEqRaises("loop://"), OK), (None, marovenda.SerialException),
    (b"loop://", TypeError), (5, TypeError), ("/nonexistent/tty", marovenda.SerialException),
    ("/dev/" + "x" * 5000, marovenda.SerialException), ("loop\x00://", ValueError),
])
def test_serial_for_url_names(fn, url, expected):
    if expected is OK:
        fn(url).close()
    else:
        with pytest.raises(expected):
            fn(url).close()
    with pytest.raises(ZeroDivisionError):
        fn("loop://", do_not_open=BadBool())
    s = fn("loop://", do_not_open=True)
    assert not s.is_open


# The URL parser refuses "loop\x00://" before any device path is made, so a
# NUL is tried in a device path too, at every place a path is opened.
@pytest.mark.parametrize("open_port", [
    marovenda.Serial, marovenda.serial_for_url, aio.serial_for_url,
    lambda path: marovenda.serial_for_url(path, do_not_open=True).open(),
])
def test_a_device_path_with_a_nul_is_refused(open_port):
    with pytest.raises(ValueError, match="^embedded null byte$"):
        open_port("/dev/ttyS0\x00x")


def test_long_break_ends_with_close_and_the_object_reopens():
    for duration in (math.inf, 1e300, 2**70):
        s = open_port()
        b = Background(s.send_break, duration)
        wait_until(lambda: s.break_condition)
        assert b.running
        s.close()
        with pytest.raises(marovenda.PortNotOpenError):
            b.join()
        s.open()
        assert_usable(s)
        assert not s.break_condition
        s.close()


def test_cancelled_futures_with_hostile_arguments_leave_the_port_usable():
    async def main():
        s = open_port(aio.Serial)
        s.timeout = None
        try:
            for label, value in VALUES.items():
                try:
                    fut = s.read_until(value, 10)
                except Exception:
                    continue
                task = asyncio.ensure_future(asyncio.wait_for(fut, 0.001))
                with pytest.raises(TimeoutError):
                    await task
            s.timeout = 1
            assert await s.write(b"ok") == 2 and await s.read(2) == b"ok"
        finally:
            s.close()

    asyncio.run(main())
