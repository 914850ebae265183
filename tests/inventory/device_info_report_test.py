"""Device-information reports through the real DLL under Wine carry what WMI answers on this machine."""
import unittest
from urllib.parse import unquote

from stat_server import online
from wine_run import post_data_lines, run_program

ORDER = ["devicecode", "appkey", "channelid", "pcosname", "mac", "pcosversion", "pcname", "pcusername",
         "windowssid", "pccpuid", "harddiskid", "mainboardcode"]


def pairs(body):
    out = []
    for pair in body.split("&"):
        key, _, value = pair.partition("=")
        out.append((key, unquote(value, encoding="latin-1")))
    return out


def expected_values(stdout):
    """The values the host read through WMI itself: a class without instance leaves its field empty."""
    expected = {}
    for line in stdout.splitlines():
        if line.startswith("wmi: "):
            item = line[len("wmi: "):]
            if item.endswith(" empty"):
                expected[item[:-len(" empty")]] = ""
            else:
                key, _, value = item.partition("=")
                expected[key] = value[:259]
        elif line.startswith("cpu: "):
            expected["pccpuid"] = line[len("cpu: "):]
    return expected


class DeviceInfoReport(unittest.TestCase):
    def reports(self, *args):
        with online("inventory-key"):
            run = run_program("device_info_host", [str(a) for a in args], timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertNotIn("wmi: unavailable", run.stdout)
        expected = expected_values(run.stdout)
        self.assertEqual(len(expected), 9, run.stdout)
        self.assertTrue(any(expected[k] for k in expected if k != "pccpuid"), "WMI answered nothing at all")
        return [pairs(body) for body in post_data_lines(run.stdout)], expected, run

    def assert_carries(self, body, expected):
        self.assertEqual([key for key, _ in body], ORDER)
        for key, value in body:
            if key in expected:
                self.assertEqual(value, expected[key], key)

    def test_body_carries_the_values_wmi_reports_in_order(self):
        bodies, expected, _ = self.reports(1)
        self.assertEqual(len(bodies), 1)
        self.assert_carries(bodies[0], expected)

    def test_second_report_in_the_same_process_still_carries_values(self):
        bodies, expected, run = self.reports(2)
        self.assertEqual(len(bodies), 2)
        for body in bodies:
            self.assert_carries(body, expected)
        self.assertNotIn("Security initialization failed", run.stderr)

    def test_report_from_a_single_threaded_host_thread_carries_values(self):
        bodies, expected, run = self.reports("sta", 2)
        self.assertEqual(len(bodies), 2)
        for body in bodies:
            self.assert_carries(body, expected)
        self.assertNotIn("COM initialization failed", run.stderr)

    def test_classes_without_instance_print_enumeration_empty_once_per_report(self):
        bodies, expected, run = self.reports(2)
        empty = [line for line in run.stdout.splitlines() if line.startswith("wmi: ") and line.endswith(" empty")]
        if not empty:
            self.skipTest("every reported class has an instance here")
        # The fill also reads classes that no body carries, which may be empty as well.
        self.assertGreaterEqual(run.stdout.count("Enumeration empty\n"), 2 * len(empty), run.stdout)


class DeviceInfoReportWithoutWmi(unittest.TestCase):
    def test_every_report_says_the_locator_failed_and_still_sends_the_processor_identifier(self):
        # Disabling the WMI provider DLL is what a machine whose WMI is broken looks like to the fill.
        for args in ([2], ["sta", 2]):
            with self.subTest(args=args):
                with online("inventory-key"):
                    run = run_program("device_info_host", [str(a) for a in args], timeout=120,
                                      env={"WINEDLLOVERRIDES": "mscoree,mshtml=;wbemprox="})
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                self.assertIn("wmi: unavailable", run.stdout)
                self.assertEqual(run.stderr.count("Instantiation of IWbemLocator failed\n"), 2, run.stderr)
                cpu = expected_values(run.stdout)["pccpuid"]
                self.assertRegex(cpu, "^[0-9A-F]{32}$")
                bodies = [dict(pairs(body)) for body in post_data_lines(run.stdout)]
                self.assertEqual(len(bodies), 2)
                for body in bodies:
                    self.assertEqual(body["pccpuid"], cpu)
                    self.assertEqual(body["pcosname"], "")
                    self.assertEqual(body["mac"], "")


if __name__ == "__main__":
    unittest.main()
