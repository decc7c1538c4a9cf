"""fail2ban's own server, started for real on the configuration of Debian's
fail2ban package as the package ships it, with only the files that mirebox(8)
tells an administrator to copy, where it says. It runs in a network, mount
and process namespace of the test's own, as on a stock Debian 12: nothing in
/var/log (no rsyslog, so no auth.log), the daemon's lines in the journal, and
its own /run and /var/lib/fail2ban. The firewall its bans reach is that
namespace's, never the host's."""

import calendar
import os
import re
import shlex
import shutil
import socket
import subprocess
import time
import unittest

from support.daemon import TarpitTest
from support.scratch import scratch_folder
from support.services import JOURNAL_REMOTE, export_entry, stock_files
from support.skips import find_program, needs, needs_command, package_reason
from support.waiting import DEADLINE

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FAIL2BAN = os.path.join(SOURCE, "packaging", "fail2ban")
MANUAL = os.path.join(os.environ.get("MIREBOX_BUILD_DIR", ""), "mirebox.8")
NFT = find_program("nft")
IP = find_program("ip") or "ip"
# The examples by the names they are installed under, which the manual gives.
EXAMPLES = {"fail2ban-filter.conf": "filter.conf", "fail2ban-jail.conf": "jail-systemd.conf",
            "fail2ban-sshd.conf": "jail-sshd.conf",
            "fail2ban-sshd-2200.conf": "jail-sshd-2200.conf"}
# journald keeps a machine's journal in a folder named after its ID.
JOURNAL = "/var/log/journal/0123456789abcdef0123456789abcdef"


def journal_module():
    """Whether the Python that fail2ban runs on has the journal's module."""
    client = shutil.which("fail2ban-client")
    if client is None:
        return False
    with open(client, encoding="utf-8") as script:
        interpreter = script.readline()[2:].split()
    return subprocess.run([*interpreter, "-c", "import systemd.journal"],
                          capture_output=True, check=False).returncode == 0


def manual_copies():
    """Each example the manual has the administrator copy into fail2ban's
    directory on Debian, with where it goes."""
    with open(MANUAL, encoding="utf-8") as manual:
        return re.findall(r"^# cp \S+/(fail2ban-[\w.-]+) \\e\n\s+(/etc/fail2ban/\S+)$",
                          manual.read(), flags=re.M)


@unittest.skipUnless(os.geteuid() == 0, "makes namespaces and firewall rules: needs root")
@needs_command("fail2ban", "fail2ban-client")
@needs("python3-systemd", journal_module(), "fail2ban's Python has no systemd.journal")
@needs("nftables", NFT, "nft is not installed")
class Jails(TarpitTest):
    def setUp(self):
        scratch = scratch_folder(self)
        self.directory = scratch
        self.stock = stock_files("fail2ban", "/etc/fail2ban",
                                 os.path.join(self.directory, "package"))

    def configuration(self, copies):
        """Debian's configuration and the examples copied into it."""
        conf = os.path.join(self.directory, "fail2ban")
        shutil.rmtree(conf, ignore_errors=True)
        shutil.copytree(self.stock, conf, symlinks=True)
        for example, destination in copies:
            shutil.copy(os.path.join(FAIL2BAN, EXAMPLES[example]),
                        conf + destination.removeprefix("/etc/fail2ban"))
        return conf

    def daemon_journal(self):
        """The daemon's lines for a client from 127.0.0.1 and one from
        127.0.0.2, as its unit leaves them in the journal: in the export
        format, to be written by systemd-journal-remote."""
        daemon = self.start("-v", "-d", "100")
        daemon.ready()  # once it listens: a client from 127.0.0.1
        with socket.create_connection(("127.0.0.1", daemon.port),
                                      source_address=("127.0.0.2", 0)):
            daemon.wait_for(r"ACCEPT host=::ffff:127\.0\.0\.2 .*")
        self.assertEqual(daemon.stop(), 0)
        export = os.path.join(self.directory, "export")
        with open(export, "w", encoding="ascii") as entries:
            for stamp, message, _ in daemon.lines:
                seconds, milliseconds = stamp.rstrip("Z").split(".")
                at = calendar.timegm(time.strptime(seconds, "%Y-%m-%dT%H:%M:%S"))
                entries.write(export_entry("1" * 32, at * 10**6 + int(milliseconds) * 1000,
                                           daemon.process.pid, message))
        return export

    def in_namespace(self, conf, export, script):
        """Runs a shell script as root on a stock Debian 12 would, with `conf`
        as /etc/fail2ban and the journal of `export`; the server is stopped
        at the end whatever happens, and its log is returned."""
        log = os.path.join(self.directory, "fail2ban.log")
        if os.path.exists(log):
            os.remove(log)
        client = "fail2ban-client"
        result = subprocess.run(
            ["unshare", "--net", "--mount", "--pid", "--fork", "--propagation", "private",
             "sh", "-c", f"""
                {IP} link set lo up && mount -t tmpfs tmpfs /var/log &&
                    mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/lib/fail2ban &&
                    mount --bind {shlex.quote(conf)} /etc/fail2ban || exit 77
                mkdir -p {JOURNAL} &&
                    {JOURNAL_REMOTE} --output={JOURNAL}/system.journal {export} || exit 1
                trap '{client} stop >/dev/null 2>&1; cp /var/log/fail2ban.log {log}' EXIT
                {script}"""],
            capture_output=True, text=True, timeout=DEADLINE * 4, check=False)
        if result.returncode == 77:
            self.skipTest(f"no private namespaces here: {result.stderr}")
        try:
            with open(log, encoding="utf-8", errors="replace") as text:
                return result, text.read()
        except FileNotFoundError:
            return result, ""

    @unittest.skipUnless(JOURNAL_REMOTE, package_reason(
        "systemd-journal-remote", "systemd-journal-remote is not installed"))
    def test_the_recipe_on_debians_own_configuration(self):
        """fail2ban-client -t passes even when the server cannot start: only a
        real server shows the jails working. With the manual's files it comes
        up, bans the tarpit's client from another loopback address into
        nftables, never the host itself, and runs Debian's sshd jail on the
        journal and the real sshd's port; without the sshd file it does not
        start at all."""
        copies = manual_copies()
        self.assertEqual({example for example, _ in copies}, set(EXAMPLES))
        mirebox = [copy for copy in copies if copy[0] in ("fail2ban-filter.conf",
                                                          "fail2ban-jail.conf")]
        sshd = dict(copies)
        export = self.daemon_journal()
        cases = [
            ("sshd on port 22", mirebox + [("fail2ban-sshd.conf", sshd["fail2ban-sshd.conf"])],
             "ssh"),
            ("sshd moved to 2200", mirebox + [("fail2ban-sshd-2200.conf",
                                               sshd["fail2ban-sshd-2200.conf"])], "2200"),
            ("Debian's sshd jail as it is", mirebox, None),
        ]
        for case, files, sshd_port in cases:
            with self.subTest(case=case):
                result, log = self.in_namespace(self.configuration(files), export, f"""
                    fail2ban-client -x start || exit 3
                    # The ban is logged before its action has run.
                    for _ in $(seq 300); do
                        {NFT} list set inet f2b-table addr-set-mirebox 2>/dev/null |
                            grep -q '127\\.0\\.0\\.2' && break
                        sleep 0.1
                    done
                    {NFT} list set inet f2b-table addr-set-mirebox &&
                        fail2ban-client status sshd &&
                        fail2ban-client get sshd actions &&
                        fail2ban-client get sshd action nftables port""")
                if sshd_port is None:
                    self.assertEqual(result.returncode, 3, result.stdout)
                    self.assertIn("Have not found any log file for sshd jail", result.stderr)
                    continue
                self.assertEqual(result.returncode, 0, result.stderr + log)
                self.assertRegex(result.stdout, r"elements = \{ 127\.0\.0\.2 \}")
                self.assertIn("Ignore 127.0.0.1 by ignoreself rule", log)
                self.assertIn("Journal matches:\t_SYSTEMD_UNIT=sshd.service + _COMM=sshd",
                              result.stdout)
                self.assertTrue(result.stdout.endswith(f"\nnftables\n{sshd_port}\n"),
                                result.stdout)

    def test_the_freebsd_jail_bans_through_its_own_pf_anchor(self):
        """pf cannot run here: the jail must at least read, and its bans go
        to the anchor that the pf.conf line of the manual names. FreeBSD's
        fail2ban enables no jail of its own."""
        conf = self.configuration([("fail2ban-filter.conf", "/etc/fail2ban/filter.d/mirebox.conf")])
        for name in os.listdir(os.path.join(conf, "jail.d")):
            os.remove(os.path.join(conf, "jail.d", name))
        shutil.copy(os.path.join(FAIL2BAN, "jail-freebsd.conf"),
                    os.path.join(conf, "jail.d", "mirebox.conf"))
        with open(os.path.join(conf, "jail.d", "zz-test.local"), "w", encoding="ascii") as local:
            local.write(f"[mirebox]\nlogpath = {os.devnull}\n")
        dump = subprocess.run(["fail2ban-client", "-c", conf, "-d"], capture_output=True,
                              text=True, timeout=DEADLINE, check=False)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        self.assertIn("pfctl -a f2b/mirebox -t f2b-mirebox -T add <ip>", dump.stdout)


if __name__ == "__main__":
    unittest.main()
