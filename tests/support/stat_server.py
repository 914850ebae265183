"""The statistics server the DLL under test posts to: a collector on the port the DLL was built for.

A report that gets no answer is kept in the key's spool and sent before new ones at the next start,
so a test that counts what a host posts runs with the server up and the key's spool empty.
"""

import contextlib

import spool_files
from collector_fixture import running_stat_collector


@contextlib.contextmanager
def online(*keys):
    """The collector on the DLL's port, with the spools of keys empty before and after."""
    for key in keys:
        spool_files.remove(key)
    try:
        with running_stat_collector() as collector:
            yield collector
    finally:
        for key in keys:
            spool_files.remove(key)
