"""The service files as built, and ways to run their parts on this machine:
the rc.d scripts under FreeBSD's real rc.subr, with the FreeBSD-only commands
it and they call stood in for by the scripts in freebsd/, and the systemd
units' command lines as systemd would split them."""

import getopt
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from skips import needs_command  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
STUBS = os.path.join(HERE, "freebsd")
# FreeBSD's own libexec/rc/rc.subr, a test input beside the project.
RC_SUBR = os.environ.get("MIREBOX_RC_SUBR") or os.path.normpath(
    os.path.join(SOURCE, "..", "shared", "freebsd", "rc", "rc.subr"))
# daemon(8)'s options, as FreeBSD's getopt takes them: it stops at the first
# word that is not an option, which is the program it runs.
DAEMON_OPTIONS = "cfHrSm:o:p:P:R:s:l:t:T:u:"
UNIT_SEPARATOR = "\037"


class Scratch(unittest.TestCase):
    """A test with a temporary directory that a service user can enter."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.directory = scratch.name
        os.chmod(self.directory, 0o755)

    def for_service_user(self, path):
        """A copy of the program at `path` in the scratch directory: the
        clone and its build may sit under a directory that only root can
        enter (a clone in /root), where the service user runs nothing."""
        programs = os.path.join(self.directory, "programs")
        os.makedirs(programs, exist_ok=True)
        copy = os.path.join(programs, os.path.basename(path))
        shutil.copy2(path, copy)
        return copy


def needs_rc_subr(test):
    """Runs the test under FreeBSD's real rc.subr, which sits beside the
    project as a test input, and as root, which rc.subr's su and install
    calls need."""
    test = unittest.skipUnless(os.geteuid() == 0, "runs rc.subr's su and install: needs root")(test)
    test = needs_command("util-linux", "setpriv")(test)
    return unittest.skipUnless(os.path.exists(RC_SUBR), f"FreeBSD's rc.subr is not at {RC_SUBR} "
                               "(set MIREBOX_RC_SUBR to where it is)")(test)


class RcScript:
    """A rendered rc.d script, run as service(8) runs it. Its run directory
    and daemon(8) are moved into `directory` and the stand-ins; its rc.conf
    variables come from `directory`/rc.conf.d/NAME, which rc.subr reads
    through local_startup."""

    def __init__(self, build, directory, name="mirebox"):
        self.name = name
        self.directory = directory
        self.log = os.path.join(directory, "called")
        self.run_dir = os.path.join(directory, "run", name)
        # The stand-ins that su runs as the service user, where that user can
        # run them whatever the clone's parent directories allow.
        self.stand_ins = os.path.join(directory, "stand-ins")
        shutil.copytree(STUBS, self.stand_ins, dirs_exist_ok=True)
        os.makedirs(os.path.join(directory, "rc.conf.d"), exist_ok=True)
        # rc.subr as it is, but for FreeBSD's ps, which it calls by its path.
        shim = os.path.join(directory, "rc.subr")
        with open(shim, "w", encoding="ascii") as text:
            text.write(f". {shlex.quote(RC_SUBR)}\nPS='ps -ww'\n")
        with open(os.path.join(build, "rc.d", name), encoding="ascii") as source:
            text = source.read()
        text, found = re.subn(r"^\. /etc/rc\.subr$", f". {shim}", text, flags=re.M)
        assert found == 1, "the script sources /etc/rc.subr"
        text = text.replace("/var/run/", f"{directory}/run/")
        text = text.replace("/usr/sbin/daemon", os.path.join(self.stand_ins, "daemon"))
        self.path = os.path.join(directory, name)
        with open(self.path, "w", encoding="ascii") as script:
            script.write(text)

    def run(self, command, daemon_runs=False, **rc_conf):
        """`service NAME COMMAND` with rc.conf holding rc_conf. With
        `daemon_runs`, the stand-in daemon(8) runs the program as FreeBSD
        13's does; otherwise it only records how it was called."""
        with open(os.path.join(self.directory, "rc.conf.d", self.name), "w",
                  encoding="ascii") as conf:
            for key, value in rc_conf.items():
                conf.write(f"{key}={shlex.quote(value)}\n")
        # The stand-ins that su runs as the service user write here too.
        with open(self.log, "w", encoding="ascii"):
            pass
        os.chmod(self.log, 0o666)
        env = {**os.environ, "PATH": f"{self.stand_ins}:{os.environ['PATH']}",
               "RC_STUB_LOG": self.log, "local_startup": os.path.join(self.directory, "rc.d"),
               "RC_STUB_DAEMON": "run" if daemon_runs else ""}
        return subprocess.run(["sh", self.path, command], capture_output=True, text=True,
                              env=env, cwd=self.directory, timeout=120)

    def calls(self, stand_in=None):
        """Each call of a stand-in since the last run: its argument lists."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as log:
            calls = [line.rstrip("\n").split(UNIT_SEPARATOR) for line in log]
        return [call[1:] for call in calls if stand_in is None or call[0] == stand_in]

    def started(self):
        """How daemon(8) was started: (daemon's options as a dict, the
        program, its arguments), and the user su ran it as."""
        (arguments,) = self.calls("daemon")
        options, rest = getopt.getopt(arguments, DAEMON_OPTIONS)
        su = [call for call in self.calls("su") if "daemon" in call[-1]]
        user = su[0][1] if su else None
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
