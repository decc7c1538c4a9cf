"""The service files as built, and ways to run their parts on this machine:
the rc.d script against the rc.subr stand-in beside this file, and the
systemd unit's command lines as systemd would split them."""

import getopt
import os
import re
import shlex
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
RC_SUBR = os.path.join(HERE, "rc.subr")
# daemon(8)'s options, as FreeBSD's getopt takes them: it stops at the first
# word that is not an option, which is the program it runs.
DAEMON_OPTIONS = "cfHrSm:o:p:P:R:s:l:t:T:u:"


class RcScript:
    """The rendered rc.d script, with rc.subr, its run directory and its
    configuration file moved into `directory`."""

    def __init__(self, build, directory, config):
        self.directory = directory
        self.log = os.path.join(directory, "started")
        self.rc_conf = os.path.join(directory, "rc.conf")
        with open(os.path.join(build, "rc.d/mirebox"), encoding="ascii") as source:
            text = source.read()
        text, found = re.subn(r"^\. /etc/rc\.subr$", f". {RC_SUBR}", text, flags=re.M)
        assert found == 1, "the script sources /etc/rc.subr"
        text = text.replace("/var/run/", f"{directory}/run/")
        text, found = re.subn(r'^config="[^"]*"$', f'config="{config}"', text, flags=re.M)
        assert found == 1, "the script names the configuration file once"
        self.path = os.path.join(directory, "mirebox")
        with open(self.path, "w", encoding="ascii") as script:
            script.write(text)
        self.run_dir = os.path.join(directory, "run/mirebox")

    def run(self, command, **rc_conf):
        """Runs `service mirebox COMMAND` with rc.conf holding rc_conf."""
        with open(self.rc_conf, "w", encoding="ascii") as conf:
            for key, value in rc_conf.items():
                conf.write(f"{key}={shlex.quote(value)}\n")
        if os.path.exists(self.log):
            os.remove(self.log)
        # su -m keeps the caller's shell, as on FreeBSD, where it is root's.
        env = {**os.environ, "RC_STUB_CONF": self.rc_conf, "RC_STUB_LOG": self.log,
               "SHELL": "/bin/sh"}
        return subprocess.run(["sh", self.path, command], capture_output=True, text=True,
                              env=env, timeout=60)

    def started(self):
        """What rc.subr would have run for start: (user, daemon(8)'s options
        as a dict, the program, the program's arguments)."""
        with open(self.log, encoding="ascii") as log:
            words = log.read().split("\n")[:-1]
        user = None
        if words[0].startswith("user "):
            user = words.pop(0)[len("user "):]
        assert words[0] == "/usr/sbin/daemon", words
        options, rest = getopt.getopt(words[1:], DAEMON_OPTIONS)
        return user, dict(options), rest[0], rest[1:]


class SystemdUnit:
    """A rendered unit, its command lines split as systemd splits them
    (quotes as in a shell, "$$" for a "$")."""

    def __init__(self, build, name="mirebox.service"):
        with open(os.path.join(build, name), encoding="ascii") as unit:
            self.text = unit.read()

    def values(self, key):
        return re.findall(rf"^{key}=(.*)$", self.text, flags=re.M)

    def value(self, key):
        found = self.values(key)
        assert len(found) == 1, (key, found)
        return found[0]

    def command(self, key):
        """A command setting's words, without the prefix that only says how
        its failure counts."""
        line = self.value(key).lstrip("-")
        assert "%" not in line and "$" not in line.replace("$$", ""), line
        return [word.replace("$$", "$") for word in shlex.split(line)]
