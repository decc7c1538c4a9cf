#!/usr/bin/env python3
"""Benchmark: how long real SSH clients and scanners stay, at several Delays.

Runs each client below against a daemon of its own on a free loopback port,
every client and every Delay side by side, each for at most BOUND seconds,
and records how long it was held (from the daemon's first ACCEPT of it to its
exit) and how it gave up: its exit status and the last thing it printed, or
"still held at the bound". Writes the results as JSON and prints a Markdown
table. A full run takes about one bound plus a few seconds.

    PYTHONPATH=tests python3 bench/run_clients.py [--delays 100,1000,4000,10000] [--bound 300]
        [--daemon build/mirebox] [--connect-timeout 15] [--out bench/clients.json]

Needs a built daemon (`make bench-clients` builds it, then runs this) and,
for the clients, Debian's packages:

    apt-get install -y --no-install-recommends openssh-client python3-paramiko \\
        python3-asyncssh putty-tools ssh-audit nmap

A client whose tool is missing is skipped, and the output names its package.
The driver itself needs only Python 3's standard library; the paramiko and
asyncssh snippets run under whichever python3 on PATH can import them, as
Debian's modules are not seen by a python3 of one's own.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from support.network import free_port, listening
from support.waiting import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
HOST = "127.0.0.1"
# What the client snippets print when they give up: the library's own words.
PARAMIKO_SNIPPET = """
import sys, paramiko
host, port = sys.argv[1], int(sys.argv[2])
client = paramiko.SSHClient()
client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
try:
    client.connect(host, port=port, username="bench", password="bench",
                   allow_agent=False, look_for_keys=False)
except Exception as error:
    print(f"{type(error).__name__}: {error}", flush=True)
    sys.exit(1)
print("connected", flush=True)
"""
ASYNCSSH_SNIPPET = """
import asyncio, sys, asyncssh
host, port = sys.argv[1], int(sys.argv[2])
async def main():
    async with asyncssh.connect(host, port, username="bench", password="bench",
                                known_hosts=None):
        print("connected", flush=True)
try:
    asyncio.run(main())
except Exception as error:
    print(f"{type(error).__name__}: {error}", flush=True)
    sys.exit(1)
"""
ANSI = re.compile(r"\x1b\[[0-9;]*m")
DIRECTORIES = re.compile(r"(?<![\w.$])/(?:[\w.+-]+/)+")
LOG_STAMP = "%Y-%m-%dT%H:%M:%S.%fZ"
# Held while a client is started and while the driver stops: a client thread
# that had not started yet when a stop came would leave its client running.
STARTING = threading.Lock()
STOPPING = threading.Event()


def ssh_options(ctx):
    # -F /dev/null and a known_hosts of the run's own leave the user's
    # configuration out of the measure and untouched by it.
    return ["ssh", "-F", os.devnull, "-o", "BatchMode=yes",
            "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=" + os.path.join(ctx["tmp"], "known_hosts"),
            "-o", "GlobalKnownHostsFile=" + os.devnull, "-l", "bench"]


# name, Debian package, what must exist (a program, or a Python module),
# the command for a port, and how to pick its message out of its output (its
# last line unless told otherwise).
CLIENTS = [
    {"name": "ssh -o ConnectTimeout={ct}", "package": "openssh-client", "program": "ssh",
     "argv": lambda ctx, port: ssh_options(ctx) + [
         "-o", f"ConnectTimeout={ctx['connect_timeout']}", "-p", str(port), HOST, "true"],
     "lines": 2},
    {"name": "ssh (no ConnectTimeout)", "package": "openssh-client", "program": "ssh",
     "argv": lambda ctx, port: ssh_options(ctx) + ["-p", str(port), HOST, "true"],
     "lines": 2},
    {"name": "paramiko SSHClient.connect", "package": "python3-paramiko", "module": "paramiko",
     "argv": lambda ctx, port: [ctx["python"]["paramiko"], "-c", PARAMIKO_SNIPPET,
                                HOST, str(port)]},
    {"name": "asyncssh.connect", "package": "python3-asyncssh", "module": "asyncssh",
     "argv": lambda ctx, port: [ctx["python"]["asyncssh"], "-c", ASYNCSSH_SNIPPET,
                                HOST, str(port)]},
    {"name": "plink -batch", "package": "putty-tools", "program": "plink",
     "argv": lambda ctx, port: ["plink", "-batch", "-ssh", "-noagent", "-P", str(port),
                                "-l", "bench", HOST, "true"]},
    {"name": "ssh-audit", "package": "ssh-audit", "program": "ssh-audit",
     "argv": lambda ctx, port: ["ssh-audit", "-p", str(port), HOST]},
    {"name": "nmap -sV", "package": "nmap", "program": "nmap",
     "argv": lambda ctx, port: ["nmap", "-sV", "-p", str(port), HOST],
     # nmap's verdict is the line of the port, not its closing summary.
     "message": re.compile(r"^\d+/tcp\s.*$", re.M)},
]


def python_with(module):
    """A python3 that can import module: this one, else the first on PATH."""
    seen = set()
    candidates = [sys.executable] + [os.path.join(d, "python3")
                                     for d in os.environ.get("PATH", "").split(os.pathsep) if d]
    for candidate in candidates:
        real = os.path.realpath(candidate)
        if real in seen or not os.access(real, os.X_OK):
            continue
        seen.add(real)
        try:
            found = subprocess.run([candidate, "-c", f"import {module}"], timeout=60,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   env=dict(os.environ, PYTHONWARNINGS="ignore"))
        except (OSError, subprocess.TimeoutExpired):
            continue
        if found.returncode == 0:
            return candidate
    return None


def package_version(package):
    if not shutil.which("dpkg-query"):
        return None
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], timeout=30,
                             capture_output=True, text=True)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return out.stdout.strip() if out.returncode == 0 and out.stdout.strip() else None


def python_version(interpreter):
    try:
        out = subprocess.run([interpreter, "-c", "import platform; print(platform.python_version())"],
                             timeout=60, capture_output=True, text=True)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return out.stdout.strip() or None


def signal_group(proc, sig):
    try:
        os.killpg(proc.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def stop_groups(procs, grace=3.0):
    """Ends the processes and whatever they started (each runs in a session
    of its own): TERM to all at once, KILL to what is left after the grace,
    children whose leader is gone included."""
    for proc in procs:
        signal_group(proc, signal.SIGTERM)
    deadline = time.time() + grace
    for proc in procs:
        try:
            proc.wait(timeout=max(0.0, deadline - time.time()))
        except subprocess.TimeoutExpired:
            pass
    for proc in procs:
        signal_group(proc, signal.SIGKILL)
    for proc in procs:
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            print(f"run_clients: process {proc.pid} outlived SIGKILL", file=sys.stderr)


def daemon_log(path):
    """Accept times (epoch seconds) and close lines of one daemon's log."""
    accepts, closes = [], []
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            fields = line.split()
            if len(fields) < 2 or fields[1] not in ("ACCEPT", "CLOSE"):
                continue
            try:
                stamp = datetime.datetime.strptime(fields[0], LOG_STAMP).replace(
                    tzinfo=datetime.timezone.utc).timestamp()
            except ValueError:
                stamp = None
            if fields[1] == "ACCEPT":
                accepts.append(stamp)
            else:
                values = dict(f.split("=", 1) for f in fields[2:] if "=" in f)
                closes.append({"time": float(values.get("time", "nan")),
                               "bytes": int(values.get("bytes", "0"))})
    return accepts, closes


def message_of(client, output, port):
    """What the client said last: its last line, or its last lines where it
    gives the cause on one and the connection it ends on the next. The
    daemon's port, new every run, reads PORT."""
    text = ANSI.sub("", output).replace("\r", "")
    pattern = client.get("message")
    found = pattern.findall(text) if pattern else []
    if found:
        said = " ".join(found[-1].split())
    else:
        lines = [line.strip() for line in text.splitlines() if line.strip()]
        said = " / ".join(lines[-client.get("lines", 1):])
    return DIRECTORIES.sub("", re.sub(rf"\b{port}\b", "PORT", said))


def tidy(line, port, tmp):
    """A line of output as the results keep it: the places of this machine
    (the run's directory, the folders of a traceback's files) left out."""
    line = re.sub(rf"\b{port}\b", "PORT", line.replace(tmp, "$TMP"))
    return DIRECTORIES.sub("", line)


def run_client(run, bound):
    """Runs one client to its end or the bound; fills in run."""
    out_path = run["output_path"]
    with open(out_path, "wb") as out:
        with STARTING:
            if STOPPING.is_set():
                return
            # The daemon stamps its log with the wall clock, so the start is
            # taken on it too; the time run is on the monotonic clock, which
            # a step of the wall clock does not move.
            started, started_mono = time.time(), time.monotonic()
            try:
                proc = subprocess.Popen(run["argv"], stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.STDOUT, env=run["env"],
                                        start_new_session=True)
            except OSError as error:
                run.update(outcome="skipped", reason=f"could not start: {error.strerror}")
                return
            run["proc"] = proc
        try:
            proc.wait(timeout=bound)
            run["outcome"] = "exited"
        except subprocess.TimeoutExpired:
            run["outcome"] = "held"
        ran = time.monotonic() - started_mono
        stop_groups([proc])
    run["started"], run["ran"] = started, ran
    run["exit_status"] = proc.returncode


def how(run, bound):
    if run["outcome"] == "skipped":
        return run["reason"]
    if run["outcome"] == "held":
        return f"still held at the {bound:g} s bound"
    status = run["exit_status"]
    said = run["message"] or "(printed nothing)"
    return f"exit {status}: {said}"


def markdown(runs, bound):
    rows = ["| client | Delay ms | held s | connections | how it gave up |",
            "|---|---:|---:|---:|---|"]
    for run in runs:
        held = "" if run.get("held_s") is None else f"{run['held_s']:.1f}"
        if run["outcome"] == "held" and held:
            held = "≥ " + held
        conns = "" if run["outcome"] == "skipped" else str(run.get("connections", 0))
        text = how(run, bound).replace("|", "\\|")
        rows.append(f"| {run['client']} | {run['delay_ms']} | {held} | {conns} | {text} |")
    return "\n".join(rows)


def machine():
    info = {"nproc": os.cpu_count(), "kernel": platform.release(),
            "python": platform.python_version()}
    try:
        with open("/etc/os-release", encoding="utf-8") as release:
            for line in release:
                if line.startswith("PRETTY_NAME="):
                    info["os"] = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    try:
        with open("/etc/debian_version", encoding="ascii") as version:
            info["debian_version"] = version.read().strip()
    except OSError:
        pass
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--delays", default="100,1000,4000,10000",
                        help="Delay values in ms, comma-separated (default: %(default)s)")
    parser.add_argument("--bound", type=float, default=300,
                        help="seconds a client may run before it is stopped (default: %(default)s)")
    parser.add_argument("--daemon", default=os.path.join("build", "mirebox"),
                        help="the daemon binary, relative to the repository (default: %(default)s)")
    parser.add_argument("--connect-timeout", type=int, default=15,
                        help="OpenSSH's ConnectTimeout for the client that sets one (default: %(default)s)")
    parser.add_argument("--only", default="",
                        help="run only the clients whose name contains this text")
    parser.add_argument("--out", default=os.path.join("bench", "clients.json"),
                        help="JSON results, relative to the repository (default: %(default)s)")
    args = parser.parse_args()
    delays = [int(d) for d in args.delays.split(",") if d.strip()]
    daemon = os.path.join(ROOT, args.daemon)
    if not os.access(daemon, os.X_OK):
        sys.exit(f"run_clients: no daemon at {args.daemon}; build it first "
                 "(cmake -S . -B build && cmake --build build --target mirebox)")

    tmp = tempfile.mkdtemp(prefix="mirebox-clients-")
    try:
        measure(args, delays, daemon, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def measure(args, delays, daemon, tmp):
    # The clients get an empty home and no agent, so none reads the user's
    # keys, configuration or known hosts, or writes to them.
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": tmp,
           "LANG": "C.UTF-8", "PYTHONWARNINGS": "ignore", "TERM": "dumb"}
    ctx = {"tmp": tmp, "connect_timeout": args.connect_timeout, "python": {}}
    skipped = {}
    clients = []
    for client in CLIENTS:
        client = dict(client, name=client["name"].format(ct=args.connect_timeout))
        if args.only and args.only not in client["name"]:
            continue
        if "module" in client:
            module = client["module"]
            if module not in ctx["python"]:
                ctx["python"][module] = python_with(module)
            missing = ctx["python"][module] is None
        else:
            missing = shutil.which(client["program"]) is None
        if missing:
            what = client.get("program") or "python3 module " + client["module"]
            skipped[client["name"]] = (f"skipped: no {what}; "
                                       f"apt-get install {client['package']}")
            print(f"run_clients: {skipped[client['name']]}", file=sys.stderr)
        clients.append(client)

    runs, daemons = [], []
    try:
        for delay in delays:
            for client in clients:
                run = {"client": client["name"], "package": client["package"],
                       "delay_ms": delay}
                runs.append(run)
                if client["name"] in skipped:
                    run.update(outcome="skipped", reason=skipped[client["name"]])
                    continue
                # A daemon to each client: its log then tells that client's
                # connections apart from everyone else's.
                port = free_port()
                # Numbered by run: a Delay may be given twice, to repeat it.
                log_path = os.path.join(tmp, f"daemon-{len(runs)}.log")
                with open(log_path, "wb") as log:
                    proc = subprocess.Popen([daemon, "-v", "-p", str(port), "-d", str(delay)],
                                            stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)
                daemons.append(proc)
                run.update(port=port, daemon=proc, log_path=log_path,
                           argv=client["argv"](ctx, port), env=env,
                           output_path=os.path.join(tmp, f"client-{len(runs)}.out"),
                           entry=client)
        for run in runs:
            if run.get("outcome") == "skipped":
                continue
            wait_until(lambda run=run: listening(run["port"]) or run["daemon"].poll() is not None,
                       f"daemon listening on port {run['port']}", timeout=10)
            if run["daemon"].poll() is not None:
                sys.exit(f"run_clients: the daemon on port {run['port']} did not start")

        live = [r for r in runs if r.get("outcome") != "skipped"]
        print(f"run_clients: {len(live)} clients at Delay {', '.join(map(str, delays))} ms, "
              f"side by side, each for at most {args.bound:g} s", file=sys.stderr)
        threads = [threading.Thread(target=run_client, args=(run, args.bound), daemon=True)
                   for run in live]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        with STARTING:
            STOPPING.set()
        stop_groups([run["proc"] for run in runs if "proc" in run])
        stop_groups(daemons, grace=5.0)

    for run in runs:
        if run.get("outcome") not in ("exited", "held"):
            continue
        with open(run["output_path"], encoding="utf-8", errors="replace") as out:
            output = out.read()
        run["message"] = message_of(run["entry"], output, run["port"])
        run["output_tail"] = [tidy(line, run["port"], tmp)
                              for line in ANSI.sub("", output).splitlines()[-12:]]
        accepts, closes = daemon_log(run["log_path"])
        run["connections"] = len(accepts)
        run["accepts_s"] = [round(a - run["started"], 3) for a in accepts if a is not None]
        run["daemon_closes"] = closes
        first = next((a for a in accepts if a is not None), None)
        run["held_s"] = None if first is None else round(run["ran"] - (first - run["started"]), 3)
        run["wall_s"] = round(run["ran"], 3)
        # The results are kept; the places of this one run are not.
        run["command"] = [a.replace(tmp, "$TMP") for a in run["argv"]]
        if "module" in run["entry"]:
            run["command"][0] = "python3"
        run["how"] = how(run, args.bound)

    keep = ("client", "package", "delay_ms", "outcome", "held_s", "wall_s", "exit_status",
            "message", "how", "connections", "accepts_s", "daemon_closes", "command",
            "output_tail")
    packages = sorted({c["package"] for c in CLIENTS})
    results = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "delays_ms": delays, "bound_s": args.bound, "connect_timeout_s": args.connect_timeout,
        "machine": machine(),
        "packages": {p: package_version(p) for p in packages},
        # The snippets' interpreter need not be the driver's.
        "python_of_module": {m: python_version(i) for m, i in ctx["python"].items() if i},
        "runs": [{k: run[k] for k in keep if k in run} for run in runs],
    }
    out_path = os.path.join(ROOT, args.out)
    os.makedirs(os.path.dirname(out_path), exist_ok=True)
    with open(out_path, "w", encoding="utf-8") as out:
        json.dump(results, out, indent=1, ensure_ascii=False)
        out.write("\n")
    print(markdown(runs, args.bound))
    print(f"\nrun_clients: results in {args.out}", file=sys.stderr)


if __name__ == "__main__":
    # A stop from outside still ends every client and daemon in the finally.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, _: sys.exit(128 + number))
    main()
