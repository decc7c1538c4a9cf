"""The release as the Makefile makes it: the tarball of make dist, the
FreeBSD port of make port and the Debian package of make deb, each made into
a scratch build folder and checked as its users' tools would: the port as far
as anything can be off FreeBSD, the package with dpkg, lintian and, where CI
asks for it, apt on this very machine."""

import fnmatch
import glob
import gzip
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import unittest

from support.daemon import help_text
from support.services import RcScript, needs_rc_subr
from support.scratch import scratch_folder
from support.skips import find_program, needs_command
from support.waiting import DEADLINE, wait_until
from support import services, skips
from support.daemon import VERSION

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
COMPILER = os.environ.get("MIREBOX_CXX_COMPILER", "")
TARBALL = f"mirebox-{VERSION}.tar.gz"
SYSROOT = os.path.normpath(os.path.join(SOURCE, "..", "shared", "freebsd", "sysroot-13.5"))
# Installing a system package changes this machine: only CI, or whoever
# asks, lets a test do it.
MAY_INSTALL = os.environ.get("CI") == "true" or os.environ.get("MIREBOX_INSTALL_PACKAGES") == "1"


def make(target, build):
    result = subprocess.run(["make", "-C", SOURCE, target, f"BUILD={build}"],
                            capture_output=True, text=True, timeout=1200, check=False)
    if result.returncode != 0:
        raise AssertionError(f"make {target} failed:\n{result.stdout[-3000:]}\n"
                             f"{result.stderr[-3000:]}")
    return result.stdout


def in_git_checkout():
    """The top of a clone or a worktree (whose .git is a file) of the
    project's, as make dist asks, not a tree inside some other repository."""
    top = subprocess.run(["git", "-C", SOURCE, "rev-parse", "--show-toplevel"],
                         capture_output=True, text=True, check=False)
    return top.returncode == 0 and os.path.realpath(top.stdout.strip()) == os.path.realpath(SOURCE)


def needs_git_checkout(test):
    return unittest.skipUnless(in_git_checkout(),
                               "makes a tarball of the last commit: needs a git checkout")(test)


class Scratch(services.ServiceScratch):
    def setUp(self):
        super().setUp()
        self.build = os.path.join(self.directory, "build")


@needs_git_checkout
class Dist(Scratch):
    def test_made_twice_it_is_the_same_and_holds_the_committed_tree(self):
        make("dist", self.build)
        first = os.path.join(self.directory, "first.tar.gz")
        shutil.move(os.path.join(self.build, "dist", TARBALL), first)
        make("dist", self.build)
        with open(first, "rb") as one, open(os.path.join(self.build, "dist", TARBALL), "rb") as two:
            self.assertEqual(one.read(), two.read())
        with tarfile.open(first) as tarball:
            names = {member.name for member in tarball if not member.isdir()}
            owners = {(member.uid, member.gid) for member in tarball}
        committed = subprocess.run(["git", "-C", SOURCE, "ls-tree", "-r", "--name-only", "HEAD"],
                                   capture_output=True, text=True, check=True).stdout.split()
        with open(os.path.join(SOURCE, ".gitattributes"), encoding="ascii") as attributes:
            left_out = [line.split()[0] for line in attributes
                        if line.split()[1:2] == ["export-ignore"]]
        kept = {name for name in committed
                if not any(fnmatch.fnmatch(name, pattern) for pattern in left_out)}
        self.assertTrue(left_out and len(kept) < len(committed), "nothing left out")
        self.assertEqual(names, {f"mirebox-{VERSION}/{name}" for name in kept})
        self.assertEqual(owners, {(0, 0)})

    def test_unpacked_elsewhere_it_builds_and_its_unit_tests_pass(self):
        make("dist", self.build)
        with tarfile.open(os.path.join(self.build, "dist", TARBALL)) as tarball:
            tarball.extractall(self.directory)
        tree = os.path.join(self.directory, f"mirebox-{VERSION}")
        build = os.path.join(self.directory, "tree-build")
        flags = [f"-DCMAKE_CXX_COMPILER={COMPILER}"] if COMPILER else []
        subprocess.run(["cmake", "-S", tree, "-B", build, "-DMIREBOX_TESTS=ON", *flags],
                       check=True, capture_output=True, timeout=600)
        programs = ["unit_tests", "stats_unit_tests", "round_trip_tests"]
        built = subprocess.run(["cmake", "--build", build, "--parallel", "2", "--target",
                                "mirebox", "mirebox-stats", *programs],
                               capture_output=True, text=True, timeout=1200)
        self.assertEqual(built.returncode, 0, built.stdout[-3000:] + built.stderr[-3000:])
        for program in programs:
            with self.subTest(program=program):
                result = subprocess.run([os.path.join(build, "tests", program)],
                                        capture_output=True, text=True, timeout=600)
                self.assertEqual(result.returncode, 0, result.stdout[-3000:])

    def test_outside_the_top_of_a_checkout_nothing_is_made(self):
        """The unpacked tarball has no commit of its own; unpacked inside
        another repository (a home folder kept in git), HEAD is that one's.
        make dist says so and fails, and port and deb stop with it."""
        make("dist", self.build)
        home = os.path.join(self.directory, "home")
        os.mkdir(home)
        git = ["git", "-C", home, "-c", "user.name=admin", "-c", "user.email=admin@example.org"]
        subprocess.run([*git, "init", "-q"], check=True)
        with open(os.path.join(home, "notes"), "w", encoding="ascii") as notes:
            notes.write("not mirebox\n")
        subprocess.run([*git, "add", "notes"], check=True)
        subprocess.run([*git, "commit", "-q", "-m", "notes"], check=True)
        for parent in (self.directory, home):
            with tarfile.open(os.path.join(self.build, "dist", TARBALL)) as tarball:
                tarball.extractall(parent)
            tree = os.path.join(parent, f"mirebox-{VERSION}")
            for target in ("dist", "port", "deb"):
                with self.subTest(inside=parent, target=target):
                    result = subprocess.run(["make", "-C", tree, target], capture_output=True,
                                            text=True, timeout=600)
                    self.assertNotEqual(result.returncode, 0, result.stdout)
                    self.assertIn(f"make dist: {os.path.realpath(tree)} is not the top of a git "
                                  "checkout", result.stderr)
                    self.assertFalse(os.path.exists(os.path.join(tree, "build")),
                                     "something was made")


def port_variables(makefile):
    """VARIABLE=value lines of a port's Makefile."""
    with open(makefile, encoding="ascii") as text:
        return dict(re.findall(r"^([A-Z_]+)=\s*(.*?)\s*$", text.read(), flags=re.M))


def staged_files(root):
    return {os.path.relpath(os.path.join(directory, name), root)
            for directory, _, files in os.walk(root) for name in files}


@needs_git_checkout
class Port(Scratch):
    def setUp(self):
        super().setUp()
        make("port", self.build)
        self.port = os.path.join(self.build, "dist", "port", "sysutils", "mirebox")
        self.variables = port_variables(os.path.join(self.port, "Makefile"))

    def test_it_is_the_projects_version_and_its_distinfo_is_the_tarballs(self):
        self.assertEqual(self.variables["DISTVERSION"], VERSION)
        self.assertEqual(sorted(os.listdir(self.port)),
                         ["Makefile", "distinfo", "files", "pkg-descr", "pkg-message", "pkg-plist"])
        with open(os.path.join(self.build, "dist", TARBALL), "rb") as tarball:
            data = tarball.read()
        with open(os.path.join(self.port, "distinfo"), encoding="ascii") as distinfo:
            lines = distinfo.read().splitlines()
        self.assertRegex(lines[0], r"^TIMESTAMP = \d+$")
        self.assertEqual(lines[1:], [f"SHA256 ({TARBALL}) = {hashlib.sha256(data).hexdigest()}",
                                     f"SIZE ({TARBALL}) = {len(data)}"])

    def test_its_rc_scripts_are_the_projects_with_the_ports_paths(self):
        for name in self.variables["USE_RC_SUBR"].split():
            with self.subTest(script=name):
                with open(os.path.join(self.port, "files", f"{name}.in"), encoding="ascii") as text:
                    script = text.read()
                self.assertNotIn("@", re.sub(r"(?m)^#.*$", "", script))
                self.assertIn("%%PREFIX%%/", script)

    @needs_rc_subr
    def test_its_rc_script_starts_mirebox_under_rc_subr(self):
        """files/mirebox.in as the ports framework fills it in, run as the
        project's own is run."""
        build = os.path.join(self.directory, "filled")
        os.makedirs(os.path.join(build, "rc.d"))
        for name in ("mirebox", "mirebox_stats"):
            with open(os.path.join(self.port, "files", f"{name}.in"), encoding="ascii") as text:
                script = text.read().replace("%%PREFIX%%", "/usr/local")
            with open(os.path.join(build, "rc.d", name), "w", encoding="ascii") as filled:
                filled.write(script)
        script = RcScript(build, self.directory)
        result = script.run("start", mirebox_enable="YES", mirebox_user="nobody",
                            mirebox_group="nogroup")
        self.assertEqual(result.returncode, 0, result.stderr)
        _, options, program, arguments = script.started()
        self.assertEqual((program, arguments),
                         ("/usr/local/sbin/mirebox", ["-s", "-f", "/usr/local/etc/mirebox.config"]))
        self.assertEqual(options["-p"], f"{script.run_dir}/mirebox.pid")

    @needs_command("clang", "clang++")
    @needs_command("lld", "ld.lld")
    @unittest.skipUnless(os.path.isdir(SYSROOT), f"no FreeBSD sysroot at {SYSROOT}")
    def test_the_staged_install_is_the_plist(self):
        """The port's CMake options, a FreeBSD build (cross-built against
        13.5), staged in DESTDIR with PREFIX /usr/local; then what the ports
        framework adds: the compressed manual pages and the rc.d scripts of
        USE_RC_SUBR. With the EXAMPLES option and without."""
        cmake_off = [f"-D{name}=OFF" for name in self.variables["CMAKE_OFF"].split()]
        examples = self.variables["EXAMPLES_CMAKE_BOOL"]
        unset = {key: None for key in ("LIBRARY_PATH", "CPATH", "CPLUS_INCLUDE_PATH")}
        env = {key: value for key, value in os.environ.items() if key not in unset}
        with open(os.path.join(self.port, "pkg-plist"), encoding="ascii") as text:
            plist = text.read().splitlines()
        for examples_on in (True, False):
            with self.subTest(examples=examples_on):
                build = os.path.join(self.directory, f"freebsd-{examples_on}")
                stage = os.path.join(self.directory, f"stage-{examples_on}")
                configure = subprocess.run(
                    ["cmake", "-S", SOURCE, "-B", build,
                     f"-DCMAKE_TOOLCHAIN_FILE={SOURCE}/cmake/freebsd-amd64.cmake",
                     f"-DFREEBSD_SYSROOT={self.usable_sysroot()}", "-DFREEBSD_RELEASE=13.5",
                     "-DCMAKE_INSTALL_PREFIX=/usr/local", "-DCMAKE_BUILD_TYPE=Release",
                     *cmake_off, f"-D{examples}={'ON' if examples_on else 'OFF'}"],
                    capture_output=True, text=True, env=env, timeout=600)
                self.assertEqual(configure.returncode, 0, configure.stderr)
                for step in (["cmake", "--build", build, "--parallel", "2", "--target",
                              "mirebox", "mirebox-stats"],
                             ["cmake", "--install", build]):
                    result = subprocess.run(step, capture_output=True, text=True, timeout=1200,
                                            env={**env, "DESTDIR": stage})
                    self.assertEqual(result.returncode, 0, result.stdout[-2000:] + result.stderr)
                prefix = os.path.join(stage, "usr", "local")
                for page in glob.glob(os.path.join(prefix, "share", "man", "man*", "*.[0-9]")):
                    with open(page, "rb") as text, gzip.open(page + ".gz", "wb") as packed:
                        packed.write(text.read())
                    os.remove(page)
                expected = set()
                for line in plist:
                    line = line.replace("%%PORTEXAMPLES%%", "" if examples_on else "@comment ")
                    line = line.replace("%%EXAMPLESDIR%%", "share/examples/mirebox")
                    if line.startswith("@comment "):
                        continue
                    expected.add(line.removeprefix("@sample "))
                self.assertEqual(staged_files(prefix), expected)
                # The framework's: the scripts of files/, not the project's.
                self.assertFalse(os.path.exists(os.path.join(prefix, "etc", "rc.d")))

    def usable_sysroot(self):
        """The sysroot as check-freebsd builds against it."""
        return subprocess.run(["sh", os.path.join(SOURCE, "tools", "freebsd-sysroot"), SYSROOT,
                               os.path.join(self.directory, "sysroot")],
                              capture_output=True, text=True, check=True).stdout.strip()


def deb_files(package):
    listing = subprocess.run(["dpkg-deb", "-c", package], capture_output=True, text=True,
                             check=True).stdout
    return {line.split()[-1].removeprefix(".") for line in listing.splitlines()
            if not line.startswith("d")}


@needs_git_checkout
@needs_command("dpkg-dev", "dpkg-buildpackage")
@needs_command("debhelper", "dh")
class DebianPackage(Scratch):
    @classmethod
    def setUpClass(cls):
        cls.build = os.path.join(scratch_folder(cls), "build")
        make("deb", cls.build)
        cls.package = os.path.join(cls.build, "deb", f"mirebox_{VERSION}-1_amd64.deb")

    def setUp(self):
        super().setUp()
        self.build = type(self).build

    def test_it_holds_both_programs_their_units_pages_and_files(self):
        self.assertEqual(deb_files(self.package), {
            "/usr/sbin/mirebox", "/usr/bin/mirebox-stats",
            "/lib/systemd/system/mirebox.service", "/lib/systemd/system/mirebox-stats.service",
            "/etc/mirebox.config", "/etc/mirebox.config.sample",
            "/usr/share/man/man8/mirebox.8.gz", "/usr/share/man/man1/mirebox-stats.1.gz",
            "/usr/share/doc/mirebox/examples/fail2ban-filter.conf",
            "/usr/share/doc/mirebox/examples/fail2ban-jail.conf",
            "/usr/share/doc/mirebox/examples/fail2ban-sshd.conf",
            "/usr/share/doc/mirebox/examples/fail2ban-sshd-2200.conf",
            "/usr/share/doc/mirebox/examples/mirebox-alerts.yml",
            "/usr/share/doc/mirebox/examples/rsyslog-forward.conf",
            "/usr/share/doc/mirebox/examples/rsyslog-server.conf",
            "/usr/share/doc/mirebox/copyright", "/usr/share/doc/mirebox/changelog.Debian.gz",
            "/usr/share/doc/mirebox/README.md.gz",
            "/usr/share/lintian/overrides/mirebox"})
        control = os.path.join(self.directory, "control")
        subprocess.run(["dpkg-deb", "-e", self.package, control], check=True)
        with open(os.path.join(control, "conffiles"), encoding="ascii") as conffiles:
            self.assertIn("/etc/mirebox.config\n", conffiles.read())
        # The configuration file holds the sample, as installed.
        extracted = os.path.join(self.directory, "root")
        subprocess.run(["dpkg-deb", "-x", self.package, extracted], check=True)
        with open(os.path.join(extracted, "etc", "mirebox.config"), encoding="ascii") as config, \
                open(os.path.join(SOURCE, "packaging", "mirebox.config.sample"),
                     encoding="ascii") as sample:
            self.assertEqual(config.read(), sample.read())
        # The daemon's unit is enabled and started at install, the follower's
        # is neither.
        with open(os.path.join(control, "postinst"), encoding="ascii") as postinst:
            script = postinst.read()
        self.assertIn("deb-systemd-helper enable 'mirebox.service'", script)
        self.assertIn("deb-systemd-invoke $_dh_action 'mirebox.service'", script)
        self.assertNotIn("deb-systemd-invoke $_dh_action 'mirebox-stats.service'", script)
        # A fresh install is no debian-installed: the follower is enabled
        # only again on an upgrade where the admin had enabled it.
        self.assertIn("if deb-systemd-helper debian-installed 'mirebox-stats.service'; then", script)

    @needs_command("lintian", "lintian")
    def test_lintian_finds_no_error_and_no_warning(self):
        # Lintian leaves files in its temporary folder: the test's own.
        result = subprocess.run(["lintian", "--fail-on", "error,warning", self.package],
                                capture_output=True, text=True, timeout=600,
                                env={**os.environ, "TMPDIR": self.directory})
        self.assertEqual((result.returncode, result.stdout), (0, ""), result.stderr)

    def unit_textfile(self):
        """The metrics file of the packaged follower's unit."""
        extracted = os.path.join(self.directory, "root")
        if not os.path.isdir(extracted):
            subprocess.run(["dpkg-deb", "-x", self.package, extracted], check=True)
        with open(os.path.join(extracted, "lib", "systemd", "system", "mirebox-stats.service"),
                  encoding="ascii") as unit:
            directory = re.search(r"^ReadWritePaths=-?(\S+)$", unit.read(), flags=re.M)[1]
        return os.path.join(directory, "mirebox.prom")

    @unittest.skipUnless(os.geteuid() == 0, "mounts where systemd says it runs: needs root")
    def test_maintainer_scripts_keep_the_follower_across_an_upgrade_and_stop_it_on_remove(self):
        """Each script of the package run as dpkg runs it, in a mount
        namespace where /run/systemd/system says that systemd runs, with
        stand-ins that log how the units are started and stopped, and the
        follower's metrics file in place."""
        control = os.path.join(self.directory, "control")
        subprocess.run(["dpkg-deb", "-e", self.package, control], check=True)
        stand_ins = os.path.join(self.directory, "stand-ins")
        os.mkdir(stand_ins)
        for name in ("deb-systemd-invoke", "deb-systemd-helper", "systemctl"):
            with open(os.path.join(stand_ins, name), "w", encoding="ascii") as stand_in:
                stand_in.write('#!/bin/sh\necho "${0##*/} $*" >> "$CALLS"\n')
            os.chmod(os.path.join(stand_ins, name), 0o755)
        textfile = self.unit_textfile()
        upper = os.path.join(self.directory, "var")
        os.mkdir(upper)
        cases = [
            # script, its arguments: how deb-systemd-invoke was asked to
            # start or stop a unit, and whether the metrics file is left.
            ("preinst", ["upgrade", f"{VERSION}-1"], [], True),
            ("postinst", ["configure"], ["start mirebox.service"], True),
            ("postinst", ["configure", f"{VERSION}-1"],
             ["restart mirebox.service", "try-restart mirebox-stats.service"], True),
            ("prerm", ["upgrade", f"{VERSION}-1"], [], True),
            ("prerm", ["remove"], ["stop mirebox-stats.service", "stop mirebox.service"], False),
        ]
        for script, arguments, invoked, kept in cases:
            with self.subTest(script=script, arguments=arguments):
                calls = os.path.join(self.directory, "calls")
                open(calls, "w", encoding="ascii").close()
                path = os.path.join(control, script)
                run = (f"sh {shlex.quote(path)} {' '.join(arguments)}"
                       if os.path.exists(path) else "true")
                # /var as an overlay whose changes stay in the namespace.
                namespace = (
                    "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && "
                    f"mount -t tmpfs tmpfs {upper} && mkdir {upper}/u {upper}/w && "
                    f"mount -t overlay overlay -o lowerdir=/var,upperdir={upper}/u,"
                    f"workdir={upper}/w /var || exit 77\n"
                    f"mkdir -p {os.path.dirname(textfile)} && echo 'mirebox_up 1' > {textfile}\n"
                    f"{run} || exit\n"
                    f"test -e {textfile} && echo kept || echo removed\n")
                result = subprocess.run(
                    ["unshare", "--mount", "--propagation", "private", "sh", "-c", namespace],
                    capture_output=True, text=True, timeout=DEADLINE * 4,
                    env={**os.environ, "PATH": f"{stand_ins}:{os.environ['PATH']}",
                         "CALLS": calls})
                if result.returncode == 77:
                    self.skipTest(f"no private mount namespace here: {result.stderr}")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, "kept\n" if kept else "removed\n")
                with open(calls, encoding="ascii") as logged:
                    asked = [line.split(" ", 1)[1].replace("'", "")
                             for line in logged.read().splitlines()
                             if line.startswith("deb-systemd-invoke ")]
                self.assertEqual(asked, invoked)

    @unittest.skipUnless(MAY_INSTALL, "installs a system package: runs in CI (CI=true) or with "
                                      "MIREBOX_INSTALL_PACKAGES=1")
    @unittest.skipUnless(os.geteuid() == 0, "installs a system package: needs root")
    @needs_command("systemd", "systemd-analyze")
    @needs_command("iproute2", "ip")
    @needs_command("util-linux", "nsenter")
    def test_installed_with_apt_it_runs_and_purges_clean(self):
        """Installed, upgraded (reinstalled) and purged with apt, whose runs
        of the package scripts start and stop the units through a stand-in
        systemd: the follower an administrator started runs on across the
        upgrade, and after the purge nothing of the package runs and none of
        its files is left, its metrics included."""
        installed = subprocess.run(["dpkg-query", "-W", "-f", "${Status}", "mirebox"],
                                   capture_output=True, text=True)
        if "installed" in installed.stdout:
            self.skipTest("mirebox is installed here already: the test would purge it")
        prom = self.unit_textfile()
        if not os.path.isdir(os.path.dirname(prom)):
            self.skipTest(skips.package_reason("prometheus-node-exporter",
                                               f"{os.path.dirname(prom)} does not exist"))
        systemd = services.StandInSystemd(self.directory, os.path.dirname(prom))
        self.addCleanup(systemd.close)
        listed = set()
        try:
            self.apt(systemd, "install", self.package)
            listed = set(subprocess.run(["dpkg-query", "-L", "mirebox"], capture_output=True,
                                        text=True, check=True).stdout.split())
            verify = subprocess.run(["systemd-analyze", "verify", "--man=no",
                                     "/lib/systemd/system/mirebox.service"],
                                    capture_output=True, text=True)
            self.assertEqual((verify.returncode, verify.stderr), (0, ""))
            usage = subprocess.run(["/usr/sbin/mirebox", "-h"], capture_output=True, text=True)
            self.assertEqual(usage.stdout, help_text("/etc/mirebox.config"))
            self.run_in_own_network()
            # The package starts the daemon; an administrator the follower.
            self.assertEqual(systemd.run("systemctl", "is-active", "mirebox.service").returncode,
                             0, systemd.calls())
            systemd.run("systemctl", "start", "mirebox-stats.service", check=True)
            self.wait_in(systemd, ["test", "-e", prom], "the follower's metrics")
            self.apt(systemd, "install", "--reinstall", self.package)
            self.assertEqual(
                systemd.run("systemctl", "is-active", "mirebox-stats.service").returncode, 0,
                f"the follower no longer runs after the upgrade: {systemd.calls()}")
        finally:
            self.apt(systemd, "purge", "mirebox", check=False)
        files = {path for path in listed if not os.path.isdir(path)}
        self.assertIn("/usr/sbin/mirebox", files)
        self.assertEqual({path for path in files | {"/etc/mirebox.config"}
                          if os.path.lexists(path)}, set())
        self.assertFalse(glob.glob("/etc/systemd/system/*/mirebox*.service"))
        self.wait_in(systemd, ["true"], "nothing of the package running",
                     until=lambda: not systemd.processes())
        self.assertNotEqual(systemd.run("test", "-e", prom).returncode, 0, "metrics left")

    def apt(self, systemd, *command, check=True):
        result = systemd.run("apt-get", "-o", "DPkg::Lock::Timeout=600", "-y", "-q", *command,
                             timeout=900, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
        if check:
            self.assertEqual(result.returncode, 0, result.stdout[-2000:] + result.stderr)

    def wait_in(self, systemd, command, what, until=None):
        wait_until(until or (lambda: systemd.run(*command).returncode == 0),
                   lambda: f"{what}; running {systemd.processes()}, asked {systemd.calls()}",
                   interval=0.1)

    def run_in_own_network(self):
        """The installed daemon, by hand, for one client, in a network
        namespace of its own: it listens on the wildcard address."""
        client = ("import socket, time\n"
                  "for _ in range(300):\n"
                  "    try:\n"
                  "        s = socket.create_connection(('127.0.0.1', 2222)); break\n"
                  "    except OSError: time.sleep(0.1)\n"
                  "s.settimeout(30)\n"
                  "print(s.recv(300).decode().rstrip())\n")
        log = os.path.join(self.directory, "mirebox.log")
        script = (f"{find_program('ip')} link set lo up || exit 1\n"
                  f"/usr/sbin/mirebox -v -d 100 > {log} & daemon=$!\n"
                  f"{sys.executable} -c \"{client}\"; status=$?\n"
                  "kill -TERM $daemon; wait $daemon || status=1\n"
                  f"cat {log}\n"
                  "exit $status")
        result = subprocess.run(["unshare", "--net", "sh", "-c", script], capture_output=True,
                                text=True, timeout=DEADLINE * 2)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"ACCEPT host=::ffff:127\.0\.0\.1 port=\d+ fd=\d+ n=1/4096")
        self.assertRegex(result.stdout, r"TOTALS connects=1 ")


if __name__ == "__main__":
    unittest.main()
