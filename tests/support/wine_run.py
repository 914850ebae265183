"""Runs Windows programs of the build under Wine for the end-to-end tests.

Output goes through temporary files, never pipes: a Wine service process that a program starts
inherits its standard streams, and a pipe held open by it would never reach EOF.
"""
import os
import subprocess
import tempfile
import time
from dataclasses import dataclass


def bin_dir():
    return os.environ["TALLYSCOPE_BIN"]


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if extra:
        env.update(extra)
    return env


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    seconds: float


def run_program(name, args=(), timeout=60, env=None, directory=None):
    """Runs <name>.exe of the bin directory (or of directory) with args under Wine from that
    directory and waits for it."""
    directory = directory or bin_dir()
    exe = os.path.join(directory, name + ".exe")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.monotonic()
        proc = subprocess.Popen(["wine", exe, *args], cwd=directory, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, env=wine_env(env))
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
        seconds = time.monotonic() - started
        out.seek(0)
        err.seek(0)
        text = [f.read().decode("utf-8", "replace").replace("\r\n", "\n") for f in (out, err)]
        return Run(code, text[0], text[1], seconds)


def run_host(*steps, timeout=60, env=None, directory=None):
    """Runs the scriptable host (tests/programs/script_host.cpp) with the given steps."""
    return run_program("script_host", [str(s) for s in steps], timeout=timeout, env=env, directory=directory)


def post_data_lines(stdout):
    return [line[len("POST DATA: "):] for line in stdout.splitlines() if line.startswith("POST DATA: ")]
