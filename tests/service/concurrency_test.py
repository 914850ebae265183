"""Many host threads reporting at once through the real DLL under Wine, against the collector the DLL
was built for."""
import os
import re
import unittest

from collector_fixture import stat_collector
from wine_run import run_program

HEX32 = re.compile(r"^[0-9A-F]{32}$")
TIME = re.compile(r"^\d{4}-\d{2}-\d{2}%20\d{2}:\d{2}:\d{2}$")


def param_body(device_id, key, fourth_key, fourth, fifth_key, fifth):
    pairs = [("deviceid", device_id), ("appkey", key), ("channelid", "chan"), (fourth_key, fourth), (fifth_key, fifth)]
    return "Param={" + ",".join("%22{}%22:%22{}%22".format(k, v) for k, v in pairs) + "}"


class ConcurrentHosts(unittest.TestCase):
    def setUp(self):
        self.collector = stat_collector(self)
        self.key = "stress%d" % os.getpid()

    def test_eight_threads_reporting_at_once_deliver_every_accepted_report_byte_exact(self):
        # 8 x 110 reports and two inventories stay below the queue's bound of 1024: nothing is dropped.
        run = run_program("stress_host", ["report", self.key, "8", "110"], timeout=300)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("host: stopped", run.stdout)
        accepted = [line.split(" ")[1:] for line in run.stdout.splitlines() if line.startswith("ok ")]
        self.assertGreaterEqual(len(accepted), 880)

        bodies = [p.body.decode("latin-1") for p in self.collector.posts() if self.key.encode() in p.body]
        device_ids = {m.group(1) for m in (re.search(r"deviceid%22:%22([^%]*)%22", b) for b in bodies) if m}
        self.assertEqual(len(device_ids), 1, device_ids)
        device_id = device_ids.pop()
        self.assertRegex(device_id, HEX32)

        expected_actions = sorted(param_body(device_id, self.key, "actionname", a[1], "actioncontent", a[2])
                                  for a in accepted if a[0] == "action")
        actions = sorted(b for b in bodies if "%22actionname%22" in b)
        self.assertEqual(actions, expected_actions)

        events = [b for b in bodies if "%22installtype%22" in b]
        self.assertEqual(len(events), sum(1 for a in accepted if a[0] == "event"))
        prefix = param_body(device_id, self.key, "installtype", "NAME", "time", "TIME").split("NAME")[0]
        expected_names = sorted(a[1] for a in accepted if a[0] == "event")
        names = []
        for body in events:
            match = re.fullmatch(re.escape(prefix) + r"(app_t\d)%22,%22time%22:%22(.*)%22}", body)
            self.assertIsNotNone(match, body)
            self.assertRegex(match.group(2), TIME)
            names.append(match.group(1))
        self.assertEqual(sorted(names), expected_names)

        inventories = [b for b in bodies if b.startswith("devicecode=")]
        self.assertEqual(len(inventories), sum(1 for a in accepted if a[0] == "device"))
        for body in inventories:
            keys = [pair.split("=", 1)[0] for pair in body.split("&")]
            self.assertEqual(keys, ["devicecode", "appkey", "channelid", "pcosname", "mac", "pcosversion", "pcname",
                                    "pcusername", "windowssid", "pccpuid", "harddiskid", "mainboardcode"])
            self.assertTrue(body.startswith("devicecode=%s&appkey=%s&channelid=chan&" % (device_id, self.key)))
        self.assertEqual(len(bodies), len(accepted))

    def test_starts_and_stops_racing_reports_neither_crash_nor_hang(self):
        run = run_program("stress_host", ["churn", "4000"], timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertRegex(run.stdout, r"churn: done starts=[1-9]\d* reports=\d+")


if __name__ == "__main__":
    unittest.main()
