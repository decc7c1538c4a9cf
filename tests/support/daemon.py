"""The daemon under test: the binary CTest names, run with its output
collected as it comes, its log lines and help text, and a TestCase that
cleans up every daemon and socket it made."""

import glob
import os
import re
import signal
import socket
import subprocess
import threading
import time
import unittest

from support.network import connect, free_port
from support.skips import PLAIN_BUILD_PREFIX, find_program
from support.waiting import DEADLINE

BINARY = os.environ.get("MIREBOX_BINARY", "")
# The project's version, as CMake's project() gives it to the build.
VERSION = os.environ.get("MIREBOX_VERSION", "")
# The path this test build of the daemon reads at start-up, in place of the
# installed one, so tests never touch a real configuration. Its help text
# names it.
DEFAULT_CONFIG = os.environ.get("MIREBOX_DEFAULT_CONFIG", "")
# A command the daemon runs under, such as valgrind.
WRAPPER = os.environ.get("MIREBOX_WRAPPER", "").split()
# Sanitizer runtimes must come first in a process, so nothing can be preloaded
# into a sanitized daemon, and a daemon under valgrind needs descriptors of its
# own: tests that preload a library or set tight limits skip then.
SANITIZED = os.environ.get("MIREBOX_SANITIZED", "0") == "1"
ISOLATED = SANITIZED or bool(WRAPPER)
ISOLATED_REASON = (f"{PLAIN_BUILD_PREFIX} (make test): preloads a library or sets limits "
                   "that a sanitized or valgrind-wrapped daemon cannot take")
# libfaketime, which moves a program's clocks (needs package faketime).
LIBFAKETIME = next(iter(sorted(
    glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1")
    + glob.glob("/usr/local/lib/faketime/libfaketime.so.1"))), None)


def help_text(default_config):
    """The help text of a daemon built to read default_config at start-up."""
    return (
        "Usage: mirebox [-vh] [-46] [-d MS] [-f CONFIG] [-l LEN] [-m LIMIT] [-p PORT]\n"
        "  -4        Bind to IPv4 only\n"
        "  -6        Bind to IPv6 only\n"
        "  -d INT    Message millisecond delay [10000]\n"
        f"  -f        Set and load config file [{default_config}]\n"
        "  -h        Print this help message and exit\n"
        "  -l INT    Maximum banner line length (3-255) [32]\n"
        "  -m INT    Maximum number of clients [4096]\n"
        "  -p INT    Listening port [2222]\n"
        "  -v        Print diagnostics to standard output (repeatable)\n"
        "  -V        Print version information and exit\n"
    )


HELP = help_text(DEFAULT_CONFIG)

# The CLOSE and TOTALS lines of a wall clock that only runs forward.
CLOSE = (r"CLOSE host=(?P<host>\S*) port=(?P<port>\d+) fd=(?P<fd>\d+) "
         r"time=(?P<seconds>\d+)\.(?P<ms>\d{3}) bytes=(?P<bytes>\d+)")
TOTALS = (r"TOTALS connects=(?P<connects>\d+) seconds=(?P<seconds>\d+)\.(?P<ms>\d{3}) "
          r"bytes=(?P<bytes>\d+)")

LOG_LINE = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (.*)")


def run(*args, timeout=DEADLINE):
    """Runs the daemon to completion, for options that end it at once."""
    return subprocess.run([*WRAPPER, BINARY, *args], capture_output=True, text=True,
                          timeout=timeout)


class Daemon:
    """One running daemon; its stdout and stderr are collected as they come."""

    def __init__(self, *args, port=None, port_option=True, preexec_fn=None, wrapper=(),
                 env=None, stdout=None):
        """Starts the daemon with -p and a free port, or `port`. Without the
        port option, `port` is where the daemon's own settings put it. With
        `stdout` (a descriptor) the test reads the log itself."""
        self.port = port if port is not None else free_port()
        port_option = ["-p", str(self.port)] if port_option else []
        command = [*(wrapper or WRAPPER), BINARY, *port_option, *args]
        self.process = subprocess.Popen(command,
                                        stdout=subprocess.PIPE if stdout is None else stdout,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                        preexec_fn=preexec_fn, env={**os.environ, **(env or {})})
        self.lines = []   # (timestamp text, message, arrival time) from stdout
        self.errors = []  # lines from stderr
        self._changed = threading.Condition(threading.RLock())
        streams = [(self.process.stderr, False)]
        if self.process.stdout is not None:
            streams.append((self.process.stdout, True))
        self._readers = [threading.Thread(target=self._collect, args=stream, daemon=True)
                         for stream in streams]
        for reader in self._readers:
            reader.start()

    def _collect(self, stream, is_log):
        for raw in stream:
            text = raw.decode("utf-8", "replace").rstrip("\n")
            with self._changed:
                if is_log:
                    match = LOG_LINE.fullmatch(text)
                    stamp, message = match.groups() if match else ("", text)
                    self.lines.append((stamp, message, time.monotonic()))
                else:
                    self.errors.append(text)
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def messages(self):
        with self._changed:
            return [message for _, message, _ in self.lines]

    def wait_for(self, pattern, count=1, timeout=DEADLINE, errors=False):
        """Waits until `count` lines match `pattern`; returns their matches."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        found = []
        scanned = 0
        with self._changed:
            while True:
                source = self.errors if errors else self.lines
                for entry in source[scanned:]:
                    match = regex.fullmatch(entry if errors else entry[1])
                    if match:
                        found.append(match)
                scanned = len(source)
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._alive_readers()):
                    raise AssertionError(
                        f"no {count} lines matching {pattern!r}; stdout: {self.messages()[-40:]!r}; "
                        f"stderr: {self.errors[-10:]!r}")
                self._changed.wait(min(left, 0.2))

    def _alive_readers(self):
        return any(reader.is_alive() for reader in self._readers)

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self, timeout=DEADLINE):
        """Orderly stop with SIGTERM; returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.finish(timeout)

    def finish(self, timeout=DEADLINE):
        status = self.process.wait(timeout=timeout)
        for reader in self._readers:
            reader.join(timeout)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
        return status

    def ready(self, family=socket.AF_INET, host="127.0.0.1"):
        """Waits until the daemon listens, and so has its signal handlers.
        Costs one connection, which the daemon holds until it stops."""
        connect(self.port, host=host, family=family).close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.finish()


class LineReader:
    """Reads CR LF lines from a client socket and counts every byte received."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b""
        self.received = 0

    def lines(self, count, timeout=DEADLINE):
        """The next `count` lines, as (arrival time, line with CR LF) pairs."""
        self.sock.settimeout(timeout)
        lines = []
        while len(lines) < count:
            while b"\n" in self.pending and len(lines) < count:
                line, self.pending = self.pending.split(b"\n", 1)
                lines.append((time.monotonic(), line + b"\n"))
            if len(lines) == count:
                break
            chunk = self.sock.recv(4096)
            if not chunk:
                raise AssertionError(f"connection closed after {len(lines)} lines")
            self.received += len(chunk)
            self.pending += chunk
        return lines

    def drain(self, timeout=DEADLINE):
        """Reads until the daemon closes the connection; returns all bytes received."""
        self.sock.settimeout(timeout)
        while chunk := self.sock.recv(65536):
            self.received += len(chunk)
        return self.received


def read_lines(sock, count, timeout=DEADLINE):
    """Reads `count` lines from a socket nothing else reads."""
    return LineReader(sock).lines(count, timeout)


def is_valid_line(line, max_length=32):
    """A line an SSH client takes as pre-banner text."""
    return (3 <= len(line) <= max_length and line.endswith(b"\r\n")
            and all(0x20 <= byte <= 0x7E for byte in line[:-2])
            and not line.startswith(b"SSH-"))


def settings_of(*args, port=None, port_option=True):
    """The five settings lines a daemon started with args logs, then stops it."""
    daemon = Daemon("-v", *args, port=port, port_option=port_option)
    try:
        daemon.wait_for(r"BindFamily .*")
        port, family = daemon.messages()[0], daemon.messages()[4]
        daemon.port = int(port.split()[1])
        daemon.ready(*((socket.AF_INET6, "::1") if family.endswith("IPv6 Only") else ()))
    finally:
        status = daemon.stop()
    assert status == 0, (status, daemon.errors)
    return daemon.messages()[:5]


def write_config(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w", encoding="ascii") as config:
        config.write(text)
    return path


class TarpitTest(unittest.TestCase):
    """A test whose daemons and client sockets are all cleaned up after it."""

    def start(self, *args, **options):
        daemon = Daemon(*args, **options)
        self.addCleanup(daemon.kill)
        return daemon

    def connect(self, port, **options):
        sock = connect(port, **options)
        self.addCleanup(sock.close)
        return sock

    def private_dev(self, dev, network=False, program=None):
        """A wrapper that runs the daemon in a mount namespace of its own with
        the folder `dev` over /dev, so its /dev/log is the test's; with
        `network`, in a network namespace of its own as well; with `program`,
        that path runs in place of the binary (a name of its own for the
        system log). Skips the test where such namespaces are refused."""
        unshare = ["unshare", "--mount", *(["--net"] if network else []), "--propagation",
                   "private"]
        script = (f"{find_program('ip') or 'ip'} link set lo up && " if network else "") + \
            'mount --bind "$0" /dev && '
        if program is None:
            wrapper = [*unshare, "sh", "-c", script + 'exec "$@"', dev]
        else:
            wrapper = [*unshare, "sh", "-c", script + 'program=$1 && shift 2 && exec "$program" "$@"',
                       dev, program]
        probe = self.start("-V", wrapper=wrapper)
        if probe.finish() != 0:
            namespaces = "network and mount namespaces" if network else "mount namespace"
            self.skipTest(f"no private {namespaces} here: {probe.errors}")
        return wrapper


# mirebox-stats as built, which reads the daemon's log.
STATS = os.environ.get("MIREBOX_STATS_BINARY", "")


def run_stats(*args, stdin=None):
    """mirebox-stats to its end, which must be a success; its standard output."""
    result = subprocess.run([STATS, *args], input=stdin, capture_output=True, text=True,
                            timeout=DEADLINE, check=False)
    assert result.returncode == 0, (result.returncode, result.stderr)
    return result.stdout


def milliseconds(match):
    """The time of a CLOSE or TOTALS line matched by CLOSE or TOTALS."""
    return int(match["seconds"]) * 1000 + int(match["ms"])
