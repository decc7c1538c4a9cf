"""The daemon as each service file starts it, with the sample configuration
copied into place as the README says: a reload keeps the port it was started
on and the log goes on.

Each daemon runs in namespaces of its own: a network whose loopback the
service's default port is free on, and a /dev whose log socket is the test's.
"""

import os
import re
import signal
import socket
import sys
import tempfile
import unittest

from harness import (CLOSE, DEADLINE, DEFAULT_CONFIG, ISOLATED, ISOLATED_REASON, TOTALS,
                     TarpitTest, connect, in_network_of, needs_command)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
from service_files import RcScript, SystemdUnit, needs_rc_subr  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ.get("MIREBOX_BUILD_DIR", "")
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
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.directory = scratch.name
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
