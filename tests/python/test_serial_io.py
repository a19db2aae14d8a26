import array
import math
import time

import pytest

import marovenda
from marovenda import aio
from helpers import Background, Timer, notes, wait_until

NOT_OPEN = "Attempting to use a port that is not open"
LOOP_CAPACITY = 4096


def test_read_and_write_round_trip(port):
    assert port.write(b"hello") == 5
    assert port.read() == b"h"
    assert port.read(size=4) == b"ello"
    assert port.write("\u00e9") == 2 and port.read(2) == b"\xc3\xa9"
    assert port.write(b"") == 0


@pytest.mark.parametrize("method, arg, exc, name", [
    ("read", -1, OverflowError, "size"), ("read", "1", TypeError, "size"), ("read", 1.0, TypeError, "size"),
    ("readline", "1", TypeError, "size"), ("readline", 2**64, OverflowError, "size"),
    ("readlines", "1", TypeError, "hint"), ("read_until", -1, OverflowError, "size"),
])
def test_size_arguments(port, method, arg, exc, name):
    with pytest.raises(exc) as e:
        getattr(port, method)(arg) if method != "read_until" else port.read_until(size=arg)
    assert notes(e) == [f"while processing '{name}'"]


def test_read_until_converts_size_before_expected(port):
    with pytest.raises(OverflowError) as e:
        port.read_until(5, -1)
    assert notes(e) == ["while processing 'size'"]
    with pytest.raises(TypeError) as e:
        port.read_until(expected=5, size=1)
    assert notes(e) == []


@pytest.mark.parametrize("blocking", [True, False], ids=["Serial", "aio"])
def test_long_reads_come_back_whole_and_in_order(blocking):
    # Far more than the loopback holds: each read gathers many device reads
    # over many polls, and its result is handed on through the runtime.
    data = bytes(range(256)) * 1200
    line = bytes(range(11, 256)) * 80 + b"\n"
    s = (marovenda.serial_for_url if blocking else aio.Serial)("loop://", timeout=10)

    def call(name, *args):
        r = getattr(s, name)(*args)
        return r if blocking else r.wait(10)

    try:
        writer = Background(call, "write", data + line * 3)
        assert call("read", len(data)) == data
        assert call("readline") == line
        assert call("read_until", b"\n") == line
        s.timeout = 0.5  # readlines ends by timeout
        assert call("readlines") == [line]
        assert writer.join() == len(data) + 3 * len(line)
    finally:
        s.close()


def test_read_until(port):
    port.timeout = 0.2
    port.write(b"xxENDyy")
    assert port.read_until(b"END", 100) == b"xxEND"
    assert port.read(2) == b"yy"
    port.write(b"abcdefg")
    assert port.read_until(b"", 5) == b"abcde"
    assert port.read_until(b"f", 0) == b""
    assert port.read_until(bytearray(b"g")) == b"fg"
    port.write(b"l1\nl2\n")
    assert port.read_until() == b"l1\n"
    assert port.read_until(None) == b"l2\n"
    port.write(b"partial")
    with Timer() as t:
        assert port.read_until(b"!") == b"partial"
    assert 0.15 < t.elapsed < 1.0


@pytest.mark.parametrize("size, expected", [(-1, b"abcdef\n"), (-7, b"abcdef\n"), (3, b"abc"), (0, b"")])
def test_readline_sizes(port, size, expected):
    port.write(b"abcdef\nrest")
    assert port.readline(size) == expected


@pytest.mark.parametrize("hint, expected", [
    (None, [b"a\n", b"bb\n", b"c"]), (0, [b"a\n", b"bb\n", b"c"]), (-3, [b"a\n", b"bb\n", b"c"]),
    (1, [b"a\n"]), (2, [b"a\n"]), (3, [b"a\n", b"bb\n"]),
])
def test_readlines_hints(port, hint, expected):
    port.timeout = 0.1
    port.write(b"a\nbb\nc")
    assert (port.readlines() if hint is None else port.readlines(hint)) == expected


def test_size_zero_still_needs_an_open_port():
    s = marovenda.Serial()
    for call in (lambda: s.read(0), lambda: s.readline(0), lambda: s.read_until(b"x", 0), s.flush,
                 lambda: s.write(b""), lambda: s.readinto(bytearray(0)), s.send_break):
        with pytest.raises(marovenda.PortNotOpenError, match=f"^{NOT_OPEN}$"):
            call()


# ---- timeouts ---------------------------------------------------------------

def test_timeout_zero_returns_what_is_there(port):
    port.timeout = 0
    with Timer() as t:
        assert port.read(10) == b""
        port.write(b"abc")
        assert port.read(10) == b"abc"
    assert t.elapsed < 0.1


@pytest.mark.parametrize("timeout", [0.3, 0.6])
def test_read_timeout_returns_the_partial_read(port, timeout):
    # 0.6 s is well past the 50 ms window, so the read finishes as a runtime task
    port.timeout = timeout
    port.write(b"abc")
    with Timer() as t:
        assert port.read(10) == b"abc"
    assert timeout - 0.02 < t.elapsed < timeout + 0.5


def test_inter_byte_timeout_ends_the_read_early(port):
    port.timeout = 2
    port.inter_byte_timeout = 0.1
    port.write(b"abc")
    with Timer() as t:
        assert port.read(10) == b"abc"
    assert 0.08 < t.elapsed < 1.0


def test_the_overall_timeout_still_bounds_a_read_once_data_flows(port):
    port.timeout = 0.3
    port.inter_byte_timeout = 0.2

    def trickle():
        for _ in range(10):
            port.write(b"x")
            time.sleep(0.1)

    writer = Background(trickle)
    with Timer() as t:
        got = port.read(100)
    writer.join()
    assert 0.25 < t.elapsed < 0.7 and 2 <= len(got) <= 5


def test_without_timeout_read_waits_for_every_byte(port):
    reader = Background(port.read, 6)
    time.sleep(0.1)
    port.write(b"abc")
    time.sleep(0.1)
    assert reader.running
    port.write(b"defgh")
    assert reader.join() == b"abcdef"
    assert port.read(2) == b"gh"


def test_timeout_set_while_waiting_for_the_lock_applies(port):
    first = Background(port.read, 1)
    time.sleep(0.1)
    second = Background(port.read, 5)
    time.sleep(0.1)
    port.timeout = 0.2
    port.write(b"x")
    assert first.join() == b"x"
    assert second.join() == b""


def test_read_keeps_its_lock_and_bytes_after_the_window(port):
    first = Background(port.read, 10)
    port.write(b"0123")
    time.sleep(0.2)  # first is now a runtime task holding 4 bytes
    second = Background(port.read, 3)
    time.sleep(0.1)
    assert first.running and second.running
    port.write(b"456789")
    assert first.join() == b"0123456789"
    port.write(b"abc")
    assert second.join() == b"abc"


# ---- cancel permits -------------------------------------------------------------

def test_cancel_read_permit_ends_the_next_read_once(port):
    port.cancel_read()
    port.cancel_read()  # still one permit
    with Timer() as t:
        assert port.read(5) == b""
    assert t.elapsed < 0.1
    port.timeout = 0.2
    with Timer() as t:
        assert port.read(5) == b""
    assert t.elapsed > 0.15


def test_cancel_read_ends_a_pending_read_with_its_bytes(port):
    reader = Background(port.read, 10)
    port.write(b"abcd")
    time.sleep(0.2)
    port.cancel_read()
    assert reader.join(2) == b"abcd"
    port.timeout = 0
    assert port.read(1) == b""  # the permit was used by the pending read


def test_cancel_read_ends_iteration(port):
    reader = Background(list, port)
    port.write(b"a\nb\n")
    time.sleep(0.2)
    port.cancel_read()
    assert reader.join(2) == [b"a\n", b"b\n"]


def test_cancel_write_ends_a_blocked_write_with_its_count(port):
    writer = Background(port.write, b"x" * 5000)
    time.sleep(0.2)
    assert writer.running
    port.cancel_write()
    assert writer.join(2) == LOOP_CAPACITY


def test_cancel_write_permit_is_stored(port):
    port.write(b"x" * LOOP_CAPACITY)
    port.cancel_write()
    port.cancel_write()
    with Timer() as t:
        assert port.write(b"y") == 0
    assert t.elapsed < 0.1
    port.write_timeout = 0.2
    with pytest.raises(marovenda.SerialTimeoutException):
        port.write(b"y")


def test_cancel_on_closed_port_never_fails():
    s = marovenda.Serial()
    assert s.cancel_read() is None and s.cancel_write() is None


# ---- writes against the loopback capacity -------------------------------------

def test_write_waits_for_room_and_wakes_on_read(port):
    writer = Background(port.write, b"w" * 5000)
    time.sleep(0.1)
    assert writer.running and port.in_waiting == LOOP_CAPACITY
    assert port.read(1000) == b"w" * 1000
    assert writer.join(2) == 5000
    assert port.in_waiting == 4000


def test_zero_write_timeout_never_waits(port):
    port.write_timeout = 0
    with Timer() as t:
        assert port.write(b"z" * 5000) == LOOP_CAPACITY
        assert port.write(b"z") == 0
    assert t.elapsed < 0.1


@pytest.mark.parametrize("write_timeout", [0.3, 0.02])
def test_write_timeout_raises_and_frees_the_write_lock(port, write_timeout):
    port.write(b"x" * LOOP_CAPACITY)
    port.write_timeout = write_timeout
    with Timer() as t:
        with pytest.raises(marovenda.SerialTimeoutException, match="^Write timeout$"):
            port.write(b"more")
    assert write_timeout - 0.02 < t.elapsed < write_timeout + 0.5
    port.reset_output_buffer()
    port.write_timeout = None
    assert port.write(b"ok") == 2 and port.read(2) == b"ok"


def test_reset_wakes_a_blocked_writer(port):
    writer = Background(port.write, b"r" * 5000)
    time.sleep(0.1)
    port.reset_input_buffer()
    assert writer.join(2) == 5000
    assert port.in_waiting == 5000 - LOOP_CAPACITY


def test_flush_waits_for_a_blocked_write(port):
    with Timer() as t:
        port.flush()
    assert t.elapsed < 0.1
    writer = Background(port.write, b"f" * 5000)
    time.sleep(0.1)
    flusher = Background(port.flush)
    time.sleep(0.1)
    assert flusher.running
    port.read(LOOP_CAPACITY)
    assert writer.join(2) == 5000
    assert flusher.join(2) is None


# ---- break ----------------------------------------------------------------------

def test_a_write_timeout_counts_from_when_the_write_gets_the_lock(port):
    port.write_timeout = 0.2
    assert port.write(b"x" * LOOP_CAPACITY) == LOOP_CAPACITY  # full
    breaker = Background(port.send_break, 0.3)
    time.sleep(0.05)

    def drain_later():
        time.sleep(0.3)  # past 0.2 s from the call, within 0.2 s of the lock
        return port.read(LOOP_CAPACITY)

    drainer = Background(drain_later)
    assert port.write(b"y") == 1
    assert len(drainer.join()) == LOOP_CAPACITY and breaker.join() is None


def test_break_holds_the_write_lock(port):
    breaker = Background(port.send_break, 0.5)
    time.sleep(0.1)
    with Timer() as t:
        assert port.write(b"x") == 1
    assert breaker.join(2) is None
    assert 0.3 < t.elapsed < 1.0
    assert port.break_condition is False


@pytest.mark.parametrize("duration", [0, -0.0, 0.01, 1e-10, True])
def test_short_breaks(port, duration):
    assert port.send_break(duration) is None


@pytest.mark.parametrize("duration", [-0.1, math.nan, -math.inf])
def test_bad_break_durations(port, duration):
    with pytest.raises(ValueError, match="^duration must be a non-negative number$") as e:
        port.send_break(duration)
    assert notes(e) == []


def test_break_duration_conversion_error_has_a_note(port):
    with pytest.raises(TypeError) as e:
        port.send_break("1")
    assert notes(e) == ["while processing 'duration'"]


def test_endless_break_lasts_until_close(port):
    breaker = Background(port.send_break, math.inf)
    time.sleep(0.2)
    assert breaker.running
    port.close()
    with pytest.raises(marovenda.PortNotOpenError, match=f"^{NOT_OPEN}$"):
        breaker.join(2)


# ---- close wakes pending operations -------------------------------------------

@pytest.mark.parametrize("call", [
    lambda s: s.read(10), lambda s: s.readline(), lambda s: s.read_until(b"!"), lambda s: s.readlines(),
    lambda s: s.write(b"x" * 5000),
])
def test_close_wakes_a_pending_operation(port, call):
    port.write(b"ab")
    pending = Background(call, port)
    time.sleep(0.2)
    assert pending.running
    port.close()
    with pytest.raises(marovenda.PortNotOpenError, match=f"^{NOT_OPEN}$"):
        pending.join(2)
    port.open()
    port.timeout = 0
    port.write(b"z")
    assert port.read(5) == b"z"  # the read lock is free again


def close_and_open(s):
    s.close()
    s.open()


def set_port(s):
    s.port = "loop://"


class Started:
    """A call on its way: a thread for Serial, the future itself for aio.Serial."""

    def __init__(self, s, name, *args):
        self.fut = self.thread = None
        if isinstance(s, aio.Serial):
            self.fut = getattr(s, name)(*args)
        else:
            self.thread = Background(getattr(s, name), *args)

    def done(self):
        return self.fut.done() if self.fut is not None else not self.thread.running

    def result(self):
        return self.fut.wait(5) if self.fut is not None else self.thread.join()


def spin_until(cond):
    # No sleep: the reopen should land right after the call's first device poll.
    end = time.monotonic() + 5
    while not cond():
        assert time.monotonic() < end


@pytest.mark.parametrize("cls", [marovenda.Serial, aio.Serial])
@pytest.mark.parametrize("reopen", [close_and_open, set_port])
def test_an_operation_begun_before_a_reopen_never_reaches_the_new_session(cls, reopen):
    """A read that took bytes, or a write that put some, and then the port is
    closed and opened again: the call fails, takes nothing from the new session
    and puts nothing there."""
    for _ in range(50):
        s = cls("loop://", write_timeout=0)
        try:
            Started(s, "write", b"ooo").result()
            read = Started(s, "read", 4099)
            spin_until(lambda: s.in_waiting == 0)  # its first poll took them
            reopen(s)
            assert Started(s, "write", b"n" * LOOP_CAPACITY).result() == LOOP_CAPACITY
            with pytest.raises(marovenda.PortNotOpenError):
                read.result()
            assert s.in_waiting == LOOP_CAPACITY

            s.write_timeout = None
            s.reset_input_buffer()
            write = Started(s, "write", b"w" * 9000)
            spin_until(lambda: s.in_waiting == LOOP_CAPACITY)
            reopen(s)
            s.timeout = 0
            got = b""
            while not write.done():
                got += Started(s, "read", LOOP_CAPACITY).result()
            with pytest.raises(marovenda.PortNotOpenError):
                write.result()
            assert got + Started(s, "read", LOOP_CAPACITY).result() == b""
        finally:
            s.close()


def test_reads_on_a_closed_port():
    s = marovenda.Serial()
    with pytest.raises(marovenda.PortNotOpenError):
        s.read()
    with pytest.raises(marovenda.PortNotOpenError):
        next(iter(s))


# ---- readinto -------------------------------------------------------------------

def test_readinto_fills_the_front_of_a_bytearray(port):
    port.timeout = 0.1
    port.write(b"abc")
    buf = bytearray(b"........")
    assert port.readinto(buf) == 3
    assert buf == bytearray(b"abc.....")
    assert port.readinto(b=bytearray(0)) == 0


@pytest.mark.parametrize("target", [
    b"12345678", memoryview(b"12345678"), memoryview(bytearray(16))[::2],
], ids=["bytes", "readonly-view", "strided-view"])
def test_readinto_refuses_unusable_buffers_before_reading(port, target):
    port.write(b"abc")
    with pytest.raises(TypeError, match="^a writable contiguous bytes-like object is required, not '"):
        port.readinto(target)
    assert port.in_waiting == 3
    assert port.read(3) == b"abc"


def test_readinto_counts_bytes_of_typed_buffers(port):
    port.write(bytes(range(8)))
    a = array.array("H", [0xFFFF] * 4)
    assert port.readinto(a) == 8
    assert a.tobytes() == bytes(range(8))


def test_readinto_without_buffer_protocol_uses_slices(port):
    port.timeout = 0.1
    port.write(b"ab")
    target = [0, 0, 0, 0]
    assert port.readinto(target) == 2
    assert target == [97, 98, 0, 0]
    with pytest.raises(TypeError):
        port.readinto(5)  # no length: refused before reading
    with pytest.raises(TypeError):
        port.readinto()


# ---- iteration, read_all, context manager, file-like ---------------------------

def test_iteration_yields_lines_until_timeout(port):
    port.timeout = 0.1
    port.write(b"one\ntwo\nthr")
    with Timer() as t:
        assert list(port) == [b"one\n", b"two\n", b"thr"]
    assert t.elapsed < 1.0
    assert iter(port) is port


def test_read_all(port):
    port.write(b"12345")
    assert port.read_all() == b"12345"

    class Mine(marovenda.Serial):
        @property
        def in_waiting(self):
            return 2

        def read(self, size=1):
            return ("mine", size)

    s = Mine("loop://")
    assert s.read_all() == ("mine", 2)
    s.close()


def test_context_manager(port):
    with marovenda.Serial("loop://") as s:
        assert s.is_open
    assert s.closed
    with pytest.raises(KeyError):
        with marovenda.Serial("loop://") as s:
            raise KeyError("inside")
    assert s.closed
    with marovenda.Serial() as s:  # no name: nothing opens, nothing raises
        assert not s.is_open
    port.write(b"kept")
    with port as same:  # already open: not reopened
        assert same is port and port.in_waiting == 4
    assert port.closed


def test_context_manager_and_init_go_through_overrides():
    calls = []

    class Mine(marovenda.Serial):
        def open(self):
            calls.append("open")
            super().open()

        def close(self):
            calls.append("close")
            super().close()

    s = Mine("loop://")
    assert calls == ["open"]
    s.close()
    with s:
        pass
    assert calls == ["open", "close", "open", "close"]
    with pytest.raises(TypeError, match=r"^Serial\.__exit__\(\) got an unexpected keyword argument 'exc'$"):
        s.__exit__(exc=None)
    assert s.__exit__(None, None, None) is None and s.__exit__() is None


def test_file_like_answers_in_both_states(port):
    for s in (port, marovenda.Serial()):
        assert (s.readable(), s.writable(), s.seekable()) == (True, True, False)
    assert port.closed is False
