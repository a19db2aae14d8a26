"""Side-by-side figures for the blocking API: ours against an os.pipe() baseline.

Each line: <name>: ours <value> <unit>, baseline <value> <unit>, ratio <ours/baseline>
Values are medians over repeated rounds in this one interpreter.
"""
import fcntl
import os
import shutil
import subprocess
import tempfile
import textwrap
import statistics
import sys
import threading
import time

import marovenda


def median_of(rounds, fn):
    return statistics.median(fn() for _ in range(rounds))


def report(name, ours, baseline, unit):
    print(f"{name}: ours {ours:.6g} {unit}, baseline {baseline:.6g} {unit}, ratio {ours / baseline:.3g}",
          flush=True)


# ---- loop_roundtrip -----------------------------------------------------------

ROUNDTRIPS = 20_000


def roundtrip_ours():
    s = marovenda.serial_for_url("loop://")
    write, read = s.write, s.read
    try:
        start = time.perf_counter_ns()
        for _ in range(ROUNDTRIPS):
            write(b"x")
            read(1)
        return (time.perf_counter_ns() - start) / ROUNDTRIPS
    finally:
        s.close()


def roundtrip_pipe():
    r, w = os.pipe()
    write, read = os.write, os.read
    try:
        start = time.perf_counter_ns()
        for _ in range(ROUNDTRIPS):
            write(w, b"x")
            read(r, 1)
        return (time.perf_counter_ns() - start) / ROUNDTRIPS
    finally:
        os.close(r)
        os.close(w)


# ---- loop_stream ----------------------------------------------------------------

STREAM_TOTAL = 64 << 20
CHUNK = 64 << 10


def stream(write, read):
    """MiB/s of STREAM_TOTAL bytes from a writer thread to a reader thread."""
    payload = b"\xa5" * CHUNK
    got = [0]

    def writer():
        for _ in range(STREAM_TOTAL // CHUNK):
            write(payload)

    def reader():
        n = 0
        while n < STREAM_TOTAL:
            data = read(CHUNK)
            if not data:
                raise RuntimeError("stream stalled")
            n += len(data)
        got[0] = n

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    assert got[0] == STREAM_TOTAL
    return STREAM_TOTAL / (1 << 20) / elapsed


def stream_ours():
    s = marovenda.serial_for_url("loop://", timeout=5)
    try:
        return stream(s.write, s.read)
    finally:
        s.close()


def stream_pipe(size=None):
    """The same job over a pipe. Sized to the loopback's 4096 bytes, the
    reader gathers each 64 KiB read in full, as a read of ours does."""
    r, w = os.pipe()
    if size:
        fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, size)

    def write_all(data):
        view = memoryview(data)
        while view:
            view = view[os.write(w, view):]

    try:
        def read_full(n):
            parts, got = [], 0
            while got < n:
                part = os.read(r, n - got)
                if not part:
                    break
                parts.append(part)
                got += len(part)
            return b"".join(parts)

        return stream(write_all, read_full if size else lambda n: os.read(r, n))
    finally:
        os.close(r)
        os.close(w)


# ---- loop_roundtrip_instructions ------------------------------------------------

# Instructions per round trip under callgrind, from two runs of different
# length so that start-up cancels out; user space only, so the kernel's cost of
# a pipe system call does not enter either figure.
INSTR_SHORT, INSTR_LONG = 1_000, 11_000

INSTR_SCRIPT = textwrap.dedent("""
    import os, sys
    import marovenda
    n = int(sys.argv[2])
    if sys.argv[1] == "ours":
        s = marovenda.serial_for_url("loop://")
        s.write(b"x"); s.read(1)  # the runtime starts outside the count
        def run(write=s.write, read=s.read):
            for _ in range(n):
                write(b"x")
                read(1)
    else:
        r, w = os.pipe()
        def run(write=os.write, read=os.read):
            for _ in range(n):
                write(w, b"x")
                read(r, 1)
    run()
""")


def callgrind_count(kind, n):
    with tempfile.TemporaryDirectory() as d:
        script = os.path.join(d, "count.py")
        with open(script, "w") as f:
            f.write(INSTR_SCRIPT)
        out = os.path.join(d, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, script,
                        kind, str(n)], check=True, capture_output=True, env=os.environ)
        with open(out) as f:
            for line in f:
                if line.startswith("summary:"):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no summary")


def instructions():
    if not shutil.which("valgrind"):
        print("loop_roundtrip_instructions: skipped, valgrind is missing", flush=True)
        return
    per = {}
    for kind in ("ours", "baseline"):
        per[kind] = (callgrind_count(kind, INSTR_LONG) - callgrind_count(kind, INSTR_SHORT)) / (INSTR_LONG - INSTR_SHORT)
    print(f"loop_roundtrip_instructions: ours {per['ours']:.0f} instructions, "
          f"baseline {per['baseline']:.0f} instructions, ratio {per['ours'] / per['baseline']:.3g}", flush=True)


# ---- thread_scaling -----------------------------------------------------------

SCALING_SECONDS = 1.0


def scaling(threads):
    """Aggregate round trips per second, each thread on its own loop:// port."""
    ports = [marovenda.serial_for_url("loop://") for _ in range(threads)]
    counts = [0] * threads
    barrier = threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(i):
        s = ports[i]
        write, read = s.write, s.read
        barrier.wait()
        n = 0
        while not stop.is_set():
            for _ in range(100):
                write(b"x")
                read(1)
            n += 100
        counts[i] = n

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in workers:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(SCALING_SECONDS)
    stop.set()
    for t in workers:
        t.join()
    elapsed = time.perf_counter() - start
    for s in ports:
        s.close()
    return sum(counts) / elapsed


def main():
    if sys._is_gil_enabled():
        print("warning: the GIL is enabled; thread_scaling means little", file=sys.stderr)
    roundtrip_ours()  # starts the runtime outside the measurement
    report("loop_roundtrip", median_of(7, roundtrip_ours), median_of(7, roundtrip_pipe), "ns")
    ours_stream = median_of(3, stream_ours)
    report("loop_stream", ours_stream, median_of(3, lambda: stream_pipe(4096)), "MiB/s")
    report("loop_stream_pipe64k", ours_stream, median_of(3, stream_pipe), "MiB/s")
    instructions()
    by_threads = {n: median_of(3, lambda: scaling(n)) for n in (1, 2, 4, 8)}
    print("thread_scaling detail: " + ", ".join(f"{n} threads {v:.0f} rt/s" for n, v in by_threads.items()),
          file=sys.stderr)
    report("thread_scaling", by_threads[8], by_threads[1], "round trips/s")


if __name__ == "__main__":
    main()
    # The other faces' benchmarks live beside this file, one module each.
    import importlib
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    for name in ("bench_aio", "bench_pty", "bench_transport"):
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError:
            continue
        module.main()
