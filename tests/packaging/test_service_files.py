"""The rc.d script and the systemd unit as built: checked with the real tools
where this system has them, run in part, as the service managers would run
them, where that can be done honestly here, and the daemon run as each of
them starts it."""

import os
import re
import signal
import socket
import subprocess
import time
import unittest

from support import services, skips
from support.daemon import CLOSE, DEFAULT_CONFIG, ISOLATED, ISOLATED_REASON, TOTALS, TarpitTest
from support.metrics import read_metrics, total
from support.network import connect, free_port, in_network_of
from support.processes import end_group
from support.scratch import scratch_folder
from support.services import (SOURCE, JOURNAL_REMOTE, RcScript, SystemdUnit, export_entry,
                              needs_rc_subr)
from support.skips import needs_command
from support.waiting import DEADLINE, wait_until

BUILD = os.environ["MIREBOX_BUILD_DIR"]
IS_ROOT = os.geteuid() == 0
# The service user of these tests: one every Debian and FreeBSD system has.
USER, GROUP = "nobody", ("nogroup" if os.path.exists("/etc/debian_version") else "nobody")


class Scratch(services.ServiceScratch):
    def setUp(self):
        super().setUp()
        self.config = os.path.join(self.directory, "mirebox.config")


def running(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


@needs_rc_subr
class RcScriptTest(Scratch):
    def script(self, name="mirebox"):
        return RcScript(BUILD, self.directory, name)

    def as_user(self, *command, **options):
        """A process of the service user's, as daemon(8) runs mirebox."""
        process = subprocess.Popen(["setpriv", f"--reuid={USER}", f"--regid={GROUP}",
                                    "--clear-groups", *command], **options)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        return process

    @needs_command("shellcheck", "shellcheck")
    def test_scripts_parse_and_pass_shellcheck(self):
        for name in ("mirebox", "mirebox_stats"):
            with self.subTest(script=name):
                path = os.path.join(BUILD, "rc.d", name)
                parsed = subprocess.run(["sh", "-n", path], capture_output=True, text=True)
                self.assertEqual((parsed.returncode, parsed.stderr), (0, ""))
                checked = subprocess.run(["shellcheck", "-s", "sh", path], capture_output=True,
                                         text=True)
                self.assertEqual((checked.returncode, checked.stdout), (0, ""))

    def test_start_runs_mirebox_under_daemon_with_its_options_behind_the_program(self):
        script = self.script()
        program = SystemdUnit(BUILD).command("ExecStart")[0]
        run = script.run_dir
        config = re.search(r'mirebox_config:=([^}]*)}', open(script.path, encoding="ascii").read())[1]
        daemon_options = {"-f": "", "-S": "", "-s": "warning", "-T": "mirebox",
                          "-P": f"{run}/daemon.pid", "-p": f"{run}/mirebox.pid", "-R": "10"}
        cases = [
            ({}, {}, program, ["-s", "-f", config]),
            # -s and the file are there whatever the flags.
            ({"mirebox_flags": "-p 2299"}, {}, program, ["-s", "-f", config, "-p", "2299"]),
            ({"mirebox_config": self.config}, {}, program, ["-s", "-f", self.config]),
            # The program is mirebox's path, never daemon(8)'s.
            ({"mirebox_program": "/opt/mirebox/sbin/mirebox"}, {}, "/opt/mirebox/sbin/mirebox",
             ["-s", "-f", config]),
            ({"mirebox_restart_delay": "30"}, {"-R": "30"}, program, ["-s", "-f", config]),
        ]
        for rc_conf, changed, started, arguments in cases:
            with self.subTest(rc_conf=rc_conf):
                result = script.run("start", mirebox_enable="YES", mirebox_user=USER,
                                    mirebox_group=GROUP, **rc_conf)
                self.assertEqual(result.returncode, 0, result.stderr)
                # rc.subr runs daemon(8) as the user, so the pid files and
                # the restarted program are the user's.
                self.assertEqual(script.started(),
                                 (USER, {**daemon_options, **changed}, started, arguments))
                self.assertEqual(os.stat(run).st_uid, int(subprocess.check_output(
                    ["id", "-u", USER])))

    def test_signals_go_as_the_user_to_the_program_under_the_pid_in_the_file(self):
        script = self.script()
        os.makedirs(script.run_dir)
        pid_file = os.path.join(script.run_dir, "mirebox.pid")

        # The daemon as daemon(8) starts it, as the user: its first word is
        # the program, which mirebox_program names.
        program = self.for_service_user(os.path.join(BUILD, "mirebox"))
        port = free_port()
        output = os.path.join(self.directory, "output")
        with open(output, "w", encoding="ascii") as sink:
            daemon = self.as_user(program, "-v", "-p", str(port), stdout=sink)
        connect(port).close()

        def logged(pattern):
            with open(output, encoding="ascii") as lines:
                return len(re.findall(pattern, lines.read(), flags=re.M))

        with open(pid_file, "w", encoding="ascii") as pids:
            pids.write(f"{daemon.pid}\n")
        for command, signal_name, pattern in [("reload", "HUP", rf" Port {port}$"),
                                              ("totals", "USR1", r" TOTALS ")]:
            with self.subTest(command=command):
                before = logged(pattern)
                result = script.run(command, mirebox_enable="YES", mirebox_user=USER,
                                    mirebox_program=program)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
                self.assertEqual(script.calls("su"),
                                 [["-m", USER, "-c", f'sh -c "kill -{signal_name} {daemon.pid}"']])
                wait_until(lambda: logged(pattern) > before, f"{pattern!r} after {command}")

        # A pid file the service user wrote names some other process.
        bystander = subprocess.Popen(["sleep", "600"])
        self.addCleanup(bystander.wait)
        self.addCleanup(bystander.kill)
        for content in (f"{bystander.pid}\n", "", None):
            with self.subTest(pid_file=content):
                if content is None:
                    os.remove(pid_file)
                else:
                    with open(pid_file, "w", encoding="ascii") as pids:
                        pids.write(content)
                result = script.run("reload", mirebox_enable="YES", mirebox_user=USER,
                                    mirebox_program=program)
                self.assertEqual((result.returncode, result.stdout), (1, "mirebox is not running.\n"))
        time.sleep(0.5)
        self.assertIsNone(bystander.poll(), "the bystander was signalled")
        daemon.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(DEADLINE), 0)

    def test_stop_and_restart_return_once_the_program_has_ended(self):
        """FreeBSD 13's daemon(8) passes SIGTERM on and exits at once; the
        program here then takes two seconds to end."""
        slow = os.path.join(self.directory, "slow")
        with open(slow, "w", encoding="ascii") as text:
            # exec -a: ps shows this path first, as it shows a program's.
            text.write("#!/bin/bash\n"
                       "exec -a \"$0\" bash -c 'trap \"sleep 2; exit 0\" TERM; "
                       "while :; do sleep 0.1; done'\n")
        os.chmod(slow, 0o755)
        for name, knobs in (("mirebox", {"mirebox_program": slow, "mirebox_user": USER,
                                         "mirebox_group": GROUP}),
                            ("mirebox_stats", {"mirebox_stats_program": slow,
                                               "mirebox_stats_user": USER,
                                               "mirebox_stats_textfile": f"{self.directory}/m.prom"})):
            with self.subTest(script=name):
                script = self.script(name)
                conf = {f"{name}_enable": "YES", **knobs}
                child_file = os.path.join(script.run_dir, f"{name}.pid")

                def child_pid():
                    try:
                        with open(child_file, encoding="ascii") as pids:
                            return int(pids.read())
                    except (FileNotFoundError, ValueError):
                        return None

                result = script.run("start", daemon_runs=True, **conf)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.addCleanup(lambda: child_pid() and running(child_pid()) and
                                os.kill(child_pid(), signal.SIGKILL))
                child = None
                for command in ("restart", "stop"):
                    # The program the last start ran.
                    wait_until(lambda: child_pid() not in (None, child), "the program's pid file")
                    child = child_pid()
                    result = script.run(command, daemon_runs=True, **conf)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertFalse(running(child), f"{command} returned before the program ended")

    def test_the_followers_daemon_leaves_the_terminal_and_makes_only_a_missing_directory(self):
        script = self.script("mirebox_stats")
        textfile = os.path.join(self.directory, "textfile")
        for exists in (True, False):
            with self.subTest(exists=exists):
                if exists:
                    os.mkdir(textfile)
                    os.chmod(textfile, 0o700)
                elif os.path.exists(textfile):
                    os.rmdir(textfile)
                result = script.run("start", mirebox_stats_enable="YES", mirebox_stats_user=USER,
                                    mirebox_stats_textfile=f"{textfile}/mirebox.prom")
                self.assertEqual(result.returncode, 0, result.stderr)
                _, options, program, arguments = script.started()
                # -f: no terminal kept, -S and -T: what it says, to the log,
                # -r: started again if it ever exits, as the script promises.
                self.assertEqual({key: options.get(key) for key in ("-f", "-S", "-T", "-r")},
                                 {"-f": "", "-S": "", "-T": "mirebox_stats", "-r": ""})
                self.assertTrue(program.endswith("/mirebox-stats"), program)
                self.assertEqual(arguments[:3], ["--follow", "--prometheus",
                                                 f"{textfile}/mirebox.prom"])
                # node_exporter's own directory keeps the mode it was given.
                self.assertEqual(os.stat(textfile).st_mode & 0o777, 0o700 if exists else 0o755)


class ConfigurationCheck(Scratch):
    """Both service files warn at start when the daemon would run on its
    built-in settings because its configuration file is missing or the
    service user cannot read it."""

    def check_rc(self):
        result = RcScript(BUILD, self.directory).run(
            "start", mirebox_enable="YES", mirebox_user=USER, mirebox_group=GROUP,
            mirebox_config=self.config)
        return result.returncode, result.stderr

    def check_systemd(self):
        """The unit's ExecStartPre, run as the service user would run it."""
        unit = SystemdUnit(BUILD)
        installed = re.search(r"^ExecStartPre=.*? \[ ! -e (\S+) \]", unit.text, flags=re.M)[1]
        command = [word.replace(installed, self.config)
                   for word in unit.command("ExecStartPre")]
        as_user = ["setpriv", f"--reuid={USER}", f"--regid={GROUP}", "--clear-groups"]
        result = subprocess.run(as_user + command, capture_output=True, text=True,
                                cwd=self.directory)
        return result.returncode, result.stderr

    @needs_rc_subr
    def test_missing_or_unreadable_file_is_reported_and_start_goes_on(self):
        cases = [
            (None, "does not exist: mirebox will run on its built-in settings and log no events"),
            (0o600, "is not readable by (nobody|the service user): mirebox will run on its "
                    "built-in settings"),
            (0o644, None),
        ]
        for service, check in [("rc.d", self.check_rc), ("systemd", self.check_systemd)]:
            for mode, warning in cases:
                with self.subTest(service=service, mode=mode):
                    if mode is not None:
                        with open(self.config, "w", encoding="ascii") as config:
                            config.write("LogLevel 1\n")
                        os.chmod(self.config, mode)
                    status, errors = check()
                    self.assertEqual(status, 0)
                    if warning is None:
                        self.assertEqual(errors, "")
                    else:
                        self.assertRegex(" ".join(errors.split()),
                                         rf"^(\S*mirebox: WARNING: )?{re.escape(self.config)} "
                                         rf"{warning}\.?$")
                    if mode is not None:
                        os.remove(self.config)


class SystemdUnitTest(unittest.TestCase):
    @needs_command("systemd", "systemd-analyze")
    def test_units_verify(self):
        for name in ("mirebox.service", "mirebox-stats.service"):
            with self.subTest(unit=name):
                directory = scratch_folder(self)
                # Against the program as built, since it is not installed here.
                text = re.sub(r"^ExecStart=\S+/mirebox( |$)", f"ExecStart={BUILD}/mirebox\\1",
                              SystemdUnit(BUILD, name).text, flags=re.M)
                path = os.path.join(directory, name)
                with open(path, "w", encoding="ascii") as copy:
                    copy.write(text)
                result = subprocess.run(["systemd-analyze", "verify", "--man=no", path],
                                        capture_output=True, text=True)
                self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_failing_starts_reach_the_start_limit(self):
        """Restarts come RestartSec apart; unless a burst of them fits in the
        interval, a daemon that fails at once is restarted for ever."""
        unit = SystemdUnit(BUILD)
        self.assertEqual(unit.value("Restart"), "on-failure")
        burst = int(unit.value("StartLimitBurst"))
        interval = int(unit.value("StartLimitIntervalSec"))
        restart = int(unit.value("RestartSec"))
        self.assertLess((burst - 1) * restart, interval)
        # The limit belongs to [Unit]: in [Service] systemd ignores it.
        unit_section = unit.text.split("[Service]")[0]
        self.assertIn("StartLimitBurst=", unit_section)
        self.assertIn("StartLimitIntervalSec=", unit_section)

    def test_unit_settings(self):
        unit = SystemdUnit(BUILD)
        # exec: a program that cannot be run fails the start, not later.
        self.assertEqual(unit.value("Type"), "exec")
        # Events through syslog(3) keep their priorities in the journal;
        # standard error carries only problems.
        self.assertEqual(unit.command("ExecStart")[1:], ["-s"])
        self.assertEqual(unit.value("SyslogLevel"), "warning")
        self.assertEqual(unit.value("ExecReload"), "/bin/kill -HUP $MAINPID")
        for setting in ("DynamicUser=yes", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
                        "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes",
                        "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "LimitNOFILE="):
            self.assertRegex(unit.text, rf"(?m)^{re.escape(setting)}")


def follower_command(journal, textfile_directory):
    """The command the follower's unit runs, on the journal in `journal` and
    with `textfile_directory` for node_exporter's."""
    unit = SystemdUnit(BUILD, "mirebox-stats.service")
    shell, option, script = unit.command("ExecStart")
    assert (shell, option) == ("/bin/sh", "-c"), (shell, option)
    installed = unit.value("ReadWritePaths").lstrip("-")
    script = script.replace(installed, textfile_directory)
    script = re.sub(r"/\S+/mirebox-stats ", f"{BUILD}/mirebox-stats ", script)
    script = script.replace("journalctl ", f"journalctl --directory={journal} ")
    return [shell, option, script]


class FollowerUnit(unittest.TestCase):
    def test_without_node_exporters_directory_it_says_so_once(self):
        """The unit's command ends at once with the one status that stops
        the restarts, after one line that names what to install."""
        directory = scratch_folder(self)
        missing = os.path.join(directory, "node-exporter")
        follower = subprocess.Popen(follower_command(directory, missing), text=True,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    start_new_session=True)
        try:
            output, errors = follower.communicate(timeout=DEADLINE)
        finally:
            end_group(follower)
        unit = SystemdUnit(BUILD, "mirebox-stats.service")
        self.assertEqual(unit.value("Restart"), "on-failure")
        self.assertEqual(follower.returncode, int(unit.value("RestartPreventExitStatus")))
        self.assertEqual((output, errors.count("\n")), ("", 1))
        self.assertRegex(errors, rf"^{re.escape(missing)} does not exist: install "
                                 "prometheus-node-exporter")
        # A missing ReadWritePaths fails every start before the command runs.
        self.assertTrue(unit.value("ReadWritePaths").startswith("-"))

    @needs_command("systemd", "journalctl")
    @unittest.skipUnless(JOURNAL_REMOTE, skips.package_reason(
        "systemd-journal-remote", "systemd-journal-remote is not installed"))
    def test_the_follower_counts_every_boot_of_the_journal(self):
        """The command the unit runs, against a journal of two boots made by
        systemd-journal-remote: a reboot must not set the counters back."""
        directory = scratch_folder(self)
        settings = ["Port 2222", "Delay 10000", "MaxLineLength 32", "MaxClients 4096",
                    "BindFamily IPv4 Mapped IPv6"]
        start_us = int(time.time() - 3600) * 10**6
        entries = []
        for boot, pid, clients in (("1" * 32, 100, 3), ("2" * 32, 200, 2)):
            messages = settings + [f"ACCEPT host=::ffff:192.0.2.{n} port=4000 fd={3 + n} "
                                   f"n={n}/4096" for n in range(1, clients + 1)]
            for message in messages:
                start_us += 1000
                entries.append(export_entry(boot, start_us, pid, message))
        export = os.path.join(directory, "export")
        with open(export, "w", encoding="ascii") as text:
            text.write("".join(entries))
        journal = os.path.join(directory, "journal")
        os.mkdir(journal)
        subprocess.run([JOURNAL_REMOTE, f"--output={journal}/remote.journal", export],
                       check=True, capture_output=True, timeout=DEADLINE)

        # The unit's own pipeline, on that journal and into a file here.
        prom = os.path.join(directory, "mirebox.prom")
        follower = subprocess.Popen(follower_command(journal, directory),
                                    start_new_session=True)
        try:
            wait_until(lambda: total(read_metrics(prom), "mirebox_connections_total") == 5,
                       "five connections from two boots")
            self.assertEqual(total(read_metrics(prom), "mirebox_starts_total"), 2)
        finally:
            end_group(follower)


# The daemon as each service file starts it, with the sample configuration
# copied into place as the README says: a reload keeps the port it was
# started on and the log goes on. Each daemon runs in namespaces of its own:
# a network whose loopback the service's default port is free on, and a /dev
# whose log socket is the test's.
SAMPLE = os.path.join(SOURCE, "packaging", "mirebox.config.sample")
LOG_DAEMON_INFO = 3 * 8 + 6


class SystemLogSocket:
    """The /dev/log of the daemon's mount namespace, read by the test."""

    LINE = re.compile(r"<(\d+)>.*? (\S+)\[(\d+)\]: (.*)")

    def __init__(self, directory):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(os.path.join(directory, "log"))
        self.socket.settimeout(DEADLINE)
        self.entries = []  # (priority, tag, pid, message)

    def wait_for(self, pattern, count=1):
        regex = re.compile(pattern)
        while sum(1 for entry in self.entries if regex.fullmatch(entry[3])) < count:
            try:
                datagram = self.socket.recv(4096).decode()
            except socket.timeout:
                raise AssertionError(f"no {count} messages matching {pattern!r} in "
                                     f"{DEADLINE} s; got {self.entries[-20:]!r}") from None
            match = self.LINE.fullmatch(datagram)
            assert match, datagram
            self.entries.append((int(match[1]), match[2], int(match[3]), match[4]))
        return [entry[3] for entry in self.entries if regex.fullmatch(entry[3])]

    def close(self):
        self.socket.close()


@unittest.skipIf(ISOLATED, ISOLATED_REASON)
@needs_command("iproute2", "ip")
class AsService(TarpitTest):
    def setUp(self):
        self.directory = scratch_folder(self)
        os.chmod(self.directory, 0o755)
        self.wrapper = self.private_dev(self.directory, network=True)

    def rc_options(self, **rc_conf):
        """What the rc.d script, run under FreeBSD's rc.subr, starts mirebox with."""
        script = RcScript(BUILD, self.directory)
        result = script.run("start", mirebox_enable="YES", mirebox_user="nobody",
                            mirebox_group="nogroup", mirebox_config=DEFAULT_CONFIG, **rc_conf)
        self.assertEqual(result.returncode, 0, result.stderr)
        return script.started()[3]

    @needs_rc_subr
    def test_reload_keeps_the_port_and_the_log_goes_on(self):
        cases = [
            ("rc.d", self.rc_options(), 2222),
            # An admin's option, which the sample must not take back.
            ("rc.d with a port", self.rc_options(mirebox_flags="-p 2022"), 2022),
            ("systemd", SystemdUnit(BUILD).command("ExecStart")[1:], 2222),
        ]
        with open(SAMPLE, encoding="ascii") as sample:
            self.write_default_config(sample.read())
        for service, options, port in cases:
            with self.subTest(service=service, options=options):
                self.serve_and_reload(options, port)

    def write_default_config(self, text):
        with open(DEFAULT_CONFIG, "w", encoding="ascii") as config:
            config.write(text)
        self.addCleanup(os.remove, DEFAULT_CONFIG)

    def serve_and_reload(self, options, port):
        log = SystemLogSocket(self.directory)
        try:
            self.serve_and_reload_logging_to(log, options, port)
        finally:
            log.close()
            os.remove(os.path.join(self.directory, "log"))

    def serve_and_reload_logging_to(self, log, options, port):
        daemon = self.start(*options, port=port, port_option=False, wrapper=self.wrapper)
        settings = [f"Port {port}", "Delay 10000", "MaxLineLength 32", "MaxClients 4096",
                    "BindFamily IPv4 Mapped IPv6"]
        setting_lines = r"(Port|Delay|MaxLineLength|MaxClients|BindFamily) .*"
        self.assertEqual(log.wait_for(setting_lines, count=5), settings)

        with in_network_of(daemon.process.pid):
            first = connect(port)
        self.addCleanup(first.close)
        log.wait_for(r"ACCEPT host=::ffff:127\.0\.0\.1 port=\d+ fd=\d+ n=1/4096")

        daemon.signal(signal.SIGHUP)
        self.assertEqual(log.wait_for(setting_lines, count=10), settings * 2)
        with in_network_of(daemon.process.pid):
            second = connect(port, host="::1", family=socket.AF_INET6)
        self.addCleanup(second.close)
        log.wait_for(r"ACCEPT host=::1 port=\d+ fd=\d+ n=2/4096")

        daemon.signal(signal.SIGUSR1)
        self.assertEqual(re.fullmatch(TOTALS, log.wait_for(TOTALS)[0])["connects"], "2")
        self.assertEqual(daemon.stop(), 0)
        log.wait_for(CLOSE, count=2)
        log.wait_for(TOTALS, count=2)
        self.assertEqual((daemon.messages(), daemon.errors), ([], []))
        name = os.path.basename(os.environ["MIREBOX_BINARY"])
        self.assertEqual({entry[:3] for entry in log.entries},
                         {(LOG_DAEMON_INFO, name, daemon.process.pid)})


if __name__ == "__main__":
    unittest.main()
