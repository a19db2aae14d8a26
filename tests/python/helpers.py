import os
import threading
import time
import warnings

import pytest


class Background:
    """Runs fn(*args) on a thread; join() returns its value or raises its error."""

    def __init__(self, fn, *args):
        self.value = self.error = None
        self.started = time.monotonic()
        self.ended = None
        self.thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self.thread.start()

    def _run(self, fn, args):
        try:
            self.value = fn(*args)
        except BaseException as e:  # handed to the joining thread
            self.error = e
        self.ended = time.monotonic()

    @property
    def running(self):
        return self.thread.is_alive()

    @property
    def elapsed(self):
        return self.ended - self.started

    def join(self, timeout=5.0):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "background call did not finish"
        if self.error is not None:
            raise self.error
        return self.value


def wait_until(cond, timeout=5.0):
    end = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < end, "condition not reached"
        time.sleep(0.005)


class Timer:
    def __enter__(self):
        self.start = time.monotonic()
        return self

    def __exit__(self, *exc):
        self.elapsed = time.monotonic() - self.start


class Unprintable:
    def __repr__(self):
        raise RuntimeError("no repr")


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


def fork_child(body, timeout=10.0):
    """Runs body() in a forked child; returns its exit code (body's return value)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:
        code = 99
        try:
            code = body()
        finally:
            os._exit(code)
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("forked child did not finish")
