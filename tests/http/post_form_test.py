"""The HTTP engine on the wire: real WinHTTP under Wine against the loopback collector."""

import shutil
import time
import unittest

from blackhole_fixture import Blackhole
from collector_fixture import Collector, closed_port, header_values
from wine_run import run_program

FORM_TYPE = b"application/x-www-form-urlencoded"
BOUND = 1 << 20


def probe(*args, env=None):
    return run_program("post_probe", [str(a) for a in args], timeout=120, env=env)


def probe_fields(run):
    """The key=value pairs of the probe's result and units lines and the answer text after "text:"."""
    first, _, rest = run.stdout.partition("\n")
    fields = dict(item.split("=", 1) for item in first.split())
    units, _, rest = rest.partition("\n")
    fields["units"] = units[len("units="):]
    text = rest[len("text:\n"):] if rest.startswith("text:\n") else None
    return fields, text


def decoded(fields):
    """The answer text exactly as the engine decoded it."""
    hex_units = fields["units"]
    return "".join(chr(int(hex_units[i:i + 4], 16)) for i in range(0, len(hex_units), 4))


def letters(n):
    return bytes(ord("a") + i % 26 for i in range(n))


class WireTest(unittest.TestCase):
    def setUp(self):
        self.collector = Collector()
        self.collector.start()
        self.addCleanup(self.collector.stop)

    def assert_form_request(self, record, body):
        self.assertEqual(record.request_line, b"POST /stat/pc.php HTTP/1.1\r\n")
        self.assertEqual(header_values(record, "Content-Length"), [str(len(body)).encode()])
        self.assertEqual(header_values(record, "Content-Type"), [FORM_TYPE])
        self.assertEqual(header_values(record, "User-Agent"), [b"TallyScope"])
        self.assertEqual(record.body, body)

    def test_post_sends_body_and_form_headers_byte_exact_and_prints_the_answer(self):
        body = b"Param={%22deviceid%22:%22ID%22,%22time%22:%222024-03-05%2014:07:09%22}"
        self.collector.set_answers({"body": "stored"})
        run = probe("form", self.collector.url, "text:" + body.decode())
        self.assertEqual(run.returncode, 0)
        posts = self.collector.posts()
        self.assertEqual(len(posts), 1)
        self.assert_form_request(posts[0], body)
        self.assertIn(b"Content-Length: %d" % len(body), posts[0].header_lines[0:2])
        self.assertEqual(run.stdout, "httpResponseContent:\nstored\n")

    def test_2048_byte_body_and_empty_body_are_announced_and_sent_whole(self):
        probe("form", self.collector.url, "size:2048")
        probe("form", self.collector.url, "text:")
        posts = self.collector.posts()
        self.assertEqual(len(posts), 2)
        self.assert_form_request(posts[0], letters(2048))
        self.assert_form_request(posts[1], b"")

    def test_status_500_ends_the_request_after_one_attempt_and_is_printed(self):
        self.collector.set_answers({"status": 500, "reason": "Internal Server Error", "body": "database down"})
        run = probe("execute", self.collector.url, "POST", "text:a=1")
        fields, text = probe_fields(run)
        self.assertEqual((fields["result"], fields["status"], fields["sends"]), ("1", "500", "1"))
        self.assertEqual(text, "database down\n")
        self.assertEqual(len(self.collector.posts()), 1)

        run = probe("form", self.collector.url, "text:a=1")
        self.assertEqual(run.stdout, "httpResponseContent:\ndatabase down\n")

    def test_every_retry_carries_one_content_length_and_one_content_type(self):
        # The collector reads each request whole and hangs up without answering: every attempt
        # goes out again on the same request handle.
        self.collector.set_answers({"close": True})
        run = probe("execute", self.collector.url, "POST", "text:a=12345")
        fields, _ = probe_fields(run)
        self.assertEqual((fields["result"], fields["sends"]), ("0", "3"))
        posts = self.collector.posts()
        self.assertEqual(len(posts), 3)
        for record in posts:
            self.assert_form_request(record, b"a=12345")

    def test_answer_after_a_dropped_attempt_is_read_on_the_second_send(self):
        self.collector.set_answers({"close": True}, {"body": "second"})
        run = probe("execute", self.collector.url, "POST", "text:k=v")
        fields, text = probe_fields(run)
        self.assertEqual((fields["result"], fields["sends"], fields["status"]), ("1", "2", "200"))
        self.assertEqual(text, "second\n")
        posts = self.collector.posts()
        self.assertEqual(len(posts), 2)
        for record in posts:
            self.assert_form_request(record, b"k=v")

    def test_unreachable_server_gets_three_sends_and_the_request_fails(self):
        url = "http://127.0.0.1:%d/stat/pc.php" % closed_port()
        run = probe("execute", url, "POST", "text:a=1")
        fields, text = probe_fields(run)
        self.assertEqual((fields["result"], fields["sends"], fields["status"]), ("0", "3", ""))
        self.assertEqual(text, "\n")
        run = probe("form", url, "text:a=1")
        self.assertEqual(run.stdout, "httpResponseContent:\n\n")

    def test_empty_url_and_bad_verb_fail_without_a_request_and_lower_case_verb_goes_out_upper_case(self):
        fields, _ = probe_fields(probe("execute", "", "POST", "text:a=1"))
        self.assertEqual((fields["result"], fields["error"], fields["sends"]), ("0", "3", "0"))
        fields, _ = probe_fields(probe("execute", self.collector.url, "PUT", "text:a=1"))
        self.assertEqual((fields["result"], fields["error"], fields["sends"]), ("0", "87", "0"))
        self.assertEqual(self.collector.records(), [])

        fields, _ = probe_fields(probe("execute", self.collector.url, "pOsT", "text:a=1"))
        self.assertEqual(fields["result"], "1")
        posts = self.collector.posts()
        self.assertEqual(len(posts), 1)
        self.assert_form_request(posts[0], b"a=1")

    def test_url_path_must_fit_1299_characters_and_host_259(self):
        base = "http://%s" % self.collector.host
        fields, _ = probe_fields(probe("execute", base + "/" + "p" * 1298, "POST", "text:a=1"))
        self.assertEqual((fields["result"], fields["sends"]), ("1", "1"))
        self.assertEqual(self.collector.records()[0].target, "/" + "p" * 1298)

        fields, _ = probe_fields(probe("execute", base + "/" + "p" * 1299, "POST", "text:a=1"))
        self.assertEqual((fields["result"], fields["sends"]), ("0", "0"))
        fields, _ = probe_fields(probe("execute", "http://%s/stat/pc.php" % ("h" * 260), "POST", "text:a=1"))
        self.assertEqual((fields["result"], fields["sends"]), ("0", "0"))
        self.assertEqual(len(self.collector.records()), 1)

    def test_get_is_sent_as_get_and_its_answer_read(self):
        fields, text = probe_fields(probe("execute", self.collector.url.replace("/stat/pc.php", "/page"), "get",
                                          "none"))
        self.assertEqual((fields["status"], fields["sends"]), ("404", "1"))
        self.assertEqual(self.collector.records()[0].request_line, b"GET /page HTTP/1.1\r\n")

    def test_get_answer_with_an_unclosed_html_tag_is_tried_three_times(self):
        page = self.collector.url.replace("/stat/pc.php", "/page")
        self.collector.set_answers(files={"/page": {"body": "<html><body>cut"},
                                          "/whole": {"body": "<HTML><body>all</body></HTML>"}})
        fields, _ = probe_fields(probe("execute", page, "GET", "none"))
        self.assertEqual((fields["result"], fields["error"], fields["sends"]), ("0", "13", "3"))
        self.assertEqual(len(self.collector.records()), 3)
        fields, text = probe_fields(probe("execute", page.replace("/page", "/whole"), "GET", "none"))
        self.assertEqual((fields["result"], fields["error"], fields["sends"]), ("1", "0", "1"))
        self.assertEqual(text, "<HTML><body>all</body></HTML>\n")


class AnswerReadingTest(unittest.TestCase):
    def setUp(self):
        self.collector = Collector()
        self.collector.start()
        self.addCleanup(self.collector.stop)

    def execute_against(self, answer):
        self.collector.set_answers(answer)
        return probe_fields(probe("execute", self.collector.url, "POST", "text:a=1"))

    def test_answer_of_exactly_10240_bytes_grows_the_buffer_and_keeps_a_zero_byte_behind(self):
        fields, text = self.execute_against({"body_repeat": ["0123456789", 1024]})
        self.assertEqual((fields["length"], fields["capacity"], fields["terminated"]), ("10240", "20480", "1"))
        self.assertEqual(text, "0123456789" * 1024 + "\n")

    def test_answer_larger_than_the_bound_is_cut_at_the_bound(self):
        fields, text = self.execute_against({"body_repeat": ["abcdefgh", BOUND // 8 + 4096]})
        self.assertEqual((fields["result"], fields["length"], fields["terminated"]), ("1", str(BOUND), "1"))
        self.assertEqual(len(text), BOUND + 1)

    def test_answer_cut_short_by_the_server_keeps_what_arrived_and_ends_the_request(self):
        fields, text = self.execute_against({"body_repeat": ["x", 100000], "cut_after": 5000})
        # An answer arrived, so the request counts as answered and is not sent again; what was cut
        # off is simply missing.
        self.assertEqual((fields["result"], fields["sends"], fields["length"], fields["terminated"]),
                         ("1", "1", "5000", "1"))
        self.assertEqual(text, "x" * 5000 + "\n")

    def test_answer_without_content_length_is_read_to_the_end(self):
        fields, text = self.execute_against({"body": "streamed", "content_length": False})
        self.assertEqual((fields["result"], fields["length"]), ("1", "8"))
        self.assertEqual(text, "streamed\n")

    def test_answer_is_decoded_as_utf8_only_when_its_charset_says_so(self):
        body = "caf\u00e9 \u20ac".encode("utf-8")
        for content_type, expected in (("text/html; charset=UTF-8", "caf\u00e9 \u20ac"),
                                       ("text/html;charset=utf-8;", "caf\u00e9 \u20ac"),
                                       ("text/html; charset=gbk", body.decode("cp1252")),
                                       ('text/html; charset="utf-8"', body.decode("cp1252")),
                                       ("text/html", body.decode("cp1252"))):
            with self.subTest(content_type=content_type):
                fields, _ = self.execute_against({"body_hex": body.hex(),
                                                  "headers": [["Content-Type", content_type]]})
                self.assertEqual(decoded(fields), expected)

    def test_zero_byte_in_the_answer_cuts_the_text(self):
        fields, text = self.execute_against({"body_hex": b"abc\x00def".hex()})
        self.assertEqual((fields["length"], fields["terminated"]), ("7", "1"))
        self.assertEqual(text, "abc\n")
        self.collector.set_answers({"body_hex": b"abc\x00def".hex()})
        self.assertEqual(probe("form", self.collector.url, "text:a=1").stdout, "httpResponseContent:\nabc\n")

    def test_answer_text_the_console_cannot_show_keeps_the_rest_of_the_line(self):
        # Decoded with the ANSI code page, 0x80 is the euro sign, which the C runtime's "C" locale
        # cannot write as one byte.
        self.collector.set_answers({"body_hex": b"left \x80 right".hex()})
        run = probe("form", self.collector.url, "text:a=1")
        self.assertEqual(run.stdout, "httpResponseContent:\nleft ? right\n")

    def test_slow_answer_within_the_receive_time_out_is_read(self):
        fields, text = self.execute_against({"body": "late", "delay": 0.5})
        self.assertEqual((fields["result"], fields["sends"]), ("1", "1"))
        self.assertEqual(text, "late\n")



class HostileServerTest(unittest.TestCase):
    """Broken or hostile servers: the request ends, nothing malformed goes on the wire, no crash."""

    def test_redirects_are_answers_and_never_turn_the_post_into_a_get(self):
        with Collector() as collector:
            for status in (301, 302, 303, 307, 308):
                with self.subTest(status=status):
                    before = len(collector.records())
                    collector.set_answers({"status": status, "reason": "Moved",
                                           "headers": [["Location", collector.url + "?moved=1"]], "body": "moved"})
                    fields, text = probe_fields(probe("execute", collector.url, "POST", "text:a=%d" % status))
                    self.assertEqual((fields["result"], fields["sends"], fields["status"]), ("1", "1", str(status)))
                    self.assertEqual(text, "moved\n")
                    records = collector.records()[before:]
                    self.assertEqual([(r.method, r.target, r.body) for r in records],
                                     [("POST", "/stat/pc.php", b"a=%d" % status)])

    def test_answers_that_break_off_or_never_end_leave_the_host_standing(self):
        cases = (
            # "200 OK", a body announced and then a connection reset: a failed read, no crash.
            ("reset", (), ("0", "1", "200")),
            # A megabyte of header lines: only their start is interpreted, the body is read.
            ("headers", ("--megabytes", "1"), ("1", "1", "200")),
        )
        for mode, extra, expected in cases:
            with self.subTest(mode=mode), Blackhole(mode, 0, *extra) as server:
                url = "http://127.0.0.1:%d/stat/pc.php" % server.port
                run = probe("execute", url, "POST", "text:a=1")
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                fields, _ = probe_fields(run)
                self.assertEqual((fields["result"], fields["sends"], fields["status"]), expected)
                self.assertEqual(probe("form", url, "text:a=1").returncode, 0)


@unittest.skipUnless(shutil.which("openssl"), "openssl makes the test certificates")
class CertificateTest(unittest.TestCase):
    def test_https_reaches_a_server_whose_authority_the_prefix_trusts_and_refuses_a_self_signed_one(self):
        with Collector(tls=True, ca=True) as collector:
            self.assertEqual(probe("trust", collector.ca_path).stdout, "trust=1\n")
            self.addCleanup(probe, "distrust", collector.ca_path)
            collector.set_answers({"body": "stored"})
            fields, text = probe_fields(probe("execute", collector.url, "POST", "text:secret=1"))
            self.assertEqual((fields["result"], fields["status"], fields["sends"]), ("1", "200", "1"))
            self.assertEqual(text, "stored\n")
            posts = collector.posts()
            self.assertEqual(len(posts), 1)
            self.assertEqual(posts[0].body, b"secret=1")
            self.assertEqual([r.outcome for r in collector.records()], ["200"])

        with Collector(tls=True) as collector:
            # The same server answers a client that ignores certificate errors, so the handshake
            # itself works and the refusal is the certificate's.
            control = probe("tls-control", collector.url)
            self.assertEqual(control.stdout, "status=200 error=0\n")
            self.assertEqual(len(collector.posts()), 1)

            fields, _ = probe_fields(probe("execute", collector.url, "POST", "text:secret=1"))
            self.assertEqual((fields["result"], fields["sends"], fields["status"]), ("0", "3", ""))
            # Each send completed a handshake and left without a request: the certificate's refusal.
            # The collector notes a refusal when it sees the connection close, which can come a
            # moment after the probe has given up.
            deadline = time.monotonic() + 5
            while True:
                refusals = [r.outcome for r in collector.records() if r.outcome.startswith("tls:")]
                if len(refusals) >= 3 or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            self.assertEqual(refusals, ["tls: no request after the handshake"] * 3)
            self.assertEqual(len(collector.posts()), 1)


if __name__ == "__main__":
    unittest.main()
