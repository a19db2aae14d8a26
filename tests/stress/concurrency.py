"""8 threads hammering one port, plus asyncio tasks cancelled at random."""
import asyncio
import faulthandler
import sys
import threading
import time

import marovenda
from marovenda import aio

from common import Result, rng, round_trip

# What a hammered port may answer; anything else is a failure.
EXPECTED = (marovenda.PortNotOpenError, marovenda.SerialTimeoutException)
ALREADY_OPEN = "Port is already open."
HANG = 10.0  # no single call may take this long: every timeout in play is far shorter


def _ops(s, r):
    timeouts = [0, 0.001, 0.01, 0.05]

    def settings():
        what = r.randrange(6)
        if what == 0:
            s.baudrate = r.choice([9600, 19200, 115200])
        elif what == 1:
            s.timeout = r.choice(timeouts)
        elif what == 2:
            s.write_timeout = r.choice(timeouts)
        elif what == 3:
            s.apply_settings({"bytesize": r.choice([7, 8]), "parity": r.choice("NEO"),
                              "inter_byte_timeout": r.choice([None, 0.01])})
        elif what == 4:
            s.rts, s.dtr = r.random() < 0.5, r.random() < 0.5
        else:
            s.get_settings()
            repr(s)

    def reopen():
        if r.random() < 0.5:
            s.close()
        s.open()

    return [
        (30, lambda: s.read(r.randint(0, 5000))),
        (10, lambda: s.readline()),
        (5, lambda: s.read_until(b"!", r.randint(1, 100))),
        (5, lambda: s.readlines(r.randint(0, 100))),
        (30, lambda: s.write(bytes(r.randint(0, 6000)))),
        (10, s.cancel_read),
        (10, s.cancel_write),
        (10, settings),
        (5, lambda: (s.in_waiting, s.out_waiting, s.cts, s.dsr)),
        (3, s.reset_input_buffer),
        (3, s.flush),
        (2, lambda: s.send_break(0)),
        (3, reopen),
        (2, s.close),
    ]


def _asyncio_thread(stop, result, r):
    """Tasks on their own aio port, cancelled at random points."""

    async def main():
        s = aio.serial_for_url("loop://")

        async def one():
            what = r.random()
            if what < 0.4:
                return await s.read(r.randint(1, 100))
            if what < 0.7:
                return await s.write(bytes(r.randint(0, 300)))
            if what < 0.85:
                return await s.readline()
            s.cancel_read()

        while not stop.is_set():
            s.timeout = r.choice([0, 0.01, 0.05])  # an uncancelled read must end by itself
            tasks = [asyncio.ensure_future(one()) for _ in range(r.randint(1, 8))]
            await asyncio.sleep(r.uniform(0, 0.003))
            for t in tasks:
                if r.random() < 0.6:
                    t.cancel()
                    result.add(faults=1)
            done, pending = await asyncio.wait(tasks, timeout=HANG)
            if pending:
                result.error(f"{len(pending)} asyncio tasks did not finish after cancel/close")
                faulthandler.dump_traceback(all_threads=True)
                return
            for t in done:
                if not t.cancelled() and t.exception() is not None and not isinstance(t.exception(), EXPECTED):
                    result.error(f"asyncio task: {t.exception()!r}")
            result.add(ops=len(tasks))
            if r.random() < 0.05:
                s.close()
                s.open()
        s.close()

    asyncio.run(main())


def hammer(short):
    result = Result("8 threads hammering one loop:// port (I/O, cancels, settings, close/reopen) + cancelled asyncio tasks")
    seconds = 6 if short else 30
    s = marovenda.serial_for_url("loop://", timeout=0.01, write_timeout=0.01)
    stop = threading.Event()
    busy = {}  # thread index -> (call name, start time) while inside a call

    def hammer_thread(i):
        r = rng(i)
        ops = _ops(s, r)
        names = [f"op{k}" for k in range(len(ops))]
        weights = [w for w, _ in ops]
        while not stop.is_set():
            k = r.choices(range(len(ops)), weights)[0]
            busy[i] = (names[k], time.monotonic())
            try:
                ops[k][1]()
            except EXPECTED:
                result.add(faults=1)
            except marovenda.SerialException as e:
                if str(e) != ALREADY_OPEN:
                    result.error(f"thread {i}: {e!r}")
            except Exception as e:
                result.error(f"thread {i}: {e!r}")
            busy.pop(i, None)
            result.add(ops=1)

    threads = [threading.Thread(target=hammer_thread, args=(i,), daemon=True) for i in range(8)]
    threads.append(threading.Thread(target=_asyncio_thread, args=(stop, result, rng(99)), daemon=True))
    for t in threads:
        t.start()
    end = time.monotonic() + seconds
    hung = False
    while time.monotonic() < end and not hung:
        time.sleep(0.1)
        now = time.monotonic()
        for i, (name, since) in list(busy.items()):
            if now - since > HANG:
                result.error(f"thread {i} stuck in {name} for {now - since:.1f}s")
                hung = True
    stop.set()
    for t in threads:
        t.join(HANG)
        if t.is_alive():
            result.error(f"{t.name} did not stop")
            hung = True
    if hung:
        faulthandler.dump_traceback(file=sys.stdout, all_threads=True)
        return result
    # Afterwards the port must still carry bytes.
    if not s.is_open:
        s.open()
    if not round_trip(s):
        result.error("the port does not round-trip after the hammering")
    s.close()
    return result


SCENARIOS = {
    "concurrency-hammer": (hammer, 60, 120),
}
