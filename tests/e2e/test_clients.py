"""The running tarpit: what clients receive and what the daemon logs about them."""

import datetime
import errno
import os
import re
import resource
import signal
import socket
import time
import unittest

from support.daemon import (CLOSE, ISOLATED, ISOLATED_REASON, TOTALS, TarpitTest, is_valid_line,
                            read_lines, run)
from support.network import free_port
from support.processes import UNTOLD, blocked_writing_to_a_pipe
from support.skips import skip_check
from support.waiting import DEADLINE, wait_until



def drain(sock):
    """Reads until the daemon closes the connection; returns the bytes."""
    sock.settimeout(DEADLINE)
    received = b""
    while chunk := sock.recv(65536):
        received += chunk
    return received


class Lines(TarpitTest):
    def test_lines_come_at_the_interval_and_nothing_before_the_first(self):
        daemon = self.start("-v", "-d", "1000")
        client = self.connect(daemon.port)
        connected = time.monotonic()
        lines = read_lines(client, 4)
        arrivals = [connected] + [arrived for arrived, _ in lines]
        gaps = [later - earlier for earlier, later in zip(arrivals, arrivals[1:])]
        for gap in gaps:
            # A line never comes early; a late one only bounds a stalled machine.
            self.assertGreater(gap, 0.9)
            self.assertLess(gap, 1.0 + DEADLINE / 4)
        for _, line in lines:
            self.assertTrue(is_valid_line(line), line)
        client.close()

    def test_line_length_bounds(self):
        for length in ("3", "255"):
            with self.subTest(length=length):
                daemon = self.start("-l", length, "-d", "5")
                client = self.connect(daemon.port)
                lines = [line for _, line in read_lines(client, 300)]
                client.close()
                self.assertEqual(daemon.stop(), 0)
                limit = int(length)
                for line in lines:
                    self.assertTrue(is_valid_line(line, limit), line)
                if limit == 3:
                    self.assertEqual({len(line) for line in lines}, {3})
                else:  # lengths are uniform over 3..255
                    self.assertGreater(max(map(len, lines)), 128)


class Events(TarpitTest):
    def test_accept_close_and_totals_lines_count_what_clients_received(self):
        # In a zone of its own, five and a half hours east: the log keeps UTC.
        daemon = self.start("-v", "-d", "100", env={"TZ": "MBX-5:30"})
        clients = [self.connect(daemon.port) for _ in range(3)]
        accepts = daemon.wait_for(r"ACCEPT host=(\S+) port=(\d+) fd=(\d+) n=(\d)/4096", count=3)
        self.assertEqual({m.group(1) for m in accepts}, {"::ffff:127.0.0.1"})
        self.assertEqual(sorted(int(m.group(2)) for m in accepts),
                         sorted(c.getsockname()[1] for c in clients))
        self.assertEqual([m.group(4) for m in accepts], ["1", "2", "3"])
        time.sleep(0.5)  # a few lines each, all of them counted below

        self.assertEqual(daemon.stop(), 0)
        received = {c.getsockname()[1]: len(drain(c)) for c in clients}
        closes = daemon.wait_for(CLOSE, count=3)
        self.assertEqual({int(m["port"]): int(m["bytes"]) for m in closes}, received)
        self.assertEqual({m["fd"] for m in closes}, {m.group(3) for m in accepts})
        totals = daemon.wait_for(TOTALS)
        self.assertEqual(len(totals), 1)
        self.assertEqual(totals[0]["connects"], "3")
        self.assertEqual(int(totals[0]["bytes"]), sum(received.values()))
        self.assertTrue(daemon.messages()[-1].startswith("TOTALS "))
        self.assertEqual(daemon.errors, [])
        # Every line carries the UTC time it was written, to the millisecond.
        stamps = [stamp for stamp, _, _ in daemon.lines]
        self.assertTrue(all(stamps), daemon.lines)
        self.assertEqual(stamps, sorted(stamps))
        written = datetime.datetime.strptime(stamps[-1], "%Y-%m-%dT%H:%M:%S.%fZ")
        now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        self.assertLess(abs((now - written).total_seconds()), DEADLINE)

    def test_totals_on_request_include_the_time_of_held_clients(self):
        daemon = self.start("-v", "-d", "200")
        client = self.connect(daemon.port)
        read_lines(client, 2)
        daemon.signal(signal.SIGUSR1)
        first = daemon.wait_for(TOTALS)[0]
        self.assertEqual(first["connects"], "1")
        self.assertGreaterEqual(int(first["seconds"]) * 1000 + int(first["ms"]), 350)
        read_lines(client, 2)  # still served
        daemon.signal(signal.SIGUSR1)
        second = daemon.wait_for(TOTALS, count=2)[1]
        self.assertGreater(second.group("seconds", "ms"), first.group("seconds", "ms"))
        self.assertGreater(int(second["bytes"]), int(first["bytes"]))
        self.assertFalse(any(m.startswith("CLOSE") for m in daemon.messages()))
        self.assertEqual(daemon.stop(), 0)

    def test_totals_requests_while_one_is_served_are_absorbed_by_it(self):
        """The test stops reading the log, so the daemon's TOTALS line blocks
        on a full pipe while more SIGUSR1 signals arrive."""
        log, write_end = os.pipe()
        daemon = self.start("-v", stdout=write_end)
        reader = os.fdopen(log, "rb")
        self.addCleanup(reader.close)
        daemon.ready()
        lines = [reader.readline()]
        while b" ACCEPT " not in lines[-1]:  # the daemon is idle from here on
            lines.append(reader.readline())
        # Filled to the brim; the pipe's mode is the daemon's too, so it is
        # blocking again before the request.
        os.set_blocking(write_end, False)
        for chunk in (b"#" * 4095 + b"\n", b"#\n"):
            try:
                while True:
                    os.write(write_end, chunk)
            except BlockingIOError:
                pass
        os.set_blocking(write_end, True)
        daemon.signal(signal.SIGUSR1)
        self.wait_until_blocked_writing(daemon.process.pid)
        for _ in range(5):
            daemon.signal(signal.SIGUSR1)
            time.sleep(0.05)
        os.close(write_end)
        while lines[-1] and b" TOTALS " not in lines[-1]:
            lines.append(reader.readline())
        # A second line would come at the next pass, before this client's.
        newcomer = self.connect(daemon.port).getsockname()[1]
        while lines[-1] and f" port={newcomer} ".encode() not in lines[-1]:
            lines.append(reader.readline())
        self.assertEqual(daemon.stop(), 0)
        lines += reader.readlines()
        totals = [line for line in lines if b" TOTALS " in line]
        self.assertEqual(len(totals), 2, "the request's line and the one at the stop")

    def wait_until_blocked_writing(self, pid):
        if blocked_writing_to_a_pipe(pid) is None:
            skip_check(self, "the daemon blocked on its log", UNTOLD)
            time.sleep(1)  # time enough to block, on any machine but a stalled one
            return
        wait_until(lambda: blocked_writing_to_a_pipe(pid), "daemon blocked on its log",
                   interval=0.01)

    def test_a_client_that_leaves_is_released_on_the_next_write(self):
        daemon = self.start("-v", "-d", "50")
        client = self.connect(daemon.port)
        read_lines(client, 1)
        client.close()
        close = daemon.wait_for(CLOSE)[0]
        self.assertEqual(close["host"], "::ffff:127.0.0.1")
        self.assertEqual(daemon.stop(), 0)


class Families(TarpitTest):
    def test_each_family_listens_where_it_should(self):
        cases = [
            ([], [(socket.AF_INET, "127.0.0.1", "::ffff:127.0.0.1"), (socket.AF_INET6, "::1", "::1")]),
            (["-4"], [(socket.AF_INET, "127.0.0.1", "127.0.0.1")]),
            (["-6"], [(socket.AF_INET6, "::1", "::1")]),
        ]
        for args, reachable in cases:
            with self.subTest(args=args):
                daemon = self.start("-v", *args)
                for count, (family, address, shown) in enumerate(reachable, 1):
                    self.connect(daemon.port, host=address, family=family)
                    accepted = daemon.wait_for(r"ACCEPT host=(\S+) .*", count=count)[-1]
                    self.assertEqual(accepted.group(1), shown)
                unreachable = {socket.AF_INET, socket.AF_INET6} - {f for f, _, _ in reachable}
                for family in unreachable:
                    address = "127.0.0.1" if family == socket.AF_INET else "::1"
                    with socket.socket(family, socket.SOCK_STREAM) as probe:
                        with self.assertRaises(ConnectionRefusedError):
                            probe.connect((address, daemon.port))
                self.assertEqual(daemon.stop(), 0)


class Limits(TarpitTest):
    def test_full_house_leaves_newcomers_waiting_until_someone_leaves(self):
        daemon = self.start("-v", "-m", "2", "-d", "100")
        held = [self.connect(daemon.port) for _ in range(2)]
        daemon.wait_for(r"ACCEPT .* n=2/2")
        waiting = self.connect(daemon.port)  # completes in the backlog: not refused
        read_lines(held[0], 3)
        self.assertEqual(len(daemon.wait_for(r"ACCEPT .*")), 2)
        held[0].close()
        daemon.wait_for(CLOSE)
        accepted = daemon.wait_for(r"ACCEPT .* port=(\d+) .* n=2/2", count=2)[-1]
        self.assertEqual(int(accepted.group(1)), waiting.getsockname()[1])
        self.assertTrue(all(is_valid_line(line) for _, line in read_lines(waiting, 2)))
        self.assertEqual(daemon.stop(), 0)

    @unittest.skipIf(ISOLATED, ISOLATED_REASON)
    def test_soft_descriptor_limit_is_raised_to_the_hard_one(self):
        def low_soft_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (32, 512))

        daemon = self.start("-v", "-v", preexec_fn=low_soft_limit)
        daemon.wait_for(r"setrlimit\(RLIMIT_NOFILE, 512\) = 0")
        for _ in range(100):
            self.connect(daemon.port)
        daemon.wait_for(r"ACCEPT .* n=100/4096")
        self.assertNotIn("MaxClients", " ".join(daemon.messages()[5:]))
        self.assertEqual(daemon.stop(), 0)

    def test_a_client_that_never_reads_stays_held(self):
        daemon = self.start("-v", "-v", "-d", "1", "-l", "255")
        sleeper = self.connect(daemon.port, sockopts={(socket.SOL_SOCKET, socket.SO_RCVBUF): 1024})
        fd = daemon.wait_for(r"ACCEPT .* fd=(\d+) .*")[0].group(1)
        daemon.wait_for(rf"write\({fd}\) = -1", count=3, timeout=120)
        reader = self.connect(daemon.port)
        self.assertTrue(all(is_valid_line(line, 255) for _, line in read_lines(reader, 20)))
        self.assertFalse(any(m.startswith("CLOSE") for m in daemon.messages()))
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(len(daemon.wait_for(CLOSE, count=2)), 2)
        sleeper.close()


class Trace(TarpitTest):
    def test_level_two_traces_a_clients_life_in_order(self):
        daemon = self.start("-v", "-v", "-d", "50")
        client = self.connect(daemon.port)
        read_lines(client, 1)
        client.close()
        fd = daemon.wait_for(CLOSE)[0]["fd"]
        messages = daemon.messages()
        accepted = messages.index(f"accept() = {fd}")
        self.assertEqual(messages[accepted + 1], f"setsockopt({fd}, SO_RCVBUF, 1) = 0")
        self.assertRegex(messages[accepted + 2], rf"ACCEPT .* fd={fd} n=1/4096")
        closed = messages.index(f"close({fd})")
        self.assertEqual(messages[closed - 1], f"write({fd}) = -1")
        self.assertRegex(messages[closed + 1], rf"CLOSE .* fd={fd} .*")
        self.assertEqual(daemon.stop(), 0)

    def test_level_two_traces_every_socket_call(self):
        daemon = self.start("-v", "-v", "-d", "100")
        client = self.connect(daemon.port)
        read_lines(client, 1)
        self.assertEqual(daemon.stop(), 0)
        messages = daemon.messages()
        listen_at = messages.index("socket() = 3")
        self.assertEqual(messages[listen_at:listen_at + 6], [
            "socket() = 3",
            "setsockopt(3, SO_REUSEADDR, true) = 0",
            "setsockopt(3, IPV6_V6ONLY, true) = 0",
            f"bind(3, port={daemon.port}) = 0",
            "listen(3) = 0",
            "poll(1, -1)",
        ])
        for expected in ("= 1", "accept() = 4", "setsockopt(4, SO_RCVBUF, 1) = 0", "EINTR",
                         "close(4)", "= -1"):
            self.assertIn(expected, messages)
        self.assertTrue(any(re.fullmatch(r"poll\(1, \d+\)", m) for m in messages))
        self.assertTrue(any(re.fullmatch(r"write\(4\) = \d+", m) for m in messages))


class Listener(TarpitTest):
    def test_a_port_in_use_ends_start_up(self):
        port = free_port()
        with socket.socket(socket.AF_INET6) as holder:
            holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            holder.bind(("::", port))
            holder.listen()
            result = run("-v", "-p", str(port))
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"mirebox: fatal: {os.strerror(errno.EADDRINUSE)}\n"))
        self.assertTrue(result.stdout.endswith(" BindFamily IPv4 Mapped IPv6\n"), "nothing after it")


if __name__ == "__main__":
    unittest.main()
