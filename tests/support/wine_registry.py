"""Reads and writes values in the Wine prefix's registry for a test, and puts them back afterwards."""

import struct
import subprocess
import tempfile

from wine_run import wine_env

INTERNET_CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


def _reg(*args):
    with tempfile.TemporaryFile() as out:
        completed = subprocess.run(["wine", "reg"] + list(args), stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.DEVNULL, env=wine_env(), timeout=60)
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
