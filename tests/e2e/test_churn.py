"""Churn and soak: thousands of connections come and go in random patterns while a
few hundred stay; afterwards nothing is leaked and every counter is exact.

Runs about 45 seconds; MIREBOX_SOAK_SECONDS=3600 makes it a soak of an hour."""

import os
import random
import re
import selectors
import socket
import struct
import time

from support.daemon import CLOSE, ISOLATED, TOTALS, TarpitTest
from support.network import connect
from support.processes import UNTOLD, open_descriptors, resident_kib
from support.skips import skip_check
from support.waiting import DEADLINE, wait_until

SECONDS = float(os.environ.get("MIREBOX_SOAK_SECONDS", "45"))
STEADY = 300        # clients held from start to end, reading everything
TRANSIENT = 200     # short-lived clients open at any moment


class Churn(TarpitTest):
    def test_churn_leaks_nothing_and_counts_exactly(self):
        seed = int(os.environ.get("MIREBOX_SOAK_SEED", time.time()))
        print(f"churn seed {seed}, {SECONDS} s")
        rng = random.Random(seed)
        daemon = self.start("-v", "-d", "100")
        made = 0

        def open_client():
            nonlocal made
            # Several source addresses, so ports in TIME_WAIT never run out.
            source = f"127.0.0.{rng.randint(1, 60)}"
            sock = socket.create_connection(("127.0.0.1", daemon.port), timeout=DEADLINE,
                                            source_address=(source, 0))
            made += 1
            return sock

        connect(daemon.port).close()  # waits for the listener; counted below
        made += 1
        daemon.wait_for(CLOSE)
        selector = selectors.DefaultSelector()
        received = {}
        for _ in range(STEADY):
            sock = open_client()
            sock.setblocking(False)
            selector.register(sock, selectors.EVENT_READ)
            received[sock] = 0

        def pump(timeout):
            for key, _ in selector.select(timeout):
                chunk = key.fileobj.recv(65536)
                received[key.fileobj] += len(chunk)
                if not chunk:
                    selector.unregister(key.fileobj)

        daemon.wait_for(rf"ACCEPT .* n={STEADY}/4096")
        baseline_fds = open_descriptors(daemon.process.pid)
        baseline_kib = resident_kib(daemon.process.pid)

        transient = []  # (leave at, socket, leaves with a reset)
        end = time.monotonic() + SECONDS
        while time.monotonic() < end:
            now = time.monotonic()
            while len(transient) < TRANSIENT:
                transient.append((now + rng.uniform(0, 1.5), open_client(), rng.random() < 0.5))
            for entry in [e for e in transient if e[0] <= now]:
                transient.remove(entry)
                _, sock, reset = entry
                if reset:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                sock.close()
            pump(0.005)
        for _, sock, _ in transient:
            sock.close()
        print(f"{made} connections")

        # Every client that left is released at its next failed write.
        wait_until(lambda: pump(0.05) or
                   len(re.findall("CLOSE ", "\n".join(daemon.messages()))) >= made - STEADY,
                   "release of the clients that left", interval=0)
        pump(0.2)
        self.assertEqual(len(daemon.wait_for(CLOSE, count=made - STEADY)), made - STEADY)
        if baseline_fds is None:
            skip_check(self, "open descriptors", UNTOLD)
        else:
            self.assertEqual(open_descriptors(daemon.process.pid), baseline_fds)
        # A sanitizer's quarantine or valgrind's own heap would hide the daemon's.
        if baseline_kib is None:
            skip_check(self, "resident memory", UNTOLD)
        elif not ISOLATED:
            self.assertLess(resident_kib(daemon.process.pid) - baseline_kib, 1024)

        self.assertEqual(daemon.stop(), 0)
        while selector.get_map():
            pump(DEADLINE)
        closes = daemon.wait_for(CLOSE, count=made)
        totals = daemon.wait_for(TOTALS)
        self.assertEqual(len(totals), 1)
        self.assertEqual(int(totals[0]["connects"]), made)
        self.assertEqual(int(totals[0]["bytes"]), sum(int(m["bytes"]) for m in closes))
        # Source addresses differ, so a port alone may name two clients.
        final = {(m["host"].removeprefix("::ffff:"), int(m["port"])): int(m["bytes"])
                 for m in closes[-STEADY:]}
        self.assertEqual(final, {s.getsockname(): n for s, n in received.items()})
        for sock in received:
            sock.close()
        self.assertEqual(daemon.errors, [])
