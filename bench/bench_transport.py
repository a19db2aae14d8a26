"""transport_stream: a protocol receiving 64 MiB from a pty.

A thread writes 64 MiB into a pty master; a protocol counts what arrives on
the slave, once through marovenda's create_serial_connection and once through
asyncio's own connect_read_pipe on an identically opened slave. The figure is
MiB/s for each (best of a few runs) and their ratio.
"""

import asyncio
import errno
import os
import threading
import time
import tty

import marovenda
from marovenda import aio

TOTAL = 64 * 1024 * 1024
CHUNK = 64 * 1024
RUNS = 5


class Counter(asyncio.Protocol):
    def __init__(self, total):
        self.total = total
        self.received = 0
        self.done = asyncio.get_running_loop().create_future()

    def data_received(self, data):
        self.received += len(data)
        if self.received >= self.total and not self.done.done():
            self.done.set_result(None)

    def connection_lost(self, exc):
        if not self.done.done():
            self.done.set_exception(exc or EOFError("connection lost early"))


def feed(master):
    block = b"\x5a" * CHUNK
    left = TOTAL
    while left > 0:
        left -= os.write(master, block[: min(CHUNK, left)])


async def measure(connect):
    """Seconds from the first byte written to the last byte received."""
    master, slave = os.openpty()
    name = os.ttyname(slave)
    os.set_blocking(master, True)
    try:
        loop = asyncio.get_running_loop()
        transport, protocol = await connect(loop, name)
        writer = threading.Thread(target=feed, args=(master,), daemon=True)
        start = time.perf_counter()
        writer.start()
        await asyncio.wait_for(protocol.done, 120)
        elapsed = time.perf_counter() - start
        transport.close()
        await asyncio.to_thread(writer.join)
        await asyncio.sleep(0)
        return elapsed
    finally:
        os.close(master)
        os.close(slave)


async def ours(loop, name):
    return await aio.create_serial_connection(loop, lambda: Counter(TOTAL), name)


async def baseline(loop, name):
    # Opened as the serial library opens a device: read-write, no controlling
    # terminal, non-blocking, raw.
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    pipe = os.fdopen(fd, "rb", buffering=0)
    return await loop.connect_read_pipe(lambda: Counter(TOTAL), pipe)


def rate(seconds):
    return TOTAL / (1024 * 1024) / seconds


def best_rates():
    """Best MiB/s of each side; the runs alternate so that drift in the
    machine's load reaches both alike."""
    ours_times, baseline_times = [], []
    for _ in range(RUNS):
        ours_times.append(asyncio.run(measure(ours)))
        baseline_times.append(asyncio.run(measure(baseline)))
    return rate(min(ours_times)), rate(min(baseline_times))


def main():
    master, slave = os.openpty()
    try:
        marovenda.serial_for_url(os.ttyname(slave)).close()
    except marovenda.SerialException as e:
        if e.errno != errno.ENOSYS:
            raise
        print(f"transport_stream: skipped, tty devices cannot be opened ({e})")
        return None
    finally:
        os.close(master)
        os.close(slave)
    mine, theirs = best_rates()
    print(f"transport_stream: ours {mine:.1f} MiB/s, baseline {theirs:.1f} MiB/s, ratio {mine / theirs:.2f}")
    return mine / theirs


if __name__ == "__main__":
    main()
