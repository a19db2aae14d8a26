import threading
import time


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
