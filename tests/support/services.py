"""The service files as built, and ways to run their parts on this machine:
the rc.d scripts under FreeBSD's real rc.subr, with the FreeBSD-only commands
it and they call stood in for by the scripts in tests/packaging/freebsd/, and
the systemd units' command lines as systemd would split them; journals made
from entries; and the configuration Debian's packages ship."""

import getopt
import glob
import os
import re
import shlex
import signal
import shutil
import subprocess
import sys
import unittest

from support.scratch import Scratch
from support.skips import needs_command

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUBS = os.path.join(SOURCE, "tests", "packaging", "freebsd")
# FreeBSD's own libexec/rc/rc.subr, a test input beside the project.
RC_SUBR = os.environ.get("MIREBOX_RC_SUBR") or os.path.normpath(
    os.path.join(SOURCE, "..", "shared", "freebsd", "rc", "rc.subr"))
# daemon(8)'s options, as FreeBSD's getopt takes them: it stops at the first
# word that is not an option, which is the program it runs.
DAEMON_OPTIONS = "cfHrSm:o:p:P:R:s:l:t:T:u:"
UNIT_SEPARATOR = "\037"


class ServiceScratch(Scratch):
    """A test with a scratch folder that a service user can enter."""

    def setUp(self):
        super().setUp()
        os.chmod(self.directory, 0o755)

    def for_service_user(self, path):
        """A copy of the program at `path` in the scratch directory: the
        clone and its build may sit under a directory that only root can
        enter (a clone in root's home), where the service user runs nothing."""
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
            # A line ending in a backslash goes on, the backslash a space.
            self.text = unit.read().replace("\\\n", " ")

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


# systemctl where systemd does not run, for a package's maintainer scripts: a
# unit starts as its ExecStart= run by hand in a session of its own, and a
# stop ends that process group, as systemd ends the unit's control group.
# preset and enable make the links of the unit's WantedBy= in
# /etc/systemd/system (Debian's presets enable every unit), which is-enabled
# reads. Every call is logged.
SYSTEMCTL = r'''
import glob, os, re, shlex, signal, subprocess, sys, time

words = [word for word in sys.argv[1:] if not word.startswith("-")]
with open(os.path.join(STATE, "calls"), "a") as calls:
    calls.write(" ".join(words) + "\n")
command, units = words[0], words[1:]


def running(unit):
    try:
        with open(os.path.join(STATE, unit + ".pid")) as text:
            pid = int(text.read())
        with open(f"/proc/{pid}/stat") as stat:
            return None if stat.read().rsplit(")", 1)[1].split()[0] == "Z" else pid
    except (OSError, ValueError):
        return None


def setting(unit, key):
    with open(os.path.join("/lib/systemd/system", unit)) as text:
        # A line ending in a backslash goes on, the backslash a space.
        return re.findall(rf"^{key}=(.*)$", text.read().replace("\\\n", " "), re.M)


def enable(unit):
    for target in " ".join(setting(unit, "WantedBy")).split():
        wants = f"/etc/systemd/system/{target}.wants"
        os.makedirs(wants, exist_ok=True)
        if not os.path.lexists(f"{wants}/{unit}"):
            os.symlink(f"/lib/systemd/system/{unit}", f"{wants}/{unit}")


def start(unit):
    if running(unit):
        return
    line = re.sub(r"^[-@:+!]*", "", setting(unit, "ExecStart")[0])
    with open(os.path.join(STATE, unit + ".log"), "a") as log:
        process = subprocess.Popen([word.replace("$$", "$") for word in shlex.split(line)],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
    with open(os.path.join(STATE, unit + ".pid"), "w") as text:
        text.write(str(process.pid))


def group_alive(pid):
    try:
        os.killpg(pid, 0)
        return True
    except ProcessLookupError:
        return False


def stop(unit):
    """As systemd ends a unit's control group: every process of the session,
    not its leader alone (a pipeline's reader writes once more as it ends)."""
    pid = running(unit)
    if pid:
        os.killpg(pid, signal.SIGTERM)
        for _ in range(300):
            if not group_alive(pid):
                break
            time.sleep(0.1)


status = 0
for unit in units:
    if command in ("preset", "enable"):
        enable(unit)
    elif command == "start":
        start(unit)
    elif command == "stop":
        stop(unit)
    elif command == "restart" or (command == "try-restart" and running(unit)):
        stop(unit)
        start(unit)
    elif command == "is-active":
        status = status or (0 if running(unit) else 3)
    elif command == "is-enabled":
        enabled = glob.glob(f"/etc/systemd/system/*.wants/{unit}")
        print("enabled" if enabled else "disabled")
        status = status or (0 if enabled else 1)
sys.exit(status)
'''


class StandInSystemd:
    """A mount and network namespace of the test's own, held open by a
    process asleep in it, where /run/systemd/system says that systemd runs
    and systemctl is the stand-in above: a package's maintainer scripts, run
    there by apt, start and stop its units for real, as on a Debian host
    with no policy-rc.d (a container image's refuses every start). The
    folder `textfile_directory` there is an empty one of the namespace's
    own."""

    def __init__(self, directory, textfile_directory):
        self.state = os.path.join(directory, "systemd")
        os.mkdir(self.state)
        systemctl = os.path.join(directory, "systemctl")
        with open(systemctl, "w", encoding="ascii") as script:
            script.write(f"#!{sys.executable}\nSTATE = {self.state!r}\n{SYSTEMCTL}")
        os.chmod(systemctl, 0o755)
        allow = os.path.join(directory, "policy-rc.d")
        with open(allow, "w", encoding="ascii") as script:
            script.write("#!/bin/sh\nexit 0\n")
        os.chmod(allow, 0o755)
        real = os.path.realpath(shutil.which("systemctl"))
        policy = "/usr/sbin/policy-rc.d"
        setup = ("mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && "
                 f"mount --bind {shlex.quote(systemctl)} {real} && "
                 f"{{ [ ! -e {policy} ] || mount --bind {shlex.quote(allow)} {policy}; }} && "
                 f"mount -t tmpfs tmpfs {shlex.quote(textfile_directory)} && "
                 "ip link set lo up && echo ready && exec cat >/dev/null")
        # Holds the namespaces until its input closes: at close(), or when
        # the test ends however it ends.
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "--net", "--propagation", "private", "sh", "-c", setup],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if self.holder.stdout.readline() != "ready\n":
            self.holder.kill()
            _, errors = self.holder.communicate()
            raise unittest.SkipTest(f"no private mount and network namespace here: {errors}")
        self.namespace = os.readlink(f"/proc/{self.holder.pid}/ns/mnt")

    def run(self, *command, **options):
        """A command in the namespace."""
        return subprocess.run(["nsenter", "--target", str(self.holder.pid), "--mount", "--net",
                               "--", *command], capture_output=True, text=True, **options)

    def calls(self):
        with open(os.path.join(self.state, "calls"), encoding="utf-8") as calls:
            return calls.read().splitlines()

    def processes(self):
        """The command lines of what runs in the namespace, but the holder."""
        found = {}
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat", encoding="utf-8") as stat:
                    zombie = stat.read().rsplit(")", 1)[1].split()[0] == "Z"
                if zombie or int(pid) == self.holder.pid or \
                        os.readlink(f"/proc/{pid}/ns/mnt") != self.namespace:
                    continue
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    found[int(pid)] = cmdline.read().replace(b"\0", b" ").decode().strip()
            except OSError:
                continue
        return found

    def close(self):
        """Ends whatever still runs in the namespace, then the namespace."""
        for pid in self.processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.holder.kill()
        self.holder.communicate()


# Writes journal files from entries in the export format (needs package
# systemd-journal-remote).
JOURNAL_REMOTE = next((path for path in ("/lib/systemd/systemd-journal-remote",
                                          "/usr/lib/systemd/systemd-journal-remote")
                       if os.access(path, os.X_OK)), None)


def export_entry(boot, realtime_us, pid, message):
    """One journal entry in the export format, as the daemon's unit writes it."""
    return "".join(f"{key}={value}\n" for key, value in (
        ("__REALTIME_TIMESTAMP", realtime_us), ("__MONOTONIC_TIMESTAMP", realtime_us % 10**9),
        ("_BOOT_ID", boot), ("_HOSTNAME", "gate"), ("_TRANSPORT", "syslog"),
        ("_SYSTEMD_UNIT", "mirebox.service"), ("SYSLOG_IDENTIFIER", "mirebox"), ("_PID", pid),
        ("PRIORITY", 6), ("MESSAGE", message))) + "\n"


def stock_files(package, prefix, directory):
    """The files below `prefix` (such as /etc/fail2ban) as the installed
    Debian package ships them, copied under `directory`; returns where the
    copy of `prefix` is. They come from the package's archive in apt's cache,
    or else from the system once dpkg finds them unchanged; whatever an
    administrator added there is left out. Raises SkipTest when neither can
    be had."""
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                             capture_output=True, text=True).stdout
    archives = glob.glob(f"/var/cache/apt/archives/{package}_{version.replace(':', '%3a')}_*.deb")
    if archives:
        subprocess.run(["dpkg-deb", "-x", archives[0], directory], check=True)
        return directory + prefix
    listed = subprocess.run(["dpkg-query", "-L", package], capture_output=True, text=True,
                            check=True).stdout.split()
    changed = subprocess.run(["dpkg", "--verify", package], capture_output=True,
                             text=True).stdout
    for path in listed:
        if (path == prefix or path.startswith(prefix + "/")) and not os.path.isdir(path):
            if f" {path}\n" in changed:
                raise unittest.SkipTest(f"{path} is not as {package} ships it, and apt's "
                                        f"cache has no archive of {package} {version}")
            os.makedirs(os.path.dirname(directory + path), exist_ok=True)
            shutil.copy2(path, directory + path)
    return directory + prefix
