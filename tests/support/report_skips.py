"""Lists what a test run skipped, grouped by reason, from the logs that
run_tests.py keeps in BUILD/skipped/.

    PYTHONPATH=tests python3 -m support.report_skips BUILD [--strict] [--fail-on PACKAGE...]

With --fail-on, exits 1 if anything was skipped for want of one of those
packages: CI installs them, so such a skip there is a failure. With
--strict, anything skipped at all fails, as it should on a host that has
every tool. Tests left to the plain build are not skips."""

import collections
import glob
import os
import sys

from support import skips


def main(argv):
    build, rest = argv[0], argv[1:]
    strict = rest[:1] == ["--strict"]
    rest = rest[1:] if strict else rest
    fail_on = set(rest[1:]) if rest[:1] == ["--fail-on"] else set()
    by_reason = collections.defaultdict(list)
    elsewhere = 0
    for log in sorted(glob.glob(os.path.join(build, "skipped", "*.txt"))):
        program = os.path.splitext(os.path.basename(log))[0]
        with open(log, encoding="utf-8") as entries:
            for entry in entries:
                test, _, reason = entry.rstrip("\n").partition("\t")
                if reason.startswith(skips.PLAIN_BUILD_PREFIX):
                    elsewhere += 1
                else:
                    by_reason[reason].append(f"{program}: {test}")
    if elsewhere:
        print(f"Left to the plain build, which runs them: {elsewhere} tests that preload a "
              "library, set low limits or close standard error, which a sanitized or "
              "valgrind-wrapped daemon cannot take.")
    if not by_reason:
        print("Nothing was skipped.")
        return 0
    print(f"Skipped, {sum(map(len, by_reason.values()))} in all:")
    unmet = set()
    for reason, tests in sorted(by_reason.items()):
        print(f"  {reason}")
        for test in tests:
            print(f"      {test}")
        if reason.startswith(skips.PACKAGE_PREFIX):
            unmet.add(reason[len(skips.PACKAGE_PREFIX):].split(":")[0])
    if unmet:
        print(f"To run them: tools/deps test as root installs what is missing ({' '.join(sorted(unmet))} on Debian)")
    if unmet & fail_on:
        print(f"FAILED: skipped although installed: {' '.join(sorted(unmet & fail_on))}")
        return 1
    if strict:
        print("FAILED: nothing may be skipped here")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
