"""The service's life as a host sees it, through the real DLL under Wine."""
import os
import re
import unittest

import spool_files
from collector_fixture import Collector
from wine_run import post_data_lines, run_host

STAT_HOST = os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765")


class StopAndUnload(unittest.TestCase):
    # A server answers every post: a report that gets no answer is kept for later, not tried again
    # at once. Each test has a key of its own, so no spool of an earlier run joins in.
    def setUp(self):
        host, _, port = STAT_HOST.rpartition(":")
        if host != "127.0.0.1" or not port.isdigit():
            self.skipTest("the DLL posts to %s, not to a loopback port" % STAT_HOST)
        self.key = "life%d%s" % (os.getpid(), self._testMethodName[5:12].replace("_", ""))
        spool_files.remove(self.key)
        self.addCleanup(spool_files.remove, self.key)
        self.collector = Collector(port=int(port))
        self.collector.start()
        self.addCleanup(self.collector.stop)

    def test_stop_returns_only_after_every_queued_body_was_posted_in_order(self):
        run = run_host("set", self.key, "chan", "repeat", 10, "click", "n", "stop", "return")
        self.assertEqual(run.returncode, 0, run.stdout)
        lines = run.stdout.splitlines()
        posts = post_data_lines(run.stdout)
        self.assertEqual(len(posts), 10)
        for n, body in enumerate(posts):
            self.assertIn("%22actioncontent%22:%22n{}%22}}".format(n), body)
        self.assertLess(max(i for i, l in enumerate(lines) if l.startswith("POST DATA: ")),
                        lines.index("host: stopped"))

    def test_a_full_queue_drops_the_oldest_body_and_posts_the_newest_1024_in_order(self):
        # The first tick comes right after the start; the next one is 3 s away, far behind the burst.
        run = run_host("set", self.key, "chan", "sleep", 200, "repeat", 1025, "click", "n", "stop", "return",
                       timeout=300)
        posts = post_data_lines(run.stdout)
        self.assertEqual(len(posts), 1024)
        contents = [re.search(r"actioncontent%22:%22n(\d+)%22}$", p).group(1) for p in posts]
        self.assertEqual(contents, [str(n) for n in range(1, 1025)])

    def test_service_restarts_after_stop_and_posts_again(self):
        run = run_host("set", self.key, "-", "report", "first_click", "-", 0, "stop",
                       "set", self.key, "-", "report", "second_click", "x", 0, "stop", "return")
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("host: set 1\nhost: report 0", run.stdout)  # null content: code 6, nothing queued
        posts = post_data_lines(run.stdout)
        self.assertEqual(len(posts), 1)
        self.assertIn("second_click", posts[0])

    def test_a_flush_posts_before_the_next_tick_and_one_during_a_drain_is_not_lost(self):
        # The start's tick has passed after 300 ms and the next one is due at 3 s; the host leaves
        # without a stop long before it, so only the flushes can have sent these.
        run = run_host("set", self.key, "chan", "sleep", 300, "repeat", 20, "click", "a",
                       "report", "app_start", "-", 1, "report", "late_click", "b", 1, "sleep", 1200, "exit", 0)
        if run.seconds >= 2.9:
            self.skipTest("the host took %.1f s: the next tick may have come" % run.seconds)
        posts = post_data_lines(run.stdout.split("host: exit")[0])
        self.assertEqual(len(posts), 22, run.stdout)
        self.assertIn("late_click", posts[-1])

    def test_ticks_post_without_any_flush(self):
        run = run_host("set", self.key, "chan", "report", "quiet_click", "x", 0, "sleep", 5000, "exit", 0)
        self.assertEqual(len(post_data_lines(run.stdout)), 1, run.stdout)

    def test_free_library_without_stop_neither_hangs_nor_crashes_and_still_posts(self):
        run = run_host("set", self.key, "chan", "report", "orphan_click", "x", 0, "free", "sleep", 5000, "return",
                       timeout=30)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("host: free 1", run.stdout)
        self.assertEqual(len(post_data_lines(run.stdout)), 1, run.stdout)

    def test_exit_without_stop_neither_hangs_nor_crashes(self):
        for ending in (("return",), ("exit", 7)):
            with self.subTest(ending=ending):
                run = run_host("set", self.key, "chan", "repeat", 20, "click", "x", *ending, timeout=30)
                self.assertEqual(run.returncode, 7 if ending[0] == "exit" else 0, run.stdout + run.stderr)
                self.assertLess(run.seconds, 20)

    def test_free_and_reload_while_running_keeps_one_service(self):
        run = run_host("set", self.key, "chan", "free", "load", "report", "again_click", "y", 0, "stop", "return")
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("host: report 1", run.stdout)
        self.assertEqual(len(post_data_lines(run.stdout)), 1)


if __name__ == "__main__":
    unittest.main()
