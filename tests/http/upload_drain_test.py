"""Reports from a host through the real DLL's upload worker to the collector the DLL was built for."""

import os
import subprocess
import sys
import unittest

import spool_files
from collector_fixture import COLLECTOR, header_values, stat_collector
from wine_run import post_data_lines, run_host


class UploadDrainTest(unittest.TestCase):
    def setUp(self):
        self.collector = stat_collector(self)
        # Other programs on this machine may post to the same port: each test counts only the
        # reports that carry its own key.
        self.key = "drain%d%s" % (os.getpid(), self._testMethodName[-6:])

    def posts(self):
        return [p for p in self.collector.posts() if self.key.encode() in p.body]

    def test_stop_returns_after_every_queued_body_reached_the_collector_in_queue_order(self):
        # The posts share one session: a cookie of the first answer must not reach the later posts.
        self.collector.set_answers({"headers": [["Set-Cookie", "session=first"]], "body": "ok"}, {"body": "ok"})
        run = run_host("set", self.key, "chan", "repeat", 10, "click", "n", "stop", "exit", 0)
        self.assertIn("host: stopped", run.stdout)
        traced = post_data_lines(run.stdout)
        posts = self.posts()
        self.assertEqual(len(posts), 10)
        self.assertEqual([p.body.decode("latin-1") for p in posts], traced)
        for n, record in enumerate(posts):
            self.assertTrue(record.body.endswith(b"%%22actioncontent%%22:%%22n%d%%22}" % n), record.body)
            self.assertEqual(record.request_line, b"POST /stat/pc.php HTTP/1.1\r\n")
            self.assertEqual(header_values(record, "Content-Length"), [str(len(record.body)).encode()])
            self.assertEqual(header_values(record, "Content-Type"), [b"application/x-www-form-urlencoded"])
            self.assertEqual(header_values(record, "User-Agent"), [b"TallyScope"])
            self.assertEqual(header_values(record, "Cookie"), [])
        self.assertEqual(run.stdout.count("httpResponseContent:\nok\n"), 10)

    def test_body_without_answer_is_kept_with_the_rest_and_delivered_once_by_the_next_process(self):
        # Three attempts without an answer: the worker backs off, and the stop keeps both bodies
        # instead of trying the second against a server that does not answer.
        self.addCleanup(spool_files.remove, self.key)
        self.collector.set_answers({"close": True}, {"close": True}, {"close": True}, {"body": "ok"})
        run = run_host("set", self.key, "chan", "repeat", 2, "click", "n", "stop", "exit", 0)
        self.assertIn("host: stopped", run.stdout)
        contents = [p.body.rsplit(b"%22actioncontent%22:%22", 1)[1] for p in self.posts()]
        self.assertEqual(contents, [b"n0%22}"] * 3)
        self.assertEqual(run.stdout.count("httpResponseContent:\n"), 1)
        kept = spool_files.waiting_bodies(self.key)
        self.assertEqual(kept, [self.posts()[0].body, kept[0][:-6] + b"n1%22}"])

        run_host("set", self.key, "chan", "stop", "exit", 0)
        self.assertEqual([p.body for p in self.posts()][3:], kept)
        self.assertEqual(spool_files.waiting_bodies(self.key), [])

    def test_reports_arrive_when_another_program_holds_the_event_name(self):
        kinds = ("mutex", "semaphore", "locked-event", "manual-event")
        for kind in kinds:
            with self.subTest(kind=kind):
                run = run_host("squat", kind, "set", self.key, "chan", "report", "squat_click", kind, 1,
                               "sleep", 500, "stop", "exit", 0)
                for line in ("host: squat 1", "host: set 1", "host: report 1"):
                    self.assertIn(line + "\n", run.stdout)
        contents = [p.body.rsplit(b"%22actioncontent%22:%22", 1)[1] for p in self.posts()]
        self.assertEqual(contents, [k.encode() + b"%22}" for k in kinds])

    def test_collector_prints_the_reports_that_arrived_decoded_into_their_fields(self):
        run_host("set", self.key, "chan1", "report", "app_start", "-", 1, "report", "export_pdf", "2 pages", 0,
                 "stop", "exit", 0)
        listing = subprocess.run([sys.executable, COLLECTOR, "--print-reports", "--db", self.collector.db_path],
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60).stdout
        self.assertIn("app-event /stat/pc.php", listing)
        self.assertIn("action /stat/pc.php", listing)
        self.assertEqual(len(self.posts()), 2)
        for line in ("appkey       " + self.key, "channelid    chan1", "installtype  app_start",
                     "actionname     export_pdf", "actioncontent  2 pages"):
            self.assertIn(line, listing)
        self.assertTrue(listing.endswith(" report(s)\n"), listing)


if __name__ == "__main__":
    unittest.main()
