"""The start-up configuration file: read first, strictly, before any option."""

import os
import signal
import unittest

from support.daemon import DEFAULT_CONFIG, HELP, Daemon, run, settings_of
from support.network import free_port


class DefaultConfigFile(unittest.TestCase):
    def write(self, text):
        with open(DEFAULT_CONFIG, "w", encoding="ascii") as config:
            config.write(text)
        self.addCleanup(os.remove, DEFAULT_CONFIG)

    def test_absent_file_means_built_in_defaults_and_silence(self):
        self.assertFalse(os.path.exists(DEFAULT_CONFIG))
        self.assertEqual(settings_of()[1:], ["Delay 10000", "MaxLineLength 32",
                                             "MaxClients 4096", "BindFamily IPv4 Mapped IPv6"])

    def test_file_values_apply_and_options_override_them(self):
        port = free_port()
        self.write(f"Port {port} # where it listens\nDelay 777\nMaxClients 12\n")
        self.assertEqual(settings_of(port_option=False)[:4],
                         [f"Port {port}", "Delay 777", "MaxLineLength 32", "MaxClients 12"])
        self.assertEqual(settings_of("-d", "5")[1], "Delay 5")

    def test_strict_failures_stop_even_help_and_version(self):
        for text, message in [("Port 0\n", "mirebox: Invalid port: 0\n"),
                              ("\nDelay\n", f"{DEFAULT_CONFIG}:2: Missing value\n"),
                              ("LogLevel -1\n", f"{DEFAULT_CONFIG}:1: Invalid log level '-1'\n"),
                              ("\t\n", f"{DEFAULT_CONFIG}:1: Missing value\n")]:
            with self.subTest(text=text):
                self.write(text)
                for option in ("-h", "-V"):
                    result = run(option)
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (1, "", message))
                self.doCleanups()

    def test_a_reload_reads_the_default_file_made_since(self):
        self.assertFalse(os.path.exists(DEFAULT_CONFIG))
        daemon = Daemon("-v")
        self.addCleanup(daemon.kill)
        daemon.ready()
        self.write("Delay 555\n")
        daemon.signal(signal.SIGHUP)
        daemon.wait_for(r"BindFamily .*", count=2)
        self.assertEqual(daemon.messages().count("Delay 555"), 1)
        self.assertEqual(daemon.stop(), 0)

    def test_unknown_key_only_speaks_before_help(self):
        self.write("Colour blue\n")
        result = run("-h")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, f"{DEFAULT_CONFIG}:1: Unknown option 'Colour'\n")
        self.assertEqual(result.stdout, HELP)


if __name__ == "__main__":
    unittest.main()
