import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import marovenda
from helpers import Timer, fork_child

FORKED = "marovenda cannot be used in a child process created by fork()"


def run_script(body):
    script = textwrap.dedent(body)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


def test_runtime_threads_start_with_the_first_blocking_operation():
    out = run_script("""
        import glob, marovenda
        def names():
            out = []
            for p in glob.glob("/proc/self/task/*/comm"):
                with open(p) as f:
                    out.append(f.read().strip())
            return out
        s = marovenda.serial_for_url("loop://")
        s.baudrate = 19200
        assert "marovenda" not in names(), names()
        s.write(b"x")
        assert s.read(1) == b"x"
        print(names().count("marovenda"))
    """)
    assert int(out) >= 2


def test_child_of_a_process_without_runtime_builds_its_own():
    run_script("""
        import os, marovenda
        pid = os.fork()
        if pid == 0:
            try:
                s = marovenda.serial_for_url("loop://")
                s.write(b"ok")
                os._exit(0 if s.read(2) == b"ok" else 1)
            except BaseException:
                os._exit(2)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
    """)


def test_fork_guard_in_a_forked_child(port):
    port.write(b"x")
    assert port.read(1) == b"x"  # the runtime exists before the fork
    def child():
        s = marovenda.serial_for_url("loop://")  # opening and settings need no runtime
        s.baudrate = 115200
        s.write_timeout = 1
        for call in (lambda: s.read(1), lambda: s.write(b"y"), lambda: s.send_break(-1), s.flush):
            try:
                call()
                return 12
            except marovenda.SerialException as e:
                if str(e) != FORKED or type(e) is not marovenda.SerialException:
                    return 13
        return 0 if s.in_waiting == 0 else 14  # nothing touched the port

    assert fork_child(child) == 0


@pytest.fixture
def sigint_handler():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def interrupt_after(delay):
    t = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    t.start()
    return t


@pytest.mark.parametrize("delay", [0.01, 0.4], ids=["in-window", "after-window"])
def test_sigint_interrupts_a_blocking_read(port, sigint_handler, delay):
    timer = interrupt_after(delay)
    with Timer() as t:
        with pytest.raises(KeyboardInterrupt):
            port.readline()
    timer.join()
    # within the window signals wait for its end; afterwards a 50 ms slice
    assert t.elapsed < delay + 0.2
    port.write(b"next\n")
    with Timer() as t:
        assert port.readline() == b"next\n"  # the read lock was given up
    assert t.elapsed < 0.1


def test_signal_handler_exception_propagates_unchanged(port):
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("stop")

    previous = signal.signal(signal.SIGINT, handler)
    try:
        timer = interrupt_after(0.2)
        with pytest.raises(Stop):
            port.read(5)
        timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    port.timeout = 0
    port.write(b"abc")
    assert port.read(5) == b"abc"  # the cancelled read took nothing


def test_interrupted_write_leaves_the_port_usable(port, sigint_handler):
    port.write(b"x" * 4096)
    timer = interrupt_after(0.2)
    with pytest.raises(KeyboardInterrupt):
        port.write(b"more")
    timer.join()
    port.reset_output_buffer()
    port.write_timeout = 0.5
    assert port.write(b"ok") == 2
