"""`make install` as a user runs it: what it builds, where each file lands for
a prefix, and the files that go with the program (the manual page and the
sample configuration)."""

import os
import platform
import re
import subprocess
import unittest

from support.daemon import VERSION, help_text
from support.scratch import scratch_folder
from support.skips import needs_command

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# The compiler of the build under test, so that the install builds alike.
COMPILER = os.environ.get("MIREBOX_CXX_COMPILER", "")
BUILD = os.environ["MIREBOX_BUILD_DIR"]

# The examples every system gets, and those of Linux and FreeBSD alone.
EXAMPLES = ["fail2ban-filter.conf", "fail2ban-jail.conf", "mirebox-alerts.yml",
            "rsyslog-forward.conf", "rsyslog-server.conf"]
LINUX_EXAMPLES = ["fail2ban-sshd.conf", "fail2ban-sshd-2200.conf"]
FREEBSD_EXAMPLES = ["syslog.conf", "newsyslog.conf", "syslog-forward.conf"]
# The FreeBSD port's configuration file, which the manual's FreeBSD recipe
# names whatever the build.
FREEBSD_CONFIG = "/usr/local/etc/mirebox.config"
# prefix: (configuration file, systemd unit directory); the rest goes below
# the prefix.
LAYOUTS = {
    "/usr/local": ("/usr/local/etc/mirebox.config", "/usr/local/lib/systemd/system"),
    "/usr": ("/etc/mirebox.config", "/usr/lib/systemd/system"),
    "/opt/mirebox": ("/etc/opt/mirebox/mirebox.config", "/etc/systemd/system"),
}


def installed_files(root):
    found = set()
    for directory, _, files in os.walk(root):
        for name in files:
            found.add("/" + os.path.relpath(os.path.join(directory, name), root))
    return found


def executables(root):
    """Programs made by a build tree, whatever the generator put where."""
    return {name for directory, _, files in os.walk(root) for name in files
            if os.access(os.path.join(directory, name), os.X_OK)
            and not name.endswith((".sh", ".py", ".bin", ".out"))
            and "CMakeFiles" not in directory}


class MakeInstall(unittest.TestCase):
    """One build tree, installed for each prefix in turn, as `make install
    PREFIX=... DESTDIR=...` does it."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = scratch_folder(cls)
        cls.build = os.path.join(cls.scratch, "build")
        cls.stages = {}
        flags = f"-DCMAKE_CXX_COMPILER={COMPILER}" if COMPILER else ""
        for prefix in LAYOUTS:
            stage = os.path.join(cls.scratch, "stage" + prefix.replace("/", "-"))
            result = subprocess.run(
                ["make", "-C", SOURCE, "install", f"BUILD={cls.build}", f"PREFIX={prefix}",
                 f"DESTDIR={stage}", f"CMAKE_FLAGS={flags}"],
                capture_output=True, text=True, timeout=1200)
            if result.returncode != 0:
                raise AssertionError(f"make install PREFIX={prefix} failed:\n"
                                     f"{result.stdout[-3000:]}\n{result.stderr[-3000:]}")
            cls.stages[prefix] = stage

    @property
    def root(self):
        """The default prefix's tree."""
        return f"{self.stages['/usr/local']}/usr/local"

    def test_each_prefix_puts_every_file_where_its_system_looks(self):
        for prefix, (config, unit_directory) in LAYOUTS.items():
            with self.subTest(prefix=prefix):
                expected = {f"{prefix}/sbin/mirebox", f"{prefix}/share/man/man8/mirebox.8",
                            f"{config}.sample", f"{prefix}/bin/mirebox-stats",
                            f"{prefix}/share/man/man1/mirebox-stats.1"}
                if platform.system() == "Linux":
                    expected |= {f"{unit_directory}/mirebox.service",
                                 f"{unit_directory}/mirebox-stats.service",
                                 *(f"{prefix}/share/doc/mirebox/examples/{name}"
                                   for name in EXAMPLES + LINUX_EXAMPLES)}
                elif platform.system() == "FreeBSD":
                    examples = f"{prefix}/share/examples/mirebox"
                    expected |= {f"{os.path.dirname(config)}/rc.d/mirebox",
                                 f"{os.path.dirname(config)}/rc.d/mirebox_stats",
                                 *(f"{examples}/{name}"
                                   for name in EXAMPLES + FREEBSD_EXAMPLES)}
                self.assertEqual(installed_files(self.stages[prefix]), expected)

    def test_installed_program_reads_and_names_the_prefix_configuration(self):
        for prefix, (config, _) in LAYOUTS.items():
            with self.subTest(prefix=prefix):
                stage = self.stages[prefix]
                program = f"{stage}{prefix}/sbin/mirebox"
                result = subprocess.run([program, "-h"], capture_output=True, text=True)
                self.assertEqual((result.returncode, result.stdout), (0, help_text(config)))
                # Every installed file that names the configuration names this
                # one, but for the manual's recipe for FreeBSD, which names the
                # port's, and its container image's, where it says so.
                for path in installed_files(stage):
                    with open(stage + path, "rb") as installed:
                        text = installed.read()
                    if path.endswith("/man8/mirebox.8"):
                        text = re.sub(rb"\n\.Ss On Fx\n.*?\n(?=\.Ss )", b"\n", text, flags=re.S)
                    named = set(re.findall(rb"/[\w/.]*etc/[\w/.]*mirebox\.config\b", text))
                    if path.endswith("/man8/mirebox.8"):
                        named.discard(b"/etc/mirebox/mirebox.config")
                    self.assertLessEqual(named, {config.encode()}, path)
                manual = f"{stage}{prefix}/share/man/man8/mirebox.8"
                with open(manual, encoding="ascii") as page:
                    self.assertIn(f".Pa {config}\n", page.read())

    @unittest.skipUnless(platform.system() == "Linux", "names Linux's paths and FreeBSD's")
    def test_the_manual_names_its_own_systems_files_and_the_ports_for_freebsd(self):
        """A build for Debian names no rc.d script and no example that it does
        not install: FreeBSD's recipes name the port's files."""
        for prefix, (config, _) in LAYOUTS.items():
            with self.subTest(prefix=prefix):
                stage = self.stages[prefix]
                examples = f"{prefix}/share/doc/mirebox/examples"
                for page in ("man1/mirebox-stats.1", "man8/mirebox.8"):
                    with open(f"{stage}{prefix}/share/man/{page}", encoding="ascii") as manual:
                        text = manual.read()
                    for name in re.findall(rf"{re.escape(examples)}/([\w.-]+)", text):
                        self.assertTrue(os.path.exists(f"{stage}{examples}/{name}"), (page, name))
                rc_dir = f"{os.path.dirname(config)}/rc.d/"
                if rc_dir != f"{os.path.dirname(FREEBSD_CONFIG)}/rc.d/":
                    self.assertIsNone(re.search(rf"(?<![\w/.]){re.escape(rc_dir)}", text))
                freebsd = re.search(r"\n\.Ss On Fx\n.*?\n(?=\.Ss )", text, flags=re.S)[0]
                self.assertIn(f"{FREEBSD_CONFIG}.sample {FREEBSD_CONFIG}", freebsd)
                self.assertIn("/usr/local/share/examples/mirebox/syslog.conf", freebsd)

    def test_default_build_names_the_usual_path(self):
        result = subprocess.run([f"{self.stages['/usr/local']}/usr/local/sbin/mirebox", "-h"],
                                capture_output=True, text=True)
        self.assertIn("  -f        Set and load config file [/usr/local/etc/mirebox.config]\n",
                      result.stdout)

    def test_only_the_programs_are_built(self):
        self.assertEqual(executables(self.build), {"mirebox", "mirebox-stats"})

    @needs_command("binutils", "readelf")
    def test_installed_programs_are_stripped(self):
        for program in ("sbin/mirebox", "bin/mirebox-stats"):
            with self.subTest(program=program):
                sections = subprocess.run(["readelf", "-S", "-W", f"{self.root}/{program}"],
                                          capture_output=True, text=True, check=True).stdout
                for section in (".symtab", ".debug_info", ".debug_line"):
                    self.assertNotIn(f" {section} ", sections)
                self.assertIn(" .text ", sections)

    @needs_command("binutils", "readelf")
    def test_installed_daemon_needs_only_the_c_library(self):
        dynamic = subprocess.run(["readelf", "-d", f"{self.root}/sbin/mirebox"],
                                 capture_output=True, text=True, check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
        self.assertEqual(len(needed), 1, needed)
        self.assertRegex(needed[0], r"^libc\.so\.\d+$")

    def linted_page(self, page):
        """The manual page's text, once mandoc's linter has nothing to say."""
        lint = subprocess.run(["mandoc", "-Tlint", "-W", "warning", page],
                              capture_output=True, text=True)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
        text = subprocess.run(["mandoc", "-Tutf8", page], capture_output=True, text=True).stdout
        return re.sub(".\b", "", text)

    def test_installed_stats_program_runs(self):
        result = subprocess.run([f"{self.root}/bin/mirebox-stats", "-V"],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, f"mirebox-stats {VERSION}\n"))

    @needs_command("mandoc", "mandoc")
    def test_stats_manual_page_is_lint_free_and_covers_every_option(self):
        text = self.linted_page(f"{self.root}/share/man/man1/mirebox-stats.1")
        usage = subprocess.run([f"{self.root}/bin/mirebox-stats", "-h"],
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

    def test_sample_changes_nothing_but_the_log_level(self):
        sample = f"{self.stages['/usr/local']}/usr/local/etc/mirebox.config.sample"
        with open(sample, encoding="ascii") as text:
            lines = [line.split("#")[0].split() for line in text]
        with open(sample, encoding="ascii") as text:
            commented = [line[1:].split() for line in text
                         if re.match(r"#[A-Z]\w+ \S+$", line)]
        self.assertEqual([line for line in lines if line], [["LogLevel", "1"]])
        self.assertEqual(commented, [["Port", "2222"], ["Delay", "10000"],
                                     ["MaxLineLength", "32"], ["MaxClients", "4096"],
                                     ["BindFamily", "0"]])
        # Uncommented, every key reads without a word at its default.
        program = f"{self.stages['/usr/local']}/usr/local/sbin/mirebox"
        directory = scratch_folder(self)
        uncommented = os.path.join(directory, "all.config")
        with open(uncommented, "w", encoding="ascii") as config:
            config.writelines(" ".join(words) + "\n" for words in commented)
        for path in (sample, uncommented):
            result = subprocess.run([program, "-f", path, "-V"], capture_output=True,
                                    text=True)
            self.assertEqual((result.returncode, result.stderr), (0, ""), path)

    @needs_command("mandoc", "mandoc")
    def test_manual_page_is_lint_free_and_covers_every_option(self):
        text = self.linted_page(f"{self.root}/share/man/man8/mirebox.8")
        self.assertIn("mirebox – tarpit that keeps SSH clients waiting on slow pre-banner lines",
                      text)
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "CONFIGURATION FILE", "SIGNALS",
                        "LOG", "FILES", "EXIT STATUS", "EXAMPLES", "DIAGNOSTICS", "SEE ALSO",
                        "STANDARDS"):
            self.assertRegex(text, rf"\n{section}\n")
        for option in "46dfhlmpsVv":
            self.assertRegex(text, rf"\n\s+-{option}\b")
        for key in ("Port", "Delay", "MaxLineLength", "MaxClients", "LogLevel", "BindFamily"):
            self.assertIn(key, text)


class StatsServiceFiles(unittest.TestCase):
    """The services that follow the log into node_exporter's textfile directory."""
    rc_script = os.path.join(BUILD, "rc.d/mirebox_stats")
    unit = os.path.join(BUILD, "mirebox-stats.service")

    def test_rc_script_follows_the_log_into_the_textfile(self):
        with open(self.rc_script, encoding="ascii") as script:
            text = script.read()
        self.assertRegex(text, r'command_args="[^"]* \$\{program\} --follow --prometheus '
                               r'\$\{mirebox_stats_textfile\} \$\{mirebox_stats_args\} '
                               r'\$\{mirebox_stats_log\}"')
        self.assertRegex(text, r'mirebox_stats_program:=/\S+/bin/mirebox-stats\}')
        self.assertRegex(text, r'mirebox_stats_textfile:=/\S+/mirebox\.prom\}')

    def test_systemd_unit_writes_only_the_textfile_directory(self):
        with open(self.unit, encoding="ascii") as source:
            text = source.read()
        # Its lines joined as systemd joins them, and the shell's spaces one.
        joined = re.sub(r" +", " ", text.replace("\\\n", " "))
        start = re.search(r"^ExecStart=/bin/sh -c 'directory=(\S+); "
                          r"if \[ ! -d \"\$\$directory\" \]; then [^;]*; exit 78; fi; "
                          r"(journalctl [^|]*)\| (\S+) (.*)'$", joined, re.M)
        self.assertIsNotNone(start, text)
        checked, journal, program, options = start.groups()
        for option in ("--unit=mirebox", "--merge", "--follow", "--output=short-iso", "--lines=all"):
            self.assertIn(option, journal.split())
        self.assertTrue(program.endswith("/bin/mirebox-stats"), program)
        self.assertEqual(options, '--follow --quiet --prometheus "$$directory/mirebox.prom"')
        self.assertIn(f"ReadWritePaths=-{checked}\n", text)
        for setting in ("CapabilityBoundingSet=\n", "NoNewPrivileges=yes", "ProtectSystem=strict",
                        "PrivateNetwork=yes"):
            self.assertIn(setting, text)


if __name__ == "__main__":
    unittest.main()
