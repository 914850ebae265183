"""Reads and damages the report spool the DLL keeps in the Wine prefix, for the end-to-end tests.

The segment format (see src/spool/spool_format.h): "TSQ1", then entries
"TSE" state(1) length(4, little-endian) crc32(4) body, or "TSI" with the report's id (32 hex
digits, in the checksum) before the body; state "W" waits, "D" is done.
"""

import glob
import os
import shutil
import struct
import zlib


def spool_root():
    """%LOCALAPPDATA%\\TallyScope\\spool of the prefix's user (Wine sets the variable itself)."""
    prefix = os.environ["WINEPREFIX"]
    found = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local"))
    users = [p for p in found if "/Public/" not in p]
    if not users:
        raise RuntimeError("no user profile in %s" % prefix)
    return os.path.join(users[0], "TallyScope", "spool")


def folder_for_key(key):
    """The spool folder of a test key (letters a-z, digits, '-' and '_' only)."""
    assert all(c.islower() or c.isdigit() or c in "-_" for c in key), key
    return os.path.join(spool_root(), "app_" + key)


def remove(key):
    path = folder_for_key(key)
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def segments(key):
    folder = folder_for_key(key)
    if not os.path.isdir(folder):
        return []
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".tsq"))


def entries(path, with_ids=False):
    """[(offset, state, body)] of the intact entries of one segment, read strictly; with_ids,
    [(offset, state, body, id)] (id None for an entry without one)."""
    data = open(path, "rb").read()
    out = []
    at = 4 if data.startswith(b"TSQ1") else 0
    while True:
        found = [f for f in (data.find(b"TSE", at), data.find(b"TSI", at)) if f >= 0]
        if not found:
            return out
        at = min(found)
        if len(data) - at < 12:
            return out
        id_bytes = 32 if data[at + 2:at + 3] == b"I" else 0
        state = data[at + 3:at + 4]
        length, crc = struct.unpack("<II", data[at + 4:at + 12])
        report_id = data[at + 12:at + 12 + id_bytes]
        body = data[at + 12 + id_bytes:at + 12 + id_bytes + length]
        if (length <= 2048 and len(body) == length and len(report_id) == id_bytes
                and zlib.crc32(data[at + 4:at + 8] + report_id + body) == crc):
            out.append((at, state, body, report_id.decode() if id_bytes else None) if with_ids
                       else (at, state, body))
            at += 12 + id_bytes + length
        else:
            at += 1


def waiting_bodies(key):
    return [body for path in segments(key) for _, state, body in entries(path) if state == b"W"]
