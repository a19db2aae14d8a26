import asyncio
import collections.abc
import errno
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import marovenda
from marovenda import aio
from helpers import fork_child, notes, wait_until

NOT_OPEN = "Attempting to use a port that is not open"
FATAL = "Fatal write error on serial transport"
LOOP_CAPACITY = 4096


def run(coro, timeout=10.0):
    async def bounded():
        return await asyncio.wait_for(coro, timeout)
    return asyncio.run(bounded())


class Recorder(asyncio.Protocol):
    """Keeps every callback in order: "made", bytes, "pause", "resume", ("lost", exc)."""

    def __init__(self, events=None):
        self.events = [] if events is None else events
        self.lost = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):
        self.transport = transport
        self.events.append("made")

    def data_received(self, data):
        self.events.append(data)

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append(("lost", exc))
        if not self.lost.done():
            self.lost.set_result(exc)

    def data(self):
        return b"".join(e for e in self.events if isinstance(e, bytes))

    def count(self, kind):
        return sum(1 for e in self.events if e == kind or (isinstance(e, tuple) and e[0] == kind))

    async def until(self, cond, timeout=5.0):
        end = time.monotonic() + timeout
        while not cond():
            assert time.monotonic() < end, f"not reached; events: {self.events!r}"
            await asyncio.sleep(0.005)


class TrackedSerial(marovenda.Serial):
    """Logs its close() into the events list its transport's protocol shares."""

    def close(self):
        self.log.append("close")
        super().close()


async def connect(serial=None, protocol=Recorder):
    serial = serial if serial is not None else marovenda.serial_for_url("loop://")
    loop = asyncio.get_running_loop()
    return await aio.connection_for_serial(loop, protocol, serial)


async def settle(n=5):
    for _ in range(n):
        await asyncio.sleep(0)


@pytest.fixture
def pty_slave():
    """A pty master descriptor and the slave's name; skipped while the tty backend is missing."""
    master, slave = os.openpty()
    name = os.ttyname(slave)
    try:
        marovenda.serial_for_url(name).close()
    except marovenda.SerialException as e:
        os.close(master)
        os.close(slave)
        if e.errno == errno.ENOSYS:
            pytest.skip(f"tty devices cannot be opened yet: {e}")
        raise
    yield master, name
    os.close(master)
    os.close(slave)


# ---- the class and the module hook ----------------------------------------

def test_serial_transport_class_and_module_hook():
    cls = aio.SerialTransport
    assert cls is aio.SerialTransport and cls is getattr(aio, "SerialTransport")
    assert issubclass(cls, asyncio.Transport)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("SerialTransport", "SerialTransport", "marovenda.aio")
    assert cls.__slots__ == ("_core", "__weakref__")
    forwarded = ["get_extra_info", "is_closing", "is_reading", "close", "abort", "write", "writelines",
                 "can_write_eof", "write_eof", "pause_reading", "resume_reading", "set_write_buffer_limits",
                 "get_write_buffer_limits", "get_write_buffer_size", "flush", "get_protocol", "set_protocol",
                 "__repr__"]
    keys = [k for k in cls.__dict__ if k not in ("_core", "__weakref__")]
    assert keys == ["__module__", "__doc__", "__slots__", *forwarded, "loop", "serial"]
    assert isinstance(cls.__dict__["loop"], property) and isinstance(cls.__dict__["serial"], property)
    assert aio.__all__ == ["Future", "Serial", "serial_for_url", "SerialTransport", "create_serial_connection",
                           "connection_for_serial", "open_serial_connection"]
    with pytest.raises(AttributeError, match=r"^module 'marovenda.aio' has no attribute 'Foo'$"):
        aio.Foo
    with pytest.raises(TypeError) as e:
        aio.__getattr__(5)
    assert notes(e) == ["while processing 'name'"]


def run_script(body):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


def test_failed_build_leaves_the_cache_empty():
    # A fresh process: the class must not have been built yet.
    run_script("""
        import asyncio
        from marovenda import aio
        real = asyncio.Transport
        asyncio.Transport = 5
        try:
            aio.SerialTransport
        except TypeError:
            pass
        else:
            raise SystemExit("the build did not fail")
        asyncio.Transport = real
        cls = aio.SerialTransport
        assert issubclass(cls, real) and cls is aio.SerialTransport
    """)


def test_helper_classes_are_closed():
    async def body():
        t, p = await connect()
        core = t._core
        assert type(core).__name__ == "_TransportCore" and type(core).__module__ == "marovenda.aio"
        d = aio.connection_for_serial(None, None, None)
        for obj in (core, d):
            with pytest.raises(TypeError):
                type(obj)()
            with pytest.raises(TypeError):
                type("Sub", (type(obj),), {})
        with pytest.raises(AttributeError):
            t.anything = 1  # slots only
        d.close()
        t.abort()
    run(body())


# ---- creation --------------------------------------------------------------

@pytest.mark.parametrize("obj, message", [
    (42, "'int' object is not an instance of 'SerialBase'"),
    (None, "'None' is not an instance of 'SerialBase'"),
])
def test_create_refuses_what_is_not_a_serial_object(obj, message):
    made = []

    async def body():
        loop = asyncio.get_running_loop()
        with pytest.raises(TypeError, match=f"^{message}$"):
            await aio.connection_for_serial(loop, lambda: made.append(1) or Recorder(), obj)
        await settle()
    run(body())
    assert made == [1]  # the factory runs first; nothing else happened


def test_create_sets_timeouts_and_schedules_connection_made():
    async def body():
        s = marovenda.serial_for_url("loop://", timeout=3, write_timeout=2.5)
        t, p = await connect(s)
        assert p.events == []  # returned before connection_made runs
        assert isinstance(t, aio.SerialTransport)
        assert (s.timeout, s.write_timeout) == (0, 0) and type(s.timeout) is int
        await settle()
        assert p.events == ["made"] and p.transport is t
        assert t.loop is asyncio.get_running_loop() and t.serial is s
        t.abort()
        await p.lost
    run(body())


# ---- data flow ---------------------------------------------------------------

def test_echo_then_close_gives_one_connection_lost_before_the_serial_close():
    log = []

    class Echo(Recorder):
        def connection_made(self, transport):
            super().connection_made(transport)
            transport.write(b"hello ")
            transport.writelines([b"serial ", bytearray(b"world"), "!"])

        def data_received(self, data):
            super().data_received(data)
            if self.data() == b"hello serial world!":
                self.transport.close()
                self.transport.close()  # a second close does nothing

    async def body():
        s = TrackedSerial("loop://")
        s.log = log
        t, p = await connect(s, lambda: Echo(log))
        assert await p.lost is None
        await settle()
        assert t.is_closing() and not t.is_reading() and not s.is_open
        assert t.get_protocol() is None
        return p

    p = run(body())
    assert p.data() == b"hello serial world!"
    assert log[-2:] == [("lost", None), "close"] and p.count("lost") == 1 and log.count("close") == 1


def test_idle_read_restarts_and_cancel_read_does_not_stop_reading():
    async def body():
        t, p = await connect()
        await settle()
        t.serial.cancel_read()  # ends the running read with nothing
        await asyncio.sleep(1.2)  # the read window passes at least once
        assert p.events == ["made"]
        t.write(b"still there")
        await p.until(lambda: p.data() == b"still there")
        t.abort()
        await p.lost
    run(body())


def test_pause_reading_holds_data_until_resume():
    async def body():
        t, p = await connect()
        await settle()
        t.resume_reading()  # not paused: nothing happens
        t.pause_reading()
        assert not t.is_reading()
        t.write(b"abc")  # taken by the read that was running, then held
        await asyncio.sleep(0.2)
        t.write(b"def")  # no read runs while paused: this waits in the device
        await asyncio.sleep(0.2)
        assert p.events == ["made"]
        t.resume_reading()
        assert t.is_reading()
        await p.until(lambda: p.data() == b"abcdef")
        assert p.events[1] == b"abc"  # the held bytes come first, as one call
        t.abort()
        await p.lost
    run(body())


def test_held_data_is_not_delivered_after_close():
    async def body():
        t, p = await connect()
        await settle()
        t.pause_reading()
        t.write(b"abc")  # taken by the running read, then held
        await asyncio.sleep(0.2)
        t.close()
        t.resume_reading()
        await p.lost
        await asyncio.sleep(0.05)
        assert p.events[-1][0] == "lost"
        assert b"abc" not in p.events
    run(body())


def test_pause_and_resume_from_another_thread_lose_no_bytes():
    # resume_reading on one thread while the loop restarts the read must not
    # leave two reads running, one of them with nobody to deliver its bytes.
    async def body():
        t, p = await connect()
        await settle()
        stop = threading.Event()

        def toggle():
            while not stop.is_set():
                t.pause_reading()
                t.resume_reading()

        toggler = threading.Thread(target=toggle, daemon=True)
        toggler.start()
        sent = bytearray()
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            chunk = bytes([len(sent) % 251]) * 7
            sent += chunk
            t.write(chunk)
            await asyncio.sleep(0)
        stop.set()
        await asyncio.to_thread(toggler.join, 5)
        t.resume_reading()
        await p.until(lambda: len(p.data()) >= len(sent))
        assert p.data() == bytes(sent)
        t.abort()
        await p.lost
    run(body())


class OnLoop(Recorder):
    """A Recorder that notes every callback made off the loop's thread and
    hands out futures for the next callback of a kind."""

    def __init__(self):
        super().__init__()
        self.loop_thread = threading.get_ident()
        self.off_loop = []
        self.waiting = {}

    def expect(self, kind):
        self.waiting[kind] = asyncio.get_running_loop().create_future()
        return self.waiting[kind]

    def note(self, kind):
        if threading.get_ident() != self.loop_thread:
            self.off_loop.append(kind)
        fut = self.waiting.pop(kind, None)
        if fut is not None and not fut.done():
            fut.set_result(None)

    def data_received(self, data):
        super().data_received(data)
        self.note("data")

    def pause_writing(self):
        super().pause_writing()
        self.note("pause")

    def resume_writing(self):
        super().resume_writing()
        self.note("resume")

    def connection_lost(self, exc):
        super().connection_lost(exc)
        self.note("lost")


async def from_thread(call, fut):
    """Runs call on another thread while the loop sleeps on fut; the seconds
    from the call to fut's completion."""
    called = []

    def later():
        time.sleep(0.1)
        called.append(time.monotonic())
        call()

    threading.Thread(target=later, daemon=True).start()
    await asyncio.wait_for(fut, 5)
    return time.monotonic() - called[0]


async def hold_one_read(t, p, data=b"held"):
    """Pauses reading and lets the read in flight take data and hold it, so
    that no read is left to wake the loop."""
    await settle()  # the first read has started
    t.pause_reading()
    t.write(data)
    await p.until(lambda: t.serial.in_waiting == 0)
    await settle()


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
@pytest.mark.parametrize("how", ["abort", "close"])
def test_end_from_another_thread_reaches_a_sleeping_loop(debug, how):
    async def body():
        t, p = await connect(TrackedSerial("loop://"), OnLoop)
        t.serial.log = p.events
        await hold_one_read(t, p)
        # Without a wake-up of the loop it never comes at all.
        assert await from_thread(getattr(t, how), p.expect("lost")) < 1.0
        await settle()
        assert p.count("lost") == 1 and p.events[-2:] == [("lost", None), "close"]
        assert not t.serial.is_open and p.off_loop == []
    asyncio.run(asyncio.wait_for(body(), 10), debug=debug)


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
def test_resume_from_another_thread_delivers_held_bytes_at_once(debug):
    async def body():
        t, p = await connect(protocol=OnLoop)
        await hold_one_read(t, p)
        # Without a wake-up of the loop it waits for the read window of 1 s.
        assert await from_thread(t.resume_reading, p.expect("data")) < 0.75
        assert p.data() == b"held"
        t.write(b"more")  # reading goes on
        await p.until(lambda: p.data() == b"heldmore")
        assert p.off_loop == []
        t.abort()
        await p.lost
    asyncio.run(asyncio.wait_for(body(), 10), debug=debug)


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
def test_flow_control_from_another_thread_is_told_on_the_loop(debug):
    async def body():
        t, p = await connect(protocol=OnLoop)
        await hold_one_read(t, p)
        # The loopback holds 4096 bytes and nothing reads them, so the first
        # write stays in flight and what follows stays buffered.
        t.set_write_buffer_limits(high=9000, low=8500)
        write = lambda: (t.write(bytes(8000)), t.writelines([bytes(1000), bytes(1000)]))
        assert await from_thread(write, p.expect("pause")) < 1.0
        assert await from_thread(t.flush, p.expect("resume")) < 1.0
        limits = lambda: t.set_write_buffer_limits(high=100)
        assert await from_thread(limits, p.expect("pause")) < 1.0
        await settle()
        assert [e for e in p.events if e in ("pause", "resume")] == ["pause", "resume", "pause"]
        assert p.off_loop == []
        t.abort()
        await p.lost
    asyncio.run(asyncio.wait_for(body(), 10), debug=debug)


def test_close_with_buffered_data_lets_connection_lost_read_it():
    size = LOOP_CAPACITY - 96  # fits the loopback ring: no reader runs after close

    class Reader(Recorder):
        def connection_lost(self, exc):
            self.leftover = self.transport.serial.read(size)
            super().connection_lost(exc)

    async def body():
        t, p = await connect(protocol=Reader)
        t.write(b"q" * size)  # before the first read starts
        t.close()
        assert t.is_closing() and not t.is_reading()
        t.write(b"dropped")
        assert await p.lost is None
        assert p.leftover == b"q" * size and not t.serial.is_open
        assert p.data() == b""
    run(body())


@pytest.mark.parametrize("first", ["abort", "close"])
def test_abort_gives_exactly_one_connection_lost(first):
    async def body():
        t, p = await connect()
        await settle()
        getattr(t, first)()
        t.abort()
        t.abort()
        assert p.count("lost") == 0  # later, on the loop
        assert await p.lost is None
        await asyncio.sleep(0.1)
        assert p.count("lost") == 1 and not t.serial.is_open
        t.write(b"ignored")
        assert t.get_write_buffer_size() == 0
    run(body())


def test_abort_discards_the_buffer():
    async def body():
        t, p = await connect()
        t.pause_reading()  # no read: the write fills the ring and waits
        t.write(b"a" * (LOOP_CAPACITY + 10))
        t.write(b"b" * 10)
        assert t.get_write_buffer_size() == LOOP_CAPACITY + 20
        t.abort()
        assert t.get_write_buffer_size() == 0
        await p.lost
        assert p.data() == b""
    run(body())


def test_open_serial_connection_moves_70000_bytes():
    async def body():
        reader, writer = await aio.open_serial_connection(url="loop://")
        assert isinstance(writer.transport, aio.SerialTransport)
        data = os.urandom(70000)
        writer.write(data)  # crosses the default high-water mark
        got, _ = await asyncio.gather(reader.readexactly(len(data)), writer.drain())
        assert got == data
        writer.close()
        await writer.wait_closed()
        assert not writer.transport.serial.is_open
    run(body())


def test_pty_moves_70000_bytes_both_ways(pty_slave):
    master, name = pty_slave
    os.set_blocking(master, True)
    data = os.urandom(70000)
    back = bytearray()

    def drain_master():
        while len(back) < len(data):
            back.extend(os.read(master, 65536))

    async def body():
        reader, writer = await aio.open_serial_connection(url=name)
        receiver = threading.Thread(target=drain_master, daemon=True)
        receiver.start()
        sender = threading.Thread(target=os.write, args=(master, data), daemon=True)
        sender.start()
        writer.write(data)
        got, _ = await asyncio.gather(reader.readexactly(len(data)), writer.drain())
        await asyncio.to_thread(receiver.join, 10)
        writer.close()
        await writer.wait_closed()
        return got

    assert run(body()) == data
    assert bytes(back) == data


# ---- flow control ------------------------------------------------------------

@pytest.mark.parametrize("second, size_at_resume", [(25, 25), (26, 0)])
def test_flow_control_marks_are_exact(second, size_at_resume):
    async def body():
        t, p = await connect()
        await settle()
        sizes = []
        p.resume_writing = lambda: (sizes.append(t.get_write_buffer_size()), p.events.append("resume"))
        t.set_write_buffer_limits(high=100)
        assert t.get_write_buffer_limits() == (25, 100)
        t.write(b"a" * 100)  # exactly the high mark: no pause
        assert "pause" not in p.events
        t.write(b"b" * second)
        assert p.events.count("pause") == 1
        await p.until(lambda: "resume" in p.events)
        assert sizes == [size_at_resume]
        await p.until(lambda: len(p.data()) == 100 + second)
        assert p.events.count("pause") == 1 and p.events.count("resume") == 1
        t.abort()
        await p.lost
    run(body())


def test_default_marks_and_the_flag_set_before_the_protocol_is_told():
    class Writer(Recorder):
        def pause_writing(self):
            super().pause_writing()
            self.transport.write(b"z")  # would pause again if the flag came later

    async def body():
        t, p = await connect(protocol=Writer)
        await settle()
        assert t.get_write_buffer_limits() == (16384, 65536)
        t.write(b"x" * 65536)
        assert p.count("pause") == 0
        t.write(b"y")
        assert p.count("pause") == 1 and t.get_write_buffer_size() == 65538
        await p.until(lambda: len(p.data()) == 65538)
        assert p.count("pause") == 1 and p.count("resume") == 1
        t.abort()
        await p.lost
    run(body())


def test_limit_changes_and_flush():
    async def body():
        t, p = await connect()
        await settle()
        t.write(b"a" * 100)  # in flight until its completion step runs
        t.set_write_buffer_limits(high=50)
        assert p.events == ["made", "pause"]  # lowered below the size: at once
        t.set_write_buffer_limits(high=1000)
        assert p.events == ["made", "pause"]  # raising does not resume
        await p.until(lambda: "resume" in p.events)

        t.set_write_buffer_limits(high=100, low=100)
        t.write(b"b" * 100)
        t.write(b"c" * 50)  # buffered behind the running write
        assert p.events[-1] == "pause" and t.get_write_buffer_size() == 150
        t.flush()
        assert t.get_write_buffer_size() == 100 and p.events[-1] == "resume"
        await p.until(lambda: len(p.data()) == 200)
        await asyncio.sleep(0.05)
        assert p.data() == b"a" * 100 + b"b" * 100

        t.set_write_buffer_limits(high=0)
        assert t.get_write_buffer_limits() == (0, 0)
        before = list(p.events)
        t.write(b"")  # nothing to write: no operation and no flow-control call
        assert p.events == before and t.get_write_buffer_size() == 0
        t.write(b"d")
        assert p.events[-1] == "pause"
        t.abort()
        await p.lost
    run(body())


@pytest.mark.parametrize("kwargs, error", [
    ({"high": 100}, (25, 100)),
    ({"low": 10}, (10, 40)),
    ({"high": 0}, (0, 0)),
    ({"high": 10, "low": 20}, (ValueError, r"^high \(10\) must be >= low \(20\) must be >= 0$", None)),
    ({"low": -1}, (ValueError, r"^high \(-4\) must be >= low \(-1\) must be >= 0$", None)),
    ({"high": -8}, (ValueError, r"^high \(-8\) must be >= low \(-2\) must be >= 0$", None)),
    ({"low": sys.maxsize // 4 + 1}, (ValueError, r"4 \* low must fit a signed size", None)),
    ({"high": "1"}, (TypeError, None, "high")),
    ({"low": 2**70}, (OverflowError, None, "low")),
    ({"high": 1.5}, (TypeError, None, "high")),
])
def test_set_write_buffer_limits(kwargs, error):
    async def body():
        t, p = await connect()
        t.set_write_buffer_limits(high=None, low=None)  # both absent: the defaults
        if isinstance(error[0], int):
            t.set_write_buffer_limits(**kwargs)
            assert t.get_write_buffer_limits() == error
        else:
            with pytest.raises(error[0], match=error[1]) as e:
                t.set_write_buffer_limits(**kwargs)
            assert notes(e) == ([f"while processing '{error[2]}'"] if error[2] else [])
            assert t.get_write_buffer_limits() == (16384, 65536)
        t.abort()
        await p.lost
    run(body())


# ---- the smaller methods -----------------------------------------------------

def test_transport_methods():
    async def body():
        t, p = await connect()
        await settle()
        s = t.serial
        assert t.get_extra_info("serial") is s
        assert t.get_extra_info("serial", "default") is s
        assert t.get_extra_info("peername") is None
        marker = object()
        assert t.get_extra_info("peername", marker) is marker
        with pytest.raises(TypeError) as e:
            t.get_extra_info(3)
        assert notes(e) == ["while processing 'name'"]
        with pytest.raises(TypeError):
            t.write()

        with pytest.raises(TypeError, match="a bytes-like object or str is required, not 'int'"):
            t.writelines([b"one", 5, b"three"])
        await p.until(lambda: p.data() == b"one")
        await asyncio.sleep(0.05)
        assert p.data() == b"one"

        other = Recorder()
        t.set_protocol(other)
        assert t.get_protocol() is other
        loop_repr, serial_repr = repr(asyncio.get_running_loop()), repr(s)
        assert repr(t) == f"SerialTransport({loop_repr}, {other!r}, {serial_repr})"
        t.write(b"to other")
        await other.until(lambda: other.data() == b"to other")

        for _ in range(2):
            assert t.can_write_eof() is False
            with pytest.raises(NotImplementedError, match="^Serial connections do not support end-of-file$"):
                t.write_eof()
            t.close()
        assert await other.lost is None and p.count("lost") == 0
        assert repr(t) == f"SerialTransport({loop_repr}, None, {repr(s)})"
    run(body())


def test_transport_and_protocol_are_released_after_connection_lost():
    async def body():
        t, p = await connect()
        await settle()
        t.close()
        await p.lost
        await settle()
        return weakref.ref(t), weakref.ref(p)

    refs = run(body())
    gc.collect()
    assert [r() for r in refs] == [None, None]


# ---- failures ----------------------------------------------------------------

def handler_log(loop):
    seen = []
    loop.set_exception_handler(lambda _loop, context: seen.append(context))
    return seen


def test_read_error_ends_the_connection_without_a_report():
    async def body():
        seen = handler_log(asyncio.get_running_loop())
        t, p = await connect()
        await settle()
        t.serial.close()  # by its owner, under the running read
        exc = await p.lost
        assert type(exc) is marovenda.PortNotOpenError and str(exc) == NOT_OPEN
        await asyncio.sleep(0.05)
        assert seen == [] and p.count("lost") == 1
    run(body())


def test_write_error_is_reported_then_aborts():
    async def body():
        seen = handler_log(asyncio.get_running_loop())
        t, p = await connect()
        t.pause_reading()  # before the first read: the write below fills the ring and waits
        t.write(b"w" * (LOOP_CAPACITY + 100))
        await asyncio.sleep(0.05)
        t.serial.close()
        exc = await p.lost
        assert type(exc) is marovenda.PortNotOpenError
        assert len(seen) == 1
        context = seen[0]
        assert list(context) == ["message", "exception", "transport", "protocol"]
        assert context["message"] == FATAL and context["exception"] is exc
        assert context["transport"] is t and context["protocol"] is p
    run(body())


def test_write_error_aborts_even_when_the_report_fails():
    async def body():
        loop = asyncio.get_running_loop()
        seen = []

        def call_exception_handler(context):
            if context.get("message") == FATAL:
                raise RuntimeError("handler broke")
            seen.append(context)

        loop.call_exception_handler = call_exception_handler
        t, p = await connect()
        t.pause_reading()
        t.write(b"w" * (LOOP_CAPACITY + 100))
        await asyncio.sleep(0.05)
        t.serial.close()
        exc = await p.lost
        assert type(exc) is marovenda.PortNotOpenError
        await settle()
        # The step raised the handler's error into the loop after aborting.
        assert [str(c.get("exception")) for c in seen] == ["handler broke"]
    run(body())


@pytest.mark.parametrize("method", ["pause_writing", "resume_writing"])
def test_failing_flow_control_call_is_reported(method):
    async def body():
        seen = handler_log(asyncio.get_running_loop())
        t, p = await connect()
        await settle()
        boom = ZeroDivisionError("flow")

        def fail():
            p.events.append(method)
            raise boom

        setattr(p, method, fail)
        t.set_write_buffer_limits(high=10)
        t.write(b"x" * 11)
        t.write(b"y")  # the flag stays set although the call failed: not told again
        await p.until(lambda: len(p.data()) == 12 and p.count("resume") + p.count("resume_writing") == 1)
        assert p.count("pause") + p.count("pause_writing") == 1
        assert [list(c.values())[:2] for c in seen] == [[f"protocol.{method}() failed", boom]]
        assert seen[0]["transport"] is t and seen[0]["protocol"] is p
        t.abort()
        await p.lost
    run(body())


def test_closed_loop_makes_the_transport_close_its_serial():
    loop = asyncio.new_event_loop()
    s = marovenda.serial_for_url("loop://")

    async def body():
        t, p = await connect(s)
        await settle()
        return t, p

    try:
        t, p = loop.run_until_complete(body())
    finally:
        loop.close()
    assert s.is_open
    s.cancel_read()  # the running read ends now; its hop finds the loop closed
    wait_until(lambda: not s.is_open)
    assert p.events == ["made"]
    # Never lost, so protocol and transport still hold each other: the
    # collector must see that cycle through the core.
    refs = weakref.ref(t), weakref.ref(p)
    del t, p
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_forked_child_still_loses_the_connection(port):
    # The runtime is refused in a child, so close() cannot start the drain.
    port.write(b"x")
    assert port.read(1) == b"x"  # the runtime exists before the fork
    async def child():
        loop = asyncio.get_running_loop()
        seen = handler_log(loop)
        t, p = await connect()
        await settle()  # the first read fails to start: reported by the loop
        try:
            t.close()
            return 11
        except marovenda.SerialException:
            pass
        await asyncio.wait_for(p.lost, 5)
        return 0 if (not t.serial.is_open and len(seen) == 1) else 12

    assert fork_child(lambda: asyncio.run(child()), timeout=20) == 0


# ---- Deferred and the connection functions ------------------------------------

def test_deferred_is_a_one_step_coroutine():
    made = []

    def factory():
        made.append(1)
        return Recorder()

    async def body():
        loop = asyncio.get_running_loop()
        d = aio.create_serial_connection(loop, factory, "loop://")
        assert type(d).__name__ == "Deferred" and type(d).__module__ == "marovenda.aio"
        assert isinstance(d, collections.abc.Coroutine) and iter(d) is d and d.__await__() is d
        await settle()
        assert made == []  # nothing runs until it is stepped
        t, p = await d
        assert made == [1] and isinstance(p, Recorder) and isinstance(t, aio.SerialTransport)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            await d
        t2, p2 = await asyncio.create_task(aio.create_serial_connection(loop, factory, "loop://", 19200))
        assert t2.serial.baudrate == 19200 and made == [1, 1]
        with pytest.raises(StopIteration) as e:
            aio.connection_for_serial(loop, factory, marovenda.serial_for_url("loop://")).send(None)
        t3, p3 = e.value.value
        for t, p in ((t, p), (t2, p2), (t3, p3)):
            t.abort()
            await p.lost
    run(body())


@pytest.mark.parametrize("finish, raised", [
    (lambda d: d.close(), RuntimeError),
    (lambda d: d.throw(ValueError), ValueError),
    (lambda d: d.throw(KeyError("k")), KeyError),
    (lambda d: d.throw(5), TypeError),
])
def test_deferred_close_and_throw_drop_the_work(finish, raised):
    made = []
    d = aio.create_serial_connection(None, lambda: made.append(1), "loop://")
    if raised is RuntimeError:
        assert finish(d) is None
        assert d.close() is None
    else:
        with pytest.raises(raised) as e:
            finish(d)
        if raised is TypeError:
            assert str(e.value) == "exceptions must derive from BaseException"
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        next(d)
    assert made == []


class Stop(StopIteration):
    pass


@pytest.mark.parametrize("error", [StopIteration(), StopIteration((1, 2)), Stop("sub")])
def test_stop_iteration_from_the_work_is_not_a_result(error):
    def factory():
        raise error

    async def body():
        loop = asyncio.get_running_loop()
        with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as e:
            await aio.create_serial_connection(loop, factory, "loop://")
        assert e.value.__cause__ is error and e.value.__context__ is error
        with pytest.raises(RuntimeError) as e:
            await asyncio.create_task(aio.connection_for_serial(loop, factory, marovenda.serial_for_url("loop://")))
        assert e.value.__cause__ is error
        # Other exceptions pass unchanged.
        with pytest.raises(KeyError):
            await aio.create_serial_connection(loop, lambda: {}["k"], "loop://")
    run(body())


def test_connection_function_arguments_and_failures():
    made = []
    with pytest.raises(TypeError):
        aio.create_serial_connection(None, None)
    with pytest.raises(TypeError):
        aio.open_serial_connection("loop://")
    with pytest.raises(RuntimeError, match="no running event loop"):
        next(aio.open_serial_connection(url="loop://"))

    async def body():
        loop = asyncio.get_running_loop()
        d = aio.create_serial_connection(loop, lambda: made.append(1), "tcp://host:1")
        with pytest.raises(ValueError):
            await d
        with pytest.raises(ValueError, match="Not a valid baudrate"):
            await aio.open_serial_connection(url="loop://", baudrate="fast")
    run(body())
    assert made == []
    assert aio.create_serial_connection.__text_signature__ == "(loop, protocol_factory, url, *args, **kwargs)"
    assert aio.open_serial_connection.__text_signature__ == "(*, loop=None, limit=None, **kwargs)"


def test_connection_functions_look_serial_for_url_up_each_time(monkeypatch):
    opened = []
    real = marovenda.serial_for_url

    def spy(*args, **kwargs):
        opened.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(marovenda, "serial_for_url", spy)

    async def body():
        loop = asyncio.get_running_loop()
        t, p = await aio.create_serial_connection(loop, Recorder, "loop://", baudrate=57600)
        reader, writer = await aio.open_serial_connection(url="loop://", limit=10)
        assert reader._limit == 10
        t.abort()
        writer.transport.abort()
        await p.lost
    run(body())
    assert opened == [(("loop://",), {"baudrate": 57600}), ((), {"url": "loop://"})]
