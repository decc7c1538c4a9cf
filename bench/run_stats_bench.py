#!/usr/bin/env python3
"""Benchmark of mirebox-stats: how fast it reads a long log and how its memory
grows with the number of distinct sources (and not with the number of lines).

For each size, bench/stats_loggen writes a synthetic month of the daemon's
standard output, or of a log server's file holding two hosts' lines in turn;
the file is read once to warm the page cache, then
`mirebox-stats --prometheus FILE LOG` runs three times, its report (and so its
table of sources) made and thrown away. The script prints
the median wall time, lines per second and the peak resident memory (the
largest of the runs, from GNU time). Linux; run `make` first.

With --baseline, another build of mirebox-stats (an earlier commit's, say)
runs beside it, the two taking turns on each file, and the script prints the
ratio of their medians.

With --hostile, it measures instead what a stranger can make it cost: 80,000
sources chosen to share a slot of the source table under the unkeyed hash it
once had, against as many random ones (a flood any holder of an IPv6 /64 can
send); and the largest metrics file made-up host names can give (4096 hosts
of 255-byte names), scraped by Debian's node_exporter as Prometheus scrapes
it, compressed, five times.

    PYTHONPATH=tests python3 bench/run_stats_bench.py [--build build] [--out build/bench]
                                                      [--baseline PROGRAM] [--runs N] [--hostile]
"""

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
import urllib.request

from support.network import free_port
from support.waiting import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# (lines, distinct sources, hosts): the last standard-output one is a month
# of a busy tarpit; hosts 0 is the daemon's standard output, 2 a log server's
# system log of two tarpits.
SIZES = [(1_000_000, 100_000, 0), (10_000_000, 10_000, 0), (10_000_000, 100_000, 0),
         (10_000_000, 1_000_000, 0), (10_000_000, 100_000, 2)]
RUNS = 3
GNU_TIME = "/usr/bin/time"  # Debian's package time


def measure(command):
    """Runs command under GNU time and returns (seconds, its peak RSS in KiB).
    GNU time, not getrusage here: a child forked from this Python process
    would count Python's own memory in its peak."""
    result = subprocess.run([GNU_TIME, "-f", "%e %M", *command], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=False)
    if result.returncode != 0:
        sys.exit(f"{command} failed: {result.stderr}")
    seconds, kib = result.stderr.split()[-2:]
    return float(seconds), int(kib)


def chosen_sources(count):
    """IPv6 addresses of one /64 whose low 64 bits send them all to the first
    slot under the table's old unkeyed mixer (a multiply, shift and multiply)."""
    c1, c2, mask = 0x9E3779B97F4A7C15, 0xD6E8FEB86659FD93, (1 << 64) - 1
    inverse = pow(c2, -1, 1 << 64)
    low = int.from_bytes(bytes.fromhex("20010db800000000"), "little")
    addresses = []
    for k in range(1, count + 1):
        mixed = (k << 32) & mask
        mixed ^= mixed >> 32
        mixed = (mixed * inverse) & mask
        mixed ^= mixed >> 32
        high = mixed ^ ((low * c1) & mask)
        raw = low.to_bytes(8, "little") + high.to_bytes(8, "little")
        addresses.append(":".join(raw[i:i + 2].hex() for i in range(0, 16, 2)))
    return addresses


def write_sources_log(path, addresses):
    with open(path, "w", encoding="ascii") as out:
        for n, address in enumerate(addresses):
            out.write(f"2026-12-10T03:00:00.000Z ACCEPT host={address} port=1 fd=4 n=1/4096\n"
                      f"2026-12-10T03:00:01.000Z CLOSE host={address} port=1 fd=4 "
                      f"time=1.000 bytes=20\n")


def scrape_seconds(directory):
    """Median of five compressed scrapes of node_exporter's textfile collector."""
    exporter = shutil.which("prometheus-node-exporter")
    if exporter is None:
        return None
    port = free_port()
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [exporter, f"--web.listen-address=127.0.0.1:{port}", "--collector.disable-defaults",
         "--collector.textfile", f"--collector.textfile.directory={directory}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        request = urllib.request.Request(f"http://127.0.0.1:{port}/metrics",
                                         headers={"Accept-Encoding": "gzip"})
        def serving():
            try:
                with urllib.request.urlopen(request, timeout=30) as response:
                    return response.read()
            except OSError:
                return None
        wait_until(serving, "node_exporter serving", interval=0.2)
        times = []
        for _ in range(5):
            start = time.monotonic()
            with urllib.request.urlopen(request, timeout=60) as response:
                response.read()
            times.append(time.monotonic() - start)
        return statistics.median(times)
    finally:
        process.terminate()
        process.wait()


def hostile(options, stats):
    log = os.path.join(options.out, "hostile.log")
    programs = [("mirebox-stats", stats)] + ([("baseline", options.baseline)]
                                             if options.baseline else [])
    chosen = chosen_sources(80_000)
    rng = random.Random(1)
    plain = [":".join(f"{rng.getrandbits(16):x}" for _ in range(8)) for _ in range(80_000)]
    for name, addresses in (("chosen", chosen), ("random", plain)):
        write_sources_log(log, addresses)
        for label, program in programs:
            seconds = statistics.median(measure([program, log])[0] for _ in range(options.runs))
            print(f"80,000 {name} sources, {label}: {seconds:.2f} s", flush=True)
    directory = os.path.join(options.out, "textfile")
    os.makedirs(directory, exist_ok=True)
    with open(log, "w", encoding="ascii") as out:
        for number in range(4097):
            out.write(f"2026-12-10T03:00:00.000+00:00 {number:04}{'h' * 251} mirebox[7]: "
                      "Port 22\n")
    prom = os.path.join(directory, "mirebox.prom")
    subprocess.run([stats, "--quiet", "--prometheus", prom, log], check=True)
    with open(prom, encoding="ascii") as metrics:
        series = sum(1 for line in metrics if not line.startswith("#"))
    print(f"worst metrics file: {os.path.getsize(prom) / 1e6:.1f} MB, {series:,} series")
    seconds = scrape_seconds(directory)
    print("node_exporter scrape, compressed: " +
          (f"{seconds:.2f} s" if seconds is not None else "prometheus-node-exporter missing"))
    os.unlink(log)
    shutil.rmtree(directory)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--baseline", help="another mirebox-stats to compare with")
    parser.add_argument("--runs", type=int, default=RUNS)
    parser.add_argument("--hostile", action="store_true")
    options = parser.parse_args()
    os.makedirs(options.out, exist_ok=True)
    loggen = os.path.join(options.build, "stats_loggen")
    stats = os.path.join(options.build, "mirebox-stats")
    if options.hostile:
        hostile(options, stats)
        return
    log = os.path.join(options.out, "stats.log")
    prom = os.path.join(options.out, "mirebox.prom")

    results = []
    print(f"{'lines':>11} {'sources':>10} {'hosts':>5} {'MB':>6} {'s':>6} {'lines/s':>11} "
          f"{'peak RSS KiB':>13}" + (f" {'baseline s':>10} {'ratio':>6}" if options.baseline else ""))
    for lines, sources, hosts in SIZES:
        with open(log, "wb") as out:
            subprocess.run([loggen, str(lines), str(sources), "1", str(hosts)], stdout=out,
                           check=True)
        with open(log, "rb") as warm:
            while warm.read(1 << 24):
                pass
        runs, baseline = [], []
        for _ in range(options.runs):
            runs.append(measure([stats, "--prometheus", prom, log]))
            lines_read = 0
            with open(prom, encoding="ascii") as metrics:
                for line in metrics:
                    if line.startswith("mirebox_log_lines_total"):
                        lines_read += int(line.split()[1])
            assert lines_read == lines, lines_read
            if options.baseline:
                baseline.append(measure([options.baseline, "--prometheus", prom, log]))
        seconds = statistics.median(run[0] for run in runs)
        peak = max(run[1] for run in runs)
        size_mb = os.path.getsize(log) / 1e6
        result = {"lines": lines, "sources": sources, "hosts": hosts,
                  "file_mb": round(size_mb, 1), "seconds": round(seconds, 3),
                  "lines_per_second": round(lines / seconds), "peak_rss_kib": peak,
                  "seconds_each_run": [round(r[0], 3) for r in runs]}
        row = (f"{lines:>11,} {sources:>10,} {hosts:>5} {size_mb:>6.0f} {seconds:>6.2f} "
               f"{lines / seconds:>11,.0f} {peak:>13,}")
        if baseline:
            base = statistics.median(run[0] for run in baseline)
            result.update(baseline_seconds=round(base, 3), ratio=round(seconds / base, 3),
                          baseline_each_run=[round(r[0], 3) for r in baseline],
                          baseline_peak_rss_kib=max(run[1] for run in baseline))
            row += f" {base:>10.2f} {seconds / base:>6.3f}"
        results.append(result)
        print(row, flush=True)
    os.unlink(log)

    small = next(r for r in results if r["lines"] == 10_000_000 and r["sources"] == 10_000)
    large = next(r for r in results if r["lines"] == 10_000_000 and r["sources"] == 1_000_000
                 and r["hosts"] == 0)
    per_source = (large["peak_rss_kib"] - small["peak_rss_kib"]) * 1024 / (990_000)
    print(f"peak bytes per source, 10k to 1M sources at 10M lines: {per_source:.0f}")
    with open(os.path.join(options.out, "stats_results.json"), "w", encoding="ascii") as out:
        json.dump({"runs": results, "peak_bytes_per_source": round(per_source)}, out, indent=1)


if __name__ == "__main__":
    main()
