"""mirebox-stats on the real daemon's log: followed as it grows and rotates,
served to Prometheus by the real node_exporter, and checked against what the
clients did and against the daemon's own TOTALS line."""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest
import urllib.error
import urllib.request

from support.daemon import (BINARY, CLOSE, ISOLATED, ISOLATED_REASON, LIBFAKETIME, STATS, TOTALS,
                            WRAPPER, Daemon, LineReader, TarpitTest, milliseconds, run_stats)
from support.metrics import parse_metrics, read_metrics, wait_for_metrics
from support.network import free_port
from support.scratch import scratch_folder
from support.skips import needs, needs_command
from support.waiting import DEADLINE, wait_in_file, wait_until

NODE_EXPORTER = shutil.which("prometheus-node-exporter")


class LoggedDaemon(Daemon):
    """A daemon whose standard output is also appended, line by line as it
    comes, to a log file that can be rotated the way newsyslog or logrotate
    does: renamed, and a new file started under the old name."""

    def __init__(self, log_path, *args, **options):
        self.log_path = log_path
        self._log_lock = threading.Lock()
        self._log = open(log_path, "ab", buffering=0)  # pylint: disable=consider-using-with
        super().__init__(*args, **options)

    def _collect(self, stream, is_log):
        super()._collect(self._copied(stream) if is_log else stream, is_log)

    def _copied(self, stream):
        for raw in stream:
            with self._log_lock:
                self._log.write(raw)
            yield raw
        with self._log_lock:
            self._log.close()

    def rotate(self, suffix=".0"):
        with self._log_lock:
            self._log.close()
            os.rename(self.log_path, self.log_path + suffix)
            self._log = open(self.log_path, "ab", buffering=0)  # pylint: disable=consider-using-with


class NodeExporter:
    """Debian's node_exporter with only the textfile collector, on loopback."""

    def __init__(self, directory, log_path):
        self.port = free_port()
        # Its own log goes to a file, which no pipe left unread can stall.
        self.log = open(log_path, "wb")  # pylint: disable=consider-using-with
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            [NODE_EXPORTER, f"--web.listen-address=127.0.0.1:{self.port}",
             "--collector.disable-defaults", "--collector.textfile",
             f"--collector.textfile.directory={directory}"],
            stdout=subprocess.DEVNULL, stderr=self.log, stdin=subprocess.DEVNULL)
        self.log_path = log_path

    def scrape(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/metrics",
                                    timeout=DEADLINE) as response:
            return parse_metrics(response.read().decode())

    def wait_until(self, expected):
        """Scrapes until every name in `expected` has its value; returns the scrape."""
        last = {}

        def served():
            try:
                last["samples"] = self.scrape()
            except (urllib.error.URLError, ConnectionError):
                return None  # not listening yet
            samples = last["samples"]
            return samples if all(samples.get(name) == value
                                  for name, value in expected.items()) else None

        def why():
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                errors = log.read()[-2000:]
            samples = last.get("samples", {})
            return (f"scrape serving {expected}; last scrape: "
                    f"{ {k: v for k, v in samples.items() if 'mirebox' in k} }; "
                    f"node_exporter said: {errors}")
        return wait_until(served, why, interval=0.2)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=DEADLINE)
        finally:
            self.log.close()


class StatsTest(TarpitTest):
    def setUp(self):
        self.directory = scratch_folder(self)

    def start_logged(self, log_path, *args, **options):
        daemon = LoggedDaemon(log_path, *args, **options)
        self.addCleanup(daemon.kill)
        return daemon

    def start_stats(self, *args, **options):
        stats = subprocess.Popen([STATS, *args], text=True,  # pylint: disable=consider-using-with
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, **options)

        def end():
            if stats.poll() is None:
                stats.kill()
            stats.communicate()
        self.addCleanup(end)
        return stats


class Following(StatsTest):
    @needs_command("prometheus-node-exporter", "prometheus-node-exporter")
    def test_metrics_served_by_node_exporter_follow_the_clients_and_agree_with_totals(self):
        log = os.path.join(self.directory, "mirebox.log")
        textfile = os.path.join(self.directory, "textfile")
        os.mkdir(textfile)
        prom = os.path.join(textfile, "mirebox.prom")
        # Started before the daemon: the log does not exist yet, and is waited for.
        stats = self.start_stats("--follow", "--interval", "1", "--prometheus", prom, log)
        exporter = NodeExporter(textfile, os.path.join(self.directory, "node_exporter.log"))
        self.addCleanup(exporter.stop)
        daemon = self.start_logged(log, "-v", "-d", "100")

        families = [socket.AF_INET] * 3 + [socket.AF_INET6]
        hosts = {socket.AF_INET: "127.0.0.1", socket.AF_INET6: "::1"}
        clients = [self.connect(daemon.port, host=hosts[family], family=family)
                   for family in families]
        daemon.wait_for(r"ACCEPT .*", count=4)
        readers = [LineReader(client) for client in clients]
        for reader in readers:
            reader.lines(2)
        # Two leave: one IPv4, and the IPv6 one.
        for gone in (clients[0], clients[3]):
            gone.close()
        daemon.wait_for(CLOSE, count=2)
        exporter.wait_until({"mirebox_connections_total": 4, "mirebox_clients_held": 2,
                             "mirebox_hold_duration_seconds_count": 2,
                             "mirebox_starts_total": 1, "node_textfile_scrape_error": 0})

        # Rotated: what follows lands in a new file under the same name.
        daemon.rotate()
        late = self.connect(daemon.port)
        readers.append(LineReader(late))
        daemon.wait_for(r"ACCEPT .*", count=5)
        exporter.wait_until({"mirebox_connections_total": 5, "mirebox_clients_held": 3})

        self.assertEqual(daemon.stop(), 0)
        for reader in (readers[1], readers[2], readers[4]):
            reader.drain()
        closes = daemon.wait_for(CLOSE, count=5)
        totals = daemon.wait_for(TOTALS)[-1]
        self.assertEqual(int(totals["connects"]), 5)
        # Those held to the end received every byte the daemon counted for them.
        sent_to = {int(m["port"]): int(m["bytes"]) for m in closes}
        for reader in (readers[1], readers[2], readers[4]):
            self.assertEqual(sent_to[reader.sock.getsockname()[1]], reader.received)
        held_seconds = milliseconds(totals) / 1000
        self.assertEqual(sum(milliseconds(m) for m in closes), milliseconds(totals))

        served = exporter.wait_until({
            "mirebox_connections_total": int(totals["connects"]),
            "mirebox_clients_held": 0,
            "mirebox_hold_duration_seconds_count": 5,
            'mirebox_hold_duration_seconds_bucket{le="+Inf"}': 5,
            "mirebox_hold_duration_seconds_sum": held_seconds,
            "mirebox_sent_bytes_total": int(totals["bytes"]),
            "mirebox_descriptor_exhaustions_total": 0,
            "mirebox_starts_total": 1,
            "mirebox_unparsed_lines_total": 0,
            "node_textfile_scrape_error": 0})
        self.assertLess(abs(served["mirebox_last_event_timestamp_seconds"] - time.time()),
                        DEADLINE * 4)
        # The bucket of a minute holds the releases the daemon timed at a minute or less.
        self.assertEqual(served['mirebox_hold_duration_seconds_bucket{le="60"}'],
                         sum(milliseconds(m) <= 60000 for m in closes))
        self.assertFalse([name for name in os.listdir(textfile) if name != "mirebox.prom"])

        # Stopped, the follower reads what is left, writes the metrics once
        # more and prints the report.
        stats.send_signal(signal.SIGTERM)
        report, errors = stats.communicate(timeout=DEADLINE)
        self.assertEqual(stats.returncode, 0, errors)
        self.assertIn("Connections   5 from 2 sources (1 came back), 5 released\n", report)
        self.assertIn("Held now      0 clients\n", report)
        self.assertIn(f"({totals['seconds']}.{totals['ms']} s)", report)
        self.assertIn(f"Sent          {totals['bytes']} bytes", report)
        self.assertIn("Daemon        1 start, 0 reloads, 0 times out of descriptors\n", report)
        self.assertRegex(report, r"Top sources by connections\n  127\.0\.0\.1 +4 connections")
        self.assertNotIn("::ffff:", report)

        # The same log, both files, as JSON.
        summary = json.loads(run_stats("--json", log + ".0", log))
        self.assertEqual(summary["connections"], 5)
        self.assertEqual(summary["distinct_sources"], 2)
        self.assertEqual(summary["clients_held"], 0)
        self.assertEqual(summary["held_seconds"], held_seconds)
        self.assertEqual(summary["sent_bytes"], int(totals["bytes"]))
        self.assertEqual(summary["lines"]["unparsed"], 0)
        self.assertEqual(summary["daemon"]["last_totals"],
                         {"connects": 5, "seconds": held_seconds, "bytes": int(totals["bytes"])})
        self.assertEqual([(s["source"], s["connections"]) for s in summary["top_by_connections"]],
                         [("127.0.0.1", 4), ("::1", 1)])
        self.assertEqual(sum(summary["connections_by_hour_utc"]), 5)

    @unittest.skipIf(ISOLATED, ISOLATED_REASON)
    @needs("faketime", LIBFAKETIME, "libfaketime is not installed")
    def test_a_follower_that_reads_nothing_of_the_daemon_says_so_once(self):
        """Its all-zero metrics file, rewritten for ever, would look fresh to
        an alert on the file's age. Its clocks run 600 times fast here, so ten
        minutes pass in one second."""
        cases = [("Dec 10 03:00:47 gate sshd[812]: Accepted publickey for root\n", 1),
                 # Lines that name no host count for the daemon of standard
                 # output, but are none of its own.
                 ("-- No entries --\nmake: Nothing to be done for 'all'.\n", 1),
                 ("2026-12-10T03:00:47.123Z Port 2222\n", 0)]
        for text, said in cases:
            with self.subTest(text=text):
                log = os.path.join(self.directory, "mirebox.log")
                with open(log, "w", encoding="ascii") as lines:
                    lines.write(text)
                stats = self.start_stats(
                    "--follow", "--quiet", "--prometheus", os.path.join(self.directory, "m.prom"),
                    log, env={**os.environ, "LD_PRELOAD": LIBFAKETIME, "FAKETIME": "+0 x600"})
                time.sleep(5)  # fifty minutes for the follower
                stats.send_signal(signal.SIGTERM)
                _, errors = stats.communicate(timeout=DEADLINE)
                self.assertEqual(stats.returncode, 0, errors)
                self.assertEqual(errors.count("mirebox-stats: no line of the daemon's in 10 minutes"),
                                 said, errors)

    def test_a_file_not_there_yet_is_waited_for_with_metrics_at_zero(self):
        """As on a host where the follower starts before the log is made: the
        metrics are there meanwhile, so an alert on their age can work."""
        log = os.path.join(self.directory, "mirebox.log")
        prom = os.path.join(self.directory, "mirebox.prom")
        stats = self.start_stats("--follow", "--interval", "1", "--quiet", "--prometheus", prom,
                                 log)
        wait_for_metrics(prom, {"mirebox_connections_total": 0})
        with open(log, "w", encoding="ascii") as lines:
            lines.write("2026-12-10T03:00:47.123Z ACCEPT host=::1 port=1 fd=4 n=1/4096\n")
        wait_for_metrics(prom, {"mirebox_connections_total": 1})
        stats.send_signal(signal.SIGTERM)
        _, errors = stats.communicate(timeout=DEADLINE)
        self.assertEqual(stats.returncode, 0, errors)
        self.assertEqual(errors, f"mirebox-stats: {log}: No such file or directory; "
                                 "waiting for it\n")

    def test_follows_a_pipe_with_the_trace_until_its_writer_goes(self):
        prom = os.path.join(self.directory, "mirebox.prom")
        port = free_port()
        daemon = subprocess.Popen(  # pylint: disable=consider-using-with
            [*WRAPPER, BINARY, "-v", "-v", "-p", str(port), "-d", "100"], stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: daemon.poll() is None and daemon.kill())
        stats = self.start_stats("--follow", "--json", "--interval", "1", "--prometheus", prom,
                                 stdin=daemon.stdout)
        daemon.stdout.close()  # the follower holds the only reading end
        client = self.connect(port)
        LineReader(client).lines(1)
        samples = wait_for_metrics(prom, {"mirebox_clients_held": 1})
        self.assertEqual(samples["mirebox_connections_total"], 1)

        daemon.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(timeout=DEADLINE), 0)
        # No signal for the follower: the end of the pipe ends it.
        report, errors = stats.communicate(timeout=DEADLINE)
        self.assertEqual(stats.returncode, 0, errors)
        summary = json.loads(report)
        self.assertEqual((summary["connections"], summary["releases"], summary["clients_held"]),
                         (1, 1, 0))
        self.assertEqual(summary["held_seconds"], summary["daemon"]["last_totals"]["seconds"])
        # Every line of the socket-call trace is known as the daemon's.
        self.assertEqual(summary["lines"]["unparsed"], 0)
        self.assertGreater(summary["lines"]["daemon_other"], 10)
        with open(prom, encoding="ascii") as metrics:
            self.assertEqual(parse_metrics(metrics.read())["mirebox_clients_held"], 0)


    def test_a_piped_backlog_is_read_before_the_first_metrics(self):
        """As when the follower starts again on `journalctl -n all -f`: the
        first metrics file counts the whole backlog, never a part of it, and
        comes whether the pipe then falls silent or new lines never stop."""
        backlog = 20000  # a megabyte and more: many reads of the pipe
        text = "".join(f"2020-01-01T00:00:00.000Z ACCEPT host=2001:db8::{i:x} port=1 fd=4 "
                       f"n=1/4096\n" for i in range(backlog)).encode()
        for busy in (False, True):
            with self.subTest(busy=busy):
                prom = os.path.join(self.directory, f"busy-{busy}.prom")
                reading, writing = os.pipe()
                # Some of it in the pipe before the follower looks.
                ahead = os.write(writing, text[:32768])
                stats = self.start_stats("--follow", "--quiet", "--interval", "86400",
                                         "--prometheus", prom, stdin=reading)
                os.close(reading)
                stop = threading.Event()
                live = []

                def write(writing=writing, ahead=ahead, stop=stop, live=live, busy=busy):
                    view = memoryview(text)[ahead:]
                    while view:
                        view = view[os.write(writing, view):]
                    # Then silence, or a busy daemon's lines, never a second apart.
                    while not stop.wait(0.02 if busy else None):
                        stamp = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())
                        os.write(writing, f"{stamp} ACCEPT host=192.0.2.7 port=1 fd=4 "
                                 "n=1/4096\n".encode())
                        live.append(stamp)
                    os.close(writing)

                writer = threading.Thread(target=write)
                writer.start()
                self.addCleanup(writer.join)
                self.addCleanup(stop.set)
                first = wait_until(lambda: read_metrics(prom), "metrics while following",
                                   interval=0.01)["mirebox_connections_total"]
                self.assertGreaterEqual(first, backlog)
                stop.set()
                writer.join()
                # The writer gone, the follower ends with the last metrics.
                _, errors = stats.communicate(timeout=DEADLINE)
                self.assertEqual(stats.returncode, 0, errors)
                with open(prom, encoding="ascii") as metrics:
                    self.assertEqual(parse_metrics(metrics.read())["mirebox_connections_total"],
                                     backlog + len(live))

    def test_a_metrics_file_that_cannot_be_written_is_reported_once(self):
        log = os.path.join(self.directory, "mirebox.log")
        with open(log, "w", encoding="ascii") as text:
            text.write("2026-12-10T03:00:47.123Z ACCEPT host=::1 port=1 fd=4 n=1/4096\n")
        textfile = os.path.join(self.directory, "not-yet")
        prom = os.path.join(textfile, "mirebox.prom")
        stats = self.start_stats("--follow", "--quiet", "--interval", "1", "--prometheus", prom,
                                 log)
        # The first failure is said at once...
        readable, _, _ = select.select([stats.stderr], [], [], DEADLINE)
        self.assertTrue(readable, "no complaint")
        self.assertEqual(stats.stderr.readline(),
                         f"mirebox-stats: cannot create a file beside {prom}: "
                         "No such file or directory\n")
        # ...and the next one, an interval later, not.
        time.sleep(1.5)
        os.mkdir(textfile)
        wait_until(lambda: os.path.exists(prom), "metrics once the folder is there")
        stats.send_signal(signal.SIGTERM)
        _, errors = stats.communicate(timeout=DEADLINE)
        self.assertEqual(stats.returncode, 0, errors)
        self.assertEqual(errors, "")
        with open(prom, encoding="ascii") as metrics:
            self.assertEqual(parse_metrics(metrics.read())["mirebox_clients_held"], 1)


class Rotation(StatsTest):
    def test_a_log_copied_and_truncated_under_the_daemon_loses_no_event(self):
        """The daemon writes through > (no O_APPEND), and a rotation copies
        the file away and truncates it, as logrotate's copytruncate does: the
        daemon's next line lands at its old offset, after a hole of NULs."""
        log = os.path.join(self.directory, "mirebox.log")
        with open(log, "wb") as output:
            daemon = self.start("-v", "-d", "100", stdout=output.fileno())
        copies = []
        for rotation in range(3):
            self.connect(daemon.port)
            wait_in_file(log, r" ACCEPT .* n=\d+/4096$", count=1)
            copies.append(f"{log}.{rotation}")
            shutil.copyfile(log, copies[-1])
            os.truncate(log, 0)
        self.connect(daemon.port)
        wait_in_file(log, r" ACCEPT .* n=4/4096$")
        self.assertEqual(daemon.stop(), 0)
        with open(log, "rb") as text:
            self.assertTrue(text.read().startswith(b"\0"), "no hole: the test shows nothing")
        summary = json.loads(run_stats("--json", *copies, log))
        self.assertEqual((summary["connections"], summary["releases"]), (4, 4))
        self.assertEqual(summary["lines"]["unparsed"], 0)
        self.assertEqual(summary["daemon"]["starts"], 1)


class Sources(StatsTest):
    @unittest.skipUnless(os.path.exists("/proc/self/status"), "no /proc on this system")
    def test_no_source_is_kept_when_no_report_is_written(self):
        """A follower with --quiet --prometheus, as the service runs it, meets
        a scanner rotating through a /64: its memory must not grow with the
        addresses, which only the report would show."""
        count = 300000  # a table of 16 MB, and 8 MB more while it doubles
        text = "".join(f"2026-12-10T03:00:47.123Z ACCEPT host=2001:db8::{i >> 16:x}:{i & 0xffff:x} "
                       f"port=1 fd=4 n=1/4096\n" for i in range(count))
        peak_kib = {}
        for quiet in (True, False):
            prom = os.path.join(self.directory, f"quiet-{quiet}.prom")
            stats = self.start_stats("--follow", "--interval", "1", "--prometheus", prom,
                                     "--quiet" if quiet else "--json", stdin=subprocess.PIPE)
            stats.stdin.write(text)  # read as it goes: only the report waits for the end
            stats.stdin.flush()
            wait_for_metrics(prom, {"mirebox_connections_total": count})
            # The peak of the program itself: a child's rusage would count the
            # test's own memory, shared until the exec.
            with open(f"/proc/{stats.pid}/status", encoding="ascii") as status:
                peak_kib[quiet] = int(re.search(r"VmHWM:\s+(\d+) kB", status.read())[1])
            report, errors = stats.communicate(timeout=DEADLINE)
            self.assertEqual(stats.returncode, 0, errors)
            if not quiet:
                self.assertEqual(json.loads(report)["distinct_sources"], count)
        self.assertGreater(peak_kib[False] - peak_kib[True], 12 * 1024, peak_kib)


class Restarts(StatsTest):
    def test_starts_reloads_and_held_clients_across_two_runs(self):
        log = os.path.join(self.directory, "mirebox.log")
        first = self.start_logged(log, "-v", "-d", "100")
        held = self.connect(first.port)
        first.wait_for(r"ACCEPT .* n=1/4096")
        first.signal(signal.SIGUSR1)   # TOTALS while a client is held...
        first.wait_for(TOTALS)
        first.signal(signal.SIGHUP)    # ...then a reload: not a restart
        first.wait_for(r"BindFamily .*", count=2)
        self.assertEqual(first.stop(), 0)
        LineReader(held).drain()
        second = self.start_logged(log, "-v", "-d", "100", port=first.port)
        second.ready()                 # one connection, held until the stop
        second.wait_for(r"ACCEPT .*")
        self.assertEqual(second.stop(), 0)
        totals = second.wait_for(TOTALS)[-1]

        prom = os.path.join(self.directory, "mirebox.prom")
        with open(log, encoding="ascii") as text:
            summary = json.loads(run_stats("--json", "--prometheus", prom, stdin=text.read()))
        daemon = summary["daemon"]
        self.assertEqual((daemon["starts"], daemon["reloads"]), (2, 1))
        self.assertEqual((summary["connections"], summary["clients_held"]), (2, 0))
        self.assertEqual(summary["distinct_sources"], 1)
        self.assertEqual(daemon["last_totals"]["seconds"], milliseconds(totals) / 1000)
        with open(prom, encoding="ascii") as metrics:
            samples = parse_metrics(metrics.read())
        self.assertEqual((samples["mirebox_starts_total"], samples["mirebox_reloads_total"]),
                         (2, 1))


def promtool_check(prom):
    """promtool reads the file as Prometheus would, and lints its names,
    types and help: its status, output and complaints."""
    with open(prom, encoding="ascii") as metrics:
        result = subprocess.run(["promtool", "check", "metrics"], stdin=metrics,
                                capture_output=True, text=True, timeout=DEADLINE)
    return result.returncode, result.stdout, result.stderr


class Metrics(unittest.TestCase):
    @needs_command("prometheus", "promtool")
    def test_the_metrics_pass_prometheus_own_check(self):
        log = "".join(f"2026-12-10T03:00:{second:02}.123Z {message}\n" for second, message in enumerate([
            "Port 2222", "Delay 10000", "MaxLineLength 32", "MaxClients 4096",
            "BindFamily IPv4 Mapped IPv6", "ACCEPT host=::ffff:192.0.2.7 port=1 fd=4 n=1/4096",
            "CLOSE host=::ffff:192.0.2.7 port=1 fd=4 time=2.500 bytes=99", "MaxClients 0",
            "TOTALS connects=1 seconds=2.500 bytes=99"]))
        prom = os.path.join(scratch_folder(self), "mirebox.prom")
        run_stats("--quiet", "--prometheus", prom, stdin=log)
        self.assertEqual(promtool_check(prom), (0, "", ""))

    @needs_command("prometheus", "promtool")
    def test_the_most_hosts_with_the_longest_names_make_a_bounded_file(self):
        """Whoever can send to a log server can make up a host name for every
        line: at most 4096 hosts are kept, with names of at most 255 bytes, so
        the file stays under 29 MB (a node_exporter scrape of it takes about a
        second). Longer names and bytes beyond ASCII name no host at all."""
        def line(host):
            return b"2026-12-10T03:00:00.000+00:00 " + host + b" mirebox[7]: Port 22\n"
        log = b"".join(line(f"{number:04}".ljust(255, "h").encode()) for number in range(4097))
        log += line(b"h" * 256) + line(b"\xff" * 4000)
        directory = scratch_folder(self)
        prom = os.path.join(directory, "mirebox.prom")
        with open(os.path.join(directory, "fleet.log"), "wb") as out:
            out.write(log)
        run_stats("--quiet", "--prometheus", prom, out.name)
        self.assertEqual(promtool_check(prom), (0, "", ""))
        self.assertLess(os.path.getsize(prom), 29_000_000)
        samples = read_metrics(prom)
        self.assertEqual(sum(name.startswith("mirebox_starts_total{") for name in samples), 4096)
        self.assertEqual(samples["mirebox_log_lines_past_host_limit_total"], 1)


class CommandLine(unittest.TestCase):
    def test_bad_options_and_unreadable_files(self):
        for args, message in ((["--interval", "0"], "mirebox-stats: Invalid interval: 0\n"),
                              (["-n", "x"], "mirebox-stats: Invalid count: x\n"),
                              (["-F", "a", "b"], "mirebox-stats: --follow reads one file\n")):
            with self.subTest(args=args):
                result = subprocess.run([STATS, *args], capture_output=True, text=True,
                                        timeout=DEADLINE, check=False)
                self.assertEqual((result.returncode, result.stderr, result.stdout),
                                 (1, message, ""))
        result = subprocess.run([STATS, "--bogus"], capture_output=True, text=True,
                                timeout=DEADLINE, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("usage: mirebox-stats", result.stderr)
        # A file that cannot be read is reported; the others still count.
        result = subprocess.run([STATS, "-j", "/nonexistent/mirebox.log", "-"],
                                input="2026-12-10T03:00:47.123Z ACCEPT host=::1 port=1 fd=4 n=1/9\n",
                                capture_output=True, text=True, timeout=DEADLINE, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("/nonexistent/mirebox.log: No such file or directory", result.stderr)
        self.assertEqual(json.loads(result.stdout)["connections"], 1)

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full on this system")
    def test_a_report_that_cannot_be_written_fails(self):
        for args in ([], ["--json"]):
            with self.subTest(args=args), open("/dev/full", "w", encoding="ascii") as full:
                result = subprocess.run(
                    [STATS, *args], input="2026-12-10T03:00:47.123Z Port 22\n", stdout=full,
                    stderr=subprocess.PIPE, text=True, timeout=DEADLINE, check=False)
                self.assertEqual((result.returncode, result.stderr),
                                 (1, "mirebox-stats: cannot write the report: "
                                     "No space left on device\n"))


if __name__ == "__main__":
    unittest.main()
