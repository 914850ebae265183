"""The statistics server the DLL under test posts to: a collector on the port the DLL was built for.

A report that gets no answer is kept in the key's spool and sent before new ones at the next start,
so a test that counts what a host posts runs with the server up and the key's spool empty.
"""

import contextlib
import os
import unittest

import spool_files
from collector_fixture import Collector

STAT_HOST = os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765")


def stat_port():
    host, _, port = STAT_HOST.rpartition(":")
    if host != "127.0.0.1" or not port.isdigit():
        raise unittest.SkipTest("the DLL posts to %s, not to a loopback port" % STAT_HOST)
    return int(port)


@contextlib.contextmanager
def online(*keys):
    """The collector on the DLL's port, with the spools of keys empty before and after."""
    port = stat_port()
    for key in keys:
        spool_files.remove(key)
    try:
        with Collector(port=port) as collector:
            yield collector
    finally:
        for key in keys:
            spool_files.remove(key)
