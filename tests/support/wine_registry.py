"""Reads and writes values in the Wine prefix's registry for a test, and puts them back afterwards."""

import os
import re
import struct
import subprocess
import tempfile

from wine_run import wine_env

INTERNET_CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


def _reg(*args, view=64):
    # With wine32 installed, "wine reg" is a 32-bit program: without /reg:64 its HKLM\SOFTWARE is
    # the WOW6432Node branch, not the one 64-bit programs see.
    with tempfile.TemporaryFile() as out:
        completed = subprocess.run(["wine", "reg"] + list(args) + ["/reg:%d" % view], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.DEVNULL, env=wine_env(), timeout=60)
        out.seek(0)
        return completed.returncode, out.read().decode("latin-1")


def read_binary_value(key, name):
    """The value's bytes, or None when it is not there."""
    code, text = _reg("query", key, "/v", name)
    if code != 0:
        return None
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0] == name and fields[1] == "REG_BINARY":
            return bytes.fromhex(fields[2]) if len(fields) > 2 else b""
    return None


def write_binary_value(key, name, data):
    code, text = _reg("add", key, "/v", name, "/t", "REG_BINARY", "/d", data.hex(), "/f")
    if code != 0:
        raise RuntimeError("reg add %s /v %s failed: %s" % (key, name, text))


def delete_value(key, name):
    _reg("delete", key, "/v", name, "/f")


def read_first_string(key, name, view=64):
    """The first string of a REG_SZ or REG_MULTI_SZ value in the given registry view, or None.

    Read through an export: reg query shows a list of strings closed by a single NUL one
    character short."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "value.reg")
        if _reg("export", key, path, "/y", view=view)[0] != 0:
            return None
        with open(path, "rb") as f:
            text = re.sub(r"\\\r?\n\s*", "", f.read().decode("utf-16"))
    for line in text.splitlines():
        quoted = '"%s"=' % name
        if not line.startswith(quoted):
            continue
        value = line[len(quoted):]
        if value.startswith('"'):
            return value[1:-1]
        if value.startswith("hex(7):"):
            data = bytes.fromhex(value[len("hex(7):"):].replace(",", ""))
            return data.decode("utf-16-le").split("\0")[0]
    return None


def key_exists(key, view=64):
    return _reg("query", key, view=view)[0] == 0


def delete_key(key, view=64):
    _reg("delete", key, "/f", view=view)


class SavedBinaryValue:
    """Remembers a binary value on entry and writes it back (or removes it) on exit."""

    def __init__(self, key, name):
        self.key = key
        self.name = name

    def __enter__(self):
        self._saved = read_binary_value(self.key, self.name)
        return self

    def __exit__(self, *exc):
        if self._saved is None:
            delete_value(self.key, self.name)
        else:
            write_binary_value(self.key, self.name, self._saved)


PROXY_DIRECT = 1
PROXY_NAMED = 2
PROXY_AUTO_CONFIG_URL = 4


def connection_settings(flags, proxy=b"", bypass=b"", auto_config_url=b""):
    """A DefaultConnectionSettings value: version 0x46, a change counter, the flags, then the proxy
    list, the bypass list and the configuration-script URL, each as a 32-bit length and its bytes."""
    out = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, auto_config_url):
        out += struct.pack("<I", len(text)) + text
    return out + bytes(32)
