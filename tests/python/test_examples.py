"""Every example in examples/ runs as a user runs it, finishes in time and
prints what its comments promise."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import marovenda

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# Lines each example must print; an example missing here fails, so a new one
# gets its own expectations.
EXPECTED = {
    "loopback.py": ["wrote and read back b'hello, loopback\\n' on loop://"],
    "request_response.py": [
        "PING -> b'PONG\\n'",
        "HELLO? -> b'' after",
        "STATUS, first burst -> b'temp=21'",
        "STATUS, the rest -> b' fan=on\\n'",
        "nothing left -> b''",
    ],
    "asyncio_protocol.py": ["answer: b'HELLO'", "answer: b'ARE YOU THERE?'", "connection lost with None"],
    "asyncio_streams.py": [
        "read: b'hello'",
        "read with timeout: b'abc'",
        "line: b'first line\\n'",
        "line: b'second line\\n'",
    ],
    "list_ports.py": ["adapters 0403:6001:"],
}


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_example_runs_and_prints_what_it_says(name):
    # The package this test imports, for the example too; below the hang guard.
    package = str(Path(marovenda.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package, os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, str(EXAMPLES / name)], env=env, cwd=EXAMPLES.parent,
                          capture_output=True, text=True, timeout=25)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    for expected in EXPECTED[name]:
        assert any(line.startswith(expected) for line in lines), (expected, done.stdout)
