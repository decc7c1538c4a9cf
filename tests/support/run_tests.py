"""Runs Python test files like `python3 -m unittest -v`, and logs each skip
(see skips.py). With --missing PACKAGE WHAT it only logs that a whole test
program could not be built here, and exits 77, CTest's "skipped".

    PYTHONPATH=tests python3 -m support.run_tests tests/e2e/test_clients.py ...

A file is loaded by its path, as a module of its own name: tests/e2e and
tests/packaging are no packages that a program the tests start could import
in place of another of that name.
"""

import os
import sys
import types
import unittest

from support import skips


class LoggingResult(unittest.TextTestResult):
    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        skips.record(test.id(), reason)


def main(argv):
    log = os.environ.get("MIREBOX_SKIP_LOG")
    if log:
        os.makedirs(os.path.dirname(log), exist_ok=True)
        open(log, "w", encoding="utf-8").close()
    if argv[:1] == ["--missing"]:
        package, what = argv[1], argv[2]
        skips.record(what, skips.package_reason(package, f"{package} is not installed"))
        print(f"skipped: {what} needs {package}")
        return 77
    suite = unittest.TestSuite()
    for path in argv:
        name = os.path.splitext(os.path.basename(path))[0]
        module = types.ModuleType(name)
        module.__file__ = path
        sys.modules[name] = module
        with open(path, encoding="utf-8") as source:
            exec(compile(source.read(), path, "exec"), module.__dict__)  # pylint: disable=W0122
        suite.addTests(unittest.defaultTestLoader.loadTestsFromModule(module))
    runner = unittest.TextTestRunner(verbosity=2, resultclass=LoggingResult)
    return 0 if runner.run(suite).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
