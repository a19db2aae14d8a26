import inspect

import pytest

import marovenda
from helpers import BadBool, notes


@pytest.mark.parametrize("url", ["loop://", "LOOP://", "Loop://anything"])
def test_loop_urls_open_and_keep_their_spelling(url):
    s = marovenda.serial_for_url(url)
    assert type(s) is marovenda.Serial and s.is_open and s.port == url
    s.write(b"x")
    assert s.read(1) == b"x"
    s.close()


@pytest.mark.parametrize("url, scheme", [
    ("abc://x", "abc"), ("ABC://x", "abc"), ("://x", ""), ("/dev/odd://name", "/dev/odd"),
    ("loopy://", "loopy"), ("\u00c9://", "\u00e9"),
])
def test_unknown_schemes(url, scheme):
    with pytest.raises(ValueError) as e:
        marovenda.serial_for_url(url)
    assert str(e.value) == f"invalid URL, protocol {scheme!r} not known"


class Lowers(str):
    """A str whose own lower() lies about its scheme."""

    def lower(self):
        return "abc://" if self.startswith("loop") else "loop://"


def test_scheme_check_reads_the_text_not_an_overridden_lower():
    with pytest.raises(ValueError, match="^invalid URL, protocol 'abc' not known$"):
        marovenda.serial_for_url(Lowers("ABC://x"))
    s = marovenda.serial_for_url(Lowers("LOOP://"))
    assert s.is_open and s.port == "LOOP://"
    s.close()


def test_device_path_passes_the_check():
    s = marovenda.serial_for_url("/dev/ttyUSB0", do_not_open=True)
    assert (s.port, s.is_open) == ("/dev/ttyUSB0", False)


def test_do_not_open_and_forwarded_arguments():
    s = marovenda.serial_for_url("loop://", 115200, 7, do_not_open=1, timeout=0.5)
    assert (s.is_open, s.port, s.baudrate, s.bytesize, s.timeout) == (False, "loop://", 115200, 7, 0.5)
    s.open()
    assert s.is_open
    s.close()


@pytest.mark.parametrize("args, kwargs, exc", [
    ((), {}, TypeError),
    (("loop://",), {"port": "loop://"}, TypeError),
    (("loop://",), {"speed": 1}, TypeError),
    (("loop://", -1), {}, ValueError),
    (("\ud800",), {}, UnicodeEncodeError),
    ((b"loop://",), {}, TypeError),
    ((None,), {}, marovenda.SerialException),
])
def test_refused_calls(args, kwargs, exc):
    with pytest.raises(exc):
        marovenda.serial_for_url(*args, **kwargs)


def test_url_may_be_passed_by_keyword():
    s = marovenda.serial_for_url(url="loop://", do_not_open=True)
    assert s.port == "loop://"


def test_do_not_open_truth_error_has_a_note():
    with pytest.raises(ZeroDivisionError) as e:
        marovenda.serial_for_url("loop://", do_not_open=BadBool())
    assert notes(e) == ["while processing 'do_not_open'"]


def test_signature_and_doc():
    f = marovenda.serial_for_url
    assert str(inspect.signature(f)) == "(url, *args, do_not_open=False, **kwargs)"
    assert f.__doc__ == "Returns a `Serial` for `url`, which is a device name or `loop://`."
    assert f.__module__ == "marovenda"
