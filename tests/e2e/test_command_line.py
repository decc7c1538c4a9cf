"""The command line, against the real binary: options in order, texts and statuses."""

import os
import unittest

from support.daemon import HELP, VERSION, TarpitTest, run, settings_of, write_config
from support.network import free_port
from support.scratch import scratch_folder



class PrintingOptions(TarpitTest):
    def test_help_and_version_print_and_exit_zero(self):
        version = f"Mirebox {VERSION}\n"
        for args, out in [(["-h"], HELP), (["-V"], version), (["-v", "-h", "-x"], HELP),
                          (["-p", "22", "-V"], version)]:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, out, ""))

    def test_bad_option_prints_complaint_then_help_on_stderr(self):
        for args in (["-x"], ["-p"], ["-v", "-f"], ["-d"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, "")
                complaint, _, rest = result.stderr.partition("\n")
                self.assertTrue(complaint, "getopt's own complaint comes first")
                self.assertEqual(rest, HELP)


class Refusals(TarpitTest):
    def test_each_failure_has_its_message_and_status_one(self):
        cases = [
            (["-p", "0"], "mirebox: Invalid port: 0\n"),
            (["-p", "65536"], "mirebox: Invalid port: 65536\n"),
            (["-p", "22 "], "mirebox: Invalid port: 22 \n"),
            (["-p", "0", "-h"], "mirebox: Invalid port: 0\n"),
            (["-d", "0"], "mirebox: Invalid delay: 0\n"),
            (["-d", "2147483648"], "mirebox: Invalid delay: 2147483648\n"),
            (["-l", "2"], "mirebox: Invalid line length: 2\n"),
            (["-l", "256"], "mirebox: Invalid line length: 256\n"),
            (["-m", "0"], "mirebox: Invalid max clients: 0\n"),
            (["-m", ""], "mirebox: Invalid max clients: \n"),
            (["stray"], "mirebox: too many arguments\n"),
            (["stray", "-h"], "mirebox: too many arguments\n"),
            (["-v", "stray", "-V"], "mirebox: too many arguments\n"),
            (["--", "-h"], "mirebox: too many arguments\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (1, "", message))


class Ordering(TarpitTest):
    def setUp(self):
        self.directory = scratch_folder(self)

    def config(self, name, text):
        return write_config(self.directory, name, text)

    def test_later_sources_win(self):
        filed, given = free_port(), free_port()
        config = self.config("a.config", f"Port {filed}\nDelay 1234\n")
        second = self.config("b.config", "MaxLineLength 40\nDelay 4321\n")
        cases = [
            (["-p", str(given), "-f", config], f"Port {filed}", "Delay 1234"),
            (["-f", config, "-p", str(given)], f"Port {given}", "Delay 1234"),
            (["-f", config, "-f", second], f"Port {filed}", "Delay 4321"),
            (["-f", config, "-d", "99", "-f", second, "-l", "50"], f"Port {filed}", "Delay 4321"),
        ]
        for args, port, delay in cases:
            with self.subTest(args=args):
                lines = settings_of(*args, port_option=False)
                self.assertEqual(lines[0:2], [port, delay])

    def test_settings_lines_show_every_value(self):
        port = free_port()
        lines = settings_of("-d", "250", "-l", "64", "-m", "7", "-4", "-6", port=port)
        self.assertEqual(lines, [f"Port {port}", "Delay 250", "MaxLineLength 64",
                                 "MaxClients 7", "BindFamily IPv6 Only"])
        self.assertEqual(settings_of("-6", "-4")[4], "BindFamily IPv4 Only")
        self.assertEqual(settings_of()[1:], ["Delay 10000", "MaxLineLength 32",
                                             "MaxClients 4096", "BindFamily IPv4 Mapped IPv6"])

    def test_verbose_counts_up_to_two_from_the_files_level(self):
        level_one = self.config("level.config", "LogLevel 1\n")
        cases = [(["-v"], False), (["-v", "-v"], True), (["-v", "-v", "-v"], True),
                 (["-f", level_one], False), (["-f", level_one, "-v"], True)]
        for args, traced in cases:
            with self.subTest(args=args):
                daemon = self.start(*args)
                daemon.ready()
                self.assertEqual(daemon.stop(), 0)
                self.assertEqual(any(m.startswith("listen(") for m in daemon.messages()), traced)

    def test_quiet_by_default(self):
        daemon = self.start()
        daemon.ready()
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual((daemon.messages(), daemon.errors), ([], []))

    def test_missing_config_file_is_no_error(self):
        absent = os.path.join(self.directory, "absent.config")
        port = free_port()
        self.assertEqual(settings_of("-f", absent, port=port)[0], f"Port {port}")

    def test_files_that_never_end_or_never_open_are_skipped(self):
        fifo = os.path.join(self.directory, "fifo")
        os.mkfifo(fifo)
        for path in ("/dev/zero", fifo, self.directory):
            with self.subTest(path=path):
                result = run("-f", path, "-V", timeout=10)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, f"Mirebox {VERSION}\n", ""))

    def test_bad_line_in_a_named_file_ends_before_listening(self):
        config = self.config("bad.config", "Port 2300\nDelay\nPort 2301\n")
        result = run("-v", "-f", config, "-h")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", f"{config}:2: Missing value\n"))


if __name__ == "__main__":
    unittest.main()
