"""tools/deps, run against stand-ins for dpkg-query, apt-get, systemctl and
id that say which packages are missing and who runs it, record what would be
installed, and do what package scripts do: ask policy-rc.d whether they may
start a service, and enable it anyway. Its /etc and /usr/sbin are the test's
(DEPS_ROOT)."""

import os
import re
import shutil
import subprocess
import unittest

from support.scratch import scratch_folder

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEPS = os.path.join(SOURCE, "tools", "deps")
STUBS = {
    "dpkg-query": 'for package; do :; done\n'
                  '[ "$MISSING" != all ] || exit 1\n'
                  'for p in $MISSING; do [ "$p" != "$package" ] || exit 1; done\n'
                  'printf "install ok installed"\n',
    # An install asks policy-rc.d, as invoke-rc.d does, then enables
    # fail2ban (its unit, and the SysV link), rsyslog (with an alias) and
    # legacyd, which has only a SysV script.
    "apt-get": 'echo "$*" >> "$RECORD"\n'
               'case $1 in install) ;; *) exit 0 ;; esac\n'
               '[ -n "${ENABLES:-}" ] || exit 0\n'
               'policy=$DEPS_ROOT/usr/sbin/policy-rc.d\n'
               'if [ -x "$policy" ]; then "$policy" fail2ban start; echo "policy-rc.d $?"; '
               'else echo "no policy-rc.d"; fi >> "$RECORD"\n'
               'wants=$DEPS_ROOT/etc/systemd/system/multi-user.target.wants\n'
               'mkdir -p "$wants" "$DEPS_ROOT/etc/rc2.d"\n'
               'ln -s /lib/systemd/system/fail2ban.service "$wants/fail2ban.service"\n'
               'ln -s /lib/systemd/system/rsyslog.service "$wants/rsyslog.service"\n'
               'ln -s /lib/systemd/system/rsyslog.service "$DEPS_ROOT/etc/systemd/system/syslog.service"\n'
               'ln -s ../init.d/fail2ban "$DEPS_ROOT/etc/rc2.d/S01fail2ban"\n'
               'ln -s ../init.d/legacyd "$DEPS_ROOT/etc/rc2.d/S02legacyd"\n'
               # Then, as asked, it fails, or its caller is killed meanwhile.
               'case ${APT_END:-} in fail) exit 100 ;; kill) kill -TERM $PPID ;; esac\n',
    "systemctl": 'echo "systemctl $*" >> "$RECORD"\n',
    "id": 'echo "$USER_ID"\n',
}


class Deps(unittest.TestCase):
    def setUp(self):
        scratch = scratch_folder(self)
        self.record = os.path.join(scratch, "apt-get")
        self.root = os.path.join(scratch, "root")
        os.makedirs(os.path.join(self.root, "usr", "sbin"))
        self.bin = os.path.join(scratch, "bin")
        os.mkdir(self.bin)
        for name, body in STUBS.items():
            path = os.path.join(self.bin, name)
            with open(path, "w", encoding="ascii") as stub:
                stub.write("#!/bin/sh\n" + body)
            os.chmod(path, 0o755)

    def deps(self, level, missing, user_id, listing=False, enables=False, end=""):
        if os.path.exists(self.record):
            os.remove(self.record)
        env = {**os.environ, "PATH": f"{self.bin}:{os.environ['PATH']}", "DEPS_ROOT": self.root,
               "MISSING": " ".join(missing), "RECORD": self.record, "USER_ID": str(user_id),
               "ENABLES": "1" if enables else "", "APT_END": end}
        command = ["sh", DEPS, *(["--list"] if listing else []), level]
        result = subprocess.run(command, capture_output=True, text=True, env=env)
        recorded = []
        if os.path.exists(self.record):
            with open(self.record, encoding="ascii") as calls:
                recorded = calls.read().splitlines()
        return result.returncode, result.stdout, result.stderr, recorded

    def reset_root(self, policy=None):
        """An /etc with one service enabled before, and policy-rc.d as given."""
        shutil.rmtree(self.root)
        wants = os.path.join(self.root, "etc", "systemd", "system", "multi-user.target.wants")
        os.makedirs(wants)
        os.makedirs(os.path.join(self.root, "usr", "sbin"))
        os.symlink("/lib/systemd/system/postgresql.service", os.path.join(wants, "postgresql.service"))
        if policy is not None:
            with open(os.path.join(self.root, "usr", "sbin", "policy-rc.d"), "w",
                      encoding="ascii") as script:
                script.write(policy)
            os.chmod(os.path.join(self.root, "usr", "sbin", "policy-rc.d"), 0o755)

    def test_an_install_leaves_no_service_started_or_enabled(self):
        """However the install ends: done, failed, or the script killed."""
        cases = [(None, "", 0), ("#!/bin/sh\n# the admin's own\nexit 0\n", "", 0),
                 ("#!/bin/sh\n# the admin's own\nexit 0\n", "fail", 100), (None, "kill", 143)]
        for policy, end, expected_status in cases:
            with self.subTest(policy=policy, end=end):
                self.reset_root(policy)
                status, output, errors, recorded = self.deps("test", ["fail2ban", "rsyslog"], 0,
                                                             enables=True, end=end)
                self.assertEqual(status, expected_status, errors)
                # Asked during the install, the policy refused every start.
                self.assertIn("policy-rc.d 101", recorded)
                # Exactly what the install enabled is disabled again.
                self.assertEqual(recorded[-1], "systemctl disable fail2ban.service "
                                               "legacyd.service rsyslog.service")
                self.assertTrue(output.endswith("tools/deps: disabling what the install enabled: "
                                                "fail2ban.service legacyd.service "
                                                "rsyslog.service\n"), output)
                # The policy that was there before is back, or none.
                path = os.path.join(self.root, "usr", "sbin", "policy-rc.d")
                if policy is None:
                    self.assertFalse(os.path.lexists(path))
                else:
                    with open(path, encoding="ascii") as script:
                        self.assertEqual(script.read(), policy)
                    self.assertTrue(os.access(path, os.X_OK))

    def test_installs_what_is_missing_or_names_the_command(self):
        install = "install -y -q --no-install-recommends"
        cases = [
            ("test", [], 0, (0, "", "", [])),
            # run needs only the compiler and CMake.
            ("build", ["rsyslog", "clang"], 0, (0, "", "", [])),
            ("build", ["cmake"], 0,
             (0, "tools/deps: installing for make run: cmake\n", "",
              ["update -q", f"{install} cmake"])),
            ("test", ["libgtest-dev", "rsyslog", "clang"], 0,
             (0, "tools/deps: installing for make test: libgtest-dev rsyslog\n", "",
              ["update -q", f"{install} libgtest-dev rsyslog"])),
            ("ci", ["clang"], 0,
             (0, "tools/deps: installing for .ci/run: clang\n", "",
              ["update -q", f"{install} clang"])),
            # make deb: the package's tools and git, not the tests'.
            ("deb", ["git", "debhelper", "rsyslog"], 0,
             (0, "tools/deps: installing for make deb: git debhelper\n", "",
              ["update -q", f"{install} git debhelper"])),
            ("test", ["g++", "fail2ban"], 1000,
             (1, "", "tools/deps: make test needs these packages: g++ fail2ban\n"
                     "tools/deps: install them as root with: "
                     "apt-get install -y --no-install-recommends g++ fail2ban\n", [])),
        ]
        for level, missing, user_id, expected in cases:
            with self.subTest(level=level, missing=missing, user_id=user_id):
                self.assertEqual(self.deps(level, missing, user_id), expected)

    def test_list_only_prints_and_the_readme_lists_what_make_test_installs(self):
        status, listed, errors, recorded = self.deps("test", ["all"], 0, listing=True)
        self.assertEqual((status, errors, recorded), (0, "", []))
        needed = re.search(r"needs these packages: (.*)\n", self.deps("test", ["all"], 1000)[2])
        self.assertEqual(listed.split(), needed[1].split())
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
            commands = re.findall(r"^apt-get install ((?:.*\\\n)*.*)$", readme.read(), flags=re.M)
        # One of the README's apt-get lines, its comment left out, is the list.
        listed = [sorted(command.replace("\\\n", " ").split("#")[0].split())
                  for command in commands]
        self.assertIn(sorted(needed[1].split()), listed)

    def test_freebsd_never_has_pkg_offer_to_bootstrap_itself(self):
        """On FreeBSD without pkg bootstrapped, `pkg info` would stop and ask;
        `pkg -N` tells first. Only stand-ins on the path: no dpkg here."""
        freebsd = os.path.join(os.path.dirname(self.bin), "freebsd")
        os.mkdir(freebsd)
        stubs = {
            "uname": 'echo FreeBSD\n',
            "id": 'echo 0\n',
            # -N: whether pkg is bootstrapped; anything else unbootstrapped asks.
            "pkg": 'echo "pkg $*" >> "$RECORD"\n'
                   'if [ "$1" = -N ]; then [ -n "$BOOTSTRAPPED" ]; exit; fi\n'
                   '[ -n "$BOOTSTRAPPED" ] || [ "$1" = install ] || '
                   '{ echo "pkg asked to bootstrap" >> "$RECORD"; exit 1; }\n'
                   '[ "$1 $2" != "info -e" ] || [ "$3" != googletest ]\n',
        }
        for name, body in stubs.items():
            with open(os.path.join(freebsd, name), "w", encoding="ascii") as stub:
                stub.write("#!/bin/sh\n" + body)
            os.chmod(os.path.join(freebsd, name), 0o755)
        wanted = "cmake googletest python3 valgrind libfaketime hs-ShellCheck"
        for bootstrapped, installed in ((True, "googletest"), (False, wanted)):
            with self.subTest(bootstrapped=bootstrapped):
                if os.path.exists(self.record):
                    os.remove(self.record)
                result = subprocess.run(
                    ["/bin/sh", DEPS, "test"], capture_output=True, text=True,
                    env={"PATH": freebsd, "RECORD": self.record,
                         "BOOTSTRAPPED": "1" if bootstrapped else ""})
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(self.record, encoding="ascii") as calls:
                    recorded = calls.read().splitlines()
                self.assertNotIn("pkg asked to bootstrap", recorded)
                self.assertEqual(recorded[0], "pkg -N")
                self.assertEqual(recorded[-1], f"pkg install -y {installed}")

    def test_unknown_level_is_refused(self):
        self.assertEqual(self.deps("everything", [], 0)[:3],
                         (2, "", "usage: tools/deps [--list] build|test|deb|ci|image\n"))

    def test_the_image_level_leaves_none_of_podmans_units_enabled(self):
        """podman's package enables a socket, a timer and services for
        default.target, and the CNI plugins a DHCP socket, whether or not
        systemd runs."""
        units = {"sockets.target.wants": ["podman.socket", "cni-dhcp.socket"],
                 "timers.target.wants": ["podman-auto-update.timer"],
                 "default.target.wants": ["podman.service", "podman-restart.service",
                                          "podman-auto-update.service"]}
        links = "".join(f'mkdir -p "$DEPS_ROOT/etc/systemd/system/{target}"\n'
                        f'ln -s /lib/systemd/system/{unit} '
                        f'"$DEPS_ROOT/etc/systemd/system/{target}/"\n'
                        for target, names in units.items() for unit in names)
        with open(os.path.join(self.bin, "apt-get"), "w", encoding="ascii") as stub:
            stub.write(f'#!/bin/sh\necho "$*" >> "$RECORD"\n[ "$1" = install ] || exit 0\n{links}')
        self.reset_root()
        status, output, errors, recorded = self.deps("image", ["buildah", "podman", "catatonit"], 0)
        self.assertEqual(status, 0, errors)
        self.assertIn("install -y -q --no-install-recommends buildah podman catatonit", recorded)
        enabled = sorted(unit for names in units.values() for unit in names)
        self.assertEqual(recorded[-1], f"systemctl disable {' '.join(enabled)}")

    def test_make_deb_installs_what_it_builds_with_before_anything_else(self):
        """A machine without debhelper: make deb asks apt-get for it first,
        under the same policy as the tests' tools, and stops there when it
        cannot be had, with nothing made."""
        self.reset_root()
        build = os.path.join(os.path.dirname(self.root), "build")
        env = {**os.environ, "PATH": f"{self.bin}:{os.environ['PATH']}", "DEPS_ROOT": self.root,
               "MISSING": "debhelper", "RECORD": self.record, "USER_ID": "0", "ENABLES": "1",
               "APT_END": "fail"}
        result = subprocess.run(["make", "-C", SOURCE, "deb", f"BUILD={build}"],
                                capture_output=True, text=True, env=env, timeout=600)
        self.assertNotEqual(result.returncode, 0, result.stdout)
        recorded = []
        if os.path.exists(self.record):
            with open(self.record, encoding="ascii") as calls:
                recorded = calls.read().splitlines()
        self.assertEqual(recorded[:3], ["update -q", "install -y -q --no-install-recommends "
                                        "debhelper", "policy-rc.d 101"])
        self.assertFalse(os.path.exists(build))


if __name__ == "__main__":
    unittest.main()
