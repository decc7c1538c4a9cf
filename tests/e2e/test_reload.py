"""SIGHUP: the configuration file named last is read again, without dropping a client."""

import errno
import os
import re
import signal
import socket
import time

from support.daemon import CLOSE, TOTALS, LineReader, TarpitTest, is_valid_line, write_config
from support.network import free_port
from support.processes import UNTOLD, is_stopped, open_files
from support.scratch import scratch_folder
from support.waiting import DEADLINE, wait_until



class Reload(TarpitTest):
    def setUp(self):
        directory = scratch_folder(self)
        self.config = os.path.join(directory, "mirebox.config")

    def write(self, text):
        write_config(os.path.dirname(self.config), "mirebox.config", text)

    def start_from_file(self, port, *args):
        """A daemon whose port comes from the file a reload reads."""
        return self.start(*args, "-f", self.config, port=port, port_option=False)

    def reload(self, daemon, settings_logged):
        """Sends SIGHUP and waits for the settings lines it logs again."""
        daemon.signal(signal.SIGHUP)
        return daemon.wait_for(r"BindFamily .*", count=settings_logged)

    def test_new_port_moves_the_listener_and_keeps_every_client(self):
        old, new = free_port(), free_port()
        self.write(f"Port {old}\nDelay 100\n")
        daemon = self.start_from_file(old, "-v")
        readers = [LineReader(self.connect(old)) for _ in range(2)]
        for reader in readers:
            reader.lines(2)

        self.write(f"Port {new}\n")
        self.reload(daemon, 2)
        self.assertEqual(daemon.messages().count(f"Port {new}"), 1)
        readers.append(LineReader(self.connect(new)))
        with socket.socket() as probe, self.assertRaises(ConnectionRefusedError):
            probe.connect(("127.0.0.1", old))
        for reader in readers:
            self.assertTrue(all(is_valid_line(line) for _, line in reader.lines(3)))

        self.assertEqual(daemon.stop(), 0)
        received = {r.sock.getsockname()[1]: r.drain() for r in readers}
        closes = daemon.wait_for(CLOSE, count=3)
        self.assertEqual({int(m["port"]): int(m["bytes"]) for m in closes}, received)
        self.assertEqual(daemon.errors, [])

    def test_new_family_alone_moves_the_listener(self):
        port = free_port()
        self.write(f"Port {port}\n")
        daemon = self.start_from_file(port, "-v", "-v")
        daemon.ready()
        self.write(f"Port {port}\nBindFamily 6\n")
        self.reload(daemon, 2)
        self.assertEqual(len(daemon.wait_for(r"socket\(\) = \d+", count=2)), 2)
        with socket.socket() as probe, self.assertRaises(ConnectionRefusedError):
            probe.connect(("127.0.0.1", port))
        self.connect(port, host="::1", family=socket.AF_INET6)
        daemon.wait_for(r"ACCEPT host=::1 .*")
        self.assertEqual(daemon.stop(), 0)

    def test_the_file_named_last_is_read_even_if_made_since(self):
        port = free_port()
        self.write(f"Port {port}\nDelay 300\n")
        later = os.path.join(os.path.dirname(self.config), "later.config")
        daemon = self.start("-v", "-f", self.config, "-f", later, port=port, port_option=False)
        daemon.ready()
        self.write(f"Port {port}\nDelay 999\n")  # named first: no longer read
        write_config(os.path.dirname(later), "later.config", "Delay 400\n")
        self.reload(daemon, 2)
        self.assertEqual(daemon.messages().count("Delay 400"), 1)
        self.assertNotIn("Delay 999", daemon.messages())
        self.assertEqual(daemon.stop(), 0)

    def test_log_level_zero_silences_the_reload_that_sets_it(self):
        port = free_port()
        self.write(f"Port {port}\n")
        daemon = self.start_from_file(port, "-v")
        daemon.ready()
        # The unknown key speaks on standard error, which no LogLevel silences:
        # it tells when the silent reload has read its file.
        self.write(f"Port {port}\nLogLevel 0\nDelay 321\nColour blue\n")
        daemon.signal(signal.SIGHUP)
        daemon.wait_for(r".*Unknown option 'Colour'", errors=True)
        self.write(f"Port {port}\nLogLevel 1\n")
        self.reload(daemon, 2)
        messages = daemon.messages()
        self.assertEqual(sum(m.startswith("BindFamily") for m in messages), 2, messages)
        self.assertEqual(messages[-4], "Delay 321", "the silent reload was made")
        self.assertEqual(daemon.stop(), 0)

    def test_moving_to_a_port_in_use_ends_the_daemon(self):
        old, taken = free_port(), free_port()
        self.write(f"Port {old}\n")
        daemon = self.start_from_file(old, "-v")
        daemon.ready()
        with socket.socket(socket.AF_INET6) as holder:
            holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            holder.bind(("::", taken))
            holder.listen()
            self.write(f"Port {taken}\n")
            daemon.signal(signal.SIGHUP)
            self.assertEqual(daemon.finish(), 1)
        self.assertEqual(daemon.errors, [f"mirebox: fatal: {os.strerror(errno.EADDRINUSE)}"])
        self.assertEqual(daemon.messages()[-1], "BindFamily IPv4 Mapped IPv6", "nothing after it")

    def test_same_port_keeps_the_listening_socket_and_its_backlog(self):
        port = free_port()
        self.write(f"Port {port}\nMaxClients 1\n")
        daemon = self.start_from_file(port, "-v", "-v", "-d", "100")
        held = self.connect(port)
        daemon.wait_for(r"ACCEPT .* n=1/1")
        waiting = self.connect(port)

        self.write(f"Port {port}\nMaxClients 1\nDelay 150\n")
        self.reload(daemon, 2)
        self.assertEqual(len(daemon.wait_for(r"socket\(\) = \d+")), 1, "listener not reopened")
        held.close()
        accepted = daemon.wait_for(r"ACCEPT host=\S+ port=(\d+) .* n=1/1", count=2)[1]
        self.assertEqual(int(accepted.group(1)), waiting.getsockname()[1])
        self.assertEqual(daemon.stop(), 0)

    def test_bad_lines_are_reported_and_skipped(self):
        port = free_port()
        self.write(f"Port {port}\n")
        daemon = self.start_from_file(port, "-v")
        daemon.ready()
        self.write("Port 0\nDelay 0\nMaxLineLength 2\nMaxClients 0\nBindFamily x\n"
                   "Port\nPort 1 2\nLogLevel 3\nColour blue\nDelay 321\n")
        self.reload(daemon, 2)
        daemon.wait_for(r".*Unknown option 'Colour'", errors=True)
        self.assertEqual(daemon.errors, [
            "mirebox: Invalid port: 0",
            "mirebox: Invalid delay: 0",
            "mirebox: Invalid line length: 2",
            "mirebox: Invalid max clients: 0",
            "mirebox: Invalid address family: x",
            f"{self.config}:6: Missing value",
            f"{self.config}:7: Too many values",
            f"{self.config}:8: Invalid log level '3'",
            f"{self.config}:9: Unknown option 'Colour'",
        ])
        self.assertEqual(daemon.messages()[-5:], [
            f"Port {port}", "Delay 321", "MaxLineLength 32", "MaxClients 4096",
            "BindFamily IPv4 Mapped IPv6"])
        self.connect(port)
        daemon.wait_for(r"ACCEPT .* n=2/4096")
        self.assertEqual(daemon.stop(), 0)

    def test_deleted_file_changes_nothing(self):
        port = free_port()
        self.write(f"Port {port}\nDelay 400\n")
        daemon = self.start_from_file(port, "-v", "-v", "-d", "100")
        daemon.ready()
        os.remove(self.config)
        self.reload(daemon, 2)
        messages = daemon.messages()
        first = messages.index(f"Port {port}")
        second = messages.index(f"Port {port}", first + 1)
        self.assertEqual(messages[first:first + 5], messages[second:second + 5])
        self.assertEqual(messages[second + 1], "Delay 400")
        self.assertEqual(len([m for m in messages if m.startswith("socket()")]), 1)
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(daemon.errors, [])

    def test_log_level_two_traces_the_reloads_own_listener_change(self):
        old, new = free_port(), free_port()
        self.write(f"Port {old}\n")
        daemon = self.start_from_file(old, "-v")
        daemon.ready()
        self.assertFalse(any(m.startswith("socket()") for m in daemon.messages()))
        self.write(f"Port {new}\nLogLevel 2\n")
        self.reload(daemon, 2)
        daemon.wait_for(rf"bind\(\d+, port={new}\) = 0")
        daemon.wait_for(r"listen\(\d+\) = 0")
        self.assertEqual(daemon.stop(), 0)

    def test_shorter_delay_never_serves_a_later_client_first(self):
        port = free_port()
        self.write(f"Port {port}\n")
        daemon = self.start_from_file(port, "-v", "-d", "2000")
        early = LineReader(self.connect(port))
        early_at = time.monotonic()
        daemon.wait_for(r"ACCEPT .* n=1/4096")
        self.write(f"Port {port}\nDelay 100\n")
        self.reload(daemon, 2)
        late = LineReader(self.connect(port))
        (early_first, _), = early.lines(1)
        (late_first, _), = late.lines(1)
        self.assertGreater(early_first - early_at, 1.9, "the early client's due time stands")
        self.assertGreaterEqual(late_first, early_first)
        # From then on both are on the new interval.
        arrivals = [arrived for arrived, _ in late.lines(5)]
        self.assertLess(arrivals[-1] - arrivals[0], 4 * 0.1 + DEADLINE / 4)
        self.assertEqual(daemon.stop(), 0)

    def test_a_burst_of_signals_loses_no_client_and_keeps_totals_consistent(self):
        daemon = self.start("-v", "-d", "20")
        readers = [LineReader(self.connect(daemon.port)) for _ in range(5)]
        daemon.wait_for(r"ACCEPT .* n=5/4096")
        for i in range(300):
            daemon.signal(signal.SIGHUP if i % 2 else signal.SIGUSR1)
            if i % 10 == 0:
                for reader in readers:
                    reader.lines(1)
        for reader in readers:
            self.assertTrue(all(is_valid_line(line) for _, line in reader.lines(5)))
        self.assertEqual(daemon.stop(), 0)
        received = sum(reader.drain() for reader in readers)

        totals = [m.group("connects", "seconds", "ms", "bytes") for m in daemon.wait_for(TOTALS)]
        self.assertGreater(len(totals), 1)
        self.assertEqual({t[0] for t in totals}, {"5"})
        held = [int(s) * 1000 + int(ms) for _, s, ms, _ in totals]
        sent = [int(b) for *_, b in totals]
        self.assertEqual(held, sorted(held))
        self.assertEqual(sent, sorted(sent))
        self.assertEqual(sent[-1], received)
        closes = daemon.wait_for(CLOSE, count=5)
        self.assertEqual(len(closes), 5)
        self.assertEqual(sum(int(m["bytes"]) for m in closes), received)
        self.assertEqual(daemon.errors, [])
        self.assertTrue(re.fullmatch(TOTALS, daemon.messages()[-1]))

    def test_a_reload_and_a_totals_request_pending_together_come_in_that_order(self):
        """Stopped, the daemon serves neither signal until both are pending;
        the pass that then serves them reloads first, so the TOTALS line
        follows the settings read."""
        port = free_port()
        self.write(f"Port {port}\nDelay 100\n")
        daemon = self.start_from_file(port, "-v")
        daemon.ready()
        self.write(f"Port {port}\nDelay 200\n")
        daemon.signal(signal.SIGSTOP)
        wait_until(lambda: is_stopped(daemon.process.pid), "stop of the daemon", interval=0.01)
        daemon.signal(signal.SIGHUP)
        daemon.signal(signal.SIGUSR1)
        daemon.signal(signal.SIGCONT)
        daemon.wait_for(TOTALS)
        messages = daemon.messages()
        totals = next(i for i, m in enumerate(messages) if re.fullmatch(TOTALS, m))
        self.assertIn("Delay 200", messages[:totals])
        self.assertEqual(daemon.stop(), 0)

    def test_hang_ups_during_a_reload_bring_exactly_one_more(self):
        port = free_port()
        # Long enough that a reload can be caught reading it.
        self.write(f"Port {port}\n" + "Delay 100\n" * 500_000)
        daemon = self.start_from_file(port, "-v")
        daemon.ready()
        # Nobody held from here: the wait has no end of its own, so only the
        # signals pending from the reload can bring the next one.
        daemon.wait_for(CLOSE)
        if open_files(daemon.process.pid) is None:
            self.skipTest(f"cannot see a reload reading its file: {UNTOLD}")
        for _ in range(10):
            reloads = len(daemon.wait_for(r"BindFamily .*"))
            daemon.signal(signal.SIGHUP)
            if self.caught_reading(daemon, reloads):
                break
        else:
            self.fail("never caught a reload reading its file")
        for _ in range(5):
            daemon.signal(signal.SIGHUP)
        daemon.wait_for(r"BindFamily .*", count=reloads + 2)
        daemon.signal(signal.SIGUSR1)  # served after any further reload
        daemon.wait_for(TOTALS)
        before_totals = daemon.messages()[:next(
            i for i, m in enumerate(daemon.messages()) if m.startswith("TOTALS"))]
        self.assertEqual(sum(m.startswith("BindFamily") for m in before_totals), reloads + 2)
        self.assertEqual(daemon.stop(), 0)

    def caught_reading(self, daemon, reloads):
        """Waits until the daemon has the file open for a reload; False if the
        reload ended unseen."""
        def seen():
            if self.config in (open_files(daemon.process.pid) or {}).values():
                return "reading"
            if sum(m.startswith("BindFamily") for m in daemon.messages()) > reloads:
                return "ended"
            return None
        return wait_until(seen, "reload", interval=0.001) == "reading"

    def test_a_named_pipe_with_a_writer_never_holds_up_a_reload(self):
        fifo = os.path.join(os.path.dirname(self.config), "fifo")
        os.mkfifo(fifo)
        daemon = self.start("-v", "-d", "100", "-f", fifo)
        reader = LineReader(self.connect(daemon.port))
        writer = os.open(fifo, os.O_RDWR)  # a writer that never writes nor closes
        self.addCleanup(os.close, writer)
        self.reload(daemon, 2)
        self.assertTrue(all(is_valid_line(line) for _, line in reader.lines(5)))
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(daemon.errors, [])
