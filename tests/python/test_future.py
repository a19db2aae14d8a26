import asyncio
import contextvars
import gc
import math
import os
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import marovenda
from marovenda import aio

from helpers import Background, Timer, fork_child, wait_until

CancelledError = asyncio.CancelledError
InvalidStateError = asyncio.InvalidStateError


@pytest.fixture
def s():
    port = aio.serial_for_url("loop://")
    yield port
    port.close()


@pytest.fixture
def closed():
    return aio.Serial()


def run(coro, timeout=10):
    """asyncio.run with a bound, so a lost wake-up fails instead of hanging."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


def thread_comm(native_id):
    with open(f"/proc/self/task/{native_id}/comm") as f:
        return f.read().strip()


@pytest.fixture
def unraisable(monkeypatch):
    seen = []

    def hook(u):
        seen.append((u.exc_type, str(u.exc_value), u.object))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


# ---- state, result and exception ----------------------------------------------------


def test_done_at_birth_versus_pending_completed_on_the_runtime(s):
    s.write(b"abc").wait(1)
    ready = s.read(3)
    assert ready.done() and ready.result() == b"abc"

    pending = s.read(2)
    assert not pending.done() and not pending.cancelled()
    with pytest.raises(InvalidStateError, match=r"^Result is not ready\.$"):
        pending.result()
    with pytest.raises(InvalidStateError, match=r"^Exception is not set\.$"):
        pending.exception()
    s.write(b"xy")
    assert pending.wait(5) == b"xy"
    assert pending.done() and pending.exception() is None
    # Each result() builds a new bytes object.
    first, second = pending.result(), pending.result()
    assert first == second == b"xy" and first is not second


def test_cancel_rules(s):
    pending = s.read(1)
    assert pending.cancel() is True
    assert pending.cancel() is False
    assert pending.cancelled() and pending.done()
    errors = []
    for get in (pending.result, pending.exception, pending.wait, lambda: pending.wait(0)):
        with pytest.raises(CancelledError) as e:
            get()
        errors.append(e.value)
    # A new CancelledError each time.
    assert len({id(e) for e in errors}) == len(errors)

    # (A read here could wait for the read lock until the aborted task is dropped.)
    born_done = s.write(b"z")
    assert born_done.cancel() is False and not born_done.cancelled()
    assert born_done.result() == 1


# Free-threaded 3.13 does not guard an exception's traceback, so each raise
# there is a copy of the one stored exception object.
RAISES_COPIES = sys.version_info < (3, 14)


def test_one_exception_object_per_future(closed):
    f = closed.read(1)
    assert f.done() and not f.cancelled()
    exc = f.exception()
    assert isinstance(exc, marovenda.PortNotOpenError)
    assert str(exc) == "Attempting to use a port that is not open"
    assert f.exception() is exc
    exc.add_note("kept")
    exc.extra = 5
    exc.__cause__ = cause = KeyError("k")
    for _ in range(2):
        with pytest.raises(marovenda.PortNotOpenError) as e:
            f.result()
        # The traceback holds only this raise.
        assert e.value.__traceback__.tb_next is None
        if RAISES_COPIES:
            got = e.value
            assert got is not exc and type(got) is type(exc) and got.args == exc.args
            assert got.__notes__ == ["kept"] and got.__notes__ is not exc.__notes__ and got.extra == 5
            assert got.__cause__ is cause and got.__suppress_context__
            got.add_note("only here")
        else:
            assert e.value is exc
    if RAISES_COPIES:
        assert exc.__traceback__ is None and exc.__notes__ == ["kept"]  # never raised, never changed
    else:
        # exception() hands it back with its traceback as the last raise left it.
        assert f.exception().__traceback__ is not None


RACE = """
import sys, threading
from marovenda import aio
f = aio.Serial().read(1)
threads, rounds = int(sys.argv[1]), 20000
barrier = threading.Barrier(threads)
def raiser(i):
    barrier.wait()
    for _ in range(rounds):
        try:
            f.wait(1) if i % 2 else f.result()
        except Exception as e:
            assert type(e).__name__ == "PortNotOpenError"
ts = [threading.Thread(target=raiser, args=(i,)) for i in range(threads)]
for t in ts: t.start()
for t in ts: t.join()
"""


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_raising_one_failed_future_do_not_crash(threads):
    # In a child process, so that a crash fails this test and not the run.
    r = subprocess.run([sys.executable, "-c", RACE, str(threads)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])


def test_closed_port_futures_fail_with_port_not_open(closed):
    calls = [
        lambda: closed.read(),
        lambda: closed.read_until(),
        lambda: closed.readline(),
        lambda: closed.readlines(),
        lambda: closed.write(b"x"),
        lambda: closed.flush(),
        lambda: closed.send_break(0),
    ]
    for call in calls:
        f = call()
        assert f.done()
        with pytest.raises(marovenda.PortNotOpenError, match="^Attempting to use a port that is not open$"):
            f.result()


def test_closing_the_port_fails_a_pending_future(s):
    f = s.read(1)
    s.close()
    with pytest.raises(marovenda.PortNotOpenError, match="^Attempting to use a port that is not open$"):
        f.wait(5)


def test_releasing_a_future_does_not_cancel_its_operation(s):
    f = s.read(2)
    probe = s.read(1)  # queued behind f on the read lock
    del f
    s.write(b"abc")
    # The first two bytes went to the released future's operation.
    assert probe.wait(5) == b"c"


# ---- wait ----------------------------------------------------------------------------


@pytest.mark.parametrize("timeout", [0, -1, -0.0, math.nan, 0.01])
def test_wait_times_out_without_cancelling(s, timeout):
    f = s.read(1)
    with Timer() as t:
        with pytest.raises(TimeoutError) as e:
            f.wait(timeout)
    assert str(e.value) == "the operation did not finish within the timeout"
    assert type(e.value) is TimeoutError
    assert t.elapsed < 0.5
    assert not f.done()
    s.write(b"k")
    assert f.wait(5) == b"k"


@pytest.mark.parametrize("timeout", [None, math.inf, 1e30, 5, 5.0])
def test_wait_without_deadline_or_long_one_returns_when_done(s, timeout):
    f = s.read(1)
    threading.Timer(0.1, s.write, (b"q",)).start()
    with Timer() as t:
        assert (f.wait() if timeout is None else f.wait(timeout)) == b"q"
    assert t.elapsed < 2


def test_wait_on_a_done_future_with_zero_timeout_returns(s):
    assert s.read(0).wait(0) == b""
    assert s.write(b"ab").wait(timeout=-1) == 2


def test_wait_timeout_conversion_error_names_the_argument(s):
    f = s.read(0)
    with pytest.raises(TypeError) as e:
        f.wait("1")
    assert e.value.__notes__ == ["while processing 'timeout'"]
    with pytest.raises(TypeError):
        f.wait(1, 2)


def test_wait_is_interrupted_by_a_signal_and_the_operation_goes_on(s):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        raise Interrupted

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        f = s.read(1)
        main = threading.main_thread().ident
        threading.Timer(0.1, signal.pthread_kill, (main, signal.SIGUSR1)).start()
        with pytest.raises(Interrupted):
            f.wait(5)
        assert not f.done()
        s.write(b"z")
        assert f.wait(5) == b"z"
    finally:
        signal.signal(signal.SIGUSR1, old)


# ---- done-callbacks ------------------------------------------------------------------


def test_callback_outside_a_loop_runs_at_once_when_done(s):
    seen = []
    f = s.read(0)
    f.add_done_callback(lambda fut: seen.append((fut, threading.get_ident())))
    assert seen == [(f, threading.get_ident())]


def test_callback_outside_a_loop_runs_on_a_runtime_worker(s):
    seen = []
    f = s.read(1)
    f.add_done_callback(lambda fut: seen.append((fut, threading.get_native_id())))
    assert seen == []
    s.write(b"w")
    wait_until(lambda: seen)
    fut, native = seen[0]
    assert fut is f
    assert native != threading.get_native_id()
    assert thread_comm(native) == "marovenda"


def test_callback_outside_a_loop_runs_inside_cancel(s):
    seen = []
    f = s.read(1)
    f.add_done_callback(lambda fut: seen.append((fut.cancelled(), threading.get_ident())))
    assert f.cancel()
    assert seen == [(True, threading.get_ident())]


def test_callbacks_inside_a_loop_run_on_the_loop_thread(s):
    async def main():
        loop = asyncio.get_running_loop()
        order = []
        done_now = s.read(0)
        done_now.add_done_callback(lambda fut: order.append(("done", threading.get_ident())))
        # Scheduled with call_soon: nothing has run yet.
        assert order == []

        pending = s.read(1)
        arrived = loop.create_future()

        def on_done(fut):
            order.append(("pending", threading.get_ident()))
            arrived.set_result(fut)

        pending.add_done_callback(on_done)
        await asyncio.sleep(0)
        assert order == [("done", threading.get_ident())]
        await loop.run_in_executor(None, s.write, b"p")
        assert await arrived is pending
        assert order[1] == ("pending", threading.get_ident())

    run(main())


def test_callback_contexts(s):
    var = contextvars.ContextVar("var", default="unset")
    seen = []
    var.set("at registration")
    f = s.read(1)
    f.add_done_callback(lambda fut: seen.append(("copied", var.get())))
    given = contextvars.copy_context()
    given.run(var.set, "given")
    f.add_done_callback(lambda fut: seen.append(("given", var.get())), context=given)
    var.set("later")
    f.add_done_callback(lambda fut: seen.append(("none", var.get())), context=None)
    s.write(b"c")
    wait_until(lambda: len(seen) == 3)
    assert seen == [("copied", "at registration"), ("given", "given"), ("none", "later")]

    async def main():
        var.set("in loop")
        done = asyncio.get_running_loop().create_future()
        s.read(0).add_done_callback(lambda fut: done.set_result(var.get()))
        var.set("changed")
        return await done

    assert run(main()) == "in loop"


def test_failing_callbacks_are_reported_and_the_rest_still_run(s, unraisable):
    seen = []

    def bad(fut):
        raise ValueError("callback failed")

    # At once, on this thread.
    s.read(0).add_done_callback(bad)
    assert unraisable == [(ValueError, "callback failed", bad)]

    # Later, on a worker.
    unraisable.clear()
    f = s.read(1)
    f.add_done_callback(bad)
    f.add_done_callback(lambda fut: seen.append(fut.result()))
    s.write(b"r")
    wait_until(lambda: seen)
    assert seen == [b"r"]
    assert unraisable == [(ValueError, "callback failed", bad)]


def test_callback_of_a_closed_loop_is_reported_with_its_fn(s, unraisable):
    def fn(fut):
        pass

    async def main():
        f = s.read(1)
        f.add_done_callback(fn)
        return f

    f = run(main())
    s.write(b"x")
    f.wait(5)
    wait_until(lambda: unraisable)
    exc_type, text, obj = unraisable[0]
    assert exc_type is RuntimeError and "closed" in text and obj is fn


def test_uncallable_fn_is_stored_and_reported_when_run(s, unraisable):
    f = s.read(0)
    f.add_done_callback(42)
    assert unraisable[0][0] is TypeError and unraisable[0][2] == 42


class Recorder:
    """Equal to every other Recorder; records the operands of each ==."""

    calls = []

    def __init__(self, name, raises=False):
        self.name, self.raises = name, raises

    def __eq__(self, other):
        Recorder.calls.append((self.name, getattr(other, "name", other)))
        if self.raises:
            raise ZeroDivisionError("no equality")
        return isinstance(other, Recorder)

    __hash__ = object.__hash__

    def __call__(self, fut):
        pass


def test_remove_done_callback(s):
    def fn(fut):
        pass

    def other(fut):
        pass

    f = s.read(1)
    f.add_done_callback(fn)
    f.add_done_callback(other)
    f.add_done_callback(fn)
    assert f.remove_done_callback(fn) == 2
    assert f.remove_done_callback(fn) == 0
    assert f.remove_done_callback(other) == 1

    # Equality, not identity, with the registered fn on the left.
    Recorder.calls.clear()
    f.add_done_callback(Recorder("a"))
    assert f.remove_done_callback(Recorder("b")) == 1
    assert Recorder.calls == [("a", "b")]

    # A raising comparison raises and removes nothing.
    kept = []
    f.add_done_callback(lambda fut: kept.append(1))
    f.add_done_callback(Recorder("c", raises=True))
    with pytest.raises(ZeroDivisionError):
        f.remove_done_callback(Recorder("d"))
    f.cancel()
    assert kept == [1]
    assert f.remove_done_callback(fn) == 0


def test_remove_done_callback_whose_eq_registers_more(s):
    f = s.read(1)

    class Sneaky:
        def __eq__(self, other):
            # Runs with the cell unlocked: it may use the future.
            f.add_done_callback(Sneaky())
            return True

        __hash__ = object.__hash__

        def __call__(self, fut):
            pass

    f.add_done_callback(Sneaky())
    # The entry added during the comparison was not in the snapshot.
    assert f.remove_done_callback(object()) == 1
    assert f.remove_done_callback(object()) == 1
    f.cancel()


# ---- await ---------------------------------------------------------------------------


def test_await_of_a_finished_value_yields_once(s):
    async def main():
        loop = asyncio.get_running_loop()
        order = []
        loop.call_soon(order.append, "other")
        value = await s.read(0)
        order.append("after")
        return value, order

    assert run(main()) == (b"", ["other", "after"])


@pytest.mark.parametrize("kind", ["error", "cancelled"])
def test_await_of_a_failed_or_cancelled_future_raises_without_yielding(closed, s, kind):
    if kind == "error":
        f, expected = closed.read(1), marovenda.PortNotOpenError
    else:
        f, expected = s.read(1), CancelledError
        f.cancel()

    async def main():
        order = []
        asyncio.get_running_loop().call_soon(order.append, "other")
        try:
            await f
        except expected:
            order.append("raised")
        await asyncio.sleep(0)
        return order

    assert run(main()) == ["raised", "other"]


def test_await_outside_a_running_loop(s):
    with pytest.raises(RuntimeError, match="no running event loop"):
        s.read(0).__await__()


def test_await_of_a_pending_future(s):
    async def main():
        f = s.read(3)
        asyncio.get_running_loop().call_later(0.05, s.write, b"abc")
        return await f

    assert run(main()) == b"abc"


def test_task_cancellation_frees_the_read_lock_without_eating_a_byte(s):
    async def main():
        f = s.read(1)
        task = asyncio.ensure_future(f)
        await asyncio.sleep(0.02)
        task.cancel()
        with pytest.raises(CancelledError):
            await task
        # The cancel hook has run on the loop: the operation is cancelled.
        assert f.cancelled() and f.cancel() is False
        with pytest.raises(CancelledError):
            f.result()
        with pytest.raises(CancelledError):
            f.exception()
        await s.write(b"b")
        return await asyncio.wait_for(s.read(1), 5)

    assert run(main()) == b"b"


@pytest.mark.parametrize("call", [lambda s: s.read_until(b"never sent"), lambda s: s.readline()])
def test_cancel_returns_at_once_while_data_keeps_coming(call):
    """A read that finds data at every device call still returns from its poll
    now and then, so cancel(), which waits for the poll in progress, is quick."""
    for _ in range(3):
        s = aio.serial_for_url("loop://")
        f = call(s)
        s.write(bytes(32 << 20))
        time.sleep(0.1)
        with Timer() as t:
            assert f.cancel()
        s.close()  # ends the write, which nothing reads any more
        assert t.elapsed < 0.1


def test_a_settled_bridge_leaves_the_operation_alone(s):
    async def main():
        f = s.read(1)
        s.write(b"v")
        assert await f == b"v"
        return f

    f = run(main())
    assert not f.cancelled() and f.result() == b"v"


def test_two_loops_awaiting_one_future_both_get_the_value(s):
    f = s.read(3)
    got = [None, None]
    started = threading.Barrier(3)

    def in_loop(i):
        async def main():
            started.wait(5)
            got[i] = await f

        run(main())

    threads = [Background(in_loop, i) for i in range(2)]
    started.wait(5)
    time.sleep(0.05)
    s.write(b"abc")
    for t in threads:
        t.join(10)
    assert got[0] == got[1] == b"abc"
    assert got[0] is not got[1]


def test_many_tasks_on_one_loop_await_one_future(s):
    async def main():
        f = s.read(2)
        tasks = [asyncio.ensure_future(f) for _ in range(20)]
        await asyncio.sleep(0.01)
        tasks[0].cancel()  # cancels the operation for everyone
        return await asyncio.gather(*tasks, return_exceptions=True)

    results = run(main())
    assert all(isinstance(r, CancelledError) for r in results)


# ---- the worker hand-off of wait() -----------------------------------------------------


def test_callbacks_blocking_in_wait_on_workers_do_not_hang_the_runtime():
    ports = [aio.serial_for_url("loop://") for _ in range(6)]
    try:
        first = [ports[i].read(1) for i in range(3)]
        inner = [ports[i + 3].read(1) for i in range(3)]
        got = []

        def blocking_callback(i):
            def cb(fut):
                try:
                    got.append((i, inner[i].wait(10)))
                except BaseException as e:
                    got.append((i, e))

            return cb

        for i, f in enumerate(first):
            f.add_done_callback(blocking_callback(i))
        # Each completion runs its callback on a worker, which then blocks.
        for i in range(3):
            ports[i].write(b"o")
        time.sleep(0.1)
        for i in range(3):
            ports[i + 3].write(bytes([65 + i]))
        wait_until(lambda: len(got) == 3, timeout=8)
        assert sorted(got) == [(0, b"A"), (1, b"B"), (2, b"C")]
        # The runtime still serves ordinary operations.
        f = ports[0].read(1)
        ports[0].write(b"!")
        assert f.wait(5) == b"!"
    finally:
        for p in ports:
            p.close()


# ---- types ---------------------------------------------------------------------------


def ready_of(f):
    async def main():
        return f.__await__()

    return run(main())


def test_future_type_rules(s):
    f = s.read(0)
    Ready = type(ready_of(f))
    for cls in (aio.Future, Ready):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert cls.__module__ == "marovenda.aio"
    assert Ready.__name__ == "Ready" and not hasattr(aio, "Ready")
    for obj in (f, ready_of(f)):
        with pytest.raises(AttributeError):
            obj.__dict__
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
    with pytest.raises(TypeError):
        iter(f)
    assert aio.Future.__doc__ == "A port operation running on the runtime."
    assert Ready.__doc__ == (
        "What awaiting a finished future iterates: it yields once, so the event loop can run\n"
        "other tasks and deliver a cancellation as it does for `asyncio.sleep(0)`, then stops\n"
        "with the result, without creating an asyncio future or waking the loop from a worker."
    )


def test_future_class_getitem():
    alias = aio.Future[bytes]
    assert alias.__origin__ is aio.Future and alias.__args__ == (bytes,)
    assert repr(alias) == "marovenda.aio.Future[bytes]"


@pytest.mark.parametrize(
    "name, text",
    [
        ("wait", "($self, timeout=None)"),
        ("__class_getitem__", "($cls, item, /)"),
        ("add_done_callback", "($self, fn, /, *, context=None)"),
        ("remove_done_callback", "($self, fn, /)"),
        ("cancelled", "($self)"),
        ("exception", "($self)"),
        ("done", "($self)"),
        ("cancel", "($self)"),
        ("result", "($self)"),
    ],
)
def test_future_signatures(name, text):
    assert getattr(aio.Future, name).__text_signature__ == text


def test_ready_steps(s):
    r = ready_of(s.read(0))
    assert iter(r) is r
    assert r.close() is None
    assert r.send(None) is None
    for step in (lambda: r.send(None), lambda: next(r), lambda: r.send(_value=1)):
        with pytest.raises(StopIteration) as e:
            step()
        assert e.value.value == b"" and e.value.args == (b"",)
    with pytest.raises(TypeError):
        r.send()

    r = ready_of(s.read(0))
    assert next(r) is None
    with pytest.raises(StopIteration):
        r.send(None)


def test_ready_throw(s):
    r = ready_of(s.read(0))
    with pytest.raises(ValueError) as e:
        r.throw(ValueError)
    assert e.value.args == ()
    boom = KeyError("boom")
    with pytest.raises(KeyError) as e:
        r.throw(boom, None, None)
    assert e.value is boom
    for bad in (42, int):
        with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
            r.throw(bad)

    class Unmakeable(Exception):
        def __init__(self):
            raise OSError("cannot make")

    with pytest.raises(OSError, match="cannot make"):
        r.throw(Unmakeable)
    # throw leaves the step state alone.
    assert r.send(None) is None
    with pytest.raises(StopIteration):
        next(r)


def test_ready_steps_once_across_threads(s):
    for _ in range(50):
        r = ready_of(s.read(0))
        results = []
        barrier = threading.Barrier(4)

        def step():
            barrier.wait(5)
            try:
                results.append(next(r))
            except StopIteration:
                results.append("stop")

        threads = [Background(step) for _ in range(4)]
        for t in threads:
            t.join()
        assert sorted(results, key=str) == [None, "stop", "stop", "stop"]


# ---- stress --------------------------------------------------------------------------

# Long enough for a new operation's first run on a worker to have returned.
SETTLE = 0.002


# ---- cycle collector ------------------------------------------------------------------


class Marker:
    pass


def failed_attempt(fut, how):
    """The retry loop's body: the failure is raised through the frame holding fut,
    so fut -> exception -> traceback -> this frame -> fut is a cycle."""
    marker = Marker()
    try:
        if how == "await":
            async def main():
                await fut
            run(main())
        else:
            getattr(fut, how)()
    except marovenda.SerialException:
        pass
    return weakref.ref(marker)


@pytest.mark.parametrize("how", ["result", "wait", "await"])
def test_frame_of_a_failed_attempt_is_freed_by_the_collector(closed, how):
    fut = closed.read(1)
    assert gc.is_tracked(fut)
    ref = failed_attempt(fut, how)
    del fut
    gc.collect()
    assert ref() is None


def test_a_cycle_through_the_cached_exception_is_collected(closed):
    fut = closed.read(1)
    marker = Marker()
    marker.fut = fut
    fut.exception().marker = marker  # fut -> its exception -> marker -> fut
    ref = weakref.ref(marker)
    del fut, marker
    gc.collect()
    assert ref() is None


def test_ready_is_tracked_and_its_value_cycle_is_collected():
    class Port(aio.Serial):
        pass

    p = Port()
    p.ready = ready_of(p.__aenter__())
    assert gc.is_tracked(p.ready)
    ref = weakref.ref(p)
    del p
    gc.collect()
    assert ref() is None


def test_collection_leaves_pending_futures_their_tasks_and_callbacks(s):
    """A pending cell's waiters and callbacks are rooted by the runtime: a task
    awaiting it and a future held only by its own callback survive a collection."""
    seen = []

    async def main():
        async def reader():
            fut = s.read(1)
            seen.append(await fut)

        asyncio.ensure_future(reader())  # only the pending read keeps it
        await asyncio.sleep(0.01)
        f = s.read(1)
        f.add_done_callback(lambda f: seen.append(f.result()))
        del f
        gc.collect()
        s.write(b"ab")
        while len(seen) < 2:
            await asyncio.sleep(0.005)

    run(main())
    assert sorted(seen) == [b"a", b"b"]


def test_cancel_right_after_start_eats_no_later_byte(s):
    for _ in range(3000):
        f = s.read(1)
        assert f.cancel()
        s.write(b"x")
        probe = s.read(1)
        try:
            assert probe.wait(1) == b"x"
        finally:
            probe.cancel()


def test_stress_tasks_and_threads_awaiting_and_cancelling():
    threads, rounds = 8, 200
    received = [0] * threads

    def in_loop(i):
        async def main():
            s = aio.serial_for_url("loop://")
            try:
                for k in range(rounds):
                    mode = k % 3
                    # Each cancel hits a read suspended on the runtime, not one
                    # whose first run is still in progress (see the race test).
                    if mode == 0:
                        # A task cancelled while its read waits on the runtime.
                        task = asyncio.ensure_future(s.read(1))
                        await asyncio.sleep(SETTLE)
                        task.cancel()
                        try:
                            await task
                        except CancelledError:
                            pass
                    elif mode == 1:
                        f = s.read(1)
                        await asyncio.sleep(SETTLE)
                        assert f.cancel()
                    else:
                        # The operation cancelled from another thread while a task awaits it.
                        f = s.read(1)
                        task = asyncio.ensure_future(f)
                        await asyncio.sleep(SETTLE)
                        await asyncio.get_running_loop().run_in_executor(None, f.cancel)
                        try:
                            await task
                        except CancelledError:
                            pass
                    byte = bytes([k % 256])
                    assert await s.write(byte) == 1
                    assert await asyncio.wait_for(s.read(1), 5) == byte
                    received[i] += 1
                assert s.in_waiting == 0
            finally:
                s.close()

        run(main(), timeout=25)

    def blocking(i):
        s = aio.serial_for_url("loop://")
        try:
            for k in range(rounds):
                f = s.read(1)
                if k % 2:
                    time.sleep(SETTLE)
                    assert f.cancel()
                    s.write(b"b")
                    assert s.read(1).wait(5) == b"b"
                else:
                    s.write(b"a")
                    assert f.wait(5) == b"a"
                received[i] += 1
        finally:
            s.close()

    workers = [Background(in_loop if i % 2 == 0 else blocking, i) for i in range(threads)]
    for w in workers:
        w.join(28)
    assert received == [rounds] * threads


def test_stress_one_port_many_readers_nothing_lost():
    total = 2000
    s = aio.serial_for_url("loop://")
    try:
        counts = []

        async def reader(n):
            got = 0
            for _ in range(n):
                got += len(await asyncio.wait_for(s.read(1), 10))
            counts.append(got)

        def loop_thread():
            async def main():
                await asyncio.gather(*(reader(50) for _ in range(10)))

            run(main(), timeout=20)

        loops = [Background(loop_thread) for _ in range(4)]
        for _ in range(total // 100):
            s.write(b"y" * 100)
            time.sleep(0.001)
        for t in loops:
            t.join(25)
        assert sum(counts) == total and s.in_waiting == 0
    finally:
        s.close()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("how", ["cancel", "await then cancel"])
def test_a_forked_child_cancels_futures_the_workers_were_polling(how):
    # The write feeds the loopback that the read drains, so the workers poll
    # both all the time and most forks land inside a poll. In the child no
    # worker will ever finish that poll; nothing there may wait for it. The
    # write lasts over a second: it outlasts the fork, which takes tens of
    # milliseconds while the workers run on, and the child. Both still
    # pending after the child means both were pending at the fork.
    s = aio.serial_for_url("loop://")
    s.timeout = None

    def child():
        for f in futures:
            if how == "cancel":
                if not f.cancel():
                    return 2
            else:
                try:
                    asyncio.run(asyncio.wait_for(f, 0.05))
                    return 3
                except TimeoutError:
                    pass
        return 0 if all(f.cancelled() for f in futures) else 4

    try:
        for _ in range(10):
            futures = [s.read_until(b"\xff"), s.write(bytes(1 << 22))]
            time.sleep(0.002)
            assert fork_child(child, timeout=5) == 0
            assert not any(f.done() for f in futures), "an operation ended before the child did"
            for f in futures:
                f.cancel()
            s.reset_input_buffer()
    finally:
        s.close()
