"""A 32-bit and a 64-bit host on one machine (one Wine prefix): one device identifier, one
DeviceId record in the registry both kinds of program share, and byte-identical reports."""
import os
import re
import unittest

from collector_fixture import Collector
from wine_registry import delete_key, key_exists, read_first_string
from wine_run import post_data_lines, run_host, run_program

RECORD_KEY = r"HKLM\SOFTWARE\TallyScope"
HOSTS = {"32-bit": os.environ.get("TALLYSCOPE_BIN"), "64-bit": os.environ.get("TALLYSCOPE_BIN64")}
TIME = re.compile(r"%22time%22:%22\d{4}-\d\d-\d\d%20\d\d:\d\d:\d\d%22")
HEX32 = re.compile(r"[0-9A-F]{32}")


def stat_port():
    stat_host = os.environ.get("TALLYSCOPE_STAT_HOST", "")
    host, _, port = stat_host.rpartition(":")
    if host != "127.0.0.1" or not port.isdigit():
        raise unittest.SkipTest("the DLLs post to %s, not to a loopback port" % stat_host)
    return int(port)


def setUpModule():
    for bits, directory in HOSTS.items():
        for name in ("script_host.exe", "device_info_host.exe", "device_id_probe.exe"):
            if not directory or not os.path.isfile(os.path.join(directory, name)):
                raise RuntimeError("the %s host programs are missing from %s: build the mingw and mingw32 presets"
                                   % (bits, directory))


def derived_identifier(bits):
    """The identifier as the static core of that size derives it (the record plays no part)."""
    run = run_program("device_id_probe", directory=HOSTS[bits])
    return dict(line.split("=", 1) for line in run.stdout.splitlines() if "=" in line).get("wide", "")


def forget_record():
    for view in (64, 32):
        delete_key(RECORD_KEY, view=view)


class OneMachineTwoHostKinds(unittest.TestCase):
    def test_one_record_in_the_shared_view_whichever_host_starts_first(self):
        for first, second in (("32-bit", "64-bit"), ("64-bit", "32-bit")):
            with self.subTest(first=first):
                forget_record()
                run = run_host("set", "record-key", "-", "stop", "return", directory=HOSTS[first])
                self.assertIn("host: set 1", run.stdout)
                recorded = read_first_string(RECORD_KEY, "DeviceId", view=64)
                self.assertRegex(recorded or "", HEX32)
                run_host("set", "record-key", "-", "stop", "return", directory=HOSTS[second])
                self.assertEqual(read_first_string(RECORD_KEY, "DeviceId", view=64), recorded)
                # A 32-bit program that looked in its own view would have found nothing and written
                # a second record there.
                self.assertFalse(key_exists(RECORD_KEY, view=32), "a record in the 32-bit view")

    def test_both_hosts_send_the_same_bytes_with_the_same_identifier(self):
        key = "bits%d" % os.getpid()
        bodies = {}
        with Collector(port=stat_port()) as collector:
            for bits, directory in HOSTS.items():
                seen = len(collector.posts())
                run = run_host("set", key, "chan", "report", "export_pdf", "2 pages", 0, "report", "app_start", "-", 0,
                               "report", "app_device_info", "-", 0, "stop", "return", timeout=120, directory=directory)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                arrived = [p.body.decode("latin-1") for p in collector.posts()[seen:] if key.encode() in p.body]
                self.assertEqual(arrived, post_data_lines(run.stdout), bits)
                bodies[bits] = arrived
        self.assertEqual(len(bodies["32-bit"]), 3, bodies)
        identifier = derived_identifier("32-bit")
        self.assertRegex(identifier, HEX32)
        self.assertEqual(derived_identifier("64-bit"), identifier)
        self.assertEqual(bodies["32-bit"][0],
                         "Param={%%22deviceid%%22:%%22%s%%22,%%22appkey%%22:%%22%s%%22,%%22channelid%%22:%%22chan%%22,"
                         "%%22actionname%%22:%%22export_pdf%%22,%%22actioncontent%%22:%%222%%20pages%%22}"
                         % (identifier, key))
        self.assertRegex(bodies["32-bit"][1], TIME)
        self.assertTrue(bodies["32-bit"][2].startswith("devicecode=%s&appkey=%s&" % (identifier, key)))
        # The application event carries the local time of its call; everything else is the same.
        same = {bits: [TIME.sub("TIME", body) for body in sent] for bits, sent in bodies.items()}
        self.assertEqual(same["32-bit"], same["64-bit"])

    def test_both_hosts_describe_the_machine_alike_from_a_single_threaded_thread(self):
        bodies = {}
        for bits, directory in HOSTS.items():
            run = run_program("device_info_host", ["sta", "1"], timeout=120, directory=directory)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            bodies[bits] = post_data_lines(run.stdout)
            self.assertEqual(len(bodies[bits]), 1, run.stdout)
        self.assertEqual(bodies["32-bit"], bodies["64-bit"])


if __name__ == "__main__":
    unittest.main()
