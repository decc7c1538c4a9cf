"""The shipped Prometheus alert rules: the file passes promtool's check, and
each rule fires where its unit test says, and only there."""

import os
import subprocess
import unittest

from support.skips import find_program, needs_command
from support.waiting import DEADLINE

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RULES = os.path.join(SOURCE, "packaging", "prometheus", "alerts.yml")
TESTS = os.path.join(SOURCE, "tests", "packaging", "prometheus", "alerts_test.yml")


@needs_command("prometheus", "promtool")
class AlertRules(unittest.TestCase):
    def promtool(self, *args):
        result = subprocess.run([find_program("promtool"), *args], capture_output=True, text=True,
                                timeout=DEADLINE * 4, check=False,
                                cwd=os.path.dirname(TESTS))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout

    def test_the_file_passes_the_check(self):
        self.assertIn("SUCCESS: 5 rules found", self.promtool("check", "rules", RULES))

    def test_each_rule_fires_where_its_unit_test_says(self):
        self.assertIn("SUCCESS", self.promtool("test", "rules", TESTS))


if __name__ == "__main__":
    unittest.main()
