import asyncio
import enum
import subprocess
import sys
import textwrap

import pytest

import marovenda

ROOT_NAMES = [
    "__version__", "PARITY_NONE", "PARITY_EVEN", "PARITY_ODD", "PARITY_MARK", "PARITY_SPACE",
    "PARITY_NAMES", "STOPBITS_ONE", "STOPBITS_ONE_POINT_FIVE", "STOPBITS_TWO", "FIVEBITS",
    "SIXBITS", "SEVENBITS", "EIGHTBITS", "XON", "XOFF", "CR", "LF", "SerialException",
    "SerialTimeoutException", "PortNotOpenError", "Baudrate", "SerialBase", "Serial",
    "serial_for_url", "aio", "tools",
]

RATES = [50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
         57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000,
         2000000, 2500000, 3000000, 3500000, 4000000]


def test_gil_stays_disabled():
    assert not sys._is_gil_enabled()


def test_root_all_is_in_order():
    present = [n for n in ROOT_NAMES if hasattr(marovenda._marovenda, n)]
    assert marovenda._marovenda.__all__ == present
    assert marovenda.__all__[0] == "__version__"
    assert marovenda.__all__[-2:] == ["aio", "tools"]


@pytest.mark.parametrize("name, value, kind", [
    ("__version__", "0.3.0", str),
    ("PARITY_NONE", "N", str), ("PARITY_EVEN", "E", str), ("PARITY_ODD", "O", str),
    ("PARITY_MARK", "M", str), ("PARITY_SPACE", "S", str),
    ("STOPBITS_ONE", 1, int), ("STOPBITS_ONE_POINT_FIVE", 1.5, float), ("STOPBITS_TWO", 2, int),
    ("FIVEBITS", 5, int), ("SIXBITS", 6, int), ("SEVENBITS", 7, int), ("EIGHTBITS", 8, int),
    ("XON", b"\x11", bytes), ("XOFF", b"\x13", bytes), ("CR", b"\r", bytes), ("LF", b"\n", bytes),
])
def test_constants(name, value, kind):
    got = getattr(marovenda, name)
    assert type(got) is kind and got == value


def test_parity_names_order_and_values():
    assert list(marovenda.PARITY_NAMES.items()) == [
        ("N", "None"), ("E", "Even"), ("O", "Odd"), ("M", "Mark"), ("S", "Space")]


def test_exception_hierarchy():
    se, te, pe = marovenda.SerialException, marovenda.SerialTimeoutException, marovenda.PortNotOpenError
    assert se.__bases__ == (OSError,)
    assert te.__bases__ == (se,) and pe.__bases__ == (se,)
    for cls, name in [(se, "SerialException"), (te, "SerialTimeoutException"), (pe, "PortNotOpenError")]:
        assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == ("marovenda", name, name, None)
        assert set(vars(cls)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}
    e = se(13, "Permission denied")
    assert (e.errno, e.strerror) == (13, "Permission denied")
    with pytest.raises(OSError):
        raise pe("x")


def test_baudrate_enum():
    b = marovenda.Baudrate
    assert issubclass(b, enum.IntEnum)
    assert (b.__name__, b.__module__) == ("Baudrate", "marovenda")
    assert [(m.name, m.value) for m in b] == [(f"B{r}", r) for r in RATES]
    assert b.B9600 == 9600
    with pytest.raises(ValueError):
        b(9601)


def test_submodules():
    aio, tools = marovenda.aio, marovenda.tools
    assert (aio.__name__, tools.__name__, tools.list_ports.__name__) == (
        "marovenda.aio", "marovenda.tools", "marovenda.tools.list_ports")
    assert aio.__doc__ is None and tools.__doc__ is None
    assert tools.__all__ == ["list_ports"]
    assert sys.modules["marovenda.aio"] is aio
    assert sys.modules["marovenda.tools"] is tools
    assert sys.modules["marovenda.tools.list_ports"] is tools.list_ports
    own = marovenda._marovenda.__name__
    assert not [k for k in sys.modules if k.startswith(own + ".")]
    import marovenda.tools.list_ports as lp
    assert lp is tools.list_ports
    assert asyncio  # the aio face needs asyncio importable


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_second_module_object_shares_classes_not_submodules():
    r = run_python("""
        import importlib.util, sys
        import marovenda
        first = marovenda._marovenda
        aio1 = sys.modules["marovenda.aio"]
        spec = importlib.util.find_spec("marovenda._marovenda")
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        assert second is not first
        assert second.Baudrate is first.Baudrate
        for name in ("SerialException", "SerialTimeoutException", "PortNotOpenError", "SerialBase", "Serial"):
            assert getattr(second, name) is getattr(first, name), name
        assert second.aio is not aio1 and sys.modules["marovenda.aio"] is second.aio
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_subinterpreter_import_fails_cleanly():
    r = run_python("""
        import _interpreters as interpreters
        iid = interpreters.create()
        err = interpreters.exec(iid, "import marovenda")
        assert err is not None and err.type.__name__ == "ImportError", err
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_import_does_not_start_threads():
    r = run_python("""
        import threading, os
        import marovenda
        names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
        assert "marovenda" not in names, names
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
