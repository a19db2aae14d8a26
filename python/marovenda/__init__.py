"""Serial ports for free-threaded Python."""

from ._marovenda import *  # noqa: F401,F403
from ._marovenda import __all__, __version__  # noqa: F401
