"""The one deadline of every wait in the tests."""

import os
import re
import time

# Generous: CI machines are noisy, and a deadline only bounds a failing test.
DEADLINE = 30.0


def wait_until(predicate, what, timeout=DEADLINE, interval=0.05):
    """Calls predicate until it returns something true, and returns that.
    Fails when `timeout` passes first, saying `what` (a text, or a function
    that makes one from how things stand then) never came."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            said = what() if callable(what) else what
            raise AssertionError(f"no {said} within {timeout:g} s")
        time.sleep(interval)


def wait_in_file(path, pattern, count=1, timeout=DEADLINE):
    """Waits until `count` lines of the file match `pattern` (searched
    anywhere in a line); returns the matches."""
    regex = re.compile(pattern)

    def found():
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8", errors="replace") as text:
            matches = [match for match in map(regex.search, text) if match]
        return matches if len(matches) >= count else None
    return wait_until(found, f"{count} lines matching {pattern!r} in {path}", timeout)
