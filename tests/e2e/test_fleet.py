"""Many tarpits, one log server, as the manual sets them up: two daemons,
each logging with -s to an rsyslogd of its own host (a UTS namespace for its
name, a mount namespace for its /dev/log), which forwards with the shipped
rsyslog-forward.conf over TCP to a third rsyslogd, set up with the shipped
rsyslog-server.conf, writing one file. All of it in a network namespace of
the test's own, since loopback does not cross network namespaces; then
mirebox-stats on that file is checked against each daemon's own lines."""

import json
import os
import re
import signal
import socket
import subprocess
import time
import unittest

from support.daemon import ISOLATED, ISOLATED_REASON, STATS, TOTALS, TarpitTest
from support.network import connect, in_network_of, listening
from support.processes import enter, hold_namespaces
from support.scratch import scratch_folder
from support.skips import find_program, needs_command
from support.waiting import DEADLINE, wait_until

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RSYSLOG = os.path.join(SOURCE, "packaging", "rsyslog")
IP = find_program("ip") or "ip"
SERVER_PORT = 514
# What a host's rsyslogd needs besides the shipped forwarding: its socket,
# its work directory for the queue, and a file of the host's own.
HOST_CONF = """\
global(workDirectory="{directory}")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="{directory}/dev/log" RateLimit.Interval="0")
if $programname == "mirebox" then action(type="omfile" file="{directory}/own.log")
"""


def shipped(name, **replace):
    """A shipped file as an admin copies it, with their values put in."""
    with open(os.path.join(RSYSLOG, name), encoding="ascii") as text:
        conf = text.read()
    for old, new in replace.items():
        assert old in conf, old
        conf = conf.replace(old, new)
    return conf


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="ascii", errors="replace") as log:
        return log.read().splitlines()


@unittest.skipIf(ISOLATED, ISOLATED_REASON)
@unittest.skipUnless(os.geteuid() == 0, "makes network, UTS and mount namespaces: needs root")
@unittest.skipUnless(STATS, "MIREBOX_STATS_BINARY is not set")
@needs_command("rsyslog", "rsyslogd")
class LogServer(TarpitTest):
    def setUp(self):
        self.directory = scratch_folder(self)
        self.network = hold_namespaces(self, ["--net"], f"{IP} link set lo up")
        server = os.path.join(self.directory, "server")
        os.mkdir(server)
        self.fleet_log = os.path.join(server, "fleet.log")
        conf = shipped("server.conf", **{'port="514"': f'port="{SERVER_PORT}"',
                                         "/var/log/mirebox/fleet.log": self.fleet_log})
        self.rsyslogd(server, conf, [])
        wait_until(lambda: listening(SERVER_PORT, self.network), "log server listening")

    def rsyslogd(self, directory, conf, entering):
        path = os.path.join(directory, "rsyslog.conf")
        with open(path, "w", encoding="ascii") as out:
            out.write(conf)
        process = subprocess.Popen(
            [*(entering or enter(self.network, "net")), find_program("rsyslogd"), "-n",
             "-f", path, "-i", os.path.join(directory, "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(process.stderr.close)
        self.addCleanup(process.wait, DEADLINE)
        self.addCleanup(process.terminate)
        return process

    def host(self, name):
        """A host named `name` with its own rsyslogd forwarding as shipped,
        and a daemon there at Delay 100 ms; returns (daemon, its own log)."""
        directory = os.path.join(self.directory, name)
        dev = os.path.join(directory, "dev")
        os.makedirs(dev)
        pid = hold_namespaces(self, ["--uts", "--mount", "--propagation", "private"],
                              f'hostname {name} && mount --bind "{dev}" /dev',
                              within=enter(self.network, "net"))
        conf = HOST_CONF.format(directory=directory) + shipped(
            "forward.conf", **{'target="logs.example.org"': 'target="127.0.0.1"',
                               'port="514"': f'port="{SERVER_PORT}"'})
        # Its name from the UTS namespace; its socket outside the private /dev,
        # where the daemon's /dev/log leads.
        self.rsyslogd(directory, conf, enter(pid, "net", "uts"))
        wait_until(lambda: os.path.exists(os.path.join(dev, "log")), f"{name}'s /dev/log")
        # Run as "mirebox", as installed: its syslog tag is its name.
        program = os.path.join(directory, "mirebox")
        os.symlink(os.environ["MIREBOX_BINARY"], program)
        daemon = self.start("-s", "-v", "-d", "100", wrapper=[
            *enter(pid, "net", "uts", "mount"), "sh", "-c", 'shift && exec "$0" "$@"',
            program])
        return daemon, os.path.join(directory, "own.log")

    def clients(self, port, count):
        """`count` clients of the port, made in the test's network namespace."""
        with in_network_of(self.network):
            made = [connect(port) for _ in range(count)]
        for sock in made:
            self.addCleanup(sock.close)
        return made

    def test_the_forwarded_file_agrees_with_each_daemon_host_by_host(self):
        metrics = os.path.join(self.directory, "mirebox.prom")
        # The follower as the manual runs it on the log server, started
        # before the file exists.
        follower = subprocess.Popen([STATS, "-F", "-q", "-i", "1", "-p", metrics,
                                     self.fleet_log], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(follower.kill)
        hosts = {"hostA": self.host("hostA"), "hostB": self.host("hostB")}
        held = {"hostA": 2, "hostB": 1}
        for name, (daemon, own) in hosts.items():
            wait_until(lambda: f"Port {daemon.port}" in " ".join(read_lines(own)),
                      f"{name}'s settings")
        kept = self.clients(hosts["hostA"][0].port, 2)
        released = self.clients(hosts["hostB"][0].port, 2)
        released[0].close()
        wait_until(lambda: sum("CLOSE " in line for line in read_lines(hosts["hostB"][1])) == 1,
                  "hostB's CLOSE")
        self.assertEqual(len(kept), 2)
        for name, (daemon, own) in hosts.items():
            daemon.signal(signal.SIGUSR1)
        totals = {}
        for name, (daemon, own) in hosts.items():
            wait_until(lambda: any(re.search(TOTALS, line) for line in read_lines(own)),
                      f"{name}'s TOTALS")
            totals[name] = [re.search(TOTALS, line) for line in read_lines(own)
                            if re.search(TOTALS, line)][-1]
        # Every line of both hosts reaches the log server, and so do a
        # stranger's made-up ones.
        hostile, understood = self.send_hostile_lines()
        def forwarded(name, own):
            lines = read_lines(self.fleet_log)
            return sum(f" {name} mirebox[" in line for line in lines) == len(read_lines(own))
        wait_until(lambda: all(forwarded(name, own) for name, (_, own) in hosts.items()),
                   "every line forwarded")
        wait_until(lambda: len(read_lines(self.fleet_log)) == hostile + len(understood) + sum(
            len(read_lines(own)) for _, own in hosts.values()), "stranger's lines written")

        report = json.loads(subprocess.run([STATS, "--json", self.fleet_log], check=True,
                                           capture_output=True, text=True).stdout)
        self.assertEqual(report["clients_held"], 3, read_lines(self.fleet_log)[:6])
        self.assertEqual(report["daemon"]["starts"], 2 + len(understood))
        self.assertEqual(report["lines"]["unparsed"], hostile,
                         "\n".join(read_lines(self.fleet_log)))
        by_host = {entry["host"]: entry for entry in report["hosts"]}
        self.assertEqual(set(by_host), set(hosts) | set(understood))
        # rsyslog's "mirebox[-]:" is read with no pid, and a stamp of 2099
        # counts without its time.
        for name in understood:
            self.assertEqual(by_host[name]["daemon"]["settings"], {"Port": 22})
        self.assertIsNone(by_host["future"]["period"])
        for name, (daemon, own) in hosts.items():
            with self.subTest(host=name):
                entry = by_host[name]
                total = totals[name]
                self.assertEqual(entry["clients_held"], held[name])
                self.assertEqual(entry["daemon"]["starts"], 1)
                self.assertEqual(entry["daemon"]["settings"]["Port"], daemon.port)
                self.assertEqual(entry["daemon"]["last_totals"], {
                    "connects": int(total["connects"]),
                    "seconds": float(f"{total['seconds']}.{total['ms']}"),
                    "bytes": int(total["bytes"])})
                self.assertEqual(entry["lines"]["read"], len(read_lines(own)))
        text = subprocess.run([STATS, self.fleet_log], check=True, capture_output=True,
                              text=True).stdout
        self.assertIn("Held now      3 clients\n", text)
        self.assertRegex(text, r"\n  hostA +2 +2 +0 ")
        self.assertRegex(text, r"\n  hostB +1 +2 +1 ")

        # The follower's metrics say the same, each series under its host.
        def series():
            return read_lines(metrics) if os.path.exists(metrics) else []

        expected = ['mirebox_clients_held{host="hostA"} 2', 'mirebox_clients_held{host="hostB"} 1',
                    'mirebox_starts_total{host="hostA"} 1', 'mirebox_starts_total{host="hostB"} 1']
        wait_until(lambda: all(line in series() for line in expected), f"{expected} in the metrics")
        self.assertTrue(all("{host=" in line for line in series()
                            if not line.startswith(("#", "mirebox_log_lines_past_host_limit"))),
                        series())
        follower.send_signal(signal.SIGTERM)
        _, errors = follower.communicate(timeout=DEADLINE)
        self.assertEqual(follower.returncode, 0, errors)

    def send_hostile_lines(self):
        """RFC 5424 datagrams, which rsyslog writes with whatever host name
        they claim: one of 4000 bytes beyond ASCII, one a byte too long, and
        one shaped like the daemon's trace after the daemon's own kind of
        stamp, none of which is any host's; and two hosts of their own, one
        with no pid ("-", which rsyslog writes "mirebox[-]:") and one stamped
        in 2099. Returns how many of the first kind were sent, and the
        names of the second."""
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S.123Z", time.gmtime()).encode()
        strangers = [b"\xff" * 4000 + b" mirebox 7 - - Port 22",
                     b"h" * 256 + b" mirebox 7 - - ACCEPT host=192.0.2.9 port=1 fd=4 n=1/4096",
                     b"a(b mirebox 1 - - x)"]
        hosts = {"nilpid": stamp + b" nilpid mirebox - - - Port 22",
                 "future": b"2099-12-31T23:59:59.999Z future mirebox 7 - - Port 22"}
        with in_network_of(self.network), \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for line in [stamp + b" " + line for line in strangers] + list(hosts.values()):
                sender.sendto(b"<30>1 " + line, ("127.0.0.1", SERVER_PORT))
        return len(strangers), list(hosts)

    def test_a_line_sent_without_a_host_name_is_named_by_its_sender(self):
        """FreeBSD's syslogd forwards its own lines over UDP with no host
        name ("<30>Dec 10 03:00:47 mirebox[77]: ..."); the server's rsyslogd
        names the host. The datagram is written here in that form."""
        with in_network_of(self.network), \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for message in ("Port 2222", "ACCEPT host=::ffff:192.0.2.7 port=4000 fd=4 n=1/4096"):
                stamp = time.strftime("%b %e %H:%M:%S", time.localtime())
                sender.sendto(f"<30>{stamp} mirebox[77]: {message}".encode(),
                              ("127.0.0.1", SERVER_PORT))
        wait_until(lambda: len(read_lines(self.fleet_log)) == 2, "both lines in the file")
        report = json.loads(subprocess.run([STATS, "--json", self.fleet_log], check=True,
                                           capture_output=True, text=True).stdout)
        self.assertEqual(len(report["hosts"]), 1, read_lines(self.fleet_log))
        host = report["hosts"][0]
        self.assertNotIn("mirebox", host["host"], read_lines(self.fleet_log))
        self.assertEqual(host["daemon"]["settings"], {"Port": 2222})
        self.assertEqual(host["clients_held"], 1)


if __name__ == "__main__":
    unittest.main()
