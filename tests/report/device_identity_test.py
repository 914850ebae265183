"""The device identifier as hosts and the collector see it, through real programs under Wine."""
import re
import unittest

from stat_server import online
from wine_run import post_data_lines, run_host, run_program

HEX32 = re.compile(r"^[0-9A-F]{32}$")


def probe(env=None):
    run = run_program("device_id_probe", env=env)
    values = dict(line.split("=", 1) for line in run.stdout.splitlines() if "=" in line)
    return run, values


class DeviceIdentifier(unittest.TestCase):
    def test_every_report_kind_carries_the_identifier_of_this_start(self):
        _, derived = probe()
        self.assertRegex(derived["wide"], HEX32)
        with online("key"):
            run = run_host("set", "key", "chan", "report", "app_start", "-", 0, "report", "export_pdf", "x", 0,
                           "report", "app_device_info", "-", 0, "stop", "return", timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout)
        posts = post_data_lines(run.stdout)
        self.assertEqual(len(posts), 3, run.stdout)
        self.assertIn("%22deviceid%22:%22{}%22".format(derived["wide"]), posts[0])
        self.assertIn("%22deviceid%22:%22{}%22".format(derived["wide"]), posts[1])
        self.assertTrue(posts[2].startswith("devicecode={}&".format(derived["wide"])), posts[2])

    def test_ansi_form_holds_the_identifier_when_the_ansi_code_page_is_utf8(self):
        # Windows refuses WC_COMPOSITECHECK for UTF-8; Wine gives locales without an ANSI code page
        # of their own, Hindi among them, UTF-8 as theirs.
        run, values = probe({"LC_ALL": "hi_IN.UTF-8", "LANG": "hi_IN.UTF-8"})
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(values["acp"], "65001")
        self.assertRegex(values["wide"], HEX32)
        self.assertEqual(values["ansi"], values["wide"])


if __name__ == "__main__":
    unittest.main()
