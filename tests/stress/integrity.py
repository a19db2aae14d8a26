"""Sequence-numbered records through loopback and pty ports, every byte
accounted for."""
import asyncio
import os
import threading
import time

import marovenda
from marovenda import aio

from common import Result, Writer, check_stream, open_pty_pair, record, rng

def _writer_thread(s, wr, blocks, r, result, max_block=20):
    for _ in range(blocks):
        recs = wr.block(r.randint(1, max_block))
        data = b"".join(recs)
        try:
            n = s.write(data)
        except marovenda.SerialTimeoutException:
            wr.log(recs, "timeout")
            result.add(ops=1, faults=1)
            continue
        wr.log(recs, "ok", n)
        result.add(ops=1, faults=n < len(data))


def _chaos(s, stop, r, result):
    """cancel_read, cancel_write and write-timeout changes while data flows."""
    while not stop.is_set():
        time.sleep(r.uniform(0, 0.004))
        what = r.random()
        if what < 0.4:
            s.cancel_read()
        elif what < 0.8:
            s.cancel_write()
        else:
            s.write_timeout = r.choice([None, None, 0, 0.0005, 0.01])
        result.add(faults=1)


def _one_port(s, writers, blocks, r, result, reader_read=None):
    """Writers on threads, one reader here; returns the bytes received."""
    stop = threading.Event()
    threads = [threading.Thread(target=_writer_thread, args=(s, wr, blocks, rng(r.random()), result))
               for wr in writers]
    chaos = threading.Thread(target=_chaos, args=(s, stop, rng(r.random()), result))
    for t in threads:
        t.start()
    chaos.start()
    got = bytearray()
    read = reader_read or (lambda n: s.read(n))
    s.timeout = 0.02
    try:
        while any(t.is_alive() for t in threads):
            got += read(r.randint(1, 9000))
            result.add(ops=1)
            if r.random() < 0.05:
                time.sleep(r.uniform(0, 0.005))  # lets the buffer fill, so writes wait and time out
    finally:
        stop.set()
        chaos.join()
        for t in threads:
            t.join()
    s.write_timeout = None
    got += _drain(s, read, result)
    return bytes(got)


def _drain(s, read, result):
    """Reads until the port is empty; a stored cancel permit may end one read early."""
    got = bytearray()
    empties = 0
    while empties < 2:
        chunk = read(65536)
        result.add(ops=1)
        got += chunk
        empties = empties + 1 if not chunk and s.in_waiting == 0 else 0
    return got


def loop_one_port(short):
    """4 writers and 1 reader on one loopback port, with cancels and write timeouts."""
    result = Result("4 writers + 1 reader on one loop:// port; cancel_read/cancel_write/write_timeout chaos")
    r = rng()
    blocks = 10000 if short else 60000
    s = marovenda.serial_for_url("loop://")
    writers = [Writer(w) for w in range(4)]
    got = _one_port(s, writers, blocks, r, result)
    check_stream([got], writers, result)
    s.close()
    return result


def loop_many_ports(short):
    """16 loopback ports at once, 2 writers and 1 reader each."""
    result = Result("16 loop:// ports at once, 2 writers + 1 reader each, with chaos")
    r = rng()
    blocks = 2000 if short else 12000
    outcomes = []

    def port_main(seed):
        pr = rng(seed)
        s = marovenda.serial_for_url("loop://")
        writers = [Writer(w) for w in range(2)]
        got = _one_port(s, writers, blocks, pr, result)
        outcomes.append((got, writers))
        s.close()

    threads = [threading.Thread(target=port_main, args=(r.random(),)) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, writers in outcomes:
        check_stream([got], writers, result)
    return result


def loop_many_readers(short):
    """4 writers and 4 readers on one port: each fixed-size record read once."""
    result = Result("4 writers + 4 readers on one loop:// port, 16-byte records, each read exactly once")
    per_writer = 20000 if short else 150000
    size = 16
    s = marovenda.serial_for_url("loop://")
    total = 4 * per_writer
    received = [[] for _ in range(4)]
    count = [0]
    lock = threading.Lock()
    done = threading.Event()

    def write(w):
        r = rng(w)
        seq = 0
        while seq < per_writer:
            k = min(r.randint(1, 64), per_writer - seq)
            s.write(b"".join(record(w, seq + i, fixed=size - 10) for i in range(k)))
            seq += k
            result.add(ops=1)

    def read(i):
        while not done.is_set():
            try:
                rec = s.read(size)
            except marovenda.PortNotOpenError:
                return
            result.add(ops=1)
            if not rec:
                continue
            received[i].append(rec)
            with lock:
                count[0] += 1
                if count[0] == total:
                    done.set()

    threads = [threading.Thread(target=write, args=(w,)) for w in range(4)]
    threads += [threading.Thread(target=read, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    done.wait(600)
    while any(t.is_alive() for t in threads[4:]):
        s.cancel_read()  # wakes the readers still waiting, with nothing
        time.sleep(0.01)
    for t in threads:
        t.join()
    seen = set()
    for i, recs in enumerate(received):
        last = {}
        for rec in recs:
            result.add(checked=len(rec))
            w, seq = rec[1] - 65, int(rec[2:9])
            if len(rec) != size or rec != record(w, seq, fixed=size - 10):
                result.error(f"reader {i}: torn record {rec!r}")
                result.lost += size
                continue
            if (w, seq) in seen:
                result.error(f"record {w}/{seq} read twice")
            seen.add((w, seq))
            if seq <= last.get(w, -1):
                result.error(f"reader {i}: writer {w} out of order: {seq} after {last[w]}")
            last[w] = seq
    missing = total - len(seen)
    if missing:
        result.error(f"{missing} records never read")
        result.lost += missing * size
    s.close()
    return result


def aio_cancelled_reads(short):
    """aio reads cancelled mid-way: only their gathered bytes may go missing."""
    result = Result("aio.Serial: 3 writer tasks, 1 reader task whose reads are cancelled at random")
    r = rng()
    blocks = 5000 if short else 40000

    async def main():
        s = aio.serial_for_url("loop://")
        writers = [Writer(w) for w in range(3)]
        segments = [bytearray()]

        async def write(wr):
            for _ in range(blocks):
                recs = wr.block(r.randint(1, 30))
                n = await s.write(b"".join(recs))
                wr.log(recs, "ok", n)
                result.add(ops=1)
                if r.random() < 0.3:
                    await asyncio.sleep(0)

        async def read_all_until(stop):
            while True:
                n = r.randint(1, 5000)
                how = r.random()
                s.timeout = None if how < 0.3 else 0.01
                fut = s.read(n)
                try:
                    if how < 0.15:
                        await asyncio.sleep(r.uniform(0, 0.002))
                        if fut.cancel():
                            raise asyncio.CancelledError
                        chunk = await fut
                    elif how < 0.3:
                        chunk = await asyncio.wait_for(fut, r.uniform(0, 0.003))
                    else:
                        chunk = await fut
                except (asyncio.CancelledError, TimeoutError):
                    result.add(ops=1, faults=1)
                    segments.append(bytearray())
                    continue
                result.add(ops=1)
                segments[-1] += chunk
                if stop.is_set() and not chunk and s.in_waiting == 0:
                    return

        stop = asyncio.Event()
        reader = asyncio.ensure_future(read_all_until(stop))
        await asyncio.gather(*(write(wr) for wr in writers))
        stop.set()
        await asyncio.wait_for(reader, 60)
        s.close()
        return [bytes(x) for x in segments], writers

    segments, writers = asyncio.run(main())
    check_stream(segments, writers, result, breaks_allowed=True)
    return result


def pty_both_ways(short):
    """Records through a pty: port to master and master to port."""
    master, s = open_pty_pair()
    result = Result("pty: 2 writer threads -> master reader, and master writer -> port reader, with chaos")
    r = rng()
    blocks = 3000 if short else 20000
    try:
        # port -> master
        writers = [Writer(w) for w in range(2)]
        stop = threading.Event()
        got = bytearray()

        def drain_master():
            import select
            while True:
                ready, _, _ = select.select([master], [], [], 0.2)
                if ready:
                    try:
                        chunk = os.read(master, 65536)
                    except OSError:
                        return
                    got.extend(chunk)
                    result.add(ops=1)
                elif stop.is_set():
                    return

        reader = threading.Thread(target=drain_master)
        reader.start()
        threads = [threading.Thread(target=_writer_thread, args=(s, wr, blocks, rng(r.random()), result, 40))
                   for wr in writers]
        chaos_stop = threading.Event()
        chaos = threading.Thread(target=_chaos, args=(s, chaos_stop, rng(r.random()), result))
        for t in threads:
            t.start()
        chaos.start()
        for t in threads:
            t.join()
        chaos_stop.set()
        chaos.join()
        s.write_timeout = None
        s.flush()
        stop.set()
        reader.join()
        check_stream([bytes(got)], writers, result)

        # master -> port
        wr = Writer(5)
        sr = rng(r.random())
        sent = threading.Thread(target=lambda: [os.write(master, b"".join(_full(wr, sr))) for _ in range(blocks)])
        sent.start()
        incoming = bytearray()
        s.timeout = 0.05
        chaos_stop.clear()
        chaos = threading.Thread(target=_chaos, args=(s, chaos_stop, rng(r.random()), result))
        chaos.start()
        while sent.is_alive():
            incoming += s.read(r.randint(1, 8192))
            result.add(ops=1)
        chaos_stop.set()
        chaos.join()
        sent.join()
        s.timeout = 0.3
        incoming += _drain(s, s.read, result)
        check_stream([bytes(incoming)], [wr], result)
    finally:
        s.close()
        os.close(master)
    return result


def _full(wr, r):
    recs = wr.block(r.randint(1, 40))
    wr.log(recs, "ok", sum(map(len, recs)))
    return recs


SCENARIOS = {
    "integrity-loop-one-port": (loop_one_port, 60, 240),
    "integrity-loop-many-ports": (loop_many_ports, 60, 240),
    "integrity-loop-many-readers": (loop_many_readers, 60, 300),
    "integrity-aio-cancelled-reads": (aio_cancelled_reads, 60, 240),
    "integrity-pty": (pty_both_ways, 60, 240),
}
