"""The daemon's log through the system log (-s), and as the programs around
it read it: its own socket, a real rsyslogd, fail2ban's filter over what the
daemon wrote on standard output and through the system log, and
mirebox-stats over rsyslog's files."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import unittest

from support.daemon import (BINARY, CLOSE, ISOLATED, ISOLATED_REASON, TOTALS, LineReader,
                            TarpitTest, milliseconds, run_stats)
from support.scratch import scratch_folder
from support.skips import find_program, needs, needs_command
from support.waiting import DEADLINE, wait_in_file, wait_until

RSYSLOGD = find_program("rsyslogd")
SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FILTER = os.path.join(SOURCE, "packaging", "fail2ban", "filter.conf")
EVENT = re.compile(r"(Port|Delay|MaxLineLength|MaxClients|BindFamily|ACCEPT|CLOSE|TOTALS) .*")
RSYSLOG_CONF = """\
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="{dev}/log" RateLimit.Interval="0")
template(name="fields" type="string"
         string="%syslogfacility-text% %syslogseverity-text% %syslogtag%%msg:::sp-if-no-1st-sp%%msg%\\n")
if $programname == "mirebox" then {{
    action(type="omfile" file="{directory}/fields.log" template="fields")
    action(type="omfile" file="{directory}/messages" template="RSYSLOG_TraditionalFileFormat")
}}
"""


def fail2ban_addresses(log, directory):
    """The addresses fail2ban-regex finds with the shipped filter in a log
    file, and the number of lines it matched."""
    filters = os.path.join(directory, "fail2ban", "filter.d")
    os.makedirs(filters)
    shutil.copy(FILTER, os.path.join(filters, "mirebox.conf"))
    for installed in ("/etc/fail2ban", "/usr/local/etc/fail2ban"):
        common = os.path.join(installed, "filter.d", "common.conf")
        if os.path.exists(common):
            os.symlink(common, os.path.join(filters, "common.conf"))
            break
    config = os.path.dirname(filters)
    addresses = subprocess.run(["fail2ban-regex", "-c", config, "-o", "ip", log, "mirebox"],
                               capture_output=True, text=True, check=True).stdout.split()
    summary = subprocess.run(["fail2ban-regex", "-c", config, log, "mirebox"],
                             capture_output=True, text=True, check=True).stdout
    matched = int(re.search(r"^Lines: \d+ lines, \d+ ignored, (\d+) matched", summary,
                            flags=re.M)[1])
    return addresses, matched


class Clients(TarpitTest):
    """Two daemons, dual-stack and IPv4-only, each holding clients of every
    address form: ::ffff:127.0.0.1 and ::1, then 127.0.0.1."""

    def hold_and_stop(self, *options, **start):
        dual = self.start("-v", "-v", *options, **start)
        ipv4 = self.start("-4", "-v", *options, **start)
        for daemon, host, family in [(dual, "127.0.0.1", socket.AF_INET),
                                     (dual, "::1", socket.AF_INET6),
                                     (ipv4, "127.0.0.1", socket.AF_INET)]:
            self.connect(daemon.port, host=host, family=family)
        return dual, ipv4

    def stop(self, *daemons):
        for daemon in daemons:
            daemon.signal(signal.SIGUSR1)
        time.sleep(0.2)
        for daemon in daemons:
            self.assertEqual(daemon.stop(), 0)
            self.assertEqual(daemon.errors, [])


@needs_command("fail2ban", "fail2ban-regex")
class Fail2banOnStandardOutput(Clients):
    def test_filter_finds_every_client_and_nothing_else(self):
        dual, ipv4 = self.hold_and_stop()
        dual.wait_for(r"ACCEPT .* n=2/4096")
        ipv4.wait_for(r"ACCEPT .* n=1/4096")
        self.stop(dual, ipv4)
        directory = scratch_folder(self)
        log = os.path.join(directory, "mirebox.log")
        with open(log, "w", encoding="ascii") as output:
            for daemon in (dual, ipv4):
                output.writelines(f"{stamp} {message}\n" for stamp, message, _ in daemon.lines)
            # A client gone before its address was read names nobody.
            output.write(f"{dual.lines[-1][0]} ACCEPT host= port=0 fd=7 n=3/4096\n")
        addresses, matched = fail2ban_addresses(log, directory)
        self.assertEqual(addresses, ["127.0.0.1", "::1", "127.0.0.1"])
        self.assertEqual(matched, 3)


@unittest.skipIf(ISOLATED, ISOLATED_REASON)
@needs_command("rsyslog", "rsyslogd")
class Rsyslog(Clients):
    """A real rsyslogd, whose socket is /dev/log in each daemon's private
    mount namespace; the daemons run as "mirebox", as installed."""

    def setUp(self):
        self.directory = scratch_folder(self)
        dev = os.path.join(self.directory, "dev")
        os.mkdir(dev)
        conf = os.path.join(self.directory, "rsyslog.conf")
        with open(conf, "w", encoding="ascii") as text:
            text.write(RSYSLOG_CONF.format(dev=dev, directory=self.directory))
        rsyslogd = subprocess.Popen(
            [find_program("rsyslogd"), "-n", "-f", conf, "-i",
             os.path.join(self.directory, "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(rsyslogd.stderr.close)
        self.addCleanup(rsyslogd.wait, DEADLINE)
        self.addCleanup(rsyslogd.terminate)
        wait_until(lambda: os.path.exists(os.path.join(dev, "log")) or rsyslogd.poll() is not None,
                   "socket of rsyslogd")
        if rsyslogd.poll() is not None:
            self.fail(f"rsyslogd did not start: {rsyslogd.stderr.read()!r}")

        program = os.path.join(self.directory, "mirebox")
        os.symlink(os.environ["MIREBOX_BINARY"], program)
        self.wrapper = self.private_dev(dev, program=program)

    def logged(self, name, pattern, count=1):
        """The lines of rsyslogd's file `name`, once `count` of them match."""
        path = os.path.join(self.directory, name)
        wait_in_file(path, pattern, count)
        with open(path, encoding="ascii") as log:
            return log.read().splitlines()

    def run_daemons(self):
        dual, ipv4 = self.hold_and_stop("-s", wrapper=self.wrapper)
        self.logged("fields.log", r"ACCEPT ", count=3)
        self.stop(dual, ipv4)
        self.assertEqual(dual.messages() + ipv4.messages(), [])
        return dual, ipv4

    def test_events_at_info_trace_at_debug_under_the_name_and_pid(self):
        dual, ipv4 = self.run_daemons()
        lines = self.logged("fields.log", TOTALS, count=4)
        entries = [re.fullmatch(r"(\S+) (\S+) mirebox\[(\d+)\]: (.*)", line) for line in lines]
        self.assertTrue(all(entries), lines)
        by_daemon = {}
        for entry in entries:
            facility, severity, pid, message = entry.groups()
            by_daemon.setdefault(int(pid), []).append((facility, severity, message))
        self.assertEqual(set(by_daemon), {dual.process.pid, ipv4.process.pid})
        for daemon, trace in [(dual, True), (ipv4, False)]:
            with self.subTest(daemon=daemon.process.pid, trace=trace):
                logged = by_daemon[daemon.process.pid]
                self.assertTrue(all(facility == "daemon" for facility, _, _ in logged))
                self.assertEqual({message for _, severity, message in logged
                                  if severity == "info"},
                                 {message for _, _, message in logged if EVENT.fullmatch(message)})
                debug = [message for _, severity, message in logged if severity == "debug"]
                self.assertEqual(len(debug) > 0, trace, debug)
                self.assertEqual(len(debug) + len([m for m in logged if EVENT.fullmatch(m[2])]),
                                 len(logged))
                self.assertIn(f"Port {daemon.port}", [message for _, _, message in logged])
                self.assertEqual(len([m for _, _, m in logged if re.fullmatch(CLOSE, m)]),
                                 2 if trace else 1)
        self.assertTrue(any(severity == "debug" and re.fullmatch(r"socket\(\) = \d+", message)
                            for _, severity, message in by_daemon[dual.process.pid]))

    @needs_command("fail2ban", "fail2ban-regex")
    def test_fail2ban_finds_every_client_in_the_system_log(self):
        self.run_daemons()
        self.logged("messages", TOTALS, count=4)
        addresses, matched = fail2ban_addresses(os.path.join(self.directory, "messages"),
                                                self.directory)
        self.assertEqual(sorted(addresses), ["127.0.0.1", "127.0.0.1", "::1"])
        self.assertEqual(matched, 3)


class DaemonToSocket(TarpitTest):
    @unittest.skipIf(ISOLATED, ISOLATED_REASON)
    def test_diagnostics_reach_the_system_log(self):
        """The daemon runs in a private mount namespace whose /dev holds only
        the test's own log socket."""
        directory = scratch_folder(self)
        log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(log.close)
        log.bind(os.path.join(directory, "log"))
        wrapper = self.private_dev(directory)

        daemon = self.start("-s", "-v", "-d", "100", wrapper=wrapper)
        log.settimeout(DEADLINE)
        received = []
        while not any("Port" in r for r in received):
            received.append(log.recv(4096).decode())
        name = os.path.basename(os.environ["MIREBOX_BINARY"])
        self.assertRegex(received[0], rf"<30>.*{name}\[{daemon.process.pid}\]: Port {daemon.port}$")
        daemon.ready()
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(daemon.messages(), [])


class ReadByTheReader(TarpitTest):
    def setUp(self):
        self.directory = scratch_folder(self)

    @needs("rsyslog", RSYSLOGD, "rsyslogd is not installed")
    @unittest.skipIf(ISOLATED, ISOLATED_REASON)
    def test_files_written_by_rsyslog_in_both_its_formats(self):
        """Two runs of the daemon with -s, a reload in the first, through a
        private rsyslogd into a traditional file and a high-precision one. The
        daemon runs in a mount namespace whose /dev holds only rsyslogd's socket."""
        traditional = os.path.join(self.directory, "daemon.log")
        precise = os.path.join(self.directory, "precise.log")
        socket_path = os.path.join(self.directory, "log")
        config = os.path.join(self.directory, "rsyslog.conf")
        with open(config, "w", encoding="ascii") as out:
            out.write(f'global(workDirectory="{self.directory}")\n'
                      'module(load="imuxsock" SysSock.Use="off")\n'
                      f'input(type="imuxsock" Socket="{socket_path}")\n'
                      f'*.* action(type="omfile" file="{traditional}" '
                      'template="RSYSLOG_TraditionalFileFormat")\n'
                      f'*.* action(type="omfile" file="{precise}" template="RSYSLOG_FileFormat")\n')
        rsyslog = subprocess.Popen(  # pylint: disable=consider-using-with
            [RSYSLOGD, "-n", "-f", config, "-i", os.path.join(self.directory, "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def stop_rsyslog():
            rsyslog.terminate()
            rsyslog.wait(timeout=DEADLINE)
        self.addCleanup(stop_rsyslog)
        wait_until(lambda: os.path.exists(socket_path), "socket of rsyslogd")
        wrapper = self.private_dev(self.directory)

        first = self.start("-s", "-v", "-d", "100", wrapper=wrapper)
        # Another program's line between the daemon's.
        subprocess.run(["logger", "-u", socket_path, "-t", "sshd", "-i", "Accepted publickey"],
                       check=True, timeout=DEADLINE)
        first.ready()
        leaving = self.connect(first.port)
        LineReader(leaving).lines(1)
        leaving.close()
        wait_in_file(traditional, CLOSE, count=2)  # both gone: nobody held
        # TOTALS with nobody held, then a reload: the same pid, so not a restart.
        first.signal(signal.SIGUSR1)
        wait_in_file(traditional, TOTALS)
        first.signal(signal.SIGHUP)
        wait_in_file(traditional, r"BindFamily", count=2)
        self.assertEqual(first.stop(), 0)
        second = self.start("-s", "-v", "-d", "100", wrapper=wrapper)
        second.ready()
        # Accepted before the stop: a stop that comes with a client waiting
        # in the queue ends the daemon without accepting it.
        wait_in_file(traditional, r"ACCEPT ", count=3)
        self.assertEqual(second.stop(), 0)
        for path in (traditional, precise):
            wait_in_file(path, TOTALS, count=3)
        totals = wait_in_file(traditional, TOTALS, count=3)[1:]  # each run's last

        tag = os.path.basename(BINARY)
        for path in (traditional, precise):
            with self.subTest(path=os.path.basename(path)):
                summary = json.loads(run_stats("--json", "--tag", tag, path))
                self.assertEqual((summary["daemon"]["starts"], summary["daemon"]["reloads"]),
                                 (2, 1))
                self.assertEqual((summary["connections"], summary["releases"],
                                  summary["clients_held"], summary["distinct_sources"]),
                                 (3, 3, 0, 1))
                self.assertEqual(summary["lines"]["unparsed"], 0)
                self.assertEqual(summary["lines"]["other_programs"], 1)
                self.assertAlmostEqual(summary["held_seconds"],
                                       sum(milliseconds(m) for m in totals) / 1000, places=6)
                self.assertEqual(summary["sent_bytes"], sum(int(m["bytes"]) for m in totals))
                self.assertEqual(summary["daemon"]["last_totals"]["seconds"],
                                 milliseconds(totals[-1]) / 1000)
                # The daemon's own lines, timed by the syslog daemon within the run.
                self.assertLess(abs(time.time() - time.mktime(time.strptime(
                    summary["period"]["last"][:19], "%Y-%m-%dT%H:%M:%S")) + time.timezone),
                                DEADLINE * 4)


if __name__ == "__main__":
    unittest.main()
