import faulthandler

import pytest

import marovenda

# A test that blocks past this limit ends the whole run with a traceback
# dump instead of hanging it.
HANG_LIMIT = 30


@pytest.fixture(autouse=True)
def _hang_guard():
    faulthandler.dump_traceback_later(HANG_LIMIT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def port():
    s = marovenda.serial_for_url("loop://")
    yield s
    s.close()
