#!/usr/bin/env python3
"""Benchmark: mirebox side by side with the floor of the job and an asyncio tarpit.

For each program and client count: start the server, ramp the load generator up
to the count, hold it, and measure the server from outside: resident memory
before and under load, CPU time per line, system calls per line and wake-ups
per second (perf stat on syscall tracepoints, over a window of the hold),
lateness of lines against the delay, and the time to accept a burst of
connections while 10,000 are held. Linux only (it reads /proc); run `make` first.

    PYTHONPATH=tests python3 bench/run_bench.py [--sizes 1000,10000,19900] [--hold 20]
                                                [--out build/bench]
"""

import argparse
import glob
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time

from support.network import free_port, listening
from support.waiting import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DELAY_MS = 1000
SYSCALL_EVENTS = ["raw_syscalls:sys_enter", "syscalls:sys_enter_write",
                  "syscalls:sys_enter_sendto", "syscalls:sys_enter_ppoll",
                  "syscalls:sys_enter_poll", "syscalls:sys_enter_epoll_wait"]


def commands(build):
    return {
        "mirebox": lambda port: [os.path.join(build, "mirebox"), "-p", str(port),
                                 "-d", str(DELAY_MS), "-m", "2147483647"],
        "floor": lambda port: [os.path.join(build, "floor"), str(port), str(DELAY_MS)],
        "asyncio": lambda port: [sys.executable, os.path.join(HERE, "asyncio_tarpit.py"),
                                 str(port), str(DELAY_MS)],
    }


def cpu_ns(pid):
    """CPU time of every thread of the process, in nanoseconds."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        with open(path, encoding="ascii") as stat:
            total += int(stat.read().split()[0])
    return total


def rss_kib(pid, field="VmRSS"):
    """Resident memory; RssAnon leaves out the pages of code and files mapped,
    which grow as new paths of the program run, not with clients."""
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def count_syscalls(pid, seconds):
    """Counts of the syscall events over a window, or None without perf."""
    if not shutil.which("perf"):
        return None
    result = subprocess.run(
        ["perf", "stat", "-x", ",", "-e", ",".join(SYSCALL_EVENTS), "-p", str(pid),
         "--", "sleep", str(seconds)], capture_output=True, text=True)
    counts = {}
    for line in result.stderr.splitlines():
        fields = line.split(",")
        if len(fields) > 2 and fields[2] in SYSCALL_EVENTS and fields[0].isdigit():
            counts[fields[2]] = int(fields[0])
    return counts if "raw_syscalls:sys_enter" in counts else None


def run_one(build, program, clients, hold, burst=0):
    port = free_port()
    server = subprocess.Popen(commands(build)[program](port), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: listening(port), f"{program} listening", timeout=10)
        time.sleep(0.3)
        rss_before = rss_kib(server.pid)
        anon_before = rss_kib(server.pid, "RssAnon")
        loadgen = subprocess.Popen(
            [os.path.join(build, "loadgen"), "-p", str(port), "-n", str(clients),
             "-r", "2000", "-t", str(hold), "-d", str(DELAY_MS), "-l", "32", "-b", str(burst)],
            stdout=subprocess.PIPE, text=True)
        figures = {"program": program, "clients": clients}
        for line in loadgen.stdout:
            line = line.strip()
            if line == "ramped":
                cpu_start, time_start = cpu_ns(server.pid), time.monotonic()
                window = max(1.0, min(10.0, hold - 2))
                counts = count_syscalls(server.pid, window) if not burst else None
                figures["rss_load_kib"] = rss_kib(server.pid)
                figures["anon_load_kib"] = rss_kib(server.pid, "RssAnon")
            elif line == "held":
                figures["cpu_ns"] = cpu_ns(server.pid) - cpu_start
                figures["hold_s"] = time.monotonic() - time_start
            elif "=" in line:
                key, value = line.split("=", 1)
                figures[key] = float(value)
        loadgen.wait()
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()

    figures["rss_before_kib"] = rss_before
    figures["anon_before_kib"] = anon_before
    figures["bytes_per_client"] = (figures["anon_load_kib"] - anon_before) * 1024 / clients
    figures["cpu_us_per_line"] = figures["cpu_ns"] / 1000 / max(1, figures["hold_lines"])
    if counts:
        lines = counts.get("syscalls:sys_enter_write", 0) + counts.get("syscalls:sys_enter_sendto", 0)
        waits = sum(counts.get(f"syscalls:sys_enter_{name}", 0)
                    for name in ("ppoll", "poll", "epoll_wait"))
        figures["syscalls_per_line"] = counts["raw_syscalls:sys_enter"] / max(1, lines)
        figures["wakeups_per_s"] = waits / window
        figures["syscall_counts"] = counts
    return figures


def table(results):
    rows = ["| program | clients | held | RSS before KiB | RSS under load KiB | heap bytes/client "
            "| CPU µs/line | syscalls/line | wake-ups/s | late p50 ms | p99 ms | max ms "
            "| invalid lines | ×floor CPU | ×asyncio CPU |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    by_key = {(r["program"], r["clients"]): r for r in results}
    for r in results:
        floor = by_key.get(("floor", r["clients"]))
        asyncio = by_key.get(("asyncio", r["clients"]))
        ratio = lambda other: (f"{r['cpu_us_per_line'] / other['cpu_us_per_line']:.2f}"
                               if other and other["cpu_us_per_line"] else "")
        rows.append(
            f"| {r['program']} | {r['clients']} | {int(r['held'])} | {r['rss_before_kib']} "
            f"| {r['rss_load_kib']} | {r['bytes_per_client']:.0f} | {r['cpu_us_per_line']:.2f} "
            f"| {r.get('syscalls_per_line', float('nan')):.3f} "
            f"| {r.get('wakeups_per_s', float('nan')):.0f} | {r['late_p50_ms']:.2f} "
            f"| {r['late_p99_ms']:.2f} | {r['late_max_ms']:.2f} | {int(r['invalid'])} "
            f"| {ratio(floor)} | {ratio(asyncio)} |")
    return "\n".join(rows)


def burst_table(bursts):
    rows = ["| program | held | burst | all accepted after s |", "|---|---:|---:|---:|"]
    for b in bursts:
        rows.append(f"| {b['program']} | {b['clients']} | {int(b['opened'] - b['clients'])} "
                    f"| {b['burst_accept_s']:.3f} |")
    return "\n".join(rows)


def plot(results, path):
    """Two panels, heap bytes per client and CPU per line against clients, as
    SVG; both axes logarithmic, since asyncio is an order of magnitude away."""
    colours = {"mirebox": "#c0392b", "floor": "#2c3e50", "asyncio": "#2980b9"}
    panels = [("bytes_per_client", "heap bytes per held client"),
              ("cpu_us_per_line", "CPU µs per line sent")]
    sizes = sorted({r["clients"] for r in results})
    panel_w, margin_l, margin_t, inner_w, inner_h = 440, 70, 40, 330, 220
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{2 * panel_w}" '
             f'height="{margin_t + inner_h + 70}" font-family="sans-serif" font-size="12">',
             '<rect width="100%" height="100%" fill="white"/>']
    for index, (key, title) in enumerate(panels):
        left = index * panel_w + margin_l
        values = [r[key] for r in results if r[key] > 0]
        low = 10 ** math.floor(math.log10(min(values)))
        high = 10 ** math.ceil(math.log10(max(values)))
        x_low, x_high = math.log10(sizes[0]) - 0.05, math.log10(sizes[-1]) + 0.05
        x = lambda n: left + inner_w * (math.log10(n) - x_low) / (x_high - x_low)
        y = lambda v: margin_t + inner_h * (1 - math.log10(v / low) / math.log10(high / low))
        parts.append(f'<text x="{left}" y="24" font-weight="bold">{title}</text>')
        parts.append(f'<rect x="{left}" y="{margin_t}" width="{inner_w}" height="{inner_h}" '
                     'fill="none" stroke="#999"/>')
        for n in sizes:
            parts.append(f'<text x="{x(n):.1f}" y="{margin_t + inner_h + 16}" '
                         f'text-anchor="middle">{n}</text>')
        parts.append(f'<text x="{left + inner_w / 2}" y="{margin_t + inner_h + 34}" '
                     'text-anchor="middle">clients held (log scale)</text>')
        decade = low
        while decade <= high:
            parts.append(f'<line x1="{left}" x2="{left + inner_w}" y1="{y(decade):.1f}" '
                         f'y2="{y(decade):.1f}" stroke="#eee"/>')
            parts.append(f'<text x="{left - 6}" y="{y(decade) + 4:.1f}" '
                         f'text-anchor="end">{decade:g}</text>')
            decade *= 10
        for row, (program, colour) in enumerate(colours.items()):
            points = sorted((r["clients"], r[key]) for r in results
                            if r["program"] == program and r[key] > 0)
            if not points:
                continue
            line = " ".join(f"{x(n):.1f},{y(v):.1f}" for n, v in points)
            parts.append(f'<polyline points="{line}" fill="none" stroke="{colour}" '
                         'stroke-width="2"/>')
            for n, v in points:
                parts.append(f'<circle cx="{x(n):.1f}" cy="{y(v):.1f}" r="3" fill="{colour}"/>')
            parts.append(f'<text x="{left + 60 + 90 * row}" y="{margin_t + inner_h + 56}" '
                         f'fill="{colour}" font-weight="bold">{program}</text>')
    parts.append("</svg>")
    with open(path, "w", encoding="utf-8") as svg:
        svg.write("\n".join(parts) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000,19900")
    parser.add_argument("--programs", default="mirebox,floor,asyncio")
    parser.add_argument("--hold", type=float, default=20)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--no-burst", action="store_true")
    parser.add_argument("--replot", metavar="RESULTS_JSON",
                        help="only draw the plot again from an earlier run's results")
    options = parser.parse_args()
    os.makedirs(options.out, exist_ok=True)
    if options.replot:
        with open(options.replot, encoding="utf-8") as earlier:
            plot(json.load(earlier)["results"], os.path.join(options.out, "results.svg"))
        return

    results, bursts = [], []
    for clients in map(int, options.sizes.split(",")):
        for program in options.programs.split(","):
            print(f"{program} with {clients} clients ...", file=sys.stderr, flush=True)
            results.append(run_one(options.build, program, clients, options.hold))
    if not options.no_burst:
        for program in options.programs.split(","):
            print(f"{program}: burst of 4000 over 10000 held ...", file=sys.stderr, flush=True)
            bursts.append(run_one(options.build, program, 10000, 3, burst=4000))

    with open(os.path.join(options.out, "results.json"), "w", encoding="utf-8") as out:
        json.dump({"results": results, "bursts": bursts}, out, indent=1)
    plot(results, os.path.join(options.out, "results.svg"))
    print(table(results))
    if bursts:
        print()
        print(burst_table(bursts))


if __name__ == "__main__":
    main()
