"""asyncio without a Protocol: aio.Serial's futures, then a StreamReader and
StreamWriter pair. Both run on the in-memory loopback port, which reads back
what was written to it.
"""

import asyncio

from marovenda import aio


async def with_futures():
    # aio.Serial takes the same arguments as marovenda.Serial. Its I/O
    # methods start the operation at once and return a future to await.
    async with aio.Serial("loop://", timeout=1) as port:
        reply = port.read(5)  # already waiting for 5 bytes
        await port.write(b"hello")
        print("read:", await reply)

        # Bound a read with the port's timeout: it returns what came by then.
        # Cancelling a read (asyncio.wait_for, task.cancel()) would lose the
        # bytes it had gathered.
        await port.write(b"abc")
        print("read with timeout:", await port.read(10))  # b"abc" after 1 s


async def with_streams():
    # Opens the port like marovenda.serial_for_url, with the keywords as its
    # settings, and wraps it in asyncio's streams.
    reader, writer = await aio.open_serial_connection(url="loop://", baudrate=115200)
    writer.write(b"first line\nsecond line\n")
    await writer.drain()
    print("line:", await reader.readline())
    print("line:", await reader.readline())
    writer.close()
    await writer.wait_closed()


async def main():
    await with_futures()
    await with_streams()


if __name__ == "__main__":
    asyncio.run(main())
