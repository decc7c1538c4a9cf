#!/usr/bin/env python3
"""Benchmark of mirebox-stats: how fast it reads a long log and how its memory
grows with the number of distinct sources (and not with the number of lines).

For each size, bench/stats_loggen writes a synthetic month of the daemon's
standard output; the file is read once to warm the page cache, then
`mirebox-stats --prometheus FILE LOG` runs three times, its report (and so its
table of sources) made and thrown away. The script prints
the median wall time, lines per second and the peak resident memory (the
largest of the three runs, from GNU time). Linux; run `make` first.

    python3 bench/run_stats_bench.py [--build build] [--out build/bench]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# (lines, distinct sources): the last is a month of a busy tarpit.
SIZES = [(1_000_000, 100_000), (10_000_000, 10_000), (10_000_000, 100_000),
         (10_000_000, 1_000_000)]
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"))
    options = parser.parse_args()
    os.makedirs(options.out, exist_ok=True)
    loggen = os.path.join(options.build, "stats_loggen")
    stats = os.path.join(options.build, "mirebox-stats")
    log = os.path.join(options.out, "stats.log")
    prom = os.path.join(options.out, "mirebox.prom")

    results = []
    print(f"{'lines':>11} {'sources':>10} {'MB':>6} {'s':>6} {'lines/s':>11} {'peak RSS KiB':>13}")
    for lines, sources in SIZES:
        with open(log, "wb") as out:
            subprocess.run([loggen, str(lines), str(sources)], stdout=out, check=True)
        with open(log, "rb") as warm:
            while warm.read(1 << 24):
                pass
        runs = [measure([stats, "--prometheus", prom, log]) for _ in range(RUNS)]
        seconds = statistics.median(run[0] for run in runs)
        peak = max(run[1] for run in runs)
        with open(prom, encoding="ascii") as metrics:
            read = next(line for line in metrics if line.startswith("mirebox_log_lines_total "))
        assert int(read.split()[1]) == lines, read
        size_mb = os.path.getsize(log) / 1e6
        results.append({"lines": lines, "sources": sources, "file_mb": round(size_mb, 1),
                        "seconds": round(seconds, 3), "lines_per_second": round(lines / seconds),
                        "peak_rss_kib": peak, "seconds_each_run": [round(r[0], 3) for r in runs]})
        print(f"{lines:>11,} {sources:>10,} {size_mb:>6.0f} {seconds:>6.2f} "
              f"{lines / seconds:>11,.0f} {peak:>13,}")
    os.unlink(log)

    small = next(r for r in results if r["lines"] == 10_000_000 and r["sources"] == 10_000)
    large = next(r for r in results if r["lines"] == 10_000_000 and r["sources"] == 1_000_000)
    per_source = (large["peak_rss_kib"] - small["peak_rss_kib"]) * 1024 / (990_000)
    print(f"peak bytes per source, 10k to 1M sources at 10M lines: {per_source:.0f}")
    with open(os.path.join(options.out, "stats_results.json"), "w", encoding="ascii") as out:
        json.dump({"runs": results, "peak_bytes_per_source": round(per_source)}, out, indent=1)


if __name__ == "__main__":
    main()
