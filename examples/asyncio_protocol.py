"""An asyncio Protocol on a serial port: the transport calls it as bytes come.

As in request_response.py, a pseudo-terminal pair stands in for the cable
and a thread plays the device: it answers every line with the line in
capitals.
"""

import asyncio
import os
import threading

from marovenda import aio


def shouting_device(fd):
    pending = b""
    while True:
        pending += os.read(fd, 1024)
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if line == b"BYE":
                return
            os.write(fd, line.upper() + b"\n")


class Client(asyncio.Protocol):
    """Sends its questions one by one, each when the previous answer is in."""

    def __init__(self, questions, done):
        self.questions = list(questions)
        self.done = done
        self.received = b""

    def connection_made(self, transport):
        # Every callback runs on the event loop's thread.
        self.transport = transport
        self.ask()

    def ask(self):
        self.transport.write(self.questions.pop(0) + b"\n")

    def data_received(self, data):
        # Bytes arrive in chunks as the device sends them, not in lines.
        self.received += data
        while b"\n" in self.received:
            answer, self.received = self.received.split(b"\n", 1)
            print("answer:", answer)
            if self.questions:
                self.ask()
            else:
                self.transport.write(b"BYE\n")
                self.transport.close()  # writes what is buffered, then closes the port

    def connection_lost(self, exc):
        self.done.set_result(exc)


async def main():
    near, far = os.openpty()
    device = threading.Thread(target=shouting_device, args=(near,))
    device.start()

    loop = asyncio.get_running_loop()
    done = loop.create_future()
    # Opens the port like marovenda.serial_for_url (the keywords are its
    # settings) and connects a new protocol to it.
    transport, protocol = await aio.create_serial_connection(
        loop, lambda: Client([b"hello", b"are you there?"], done), os.ttyname(far), baudrate=115200)
    print("connection lost with", await done)  # None: closed by us, not by an error

    await asyncio.to_thread(device.join)
    os.close(near)
    os.close(far)


if __name__ == "__main__":
    asyncio.run(main())
