"""A local OpenSandbox server for tests and benchmarks.

``running_server()`` starts one on a free loopback port in a background thread
and yields the ``LocalOpenSandbox`` whose ``domain`` the SDKs connect to with
protocol "http"; its ``faults`` switch failures on and ``live_count()`` counts
running sandboxes. ``python -m opensandbox_local`` serves from the command line.
"""

from opensandbox_local.faults import OPERATIONS, Faults
from opensandbox_local.serve import ServerThread, running_server
from opensandbox_local.server import LocalOpenSandbox

__all__ = ["OPERATIONS", "Faults", "LocalOpenSandbox", "ServerThread", "running_server"]
