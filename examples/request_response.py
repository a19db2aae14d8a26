"""Talks to a device over a tty: send a command, read the reply, with timeouts.

No hardware is needed: a pseudo-terminal pair stands in for the cable. The
program opens the far end by its path, exactly as it would open /dev/ttyUSB0,
and a small thread plays the device on the near end.
"""

import os
import threading
import time

import marovenda


def fake_device(fd):
    """Answers PING with PONG, STATUS with a reply in two bursts, ignores
    anything else, and stops at QUIT."""
    pending = b""
    while True:
        pending += os.read(fd, 1024)
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if line == b"PING":
                os.write(fd, b"PONG\n")
            elif line == b"STATUS":
                os.write(fd, b"temp=21")
                time.sleep(0.3)  # a pause longer than the inter-byte timeout below
                os.write(fd, b" fan=on\n")
            elif line == b"QUIT":
                return


def main():
    near, far = os.openpty()
    device = threading.Thread(target=fake_device, args=(near,))
    device.start()

    # Open by path, as with real hardware. The settings are the constructor's
    # keywords (or properties set later). timeout bounds each read(n) and
    # read_until() as a whole, but each byte of readline() (a line that keeps
    # coming is not cut); write_timeout bounds each write.
    with marovenda.Serial(os.ttyname(far), baudrate=115200, timeout=1, write_timeout=1) as port:
        port.write(b"PING\n")
        print("PING ->", port.readline())  # returns at the line feed, long before 1 s

        # A command the device ignores: the read gives up after `timeout`
        # and returns what came, here nothing. A timeout is not an error.
        start = time.monotonic()
        port.write(b"HELLO?\n")
        print("HELLO? ->", port.readline(), f"after {time.monotonic() - start:.1f} s")

        # read(n) waits for n bytes or the timeout. inter_byte_timeout ends
        # it sooner once data has come and then paused: here the device's
        # 0.3 s pause ends the read with the first burst.
        port.inter_byte_timeout = 0.1
        port.write(b"STATUS\n")
        print("STATUS, first burst ->", port.read(100))
        port.inter_byte_timeout = None
        print("STATUS, the rest ->", port.read_until(b"\n"))

        # timeout=0 never waits: whatever is buffered now, maybe nothing.
        port.timeout = 0
        print("nothing left ->", port.read(100))

        port.write(b"QUIT\n")
    device.join()
    os.close(near)
    os.close(far)


if __name__ == "__main__":
    main()
