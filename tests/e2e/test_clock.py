"""The wall clock set back and forward under a running daemon, through libfaketime."""

import errno
import os
import signal
import time
import unittest

from support.daemon import (ISOLATED, ISOLATED_REASON, LIBFAKETIME, LineReader, TarpitTest,
                            is_valid_line)
from support.scratch import scratch_folder
from support.skips import needs
from support.waiting import DEADLINE

DAY = 86400


@unittest.skipIf(ISOLATED, ISOLATED_REASON)
@needs("faketime", LIBFAKETIME, "libfaketime is not installed")
class ClockJumps(TarpitTest):
    def setUp(self):
        directory = scratch_folder(self)
        self.offset_file = os.path.join(directory, "offset")
        self.set_offset(0)

    def set_offset(self, seconds):
        """Moves the daemon's wall clock to `seconds` away from the real one."""
        with open(self.offset_file + ".new", "w", encoding="ascii") as offset:
            offset.write(f"{seconds:+d}\n")
        os.replace(self.offset_file + ".new", self.offset_file)

    def start_faked(self, *args, preload=(), env=None):
        return self.start(*args, env={
            "LD_PRELOAD": " ".join((LIBFAKETIME, *preload)),
            "FAKETIME_TIMESTAMP_FILE": self.offset_file, "FAKETIME_NO_CACHE": "1",
            "DONT_FAKE_MONOTONIC": "1", **(env or {})})

    def test_lines_come_late_by_the_time_set_back(self):
        daemon = self.start_faked("-v", "-d", "500")
        reader = LineReader(self.connect(daemon.port))
        (last, _), = reader.lines(1)
        self.set_offset(-3)
        arrivals = [last] + [arrived for arrived, _ in reader.lines(2)]
        self.assertGreater(arrivals[1] - arrivals[0], 3.0)
        self.assertLess(arrivals[2] - arrivals[1], 0.5 + DEADLINE / 4)
        self.assertEqual(daemon.stop(), 0)

    def test_negative_connection_time_carries_the_sign_on_both_parts(self):
        daemon = self.start_faked("-v", "-d", "100")
        reader = LineReader(self.connect(daemon.port))
        reader.lines(1)
        self.set_offset(-10)
        time.sleep(0.3)  # let the offset take hold before the stop
        self.assertEqual(daemon.stop(), 0)
        close = daemon.wait_for(r"CLOSE .* time=(-\d+)\.(-\d{2,3}) bytes=(\d+)")[0]
        held_ms = int(close.group(1)) * 1000 + int(close.group(2))
        self.assertTrue(-10000 < held_ms < -9000, held_ms)
        self.assertEqual(int(close.group(3)), reader.drain())
        totals = daemon.wait_for(r"TOTALS connects=1 seconds=(-\d+)\.(-\d{2,3}) bytes=\d+")[0]
        self.assertEqual(totals.groups(), close.group(1, 2))

    def test_a_clock_set_back_a_month_caps_the_wait_and_recovers(self):
        daemon = self.start_faked("-v", "-v", "-d", "200")
        reader = LineReader(self.connect(daemon.port))
        reader.lines(1)
        self.set_offset(-30 * DAY)
        daemon.wait_for(r"poll\(1, 2147483647\)")  # beyond a 32-bit wait: capped
        self.set_offset(0)
        # A connection wakes the wait; the held client is due again at once.
        self.connect(daemon.port)
        self.assertTrue(all(is_valid_line(line) for _, line in reader.lines(2)))
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(daemon.errors, [])

    def test_a_clock_set_forward_serves_each_client_once_and_goes_on(self):
        daemon = self.start_faked("-v", "-v", "-d", "300")
        readers = [LineReader(self.connect(daemon.port)) for _ in range(3)]
        for reader in readers:
            reader.lines(1)
        writes_before = sum(m.startswith("write(") for m in daemon.messages())
        self.set_offset(3600)
        arrivals = [arrived for arrived, _ in readers[0].lines(3)]
        self.assertGreater(arrivals[2] - arrivals[1], 0.25, "back on the interval")
        for reader in readers[1:]:
            self.assertTrue(all(is_valid_line(line) for _, line in reader.lines(3)))
        writes = sum(m.startswith("write(") for m in daemon.messages()) - writes_before
        self.assertLess(writes, 3 * 6, "no burst of catch-up lines")
        daemon.signal(signal.SIGUSR1)
        daemon.wait_for(r"TOTALS .*")
        self.assertEqual(daemon.stop(), 0)

    def test_a_clock_set_back_ends_the_listeners_rest(self):
        """accept keeps failing, so the listener rests nearly all the time; the
        clock goes back a month during a rest, which must not last a month."""
        failing = os.path.join(os.path.dirname(self.offset_file), "failing")
        open(failing, "w", encoding="ascii").close()
        daemon = self.start_faked("-v", preload=[os.environ["MIREBOX_FAIL_ACCEPT_LIBRARY"]], env={
            "MIREBOX_ACCEPT_ERRNO": str(errno.ENOBUFS), "MIREBOX_ACCEPT_FAIL_FROM": "2",
            "MIREBOX_ACCEPT_FAIL_WHILE": failing})
        daemon.ready()
        waiting = self.connect(daemon.port)
        daemon.wait_for(r"mirebox: warning: .*", count=2, errors=True)
        self.set_offset(-30 * DAY)
        time.sleep(0.3)  # a rest or two under the new clock
        os.remove(failing)
        daemon.wait_for(rf"ACCEPT host=\S+ port={waiting.getsockname()[1]} .*")
        self.assertEqual(daemon.stop(), 0)


if __name__ == "__main__":
    unittest.main()
