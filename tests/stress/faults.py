"""Injected faults: pty hang-ups, fork(), SIGINT storms, closed event loops and
an interpreter exiting with operations pending."""
import asyncio
import faulthandler
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import marovenda
from marovenda import aio

from common import Result, Skip, open_pty_pair, pty_probe, rng, round_trip, transport_probe

FORK_MESSAGE = "marovenda cannot be used in a child process created by fork()"
DEVICE_GONE = (marovenda.SerialException,)  # PortNotOpenError is one too


def pty_hangup(short):
    """The master end closes while the port reads and writes."""
    pty_probe()
    result = Result("pty master closed under a blocked read and a blocked write")
    r = rng()
    for _ in range(30 if short else 200):
        master, s = open_pty_pair()
        s.timeout = s.write_timeout = None
        outcomes = {}

        def call(name, fn):
            try:
                fn()
                outcomes[name] = "returned"
            except DEVICE_GONE as e:
                outcomes[name] = e
            except Exception as e:
                outcomes[name] = f"unexpected {e!r}"

        reader = threading.Thread(target=call, args=("read", lambda: s.read(100)))
        # More than the pty holds, so the write waits for a reader that never comes.
        writer = threading.Thread(target=call, args=("write", lambda: s.write(b"w" * 200000)))
        reader.start()
        writer.start()
        time.sleep(r.uniform(0.06, 0.15))  # past the 50 ms window, so both wait on the runtime
        os.close(master)
        result.add(ops=2, faults=1)
        for t in (reader, writer):
            t.join(10)
            if t.is_alive():
                result.error("a call did not end after the hang-up")
                faulthandler.dump_traceback(file=sys.stdout, all_threads=True)
                return result
        for name, got in outcomes.items():
            if isinstance(got, str) and got != "returned":
                result.error(f"{name}: {got}")
        # The reader sees the hang-up and closes the port; the writer then ends
        # with the port closed. Either way nothing works on it any more.
        s.close()
        try:
            s.read(1)
            result.error("a read on the hung-up, closed port succeeded")
        except marovenda.PortNotOpenError:
            pass
    result.notes.append("every blocked call ended with SerialException/PortNotOpenError; no hang")
    return result


def fork_children(short):
    """fork() while threads do I/O; the child is refused and closes cleanly."""
    result = Result("fork() while 4 threads do I/O; the child tries each call, closes inherited ports, _exit")
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
    ports = [marovenda.serial_for_url("loop://", timeout=0.01) for _ in range(2)]
    aports = [aio.serial_for_url("loop://", timeout=0.01)]
    try:
        master, pty_port = open_pty_pair()
        ports.append(pty_port)
        pty_name = pty_port.port
    except Skip:
        master = pty_name = None
        result.notes.append("pty ports are not available: the child inherits loopback ports only")
    stop = threading.Event()

    def busy(s):
        while not stop.is_set():
            try:
                s.write(b"abc")
                s.read(3)
            except marovenda.SerialException:
                pass

    threads = [threading.Thread(target=busy, args=(s,)) for s in ports[:2] * 2]
    for t in threads:
        t.start()
    pending = aports[0].read(10)  # a pending operation crosses the fork

    calls = [
        lambda s: s.read(1), lambda s: s.write(b"x"), lambda s: s.readline(), lambda s: s.flush(),
        lambda s: s.send_break(0),
    ]

    def in_child():
        bad = []
        for s in ports:
            for c in calls:
                try:
                    c(s)
                    bad.append("call succeeded")
                except marovenda.SerialException as e:
                    if str(e) != FORK_MESSAGE:
                        bad.append(repr(e))
        try:
            aports[0].read(1)
            bad.append("aio read succeeded")
        except marovenda.SerialException as e:
            if str(e) != FORK_MESSAGE:
                bad.append(repr(e))
        if pty_name is not None:
            try:
                marovenda.Serial(pty_name)
                bad.append("opening a device succeeded")
            except marovenda.SerialException as e:
                if str(e) != FORK_MESSAGE:
                    bad.append(repr(e))
        # Opening the loopback device and changing settings need no runtime.
        fresh = marovenda.Serial("loop://", baudrate=19200)
        fresh.timeout = 1
        fresh.close()
        for s in ports + aports:
            # Cancels take no lock the parent's threads may have held.
            s.cancel_read()
            s.cancel_write()
        for s in ports + aports:
            # Closing is not refused; announced first, so a stack dump names the port.
            print(f"child {os.getpid()}: closing {s.port} (busy in the parent: {s in ports[:2]})",
                  file=sys.stderr, flush=True)
            s.close()
        return bad

    try:
        for _ in range(30 if short else 200):
            time.sleep(0.01)
            pid = os.fork()
            if pid == 0:
                # Not faulthandler's watchdog: its thread is not in the child,
                # and re-arming it waits for that thread forever. A stuck child
                # dumps its stack on SIGALRM and is then killed by the parent.
                faulthandler.register(signal.SIGALRM, all_threads=True)
                signal.alarm(8)
                try:
                    bad = in_child()
                    if bad:
                        print("child:", bad[:3], flush=True)
                    os._exit(1 if bad else 0)
                except BaseException as e:
                    print("child:", repr(e), flush=True)
                    os._exit(2)
            result.add(faults=1, ops=len(calls) * len(ports) + 2)
            end = time.monotonic() + 15
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                if time.monotonic() > end:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    result.error("a child hung")
                    break
                time.sleep(0.01)
            if done and status != 0:
                result.error(f"child ended with {os.waitstatus_to_exitcode(status)}")
    finally:
        stop.set()
        for t in threads:
            t.join()
        pending.cancel()
        for s in ports[:2]:
            if not round_trip(s):
                result.error("a loopback port no longer round-trips in the parent")
        for s in ports + aports:
            s.close()
        if master is not None:
            os.close(master)
    return result


def sigint_storm(short):
    """Bursts of SIGINT against blocking reads on the main thread."""
    result = Result("SIGINT bursts against blocking read/readline/read_until on the main thread")
    r = rng()
    s = marovenda.serial_for_url("loop://", timeout=None)
    state = {"armed": False, "extra": 0}

    def handler(signum, frame):
        # One KeyboardInterrupt per interrupted call; the rest of a burst is
        # counted, so it cannot land in the bookkeeping below.
        if state["armed"]:
            state["armed"] = False
            raise KeyboardInterrupt
        state["extra"] += 1

    previous = signal.signal(signal.SIGINT, handler)
    pid = os.getpid()
    calls = [lambda: s.read(10), lambda: s.readline(), lambda: s.read_until(b"END")]
    eaten = early = 0
    try:
        for i in range(100 if short else 600):
            delays = [r.uniform(0.001, 0.15)] + [r.uniform(0, 0.02) for _ in range(r.randint(0, 4))]

            def burst():
                for d in delays:
                    time.sleep(d)
                    os.kill(pid, signal.SIGINT)

            sender = threading.Thread(target=burst)
            phase = "setup"
            try:
                state["armed"] = True
                sender.start()
                started = time.monotonic()
                phase = "call"
                calls[i % len(calls)]()
                result.error("a blocking read returned without data")
            except KeyboardInterrupt:
                if phase != "call":
                    early += 1  # the first signal beat the call; nothing to check this round
            took = time.monotonic() - started if phase == "call" else 0
            state["armed"] = False
            sender.join()
            time.sleep(0.005)  # a signal still on its way is handled here, disarmed
            result.add(ops=1, faults=len(delays))
            if took > delays[0] + 0.5:
                result.error(f"KeyboardInterrupt came {took - delays[0]:.2f}s after the signal")
            # The interrupted read must leave the port usable.
            s.timeout = 1
            s.write(b"ok")
            got = s.read(2)
            if got != b"ok":
                eaten += 2 - len(got)  # the cancelled read took them before it was dropped
                s.reset_input_buffer()
                s.write(b"ok")
                if s.read(2) != b"ok":
                    result.error("the port does not round-trip after an interrupted read")
            s.timeout = None
            result.add(ops=2, checked=2)
    finally:
        signal.signal(signal.SIGINT, previous)
        s.close()
    if eaten:
        result.allow("bytes taken by an interrupted read", eaten)
    result.notes.append(f"{state['extra']} further signals of the bursts landed between calls; "
                        f"{early} rounds where the first signal came before the read began")
    return result


def loop_closed(short):
    """The event loop closed while its transport has a read running."""
    transport_probe()
    result = Result("event loop stopped and closed under a running transport (read pending)")
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(u)

    class Proto(asyncio.Protocol):
        def connection_made(self, transport):
            self.transport = transport

    for _ in range(20 if short else 100):
        loop = asyncio.new_event_loop()
        transport, proto = loop.run_until_complete(aio.create_serial_connection(loop, Proto, "loop://"))
        serial = transport.serial
        loop.run_until_complete(asyncio.sleep(0.01))  # the first read is running now
        loop.close()
        result.add(ops=1, faults=1)
        # The read ends within its 1 s bound (or now, fed a byte); its hop onto
        # the closed loop fails and the transport closes its serial object.
        serial.write_timeout = None
        try:
            serial.write(b"x")
        except marovenda.SerialException:
            pass
        end = time.monotonic() + 3
        while serial.is_open and time.monotonic() < end:
            time.sleep(0.01)
        if serial.is_open:
            result.error("the serial object stayed open after its loop closed")
            serial.close()
    if unraisable:
        result.error(f"{len(unraisable)} unraisable reports, first: {unraisable[0].exc_value!r}")
    return result


EXIT_CASES = {
    "read pending on a thread": """
        s = marovenda.serial_for_url("loop://")
        threading.Thread(target=s.read, args=(10,), daemon=True).start()
        time.sleep(0.1)
    """,
    "write blocked on a full buffer": """
        s = marovenda.serial_for_url("loop://")
        threading.Thread(target=s.write, args=(b"x" * 10000,), daemon=True).start()
        time.sleep(0.1)
    """,
    "endless break": """
        s = marovenda.serial_for_url("loop://")
        threading.Thread(target=s.send_break, args=(float("inf"),), daemon=True).start()
        time.sleep(0.1)
    """,
    "futures pending with callbacks": """
        s = aio.serial_for_url("loop://")
        futs = [s.read(5) for _ in range(20)] + [s.write(b"y" * 10000)]
        for f in futs:
            f.add_done_callback(lambda f: print("late", f))
    """,
    "callback running at exit": """
        s = aio.serial_for_url("loop://", timeout=0.05)
        f = s.read(5)
        f.add_done_callback(lambda f: time.sleep(0.3))
        time.sleep(0.06)
    """,
    "loop awaiting in a thread": """
        def run():
            async def main():
                s = aio.serial_for_url("loop://")
                await s.read(5)
            asyncio.run(main())
        threading.Thread(target=run, daemon=True).start()
        time.sleep(0.1)
    """,
    "port dropped with operations pending": """
        s = aio.serial_for_url("loop://")
        futs = [s.read(5) for _ in range(5)]
        del s
    """,
    "transport running in a thread": """
        if hasattr(aio, "create_serial_connection"):
            def run():
                async def main():
                    loop = asyncio.get_running_loop()
                    t, p = await aio.create_serial_connection(loop, asyncio.Protocol, "loop://")
                    await asyncio.sleep(10)
                asyncio.run(main())
            threading.Thread(target=run, daemon=True).start()
            time.sleep(0.1)
    """,
}


def exit_pending(short):
    """The interpreter exits with operations of every kind still pending."""
    result = Result("interpreter exits with operations pending (threads, futures, callbacks, loops)")
    rounds = 3 if short else 12
    prologue = "import asyncio, threading, time, marovenda\nfrom marovenda import aio\n"
    for _ in range(rounds):
        for name, body in EXIT_CASES.items():
            code = prologue + textwrap.dedent(body)
            started = time.monotonic()
            try:
                p = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True,
                                   text=True, timeout=10)
            except subprocess.TimeoutExpired:
                result.error(f"{name}: the interpreter did not exit within 10 s")
                continue
            took = time.monotonic() - started
            result.add(ops=1, faults=1)
            noise = [line for line in p.stderr.splitlines()
                     if any(w in line for w in ("Fatal", "fault", "Traceback", "Error", "Exception", "Sanitizer"))]
            if p.returncode != 0 or noise:
                result.error(f"{name}: status {p.returncode}, stderr {noise[-3:]}")
            elif took > 5:
                result.error(f"{name}: exit took {took:.1f}s")
    return result


SCENARIOS = {
    "fault-pty-hangup": (pty_hangup, 90, 300),
    "fault-fork": (fork_children, 90, 300),
    "fault-sigint-storm": (sigint_storm, 120, 600),
    "fault-loop-closed": (loop_closed, 120, 300),
    "fault-exit-pending": (exit_pending, 120, 400),
}
