"""What a process uses, read from /proc where there is one (Linux) and
otherwise from ps(1) and procstat(1) (FreeBSD); and processes that hold
namespaces open for a test."""

import os
import re
import signal
import subprocess

from support.waiting import DEADLINE, wait_until

# None means this system cannot tell; a test then records the check as
# skipped, with UNTOLD.
UNTOLD = "this system tells neither through /proc nor through ps or procstat"

def _ps(pid, field):
    """One field of ps(1) for the process, or None."""
    try:
        result = subprocess.run(["ps", "-o", f"{field}=", "-p", str(pid)], capture_output=True,
                                text=True, timeout=DEADLINE)
    except OSError:
        return None
    return result.stdout.strip() or None


def resident_kib(pid):
    """The process's resident memory in KiB."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    rss = _ps(pid, "rss")
    return int(rss) if rss and rss.isdigit() else None


def open_files(pid):
    """What each open descriptor of the process refers to, by number. A
    descriptor closed while it is looked at is left out."""
    directory = f"/proc/{pid}/fd"
    try:
        names = os.listdir(directory)
    except OSError:
        return _procstat_files(pid)
    files = {}
    for name in names:
        try:
            files[int(name)] = os.readlink(os.path.join(directory, name))
        except OSError:
            pass
    return files


def _procstat_files(pid):
    """FreeBSD's procstat -f: one row a descriptor (FD a number), the path last."""
    try:
        result = subprocess.run(["procstat", "-f", str(pid)], capture_output=True, text=True,
                                timeout=DEADLINE)
    except OSError:
        return None
    if result.returncode != 0:
        return None
    rows = [line.split() for line in result.stdout.splitlines()[1:]]
    return {int(row[2]): row[-1] for row in rows if len(row) > 3 and row[2].isdigit()}


def open_descriptors(pid):
    """How many descriptors the process has open."""
    files = open_files(pid)
    return None if files is None else len(files)


def cpu_seconds(pid):
    """User and system time the process has used."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        pass
    # [[dd-]hh:]mm:ss[.cc]; FreeBSD gives hundredths.
    used = _ps(pid, "time")
    if not used or not re.fullmatch(r"[\d:.-]+", used):
        return None
    days, _, clock = used.rpartition("-")
    seconds = 0.0
    for part in clock.split(":"):
        seconds = seconds * 60 + float(part)
    return seconds + int(days or 0) * 86400


def is_stopped(pid):
    """Whether the process is stopped by a signal (state T)."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "T"
    except OSError:
        state = _ps(pid, "state")
        return state is not None and state.startswith("T")


def blocked_writing_to_a_pipe(pid):
    """Whether the process sleeps in a write to a pipe (Linux's pipe_write or
    anon_pipe_write, FreeBSD's pipewr)."""
    try:
        with open(f"/proc/{pid}/wchan", encoding="ascii") as wchan:
            channel = wchan.read()
    except OSError:
        channel = _ps(pid, "wchan")
    if channel is None:
        return None
    return "pipe_write" in channel or "pipewr" in channel


def end_group(process):
    """Ends the process group `process` leads and waits until none of it is
    left: a pipeline's reader may still write as it ends, and must not write
    into a folder being removed."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    process.wait(DEADLINE)

    def gone():
        try:
            os.killpg(process.pid, 0)
            return False
        except ProcessLookupError:
            return True
    wait_until(gone, f"end of process group {process.pid}")


def hold_namespaces(test, namespaces, setup=None, within=()):
    """A process in new namespaces (unshare's options, such as ["--net",
    "--mount", "--propagation", "private"]) that runs the shell command
    `setup` there, then holds them open until the test ends; its pid.
    `within` is a command that it runs under, such as enter(...) into another
    process's namespaces. Skips the test where such namespaces are refused."""
    script = (f"{setup} && " if setup else "") + "echo ready && exec sleep 3600"
    command = [*within, "unshare", *namespaces, "sh", "-c", script]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL,  # pylint: disable=R1732
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    test.addCleanup(process.wait, DEADLINE)
    test.addCleanup(process.kill)
    test.addCleanup(process.stdout.close)
    test.addCleanup(process.stderr.close)
    if process.stdout.readline().strip() != "ready":
        test.skipTest(f"no private namespaces here: {process.stderr.read()}")
    return process.pid


def enter(pid, *namespaces):
    """The nsenter command that runs what follows in the namespaces
    ("net", "mount", "uts") of process pid."""
    return ["nsenter", f"--target={pid}", *(f"--{name}" for name in namespaces)]
