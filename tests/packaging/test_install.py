"""The installed tree and the files that go with the program: the manual page,
the sample configuration and the service files for FreeBSD and for systemd."""

import os
import platform
import re
import subprocess
import tempfile
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from skips import needs_command  # noqa: E402

BUILD = os.environ["MIREBOX_BUILD_DIR"]


class InstallTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stage = tempfile.TemporaryDirectory()
        subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr/local"], check=True,
                       env={**os.environ, "DESTDIR": cls.stage.name}, capture_output=True)
        cls.root = os.path.join(cls.stage.name, "usr/local")

    @classmethod
    def tearDownClass(cls):
        cls.stage.cleanup()

    def installed(self):
        found = set()
        for directory, _, files in os.walk(self.root):
            for name in files:
                found.add(os.path.relpath(os.path.join(directory, name), self.root))
        return found

    def test_tree_holds_program_manual_and_sample(self):
        expected = {"sbin/mirebox", "share/man/man8/mirebox.8", "etc/mirebox.config.sample",
                    "bin/mirebox-stats", "share/man/man1/mirebox-stats.1"}
        if platform.system() == "Linux":
            expected |= {"lib/systemd/system/mirebox.service",
                         "lib/systemd/system/mirebox-stats.service"}
        elif platform.system() == "FreeBSD":
            expected |= {"etc/rc.d/mirebox", "etc/rc.d/mirebox_stats"}
        self.assertEqual(self.installed(), expected)
        self.assertTrue(os.access(os.path.join(self.root, "sbin/mirebox"), os.X_OK))
        self.assertTrue(os.access(os.path.join(self.root, "bin/mirebox-stats"), os.X_OK))

    def test_installed_program_runs(self):
        result = subprocess.run([os.path.join(self.root, "sbin/mirebox"), "-V"],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, "Mirebox 1.1\n"))

    def test_installed_stats_program_runs(self):
        result = subprocess.run([os.path.join(self.root, "bin/mirebox-stats"), "-V"],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, "mirebox-stats 1.1\n"))

    @needs_command("mandoc", "mandoc")
    def test_stats_manual_page_is_lint_free_and_covers_every_option(self):
        page = os.path.join(self.root, "share/man/man1/mirebox-stats.1")
        lint = subprocess.run(["mandoc", "-Tlint", "-W", "warning", page],
                              capture_output=True, text=True)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
        text = re.sub(".\b", "", subprocess.run(["mandoc", "-Tutf8", page], capture_output=True,
                                                text=True).stdout)
        usage = subprocess.run([os.path.join(self.root, "bin/mirebox-stats"), "-h"],
                               capture_output=True, text=True).stdout
        options = re.findall(r"^  -(\w), (--[a-z]+)", usage, re.M)
        self.assertIn(("p", "--prometheus"), options)
        for option in options:
            self.assertRegex(text, rf"\n\s+-{option[0]}\b")
            self.assertIn(option[1], text.replace("\u2010", "-"))
        for metric in ("mirebox_connections_total", "mirebox_clients_held",
                       "mirebox_hold_duration_seconds", "mirebox_sent_bytes_total",
                       "mirebox_descriptor_exhaustions_total", "mirebox_unparsed_lines_total"):
            self.assertIn(metric, text)

    def test_sample_lists_every_key_at_its_default(self):
        with open(os.path.join(self.root, "etc/mirebox.config.sample"), encoding="ascii") as sample:
            settings = [line.split() for line in sample if line.strip() and not line.startswith("#")]
        self.assertEqual(settings, [["Port", "2222"], ["Delay", "10000"], ["MaxLineLength", "32"],
                                    ["MaxClients", "4096"], ["LogLevel", "0"], ["BindFamily", "0"]])
        # The daemon reads it without a word.
        result = subprocess.run([os.path.join(self.root, "sbin/mirebox"), "-f",
                                 os.path.join(self.root, "etc/mirebox.config.sample"), "-V"],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    @needs_command("mandoc", "mandoc")
    def test_manual_page_is_lint_free_and_covers_every_option(self):
        page = os.path.join(self.root, "share/man/man8/mirebox.8")
        lint = subprocess.run(["mandoc", "-Tlint", "-W", "warning", page],
                              capture_output=True, text=True)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
        text = subprocess.run(["mandoc", "-Tutf8", page], capture_output=True,
                              text=True).stdout
        text = re.sub(".\b", "", text)
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "CONFIGURATION FILE", "SIGNALS",
                        "FILES", "EXIT STATUS", "EXAMPLES", "DIAGNOSTICS", "SEE ALSO"):
            self.assertRegex(text, rf"\n{section}\n")
        for option in "46dfhlmpsVv":
            self.assertRegex(text, rf"\n\s+-{option}\b")
        for key in ("Port", "Delay", "MaxLineLength", "MaxClients", "LogLevel", "BindFamily"):
            self.assertIn(key, text)


class ServiceFiles(unittest.TestCase):
    rc_script = os.path.join(BUILD, "rc.d/mirebox")
    unit = os.path.join(BUILD, "mirebox.service")

    def test_rc_script_parses(self):
        result = subprocess.run(["sh", "-n", self.rc_script], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    @needs_command("shellcheck", "shellcheck")
    def test_rc_script_passes_shellcheck(self):
        result = subprocess.run(["shellcheck", "-s", "sh", self.rc_script],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    def test_rc_script_passes_program_options_through_command_args(self):
        with open(self.rc_script, encoding="ascii") as script:
            text = script.read()
        self.assertRegex(text, r'command="/usr/sbin/daemon"')
        self.assertRegex(text, r'command_args="[^"]*/sbin/mirebox \$\{mirebox_args\}"')
        self.assertNotIn("mirebox_flags", text.split("load_rc_config")[1])
        self.assertIn('extra_commands="reload totals"', text)

    @needs_command("systemd", "systemd-analyze")
    def test_systemd_unit_verifies(self):
        with tempfile.TemporaryDirectory() as directory:
            # Verified against the program as built, since it is not installed here.
            with open(self.unit, encoding="ascii") as source:
                text = re.sub(r"ExecStart=\S+", f"ExecStart={BUILD}/mirebox", source.read())
            unit = os.path.join(directory, "mirebox.service")
            with open(unit, "w", encoding="ascii") as copy:
                copy.write(text)
            result = subprocess.run(["systemd-analyze", "verify", "--man=no", unit],
                                    capture_output=True, text=True)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
        for setting in ("DynamicUser=yes", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
                        "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes",
                        "RestrictAddressFamilies=", "LimitNOFILE=", "ExecReload=/bin/kill -HUP"):
            self.assertIn(setting, text)


class StatsServiceFiles(unittest.TestCase):
    """The services that follow the log into node_exporter's textfile directory."""
    rc_script = os.path.join(BUILD, "rc.d/mirebox_stats")
    unit = os.path.join(BUILD, "mirebox-stats.service")

    def test_rc_script_parses_and_follows_the_log_into_the_textfile(self):
        result = subprocess.run(["sh", "-n", self.rc_script], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        with open(self.rc_script, encoding="ascii") as script:
            text = script.read()
        self.assertRegex(text, r'command_args="[^"]*/bin/mirebox-stats --follow --prometheus '
                               r'\$\{mirebox_stats_textfile\} \$\{mirebox_stats_args\} '
                               r'\$\{mirebox_stats_log\}"')
        self.assertRegex(text, r'mirebox_stats_textfile:=/\S+/mirebox\.prom\}')

    @needs_command("shellcheck", "shellcheck")
    def test_rc_script_passes_shellcheck(self):
        result = subprocess.run(["shellcheck", "-s", "sh", self.rc_script],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    @needs_command("systemd", "systemd-analyze")
    def test_systemd_unit_verifies_and_writes_only_the_textfile_directory(self):
        result = subprocess.run(["systemd-analyze", "verify", "--man=no", self.unit],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        with open(self.unit, encoding="ascii") as source:
            text = source.read()
        start = re.search(r"^ExecStart=/bin/sh -c '(journalctl [^|]*)\| (\S+) (.*)'$", text, re.M)
        self.assertIsNotNone(start, text)
        journal, program, options = start.groups()
        for option in ("--unit=mirebox", "--follow", "--output=short-iso", "--lines=all"):
            self.assertIn(option, journal.split())
        self.assertTrue(program.endswith("/bin/mirebox-stats"), program)
        prometheus = re.fullmatch(r"--follow --quiet --prometheus (\S+)/mirebox\.prom", options)
        self.assertIsNotNone(prometheus, options)
        self.assertIn(f"ReadWritePaths={prometheus.group(1)}\n", text)
        for setting in ("CapabilityBoundingSet=\n", "NoNewPrivileges=yes", "ProtectSystem=strict",
                        "PrivateNetwork=yes"):
            self.assertIn(setting, text)


if __name__ == "__main__":
    unittest.main()
