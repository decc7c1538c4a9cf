"""A real SSH client against the tarpit: it takes every line as pre-banner
text and goes on waiting for a version line that never comes."""

import re
import subprocess
import unittest

from support.daemon import TarpitTest
from support.skips import needs_command
from support.waiting import DEADLINE, wait_until

BANNER_LINE = re.compile(r"debug1: kex_exchange_identification: banner line (\d+): ")


@needs_command("openssh-client", "ssh")
class SshClient(TarpitTest):
    def test_ssh_waits_through_every_line(self):
        daemon = self.start("-v", "-d", "100")
        daemon.ready()
        ssh = subprocess.Popen(
            ["ssh", "-vvv", "-F", "/dev/null", "-o", "BatchMode=yes",
             "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
             "-p", str(daemon.port), "tarpit@127.0.0.1", "true"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True)
        self.addCleanup(ssh.wait)
        self.addCleanup(ssh.kill)
        seen = []

        def twenty_or_the_end():
            line = ssh.stderr.readline()
            if match := BANNER_LINE.match(line):
                seen.append(int(match.group(1)))
            return len(seen) == 20 or not line
        wait_until(twenty_or_the_end, "twenty banner lines", interval=0)
        self.assertEqual(seen, list(range(20)), "every line taken as a pre-banner line")
        self.assertIsNone(ssh.poll(), "ssh is still waiting for a version line")

        self.assertEqual(daemon.stop(), 0)
        rest = ssh.stderr.read()
        self.assertEqual(ssh.wait(DEADLINE), 255)
        self.assertNotIn("Protocol major versions differ", rest)
        self.assertRegex(rest, r"Connection closed|closed by remote host|Connection reset")


if __name__ == "__main__":
    unittest.main()
