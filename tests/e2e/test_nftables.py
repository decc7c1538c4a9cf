"""The nftables redirect of mirebox(8) on Debian, made as the manual says on
the stock /etc/nftables.conf of Debian's nftables package, then loaded as the
nftables service loads it at boot: the redirect must come back after a
reboot. All in a network and mount namespace of the test's own, with /etc an
overlay whose changes stay there."""

import os
import re
import shlex
import subprocess
import unittest

from support.scratch import scratch_folder
from support.services import stock_files
from support.skips import find_program, needs
from support.waiting import DEADLINE

MANUAL = os.path.join(os.environ.get("MIREBOX_BUILD_DIR", ""), "mirebox.8")
NFT = find_program("nft")
UNIT = "/lib/systemd/system/nftables.service"


def manual_recipe():
    """The table the manual has saved as /etc/nftables.d/mirebox.nft, and
    the commands that follow it."""
    with open(MANUAL, encoding="utf-8") as manual:
        text = manual.read()
    blocks = re.findall(r"^\.Pa /etc/nftables\.d/mirebox\.nft ,\n.*?"
                        r"^\.Bd -literal -offset indent\n(.*?)^\.Ed\n.*?"
                        r"^\.Bd -literal -offset indent\n(.*?)^\.Ed\n", text, flags=re.M | re.S)
    assert len(blocks) == 1, blocks
    table, commands = blocks[0]
    return table, [line.removeprefix("# ") for line in commands.splitlines()]


def boot_command():
    """What the nftables service runs at boot."""
    with open(UNIT, encoding="utf-8") as unit:
        return re.search(r"^ExecStart=(.*)$", unit.read(), flags=re.M)[1]


@unittest.skipUnless(os.geteuid() == 0, "makes namespaces and firewall rules: needs root")
@needs("nftables", NFT and os.path.exists(UNIT), "nft or its service is not installed")
class Redirect(unittest.TestCase):
    def test_the_redirect_comes_back_after_a_reboot(self):
        """Loaded twice it is the same table. Without the include line the
        file is never read at boot, as Debian 12 has no /etc/nftables.d."""
        scratch = scratch_folder(self)
        stock = stock_files("nftables", "/etc/nftables.conf",
                            os.path.join(scratch, "package"))
        table, commands = manual_recipe()
        table_file = os.path.join(scratch, "mirebox.nft")
        with open(table_file, "w", encoding="ascii") as text:
            text.write(table)
        # The editor's part is the table above; systemctl, which enables the
        # service for the next boot, has no systemd to talk to here.
        edited = [line for line in commands if line.startswith("editor ")]
        self.assertEqual(edited, ["editor /etc/nftables.d/mirebox.nft"])
        self.assertIn("systemctl enable nftables", commands)
        recipe = [f"cp {table_file} /etc/nftables.d/mirebox.nft" if line in edited else line
                  for line in commands if not line.startswith("systemctl ")]
        include = [line for line in recipe if line.endswith(">> /etc/nftables.conf")]
        self.assertEqual(len(include), 1, recipe)
        overlay = os.path.join(scratch, "overlay")
        os.mkdir(overlay)
        for case, lines, comes_back in [("the recipe", recipe, True),
                                        ("without the include line",
                                         [line for line in recipe if line not in include], False)]:
            with self.subTest(case=case):
                script = "\n".join([
                    f"mount -t tmpfs tmpfs {overlay} && mkdir {overlay}/u {overlay}/w &&"
                    f" mount -t overlay overlay -o lowerdir=/etc,upperdir={overlay}/u,"
                    f"workdir={overlay}/w /etc || exit 77",
                    f"rm -rf /etc/nftables.d && cp {shlex.quote(stock)} /etc/nftables.conf",
                    *(f"{line} || exit 1" for line in lines),
                    # Loaded again, it is still the one table.
                    "nft -f /etc/nftables.d/mirebox.nft || exit 1",
                    "[ $(nft list table inet mirebox | grep -c redirect) = 2 ] || exit 3",
                    # A reboot: an empty ruleset, then what the service loads.
                    f"nft flush ruleset && {boot_command()} || exit 2",
                    "nft list table inet mirebox"])
                result = subprocess.run(["unshare", "--net", "--mount", "--propagation",
                                         "private", "sh", "-c", script], capture_output=True,
                                        text=True, timeout=DEADLINE)
                if result.returncode == 77:
                    self.skipTest(f"no private namespaces here: {result.stderr}")
                if not comes_back:
                    self.assertNotEqual(result.returncode, 0, result.stdout)
                    self.assertIn("No such file or directory", result.stderr)
                    continue
                self.assertEqual(result.returncode, 0, result.stderr)
                rules = re.findall(r"fib daddr type local (ip6?) saddr != @admins[46] "
                                   r"tcp dport 22 redirect to :2222", result.stdout)
                self.assertEqual(rules, ["ip", "ip6"], result.stdout)
                self.assertIn("elements = { 198.51.100.7 }", result.stdout)


if __name__ == "__main__":
    unittest.main()
