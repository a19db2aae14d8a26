import pytest

import marovenda

# The hang guard is pytest's own (faulthandler_timeout in pyproject.toml): a
# test blocked past it ends the run with a traceback that names it, written to
# the real stderr rather than into the captured output.


@pytest.fixture
def port():
    s = marovenda.serial_for_url("loop://")
    yield s
    s.close()
