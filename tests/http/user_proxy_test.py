"""The proxy fallback after a failed send, driven by the user's Internet settings in the prefix.

Wine's winhttp accepts WINHTTP_OPTION_PROXY on a request without routing through it, so what these
tests can see under Wine is the platform's own trace of the calls the engine makes: the settings
read, the proxy set on the request, the script asked for a proxy. A request that does reach the
loopback proxy (on a platform that routes it) must still be the whole, uncorrupted report.
"""

import re
import unittest

from collector_fixture import Collector, closed_port, header_values
from wine_registry import (INTERNET_CONNECTIONS, PROXY_AUTO_CONFIG_URL, PROXY_DIRECT, PROXY_NAMED,
                           SavedBinaryValue, connection_settings, write_binary_value)
from wine_run import run_program

SETTINGS = "DefaultConnectionSettings"


class UserProxyTest(unittest.TestCase):
    def setUp(self):
        self.proxy = Collector()
        self.proxy.start()
        self.addCleanup(self.proxy.stop)
        saved = SavedBinaryValue(INTERNET_CONNECTIONS, SETTINGS)
        saved.__enter__()
        self.addCleanup(saved.__exit__, None, None, None)
        self.target = "http://127.0.0.1:%d/stat/pc.php" % closed_port()

    def post_traced(self):
        run = run_program("post_probe", ["execute", self.target, "POST", "text:a=1&b=2"], timeout=120,
                          env={"WINEDEBUG": "+winhttp"})
        self.assertEqual(run.returncode, 0)
        fields = dict(item.split("=", 1) for item in run.stdout.splitlines()[0].split())
        return fields, run.stderr

    def assert_reports_through_proxy_are_whole(self):
        for record in self.proxy.posts():
            self.assertEqual(record.target, self.target)
            self.assertEqual(header_values(record, "Content-Length"), [b"11"])
            self.assertEqual(header_values(record, "Content-Type"), [b"application/x-www-form-urlencoded"])
            self.assertEqual(record.body, b"a=1&b=2")

    def test_without_proxy_settings_every_failed_send_reads_them_and_applies_nothing(self):
        write_binary_value(INTERNET_CONNECTIONS, SETTINGS, connection_settings(PROXY_DIRECT))
        fields, trace = self.post_traced()
        self.assertEqual((fields["result"], fields["sends"]), ("0", "3"))
        self.assertEqual(trace.count("WinHttpGetIEProxyConfigForCurrentUser"), 3)
        self.assertNotRegex(trace, r'request_set_option \d+ L"')  # no proxy set on the request
        self.assertNotIn("WinHttpGetProxyForUrl", trace)

    def test_manual_proxy_is_set_on_the_request_after_each_failed_send(self):
        write_binary_value(INTERNET_CONNECTIONS, SETTINGS,
                           connection_settings(PROXY_DIRECT | PROXY_NAMED, self.proxy.host.encode(), b"<local>"))
        fields, trace = self.post_traced()
        applied = re.findall(r'request_set_option 3 L"([^"]*)" L"([^"]*)"', trace)
        self.assertGreaterEqual(len(applied), 1)
        self.assertEqual(set(applied), {(self.proxy.host, "<local>")})
        if self.proxy.posts():
            self.assertEqual(fields["result"], "1")
        else:
            self.assertEqual((fields["result"], fields["sends"]), ("0", "3"))
        self.assert_reports_through_proxy_are_whole()

    def test_proxy_or_bypass_list_too_long_for_its_buffer_is_not_applied(self):
        long_list = ("127.0.0.1:%d;" % self.proxy.port).encode() * 25
        self.assertGreaterEqual(len(long_list), 260)
        for proxy, bypass in ((long_list, b""), (self.proxy.host.encode(), long_list)):
            write_binary_value(INTERNET_CONNECTIONS, SETTINGS,
                               connection_settings(PROXY_DIRECT | PROXY_NAMED, proxy, bypass))
            fields, trace = self.post_traced()
            self.assertEqual((fields["result"], fields["sends"]), ("0", "3"))
            self.assertEqual(trace.count("WinHttpGetIEProxyConfigForCurrentUser"), 3)
            self.assertNotRegex(trace, r'request_set_option \d+ L"')  # no proxy set on the request

    def test_proxy_list_of_259_characters_still_fits(self):
        host = self.proxy.host.encode()
        padded = host + b";" + b"x" * (259 - len(host) - 1)
        self.assertEqual(len(padded), 259)
        write_binary_value(INTERNET_CONNECTIONS, SETTINGS, connection_settings(PROXY_DIRECT | PROXY_NAMED, padded))
        fields, trace = self.post_traced()
        self.assertIn('request_set_option 3 L"%s"' % padded.decode(), trace)

    def test_automatic_configuration_script_is_asked_for_a_proxy_after_each_failed_send(self):
        script = "function FindProxyForURL(url, host) { return 'PROXY %s'; }" % self.proxy.host
        self.proxy.set_answers({}, files={"/proxy.pac": {"body": script, "headers": [
            ["Content-Type", "application/x-ns-proxy-autoconfig"]]}})
        pac_url = "http://%s/proxy.pac" % self.proxy.host
        write_binary_value(INTERNET_CONNECTIONS, SETTINGS,
                           connection_settings(PROXY_DIRECT | PROXY_AUTO_CONFIG_URL, auto_config_url=pac_url.encode()))
        fields, trace = self.post_traced()
        asked = re.findall(r'WinHttpGetProxyForUrl [0-9A-Fa-f]+, L"([^"]*)"', trace)
        self.assertGreaterEqual(len(asked), 1)
        self.assertEqual(set(asked), {self.target})
        self.assertNotIn('request_set_option 3', trace)
        self.assert_reports_through_proxy_are_whole()


if __name__ == "__main__":
    unittest.main()
