"""Ports, connections and listening sockets on loopback, and sockets made in
another process's network namespace."""

import contextlib
import ctypes
import os
import random
import socket
import time

from support.waiting import DEADLINE, wait_until


def _test_port_range():
    """Ports below the ephemeral range, so that a client socket of another test
    running at the same time never holds the port a daemon is about to bind."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range", encoding="ascii") as ports:
            low = int(ports.read().split()[0])
        return max(1024, low - 12000), low
    except OSError:
        return 5000, 10000  # below FreeBSD's default of 10000 and up


def free_port():
    """A TCP port that is free on both the IPv4 and the IPv6 wildcard."""
    low, high = _test_port_range()
    while True:
        port = random.randrange(low, high)
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
                probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
                probe.bind(("::", port))
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as check:
                check.bind(("0.0.0.0", port))
            return port
        except OSError:
            continue


def listening(port, pid="self"):
    """Whether a TCP socket listens on the port in the network namespace of
    process `pid`, read from /proc so that no connection shows in a log.
    Without /proc, a second's wait stands in for the answer."""
    tables = [f"/proc/{pid}/net/{name}" for name in ("tcp6", "tcp")]
    tables = [table for table in tables if os.path.exists(table)]
    if not tables:
        time.sleep(1)
        return True
    for table in tables:
        with open(table, encoding="ascii") as lines:
            for fields in (line.split() for line in list(lines)[1:]):
                if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                    return True
    return False


def connect(port, host="127.0.0.1", family=socket.AF_INET, timeout=DEADLINE, **options):
    """Connects once the port listens; `sockopts`, {(level, name): value},
    are set first."""
    def attempt():
        sock = socket.socket(family, socket.SOCK_STREAM)
        for (level, name), value in options.get("sockopts", {}).items():
            sock.setsockopt(level, name, value)
        try:
            sock.connect((host, port))
            return sock
        except ConnectionRefusedError:
            sock.close()
            return None
    return wait_until(attempt, f"listener on port {port} of {host}", timeout)


CLONE_NEWNET = 0x40000000


@contextlib.contextmanager
def in_network_of(pid):
    """Sockets made inside belong to the network namespace of process pid."""
    libc = ctypes.CDLL(None, use_errno=True)
    with open(f"/proc/{pid}/ns/net", "rb") as theirs, \
            open("/proc/thread-self/ns/net", "rb") as ours:
        if libc.setns(theirs.fileno(), CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")
        try:
            yield
        finally:
            if libc.setns(ours.fileno(), CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
