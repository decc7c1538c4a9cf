"""Skips that show. A test that cannot run here says why with `needs`, naming
the Debian package that would let it run; each test program appends what it
skipped to the file MIREBOX_SKIP_LOG names, and `make test` ends by listing
them all, so a run that skipped a group never reads as a clean pass."""

import os
import shutil
import unittest

# A reason that names a package reads "needs package NAME: what is missing".
PACKAGE_PREFIX = "needs package "
# A test that the sanitized and valgrind runs leave to the plain build, which
# runs it: listed apart, never as a skip.
PLAIN_BUILD_PREFIX = "runs in the plain build only"
# Where programs for root live, which a user's PATH may leave out.
SYSTEM_DIRECTORIES = "/usr/local/sbin:/usr/sbin:/sbin"


def package_reason(package, missing):
    return f"{PACKAGE_PREFIX}{package}: {missing}"


def find_program(command):
    """The program's path, on PATH or among root's programs, or None."""
    return shutil.which(command) or shutil.which(command, path=SYSTEM_DIRECTORIES)


def needs(package, found, missing):
    """Skips the test or class unless what `package` provides was found."""
    return unittest.skipUnless(found, package_reason(package, missing))


def needs_command(package, command):
    return needs(package, find_program(command), f"{command} is not installed")


def record(test, reason):
    """Writes one skipped test or check to the log, if one is kept."""
    log = os.environ.get("MIREBOX_SKIP_LOG")
    if log:
        with open(log, "a", encoding="utf-8") as out:
            out.write(f"{test}\t{reason}\n")


def skip_check(test, check, reason):
    """For a check inside a test that goes on without it."""
    record(f"{test.id()} ({check})", reason)
