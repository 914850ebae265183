"""Offline and hostile networks through the real DLL under Wine: the stop stays bounded, nothing
queued is lost, and a later process delivers the spool exactly once, byte for byte, in order."""

import os
import re
import subprocess
import threading
import time
import unittest

import spool_files
from blackhole_fixture import Blackhole
from collector_fixture import Collector, header_values, stat_port
from wine_run import bin_dir, run_host, wine_env

# The stop's budget is 3 s plus the post in flight, which the stop cuts at the same moment; the
# rest is room for a loaded machine. A stop that waits on the network takes minutes or for ever.
STOP_BOUND_MS = 8000


def content_numbers(bodies):
    return [int(re.search(rb"actioncontent%22:%22n(\d+)%22}$", b).group(1)) for b in bodies]


class OfflineTest(unittest.TestCase):
    def setUp(self):
        self.port = stat_port()
        self.keys = []

    def tearDown(self):
        for key in self.keys:
            spool_files.remove(key)

    def new_key(self, tag):
        key = "off%d%s%d" % (os.getpid(), tag, len(self.keys))
        spool_files.remove(key)
        self.keys.append(key)
        return key

    def posts(self, collector, key):
        return [p.body for p in collector.posts() if key.encode() in p.body]

    def stop_offline(self, mode, key, count):
        """Queues count reports against a blackhole, stops, and returns the stop's milliseconds."""
        with Blackhole(mode, self.port):
            run = run_host("set", key, "chan", "repeat", count, "click", "n", "timedstop", "return", timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout[-2000:] + run.stderr[-2000:])
        return int(re.search(r"host: stop took (\d+) ms", run.stdout).group(1))

    def recover(self, key, collector, *extra):
        run = run_host("set", key, "chan", *extra, "stop", "return", timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout[-2000:] + run.stderr[-2000:])
        return run

    def test_stop_is_bounded_against_every_blackhole_and_the_next_process_delivers_everything_once(self):
        for mode in ("refuse", "backlog", "silent", "trickle"):
            for count in (5, 1000):
                with self.subTest(mode=mode, queued=count):
                    key = self.new_key(mode[:3])
                    took = self.stop_offline(mode, key, count)
                    self.assertLess(took, STOP_BOUND_MS)
                    kept = spool_files.waiting_bodies(key)
                    self.assertEqual(content_numbers(kept), list(range(count)))

                    with Collector(port=self.port) as collector:
                        self.recover(key, collector)
                        arrived = self.posts(collector, key)
                    self.assertEqual(arrived, kept)  # exactly once, byte for byte, oldest first
                    self.assertEqual(spool_files.waiting_bodies(key), [])

    def test_damaged_spool_costs_only_the_damaged_entries(self):
        key = self.new_key("dmg")
        self.stop_offline("refuse", key, 8)
        [segment] = spool_files.segments(key)
        entries = spool_files.entries(segment)
        self.assertEqual(len(entries), 8)
        data = bytearray(open(segment, "rb").read())
        data[entries[2][0] + 50] ^= 0x01          # a flipped bit in the third body
        data[entries[5][0] + 5] ^= 0xFF           # the sixth entry's length
        cut = entries[7][0] + 15                   # the last entry cut short
        with open(segment, "wb") as f:
            f.write(bytes(data[:cut]))
        with open(os.path.join(spool_files.folder_for_key(key), "0" * 31 + "1.tsq"), "wb") as f:
            f.write(os.urandom(3000))                # garbage that sorts first
        expected = [body for n, (_, _, body) in enumerate(entries) if n not in (2, 5, 7)]

        with Collector(port=self.port) as collector:
            self.recover(key, collector)
            self.assertEqual(self.posts(collector, key), expected)

    def test_unwritable_spool_keeps_bodies_in_memory_and_delivers_them_when_the_server_returns(self):
        key = self.new_key("ro")
        # A file where the spool folder would be: nothing can be stored, as on a full or
        # read-only disk (the tests run as root, for whom permissions do not hold).
        os.makedirs(spool_files.spool_root(), exist_ok=True)
        with open(spool_files.folder_for_key(key), "w") as f:
            f.write("not a folder")
        blackhole = Blackhole("refuse", self.port)
        blackhole.start()
        collector = Collector(port=self.port)

        def server_comes_back():
            blackhole.stop()
            collector.start()

        timer = threading.Timer(2.0, server_comes_back)
        timer.start()
        try:
            run = run_host("set", key, "chan", "repeat", 5, "click", "n", "sleep", 9000, "timedstop", "return",
                           timeout=120)
            timer.join()
            self.assertEqual(run.returncode, 0, run.stdout[-2000:] + run.stderr[-2000:])
            self.assertEqual(content_numbers(self.posts(collector, key)), list(range(5)))
        finally:
            timer.cancel()
            blackhole.stop()
            collector.stop()

    def test_a_spool_write_that_fails_drops_nothing_the_spool_already_holds(self):
        key = self.new_key("full")
        folder = spool_files.folder_for_key(key)
        os.makedirs(folder, exist_ok=True)
        # A small file system of its own (root may write anywhere, so a full one is the way to make
        # the write fail).
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", folder],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a small file system here")
        try:
            self.stop_offline("refuse", key, 1000)
            kept = spool_files.waiting_bodies(key)
            self.assertEqual(len(kept), 1000)
            used = sum(os.path.getsize(p) for p in spool_files.segments(key))
            subprocess.run(["mount", "-o", "remount,size=%dk" % (used // 1024 + 8), folder], check=True)
            # 300 more would push 276 of the oldest out, but their segment cannot be written.
            self.stop_offline("refuse", key, 300)
            self.assertEqual(spool_files.waiting_bodies(key), kept)
        finally:
            subprocess.run(["umount", folder], check=False)

    def test_only_answers_that_say_not_stored_keep_a_report_and_every_attempt_carries_its_id(self):
        # One report per answer, in order; after them the collector answers 200.
        answers = [{"status": 400, "reason": "Bad Request"}, {"status": 500, "reason": "Internal Server Error"},
                   {"status": 503, "reason": "Service Unavailable", "headers": [["Retry-After", "1"]]},
                   {"status": 200}]
        key = self.new_key("st")
        with Collector(port=self.port) as collector:
            collector.set_answers(*answers)
            run = self.recover(key, collector, "report", "first", "n0", 1, "sleep", 300,
                               "report", "second", "n1", 1, "sleep", 300, "report", "third", "n2", 1,
                               "sleep", 8000)
            later = self.recover(key, collector, "sleep", 4000)
            posts = [p for p in collector.posts() if key.encode() in p.body]
        self.assertIn("host: stopped", run.stdout + later.stdout)
        numbers = content_numbers([p.body for p in posts])
        # n0 (400) and n1 (500) are final: sent once, never again, not even by the next process;
        # n2 met 503 and was sent again after the back-off.
        ids = [header_values(p, "TallyScope-Report-Id") for p in posts]
        for found in ids:
            self.assertEqual(len(found), 1)
            self.assertRegex(found[0].decode(), r"^[0-9a-f]{32}$")
        by_number = {}
        for n, found in zip(numbers, ids):
            by_number.setdefault(n, set()).add(found[0])
        self.assertEqual(numbers.count(0), 1, numbers)
        self.assertEqual(numbers.count(1), 1, numbers)
        self.assertEqual(numbers.count(2), 2, numbers)
        self.assertEqual(len(by_number[2]), 1, "every attempt at a report carries the same id")
        self.assertEqual(len({i for group in by_number.values() for i in group}), 3)
        self.assertEqual(spool_files.waiting_bodies(key), [])

    def test_two_processes_recovering_one_spool_send_each_report_once(self):
        key = self.new_key("two")
        self.stop_offline("refuse", key, 1000)
        kept = spool_files.waiting_bodies(key)
        with Collector(port=self.port) as collector:
            runs = []
            threads = [threading.Thread(target=lambda: runs.append(self.recover(key, collector, "sleep", 1000)))
                       for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            arrived = self.posts(collector, key)
        self.assertEqual(len(runs), 2)
        self.assertEqual(sorted(arrived), sorted(kept))
        self.assertEqual(len(set(arrived)), len(arrived))

    def test_a_standard_output_nobody_reads_never_holds_up_delivery_or_the_stop(self):
        key = self.new_key("pipe")
        with Collector(port=self.port) as collector:
            exe = os.path.join(bin_dir(), "script_host.exe")
            started = time.monotonic()
            proc = subprocess.Popen(["wine", exe, "quiet", "set", key, "chan", "repeat", "1000", "click", "n",
                                     "stop", "return"], cwd=bin_dir(), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=wine_env())
            try:
                code = proc.wait(timeout=120)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                proc.stdout.close()
            self.assertEqual(code, 0)
            self.assertLess(time.monotonic() - started, 60)
            self.assertEqual(content_numbers(self.posts(collector, key)), list(range(1000)))


if __name__ == "__main__":
    unittest.main()
