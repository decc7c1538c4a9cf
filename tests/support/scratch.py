"""A folder of a test's own, removed with all it holds once the test ends."""

import tempfile
import unittest


def scratch_folder(owner):
    """A new folder, removed after the test `owner`, or after every test of
    the class `owner` (from setUpClass)."""
    # Removed by the cleanup, not by a with block: pylint: disable=R1732
    folder = tempfile.TemporaryDirectory(prefix="mirebox-test-")
    if isinstance(owner, type):
        owner.addClassCleanup(folder.cleanup)
    else:
        owner.addCleanup(folder.cleanup)
    return folder.name


class Scratch(unittest.TestCase):
    """A test with a folder of its own in self.directory."""

    def setUp(self):
        self.directory = scratch_folder(self)
