"""Operations of each kind, many times over: memory must stay flat."""
import asyncio
import gc
import tracemalloc

import marovenda
from marovenda import aio

from common import Result

# Growth allowed between the end of the warm-up and the end of the run. A
# leak of one 64-byte block per operation is 6.1 MiB over 100000 operations;
# the bounds sit well below that and well above allocator noise.
RSS_BOUND = 4 * 1024 * 1024
TRACED_BOUND = 256 * 1024


def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def blocking(n):
    s = marovenda.serial_for_url("loop://", timeout=0)
    for _ in range(n):
        s.write(b"abcdefgh")
        s.read(8)
        s.readline()
    s.close()


def futures_awaited(n):
    async def main():
        s = aio.serial_for_url("loop://", timeout=0)
        for _ in range(n):
            await s.write(b"abcdefgh")
            await s.read(8)
        s.close()
    asyncio.run(main())


def futures_pending_completed(n):
    """Reads that wait on the runtime and are completed by a later write."""
    async def main():
        s = aio.serial_for_url("loop://")
        for _ in range(n):
            f = s.read(2)
            s.write(b"ab")
            await f
        s.close()
    asyncio.run(main())


def futures_cancelled(n):
    s = aio.serial_for_url("loop://")
    for _ in range(n):
        f = s.read(1)
        f.add_done_callback(lambda f: None)
        f.cancel()
    s.close()


def tasks_cancelled(n):
    async def main():
        s = aio.serial_for_url("loop://")
        for _ in range(n // 10):
            tasks = [asyncio.ensure_future(s.read(1)) for _ in range(10)]
            await asyncio.sleep(0)
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
        s.close()
    asyncio.run(main())


def failed_futures_raised(n):
    """The retry loop on a closed port: each failure is raised through the frame
    that holds its future, which leaves the cycle future -> exception ->
    traceback -> frame -> future to the collector; half awaited, half result()."""
    s = aio.Serial()

    def with_result():
        fut = s.read(1)
        try:
            fut.result()
        except marovenda.SerialException:
            pass

    async def awaited():
        fut = s.read(1)
        try:
            await fut
        except marovenda.SerialException:
            pass

    async def main():
        for _ in range(n // 2):
            with_result()
            await awaited()
    asyncio.run(main())


def ports_opened(n):
    for _ in range(n):
        s = marovenda.Serial("loop://")
        s.baudrate = 19200
        s.close()


def transports(n):
    if not hasattr(aio, "create_serial_connection"):
        return None

    async def main():
        loop = asyncio.get_running_loop()
        for _ in range(n):
            t, p = await aio.create_serial_connection(loop, asyncio.Protocol, "loop://")
            t.write(b"x")
            t.close()
            await asyncio.sleep(0)
    asyncio.run(main())
    return True


KINDS = [
    ("blocking write+read+readline", blocking, 1),
    ("futures awaited (write+read)", futures_awaited, 1),
    ("futures pending, completed on the runtime", futures_pending_completed, 1),
    ("futures cancelled", futures_cancelled, 1),
    ("asyncio tasks cancelled", tasks_cancelled, 1),
    ("failed futures raised through their frame", failed_futures_raised, 1),
    ("ports opened and closed", ports_opened, 1),
    ("transports opened and closed", transports, 1),
]


def measure(short):
    n = 10000 if short else 100000
    result = Result(f"{n} operations of each kind; RSS bound {RSS_BOUND >> 20} MiB, "
                    f"tracemalloc bound {TRACED_BOUND >> 10} KiB")
    for name, fn, _ in KINDS:
        if fn(n // 10) is None and fn is transports:  # warm-up, or absent
            result.notes.append(f"{name}: skipped, no transports in this build")
            continue
        gc.collect()
        rss_before = rss()
        fn(n)
        gc.collect()
        rss_after = rss()
        # tracemalloc slows every allocation, so it traces a run of its own.
        tracemalloc.start()
        fn(n // 10)
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        fn(n)
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        result.add(ops=2 * n)
        grow, tgrow = rss_after - rss_before, traced_after - traced_before
        result.notes.append(f"{name}: RSS {rss_before >> 10} -> {rss_after >> 10} KiB ({grow / 1024:+.0f}), "
                            f"traced {traced_before >> 10} -> {traced_after >> 10} KiB ({tgrow / 1024:+.1f})")
        if grow > RSS_BOUND:
            result.error(f"{name}: RSS grew by {grow >> 10} KiB over {n} operations")
        if tgrow > TRACED_BOUND:
            result.error(f"{name}: traced memory grew by {tgrow >> 10} KiB over {n} operations")
    return result


SCENARIOS = {
    "memory-flat": (measure, 200, 1500),
}
