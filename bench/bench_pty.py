"""pty_stream: 64 MiB written by a thread into a pty master and read on the
slave with Serial.read(65536), against a plain os.read(fd, 65536) loop on an
identical pty whose slave is opened the same way (read-write, no controlling
terminal, raw mode).

Prints: pty_stream: ours <v> MiB/s, baseline <v> MiB/s, ratio <ours/baseline>
"""
import os
import statistics
import threading
import time
import tty

import marovenda

TOTAL = 64 << 20
CHUNK = 65536
ROUNDS = 5


def feed(master):
    data = b"\x55" * CHUNK
    left = TOTAL
    while left:
        left -= os.write(master, data[:min(left, CHUNK)])


def timed(read_all):
    """MiB/s of one 64 MiB transfer through a fresh pty; read_all(name)
    opens the slave by its path and returns a function reading one chunk."""
    master, slave = os.openpty()
    try:
        read_chunk, done = read_all(os.ttyname(slave))
        writer = threading.Thread(target=feed, args=(master,))
        got = 0
        start = time.perf_counter()
        writer.start()
        try:
            while got < TOTAL:
                n = len(read_chunk())
                if not n:
                    raise RuntimeError("pty_stream: the read timed out")
                got += n
            elapsed = time.perf_counter() - start
        finally:
            writer.join()
            done()
        return TOTAL / elapsed / (1 << 20)
    finally:
        os.close(master)
        os.close(slave)


def ours(name):
    s = marovenda.Serial(name, timeout=5)
    read = s.read
    return (lambda: read(CHUNK)), s.close


def baseline(name):
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    return (lambda: os.read(fd, CHUNK)), (lambda: os.close(fd))


def main():
    # Interleaved rounds, so drift in the machine's load hits both sides alike.
    a, b = [], []
    for _ in range(ROUNDS):
        a.append(timed(ours))
        b.append(timed(baseline))
    mine, base = statistics.median(a), statistics.median(b)
    print(f"pty_stream: ours {mine:.6g} MiB/s, baseline {base:.6g} MiB/s, ratio {mine / base:.3g}", flush=True)


if __name__ == "__main__":
    main()
