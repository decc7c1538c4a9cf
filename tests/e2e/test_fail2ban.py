"""fail2ban's own server with the jails the manual documents, started for
real in a network and mount namespace of the test's own: the firewall its
bans reach is that namespace's, never the host's."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import (BINARY, DEADLINE, ISOLATED, ISOLATED_REASON, TarpitTest, find_program,
                     free_port, needs, needs_command)

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FAIL2BAN = os.path.join(SOURCE, "packaging", "fail2ban")
NFT = find_program("nft")
IP = find_program("ip") or "ip"


def journal_module():
    """Whether the Python that fail2ban runs on has the journal's module."""
    client = shutil.which("fail2ban-client")
    if client is None:
        return False
    with open(client, encoding="utf-8") as script:
        interpreter = script.readline()[2:].split()
    return subprocess.run([*interpreter, "-c", "import systemd.journal"],
                          capture_output=True, check=False).returncode == 0


@unittest.skipUnless(os.geteuid() == 0, "makes namespaces and firewall rules: needs root")
@needs_command("fail2ban", "fail2ban-client")
@needs("python3-systemd", journal_module(), "fail2ban's Python has no systemd.journal")
@needs("nftables", NFT, "nft is not installed")
class Jails(TarpitTest):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.directory = scratch.name
        # Debian's configuration, without its own jails, with the server's
        # socket, pid file and database the test's.
        self.conf = os.path.join(self.directory, "fail2ban")
        shutil.copytree("/etc/fail2ban", self.conf, symlinks=True)
        for name in os.listdir(os.path.join(self.conf, "jail.d")):
            os.remove(os.path.join(self.conf, "jail.d", name))
        shutil.copy(os.path.join(FAIL2BAN, "filter.conf"),
                    os.path.join(self.conf, "filter.d", "mirebox.conf"))
        self.log = os.path.join(self.directory, "fail2ban.log")
        self.write("fail2ban.local", "[Definition]\nloglevel = INFO\n"
                   f"logtarget = {self.log}\nsocket = {self.directory}/fail2ban.sock\n"
                   f"pidfile = {self.directory}/fail2ban.pid\ndbfile = :memory:\n")
        self.client = f"fail2ban-client -c {self.conf}"

    def write(self, name, text):
        with open(os.path.join(self.conf, name), "w", encoding="ascii") as config:
            config.write(text)

    def jail(self, name, *overrides):
        """The shipped jail as an admin copies it, and lines of the test's
        own after it."""
        shutil.copy(os.path.join(FAIL2BAN, name), os.path.join(self.conf, "jail.d", "mirebox.conf"))
        if overrides:
            self.write("jail.d/zz-test.local", "[mirebox]\n" + "".join(f"{o}\n" for o in overrides))

    def in_namespace(self, script):
        """Runs a shell script in a network and mount namespace of its own,
        its loopback up; the server is stopped at the end whatever happens."""
        result = subprocess.run(
            ["unshare", "--net", "--mount", "sh", "-c",
             f"{IP} link set lo up || exit 77\ntrap '{self.client} stop >/dev/null 2>&1' EXIT\n"
             + script],
            capture_output=True, text=True, timeout=DEADLINE * 4, check=False)
        if result.returncode == 77 or "unshare failed" in result.stderr:
            self.skipTest(f"no private network namespace here: {result.stderr}")
        with open(self.log, encoding="utf-8", errors="replace") as log:
            return result, log.read()

    def test_the_documented_journal_jail_comes_up(self):
        """fail2ban-client -t passes even when the backend cannot load: only
        a real server shows the jail working."""
        self.jail("jail-systemd.conf")
        result, log = self.in_namespace(f"{self.client} -x start && {self.client} status mirebox")
        self.assertEqual(result.returncode, 0, result.stderr + log)
        self.assertIn("Journal matches:\t_SYSTEMD_UNIT=mirebox.service", result.stdout)
        self.assertIn("Jail 'mirebox' started", log)
        self.assertNotIn("failed to initialize", log)

    @unittest.skipIf(ISOLATED, ISOLATED_REASON)
    def test_a_client_of_the_tarpit_is_banned_in_the_firewall(self):
        """The same jail on a file the daemon wrote: the host itself is never
        banned, another address is, in the namespace's nftables set."""
        daemon_log = os.path.join(self.directory, "mirebox.log")
        self.jail("jail-systemd.conf", "backend = polling", f"logpath = {daemon_log}",
                  "journalmatch =")
        port = free_port()
        connect = (f"import socket, time\n"
                   f"for source in ('127.0.0.1', '127.0.0.2'):\n"
                   f"    for _ in range(300):\n"
                   f"        s = socket.socket(); s.bind((source, 0))\n"
                   f"        try: s.connect(('127.0.0.1', {port})); break\n"
                   f"        except OSError: s.close(); time.sleep(0.1)\n")
        result, log = self.in_namespace(f"""
            {BINARY} -v -d 100 -p {port} > {daemon_log} &
            trap 'kill $!; {self.client} stop >/dev/null 2>&1' EXIT
            {self.client} -x start || exit 1
            {sys.executable} -c "{connect}" || exit 1
            # The ban is logged before its action has run: the set is waited for.
            for _ in $(seq 300); do
                {NFT} list set inet f2b-table addr-set-mirebox 2>/dev/null |
                    grep -q '127\.0\.0\.2' && break
                sleep 0.1
            done
            {NFT} list set inet f2b-table addr-set-mirebox""")
        self.assertEqual(result.returncode, 0, result.stderr + log)
        self.assertIn("Ban 127.0.0.2", log)
        self.assertIn("Ignore 127.0.0.1 by ignoreself rule", log)
        self.assertRegex(result.stdout, r"elements = \{ 127\.0\.0\.2 \}")

    def test_the_freebsd_jail_bans_through_its_own_pf_anchor(self):
        """pf cannot run here: the jail must at least read, and its bans go
        to the anchor that the pf.conf line of the manual names."""
        self.jail("jail-freebsd.conf", f"logpath = {os.devnull}")
        dump = subprocess.run(["fail2ban-client", "-c", self.conf, "-d"], capture_output=True,
                              text=True, timeout=DEADLINE, check=False)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        self.assertIn("pfctl -a f2b/mirebox -t f2b-mirebox -T add <ip>", dump.stdout)


if __name__ == "__main__":
    unittest.main()
