"""aio_roundtrip: one byte written and read back through asyncio, ours against
a non-blocking socketpair driven by the loop's own socket methods. Awaiting
a finished future of ours yields to the loop once by design, so the baseline
takes the same two loop passes: each socket call is followed by one
`await asyncio.sleep(0)`.

Prints: aio_roundtrip: ours <value> us, baseline <value> us, ratio <ours/baseline>
Values are medians over rounds, all inside one running event loop.
"""
import asyncio
import socket
import statistics
import time

from marovenda import aio

ROUNDS = 15
ROUNDTRIPS = 5_000


async def round_ours(s):
    write, read = s.write, s.read
    start = time.perf_counter_ns()
    for _ in range(ROUNDTRIPS):
        await write(b"x")
        await read(1)
    return (time.perf_counter_ns() - start) / ROUNDTRIPS / 1000


async def round_socket(loop, a, b):
    sendall, recv, sleep = loop.sock_sendall, loop.sock_recv, asyncio.sleep
    start = time.perf_counter_ns()
    for _ in range(ROUNDTRIPS):
        await sendall(a, b"x")
        await sleep(0)
        await recv(b, 1)
        await sleep(0)
    return (time.perf_counter_ns() - start) / ROUNDTRIPS / 1000


async def measure():
    loop = asyncio.get_running_loop()
    s = aio.Serial("loop://")
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    try:
        # One warm-up round each, then alternate so drift hits both alike.
        await round_ours(s)
        await round_socket(loop, a, b)
        ours, base = [], []
        for _ in range(ROUNDS):
            ours.append(await round_ours(s))
            base.append(await round_socket(loop, a, b))
        return statistics.median(ours), statistics.median(base)
    finally:
        s.close()
        a.close()
        b.close()


def main():
    ours, base = asyncio.run(measure())
    print(f"aio_roundtrip: ours {ours:.6g} us, baseline {base:.6g} us, ratio {ours / base:.3g}", flush=True)


if __name__ == "__main__":
    main()
