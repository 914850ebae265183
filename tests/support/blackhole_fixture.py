"""Starts one of the hostile servers of tools/blackhole.py for a test."""

import os
import subprocess
import sys
import tempfile

from collector_fixture import SOURCE, end_server_process

BLACKHOLE = os.path.join(SOURCE, "tools", "blackhole.py")


class Blackhole:
    """blackhole.py MODE on the given loopback port (0: a free one)."""

    def __init__(self, mode, port=0, *extra):
        self.mode = mode
        self._command = [sys.executable, BLACKHOLE, mode, "--port", str(port), *extra]
        self._process = None
        self._log = None
        self.port = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._log = tempfile.TemporaryFile()
        self._process = subprocess.Popen(self._command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=self._log)
        line = self._process.stdout.readline().decode("ascii", "replace").strip()
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise RuntimeError("blackhole %s did not start: %r" % (self.mode, line))
        self.port = int(line.rsplit(":", 1)[1])

    def accepted(self):
        """How many connections the server accepted so far."""
        self._log.seek(0)
        return sum(1 for line in self._log.read().splitlines() if line.startswith(b"accepted "))

    def stop(self):
        end_server_process(self._process)
        self._process = None
        if self._log is not None:
            self._log.close()
            self._log = None
