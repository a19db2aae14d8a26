import asyncio
import math
import os
import pickle

import pytest

import marovenda
from marovenda import aio

from helpers import notes


@pytest.fixture
def s():
    port = aio.serial_for_url("loop://")
    yield port
    port.close()


def run(coro, timeout=10):
    return asyncio.run(asyncio.wait_for(coro, timeout))


def test_class_and_module_names():
    assert aio.Serial.__module__ == "marovenda.aio" and aio.Serial.__name__ == "Serial"
    assert issubclass(aio.Serial, marovenda.SerialBase)
    assert not issubclass(aio.Serial, marovenda.Serial)
    assert aio.Serial.__doc__ == "Serial port whose I/O methods return futures."
    assert aio.Serial.__text_signature__ == "(*_args, **_kwargs)"
    assert aio.__all__[:3] == ["Future", "Serial", "serial_for_url"]


@pytest.mark.parametrize(
    "name, text",
    [
        ("read", "($self, size=1)"),
        ("read_until", "(self, /, expected=b'\\n', size=None)"),
        ("readline", "(self, /, size=-1)"),
        ("readlines", "(self, /, hint=-1)"),
        ("write", "($self, data)"),
        ("flush", "($self)"),
        ("send_break", "($self, duration=0.25)"),
        ("read_all", "($self)"),
        ("__aenter__", "($self)"),
        ("__aexit__", "($self, *_args)"),
    ],
)
def test_method_signatures(name, text):
    assert getattr(aio.Serial, name).__text_signature__ == text


@pytest.mark.parametrize(
    "name", ["__enter__", "__exit__", "__iter__", "__next__", "readinto", "readable", "writable", "seekable", "closed"]
)
def test_what_it_does_not_define(s, name):
    assert not hasattr(s, name)


def test_constructor_is_the_blocking_ones():
    s = aio.Serial("loop://", 19200, timeout=0.5)
    try:
        assert s.is_open and s.baudrate == 19200 and s.timeout == 0.5
    finally:
        s.close()
    unopened = aio.Serial()
    assert not unopened.is_open and unopened.port is None
    with pytest.raises(TypeError):
        aio.Serial(nonsense=1)


def test_io_methods_return_futures_with_their_results(s):
    async def main():
        assert await s.write(b"ab\ncd\nef") == 8
        assert await s.flush() is None
        assert await s.read() == b"a"
        assert await s.read_until() == b"b\n"
        assert await s.readline() == b"cd\n"
        assert await s.write("\u00e9\n") == 3
        s.timeout = 0.05  # readlines ends by timeout
        assert await s.readlines() == [b"ef\xc3\xa9\n"]
        s.timeout = None
        await s.write(b"xyzzyab")
        assert await s.read_until(b"zz", size=None) == b"xyzz"
        assert await s.read_until(None, 1) == b"y"
        assert await s.readline(2) == b"ab"
        assert await s.send_break(0) is None
        assert await s.read(0) == b""

    run(main())


def test_read_until_with_empty_terminator_ends_by_size(s):
    s.write(b"abcdef")
    assert s.read_until(b"", 4).wait(5) == b"abcd"


def test_a_read_with_timeout_returns_what_arrived(s):
    s.timeout = 0.1
    s.write(b"ab")
    assert s.read(5).wait(5) == b"ab"


@pytest.mark.parametrize(
    "call, exc, note",
    [
        (lambda s: s.write(5), TypeError, None),
        (lambda s: s.read(-1), OverflowError, "size"),
        (lambda s: s.read(1.5), TypeError, "size"),
        (lambda s: s.read_until(size=-1), OverflowError, "size"),
        (lambda s: s.read_until(5), TypeError, None),
        (lambda s: s.readline("x"), TypeError, "size"),
        (lambda s: s.readline(2**70), OverflowError, "size"),
        (lambda s: s.readlines(1.5), TypeError, "hint"),
        (lambda s: s.send_break("x"), TypeError, "duration"),
        (lambda s: s.write(), TypeError, None),
        (lambda s: s.read(1, 2), TypeError, None),
        (lambda s: s.flush(1), TypeError, None),
    ],
)
def test_argument_errors_are_raised_by_the_call(call, exc, note):
    # On a closed port too: conversion happens before any future exists.
    for port in (aio.serial_for_url("loop://"), aio.Serial()):
        try:
            with pytest.raises(exc) as e:
                call(port)
            if note is None:
                assert "while processing" not in " ".join(notes(e))
            else:
                assert notes(e) == [f"while processing '{note}'"]
        finally:
            port.close()


def test_data_error_text():
    with pytest.raises(TypeError, match=r"^a bytes-like object or str is required, not 'int'$"):
        aio.Serial().write(5)


@pytest.mark.parametrize("duration", [-1, -0.5, math.nan])
def test_bad_break_duration_fails_the_future(s, duration):
    f = s.send_break(duration)
    with pytest.raises(ValueError, match="^duration must be a non-negative number$"):
        f.wait(5)


def test_port_errors_come_from_the_future():
    s = aio.Serial()
    f = s.write(b"x")
    assert isinstance(f, aio.Future) and f.done()

    async def main():
        with pytest.raises(marovenda.PortNotOpenError):
            await f

    run(main())


def test_read_all_goes_through_attribute_lookup(s):
    s.write(b"abc")
    assert s.read_all().wait(5) == b"abc"

    class Sub(aio.Serial):
        calls = []

        @property
        def in_waiting(self):
            return 2

        def read(self, size=1):
            Sub.calls.append(size)
            return "from the override"

    sub = Sub("loop://")
    try:
        assert sub.read_all() == "from the override"
        assert Sub.calls == [2]
    finally:
        sub.close()

    with pytest.raises(marovenda.PortNotOpenError):
        aio.Serial().read_all()


def test_async_with_binds_the_object_and_closes_it():
    async def main():
        async with aio.serial_for_url("loop://") as s:
            assert isinstance(s, aio.Serial) and s.is_open
            await s.write(b"q")
            assert await s.read(1) == b"q"
        assert not s.is_open

        with pytest.raises(KeyError):
            async with aio.serial_for_url("loop://") as t:
                raise KeyError("inside")
        assert not t.is_open

        # A named, closed port is opened on entry.
        u = aio.serial_for_url("loop://", do_not_open=True)
        async with u as bound:
            assert bound is u and u.is_open
        assert not u.is_open

    run(main())


def test_aenter_and_aexit_return_done_futures(s):
    entered = s.__aenter__()
    assert isinstance(entered, aio.Future) and entered.done() and entered.result() is s
    assert entered.result() is s
    exited = s.__aexit__(None, None, None)
    assert exited.done() and exited.result() is None and not s.is_open
    with pytest.raises(TypeError, match=r"^Serial\.__aexit__\(\) got an unexpected keyword argument 'exc'$"):
        s.__aexit__(exc=None)


def test_aexit_goes_through_close_lookup():
    class Sub(aio.Serial):
        closed_by = []

        def close(self):
            Sub.closed_by.append("override")
            super().close()

    async def main():
        async with Sub("loop://") as s:
            pass
        return s

    s = run(main())
    assert Sub.closed_by == ["override"] and not s.is_open


def test_aenter_open_failure_is_raised():
    s = aio.Serial()
    s.port = "/dev/nonexistent-marovenda"
    with pytest.raises(marovenda.SerialException):
        s.__aenter__()


def test_serial_for_url():
    s = aio.serial_for_url("LOOP://")
    try:
        assert type(s) is aio.Serial and s.is_open and s.port == "LOOP://"
    finally:
        s.close()
    t = aio.serial_for_url("loop://", 115200, do_not_open=True)
    assert not t.is_open and t.baudrate == 115200 and t.port == "loop://"
    with pytest.raises(ValueError, match=r"^invalid URL, protocol 'abc' not known$"):
        aio.serial_for_url("ABC://x")
    assert aio.serial_for_url.__module__ == "marovenda.aio"
    assert aio.serial_for_url.__text_signature__ == "(url, *args, do_not_open=False, **kwargs)"
    assert aio.serial_for_url.__doc__ == (
        "Returns an `marovenda.aio.Serial` for `url`, which is a device name or `loop://`."
    )


def test_operations_outlive_the_object():
    s = aio.serial_for_url("loop://")
    f = s.read(1)
    del s  # releasing the object closes its port
    with pytest.raises(marovenda.PortNotOpenError):
        f.wait(5)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_refuses_aio_io_at_call_time(s):
    s.write(b"kept").wait(5)
    calls = {
        "read": lambda: s.read(1),
        "read_until": lambda: s.read_until(b"x"),
        "readline": lambda: s.readline(),
        "readlines": lambda: s.readlines(),
        "write": lambda: s.write(b"x"),
        "flush": lambda: s.flush(),
        "send_break": lambda: s.send_break(0),
    }
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            out = {}
            for name, call in calls.items():
                try:
                    out[name] = ("returned", repr(call()))
                except BaseException as e:
                    out[name] = (type(e).__name__, str(e))
            out["in_waiting"] = s.in_waiting
            os.write(w, pickle.dumps(out))
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        data = f.read()
    os.waitpid(pid, 0)
    out = pickle.loads(data)
    message = "marovenda cannot be used in a child process created by fork()"
    for name in calls:
        assert out[name] == ("SerialException", message), name
    # The port was not touched.
    assert out["in_waiting"] == 4
    assert s.read(4).wait(5) == b"kept"
