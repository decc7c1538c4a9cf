"""tools/deps, run against stand-ins for dpkg-query, apt-get and id that say
which packages are missing and who runs it, and record what would be
installed."""

import os
import re
import subprocess
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEPS = os.path.join(SOURCE, "tools", "deps")
STUBS = {
    "dpkg-query": 'for package; do :; done\n'
                  '[ "$MISSING" != all ] || exit 1\n'
                  'for p in $MISSING; do [ "$p" != "$package" ] || exit 1; done\n'
                  'printf "install ok installed"\n',
    "apt-get": 'echo "$*" >> "$RECORD"\n',
    "id": 'echo "$USER_ID"\n',
}


class Deps(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.record = os.path.join(scratch.name, "apt-get")
        self.bin = os.path.join(scratch.name, "bin")
        os.mkdir(self.bin)
        for name, body in STUBS.items():
            path = os.path.join(self.bin, name)
            with open(path, "w", encoding="ascii") as stub:
                stub.write("#!/bin/sh\n" + body)
            os.chmod(path, 0o755)

    def deps(self, level, missing, user_id, listing=False):
        if os.path.exists(self.record):
            os.remove(self.record)
        env = {**os.environ, "PATH": f"{self.bin}:{os.environ['PATH']}",
               "MISSING": " ".join(missing), "RECORD": self.record, "USER_ID": str(user_id)}
        command = ["sh", DEPS, *(["--list"] if listing else []), level]
        result = subprocess.run(command, capture_output=True, text=True, env=env)
        recorded = []
        if os.path.exists(self.record):
            with open(self.record, encoding="ascii") as calls:
                recorded = calls.read().splitlines()
        return result.returncode, result.stdout, result.stderr, recorded

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

    def test_unknown_level_is_refused(self):
        self.assertEqual(self.deps("everything", [], 0)[:3],
                         (2, "", "usage: tools/deps [--list] build|test|ci\n"))


if __name__ == "__main__":
    unittest.main()
