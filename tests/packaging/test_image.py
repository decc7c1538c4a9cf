"""The container image as make image builds it: the same image from two
clones at different paths, the static daemon alone in it, and the image run
by the real podman on runc as an administrator runs it, in network and mount
namespaces of the test's own with a container store of its own: a client
held through a published port, a reload of a mounted file, the totals, the
orderly stop, Ctrl-C under --init, and the runtime's log read by
mirebox-stats."""

import glob
import itertools
import json
import os
import pty
import re
import resource
import select
import shutil
import stat
import subprocess
import tarfile
import time
import unittest

from support.daemon import VERSION, LineReader, is_valid_line
from support.network import connect, in_network_of
from support.scratch import scratch_folder
from support.skips import find_program, needs_command
from support.waiting import DEADLINE, wait_until

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ.get("MIREBOX_BUILD_DIR", os.path.join(SOURCE, "build"))
NAME = f"localhost/mirebox:{VERSION}"
ARCHIVE = f"mirebox-{VERSION}.tar"
DEFAULT_SETTINGS = ["Port 2222", "Delay 10000", "MaxLineLength 32", "MaxClients 4096",
                    "BindFamily IPv4 Mapped IPv6"]
LOG_LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (.*)")
# What podman and the CNI plugins write where nobody told them otherwise:
# none of it may be left by the build or the test.
HOST_PATHS = ["/var/lib/containers", "/run/containers", "/run/libpod", "/var/lib/cni",
              "/run/netns", "/run/runc", "/dev/shm/libpod_lock"]
# The links through which podman's and the CNI plugins' units would start.
PODMAN_UNITS = re.compile(r"^(podman|cni-dhcp)")


# With no systemd, podman makes a control group of each container and of its
# conmon below a parent in every hierarchy of /sys/fs/cgroup, which outlive
# the container: the test's runtime has a parent of its own, and removes it.
CGROUP_PARENTS = ["/sys/fs/cgroup/*/libpod_parent", "/sys/fs/cgroup/*/mirebox-test-*"]


def host_state():
    state = {path: sorted(os.listdir(path)) if os.path.isdir(path) else os.path.lexists(path)
             for path in HOST_PATHS}
    state["cgroups"] = sorted(path for pattern in CGROUP_PARENTS for path in glob.glob(pattern))
    return state


def remove_cgroups(parent):
    """The control groups below `parent` in every hierarchy, deepest first:
    rmdir is how a control group goes, once nothing runs in it."""
    for top in glob.glob(f"/sys/fs/cgroup/*{parent}"):
        for directory, _, _ in sorted(os.walk(top), key=lambda entry: -len(entry[0])):
            try:
                os.rmdir(directory)
            except OSError:
                pass


def enabled_podman_units():
    found = []
    for directory, _, names in os.walk("/etc/systemd/system"):
        found += [os.path.join(directory, name) for name in names if PODMAN_UNITS.match(name)]
    return found


def git(*args, **options):
    return subprocess.run(["git", *args], capture_output=True, check=True, **options).stdout


def clone_of_this_checkout(destination):
    """A clone at another path of the same commit, with this checkout's
    uncommitted changes and new files copied in, so that both build the
    same tree."""
    git("clone", "--quiet", "--no-hardlinks", SOURCE, destination)
    changes = git("-C", SOURCE, "diff", "--binary", "HEAD")
    if changes:
        git("-C", destination, "apply", input=changes)
    for name in git("-C", SOURCE, "ls-files", "--others", "--exclude-standard", "-z",
                    text=True).split("\0"):
        if name:
            os.makedirs(os.path.dirname(os.path.join(destination, name)), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(destination, name))


def make_image(tree, build):
    """make image in `tree`: its output, whose last line is the image ID.
    What it needs is installed already (the class skips otherwise): the
    test installs nothing, so make's call of tools/deps is left out."""
    result = subprocess.run(["make", "--no-print-directory", "-C", tree, "image", "DEPS=true",
                             f"BUILD={build}"], capture_output=True, text=True, timeout=1200)
    if result.returncode != 0:
        raise AssertionError(f"make image failed:\n{result.stdout[-3000:]}\n"
                             f"{result.stderr[-3000:]}")
    return result.stdout.splitlines()


def layout_files(archive):
    """The OCI layout in the archive, name by name."""
    with tarfile.open(archive) as layout:
        return {member.name: layout.extractfile(member).read()
                for member in layout if member.isfile()}


def messages(log):
    """The daemon's messages in a log of its standard output, without the
    times; anything else (a runtime's own words) kept whole."""
    return [LOG_LINE.fullmatch(line)[1] if LOG_LINE.fullmatch(line) else line
            for line in log.splitlines()]


class Runtime:
    """podman as root in a network and a mount namespace that the test
    makes, with a store of the test's own. In the mount namespace /run,
    /var/lib and /dev/shm are fresh, empty tmpfs: what podman, runc and the
    CNI plugins keep there by default (network namespaces, runc's state, the
    plugins' address leases and cache, podman's lock) goes when it ends, and
    every rule that iptables makes for a published port is in the network
    namespace. Each podman command enters both."""

    made = itertools.count()

    def __init__(self, directory):
        self.directory = directory
        self.cgroup_parent = f"/mirebox-test-{os.getpid()}-{next(Runtime.made)}"
        script = (f"{find_program('ip')} link set lo up && mount -t tmpfs tmpfs /run && "
                  "mount -t tmpfs tmpfs /var/lib && mount -t tmpfs tmpfs /dev/shm && "
                  "echo ready && exec cat >/dev/null")
        # Ends when the test closes its standard input, or the test ends.
        self.holder = subprocess.Popen(["unshare", "--net", "--mount", "--propagation", "private",
                                        "sh", "-c", script], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.ready = self.holder.stdout.readline() == b"ready\n"
        self.env = {**os.environ, "TMPDIR": os.path.join(directory, "tmp")}
        os.makedirs(self.env["TMPDIR"])
        self.command = [
            "nsenter", f"--target={self.holder.pid}", "--net", "--mount", "--",
            "podman",
            # The test's own store in its scratch folder; the state and the
            # events in the private /run (podman refuses a runroot path of
            # more than 50 characters).
            "--root", os.path.join(directory, "storage"),
            "--runroot", "/run/test-runroot", "--tmpdir", "/run/test-libpod",
            # Plain copies: overlay cannot always mount where the machine is
            # itself a container, as CI's is.
            "--storage-driver", "vfs",
            # No systemd runs as process 1 here, and no journal.
            "--cgroup-manager", "cgroupfs", "--events-backend", "file",
            # Debian 12's crun cannot run a container under the hybrid cgroup
            # layout of this machine; runc can.
            "--runtime", "runc"]

    def with_cgroup_parent(self, args):
        return (args[0], "--cgroup-parent", self.cgroup_parent, *args[1:]) \
            if args and args[0] == "run" else args

    def __call__(self, *args, check=True, timeout=DEADLINE * 4):
        args = self.with_cgroup_parent(args)
        result = subprocess.run([*self.command, *args], capture_output=True, text=True,
                                env=self.env, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"podman {' '.join(args)}: {result.returncode}\n{result.stderr}")
        return result

    def popen(self, *args, **options):
        return subprocess.Popen([*self.command, *self.with_cgroup_parent(args)], env=self.env,
                                **options)

    def log(self, name):
        return messages(self("logs", name).stdout)

    def wait_for(self, name, pattern, count=1):
        """The daemon's messages once `count` of them match `pattern`."""
        regex = re.compile(pattern)

        def matching():
            log = self.log(name)
            return log if sum(bool(regex.fullmatch(line)) for line in log) >= count else None
        return wait_until(matching, lambda: f"{count} lines matching {pattern!r} in "
                          f"{self.log(name)[-20:]!r}", interval=0.2)

    def close(self):
        self("rm", "--force", "--all", "--time", "0", check=False)
        remove_cgroups(self.cgroup_parent)
        self.holder.stdin.close()
        self.holder.wait(timeout=DEADLINE)
        self.holder.stdout.close()
        self.holder.stderr.close()


def run_limits():
    """podman asks runc for 1048576 descriptors and 4194304 processes for a
    root container. Above the hard limits runc runs under, only a process
    with CAP_SYS_RESOURCE may set them, which root inside a container (this
    machine, CI's) may lack: runc then fails with "error setting rlimit".
    The container gets the descriptors that the test itself may have, and
    processes enough for its one."""
    files = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    return ["--ulimit", f"nofile={files}:{files}", "--ulimit", "nproc=1024:1024"]


@unittest.skipUnless(os.geteuid() == 0, "runs podman as root in namespaces of its own: needs root")
@unittest.skipUnless(os.path.isdir(os.path.join(SOURCE, ".git")) or
                     os.path.isfile(os.path.join(SOURCE, ".git")),
                     "builds two clones of the checkout: needs a git checkout")
@needs_command("buildah", "buildah")
@needs_command("podman", "podman")
@needs_command("runc", "runc")
@needs_command("catatonit", "catatonit")
@needs_command("containernetworking-plugins", "/usr/lib/cni/portmap")
@needs_command("iptables", "iptables")
@needs_command("iproute2", "ip")
class Image(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host_before = host_state()
        cls.directory = scratch_folder(cls)
        # One build from this checkout, into a build folder of the scratch;
        # one from a clone elsewhere, into its own build/.
        cls.build = os.path.join(cls.directory, "build")
        cls.output = make_image(SOURCE, cls.build)
        # The clone as someone whose umask is 077 makes it and builds there.
        clone = os.path.join(cls.directory, "elsewhere", "at", "another", "path", "mirebox")
        umask = os.umask(0o077)
        try:
            clone_of_this_checkout(clone)
            cls.clone_build = os.path.join(clone, "build")
            cls.clone_output = make_image(clone, "build")
        finally:
            os.umask(umask)
        cls.archive = os.path.join(cls.build, "image", ARCHIVE)
        cls.image_id = cls.output[-1]
        # mirebox-stats as the tree builds it, to read the runtime's log.
        subprocess.run(["cmake", "--build", BUILD, "--target", "mirebox-stats"],
                       capture_output=True, check=True, timeout=1200)
        cls.stats = os.path.join(BUILD, "mirebox-stats")

    @classmethod
    def tearDownClass(cls):
        after = host_state()
        if after != cls.host_before:
            raise AssertionError(f"podman's or CNI's paths of the host changed: "
                                 f"{cls.host_before} then {after}")

    def test_from_two_clones_it_is_the_same_image_and_make_image_prints_its_id(self):
        self.assertRegex(self.image_id, r"^sha256:[0-9a-f]{64}$")
        self.assertEqual(self.clone_output[-1], self.image_id)
        with open(self.archive, "rb") as one, \
                open(os.path.join(self.clone_build, "image", ARCHIVE), "rb") as two:
            self.assertEqual(one.read(), two.read())
        # The ID is the digest of the configuration that the manifest names.
        files = layout_files(self.archive)
        index = json.loads(files["index.json"])
        (entry,) = index["manifests"]
        self.assertEqual(entry["annotations"]["org.opencontainers.image.ref.name"], NAME)
        manifest = json.loads(files[f"blobs/sha256/{entry['digest'].split(':')[1]}"])
        self.assertEqual(manifest["config"]["digest"], self.image_id)
        # The build left no storage, no layout and no temporary files.
        self.assertEqual(sorted(os.listdir(os.path.join(self.build, "image"))),
                         sorted([ARCHIVE, "context", "daemon", "image-id"]))

    def test_it_holds_the_static_daemon_alone_as_an_unprivileged_user(self):
        files = layout_files(self.archive)
        index = json.loads(files["index.json"])
        manifest = json.loads(files[f"blobs/sha256/{index['manifests'][0]['digest'][7:]}"])
        config = json.loads(files[f"blobs/sha256/{manifest['config']['digest'][7:]}"])
        committed = int(git("-C", SOURCE, "log", "-1", "--format=%ct", text=True))
        self.assertEqual(config["created"],
                         time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(committed)))
        settings = config["config"]
        self.assertEqual(settings["Entrypoint"], ["/usr/sbin/mirebox", "-v"])
        self.assertNotIn("Cmd", settings)
        self.assertEqual(settings["ExposedPorts"], {"2222/tcp": {}})
        self.assertEqual(settings["StopSignal"], "SIGTERM")
        user, group = (int(number) for number in settings["User"].split(":"))
        self.assertNotIn(0, (user, group))
        self.assertNotIn(65534, (user, group))  # nobody's: shared with others
        (layer,) = manifest["layers"]
        packed = os.path.join(self.directory, "layer.tar.gz")
        with open(packed, "wb") as blob:
            blob.write(files[f"blobs/sha256/{layer['digest'][7:]}"])
        with tarfile.open(packed) as contents:
            members = {member.name: member for member in contents}
            self.assertEqual(sorted(members), ["usr", "usr/sbin", "usr/sbin/mirebox"])
            program = members["usr/sbin/mirebox"]
            self.assertEqual((program.uid, program.gid, stat.S_IMODE(program.mode)),
                             (0, 0, 0o755))
            self.assertEqual({member.mtime for member in members.values()}, {committed})
            daemon = contents.extractfile(program).read()
        # Under 2 MB unpacked: a base image or a shell would not be.
        self.assertLess(program.size, 2_000_000)
        # Static and stripped, with no path of the machine that built it.
        with open(os.path.join(self.directory, "mirebox"), "wb") as copy:
            copy.write(daemon)
        os.chmod(copy.name, 0o755)
        segments = subprocess.run(["readelf", "--program-headers", "--wide", copy.name],
                                  capture_output=True, text=True, check=True).stdout
        segments = re.findall(r"^  ([A-Z_]+) +0x", segments, flags=re.M)
        self.assertIn("LOAD", segments)
        self.assertEqual({"INTERP", "DYNAMIC"} & set(segments), set())
        sections = subprocess.run(["readelf", "--sections", "--wide", copy.name],
                                  capture_output=True, text=True, check=True).stdout
        self.assertNotIn(" .symtab ", sections)
        for path in (SOURCE, self.directory, self.build):
            self.assertNotIn(path.encode(), daemon)
        # Nothing in the program reaches for the name service, whose modules
        # a static C library would have to load (packaging/container/Containerfile).
        symbols = subprocess.run(["nm", os.path.join(self.build, "image", "daemon", "mirebox")],
                                 capture_output=True, text=True, check=True).stdout
        self.assertEqual(re.findall(r" [TtWw] (__nss_\w+|getaddrinfo|getnameinfo|gethostby\w+|"
                                    r"getpw\w+|getgr\w+|getserv\w+|initgroups|iconv_open)$",
                                    symbols, flags=re.M), [])
        # Its help names the file the image reads at start-up.
        usage = subprocess.run([copy.name, "-h"], capture_output=True, text=True)
        self.assertIn("-f        Set and load config file [/etc/mirebox/mirebox.config]",
                      usage.stdout)

    def runtime(self):
        runtime = Runtime(os.path.join(self.directory, f"runtime-{self._testMethodName}"))
        if not runtime.ready:
            runtime.close()
            self.skipTest(f"no network and mount namespaces here: {runtime.holder.stderr.read()}")
        self.addCleanup(self.assertEqual, enabled_podman_units(), [])
        self.addCleanup(self.assert_nothing_left_running, runtime.directory)
        self.addCleanup(runtime.close)
        loaded = runtime("load", "--input", self.archive)
        self.assertIn(f"Loaded image: {NAME}", loaded.stdout)
        shown = runtime("image", "inspect", "--format", "{{.Id}}", NAME).stdout.strip()
        self.assertEqual(f"sha256:{shown}", self.image_id)
        return runtime

    def assert_nothing_left_running(self, directory):
        """No process of the test's runtime outlives it: conmon and the
        cleanup it starts once a container has ended name the test's store on
        their command lines, and a container's root is mounted from it."""
        def left():
            found = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as cmdline, \
                            open(f"/proc/{pid}/mountinfo", "rb") as mounts:
                        if directory.encode() in cmdline.read() + mounts.read():
                            found.append(pid)
                except OSError:
                    pass
            return found
        wait_until(lambda: not left(), lambda: f"end of the runtime's processes {left()}",
                   interval=0.2)

    def test_run_by_podman_it_holds_reloads_reports_stops_and_its_log_reads_back(self):
        runtime = self.runtime()
        config = os.path.join(self.directory, "etc-mirebox")
        os.mkdir(config)
        os.chmod(config, 0o755)
        self.write_config(config, "Delay 200\nMaxLineLength 16\n")
        # As the manual says: the folder mounted, and port 22 published, in
        # the test's own network namespace.
        runtime("run", "--detach", "--name", "tarpit", "--publish", "22:2222",
                "--volume", f"{config}:/etc/mirebox:ro", *run_limits(), NAME)
        log = runtime.wait_for("tarpit", r"BindFamily .*")
        self.assertEqual(log, ["Port 2222", "Delay 200", "MaxLineLength 16", "MaxClients 4096",
                               "BindFamily IPv4 Mapped IPv6"])
        self.assertEqual(runtime("top", "tarpit", "pid", "user", "args").stdout.split()[3:],
                         ["1", "65532", "/usr/sbin/mirebox", "-v"])

        # A client in the test's namespace, through the published port.
        with in_network_of(runtime.holder.pid):
            client = connect(22)
        self.addCleanup(client.close)
        reader = LineReader(client)
        for _, line in reader.lines(3):
            self.assertTrue(is_valid_line(line, 16), line)
        runtime.wait_for("tarpit", r"ACCEPT host=\S+ port=\d+ fd=\d+ n=1/4096")

        # An editor replaces the file with a new one: the mounted folder
        # shows it, and a reload reads it.
        self.write_config(config, "Delay 300\nMaxLineLength 24\n")
        runtime("kill", "--signal", "HUP", "tarpit")
        log = runtime.wait_for("tarpit", r"Port 2222", count=2)
        second = [index for index, line in enumerate(log) if line == "Port 2222"][1]
        self.assertEqual(log[second:second + 5], ["Port 2222", "Delay 300", "MaxLineLength 24",
                                                  "MaxClients 4096", "BindFamily IPv4 Mapped IPv6"])
        for _, line in reader.lines(2):
            self.assertTrue(is_valid_line(line, 24), line)

        runtime("kill", "--signal", "USR1", "tarpit")
        runtime.wait_for("tarpit", r"TOTALS connects=1 seconds=\d+\.\d{3} bytes=\d+")

        # podman stop sends the image's STOPSIGNAL; SIGKILL would come after
        # a minute and end it with 137.
        runtime("stop", "--time", "60", "tarpit")
        self.assertEqual(runtime("inspect", "--format", "{{.State.ExitCode}}",
                                 "tarpit").stdout.strip(), "0")
        received = reader.drain()
        log = runtime.log("tarpit")
        close = re.fullmatch(r"CLOSE host=\S+ port=\d+ fd=\d+ time=(\d+\.\d{3}) bytes=(\d+)",
                             log[-2])
        totals = re.fullmatch(r"TOTALS connects=1 seconds=(\d+\.\d{3}) bytes=(\d+)", log[-1])
        self.assertTrue(close and totals, log[-5:])
        self.assertEqual(close[2], totals[2])
        self.assertEqual(int(totals[2]), received)

        # The runtime's log, as the manual pipes it, read by mirebox-stats.
        logs = runtime("logs", "tarpit")
        stats = subprocess.run([self.stats, "--json"], input=logs.stdout, capture_output=True,
                               text=True, timeout=DEADLINE)
        self.assertEqual(stats.returncode, 0, stats.stderr)
        summary = json.loads(stats.stdout)
        self.assertEqual(summary["connections"], 1)
        self.assertEqual(summary["clients_held"], 0)
        self.assertEqual(summary["sent_bytes"], received)
        self.assertEqual(summary["held_seconds"], float(close[1]))
        self.assertEqual(summary["lines"]["unparsed"], 0)
        self.assertEqual(summary["daemon"]["last_totals"],
                         {"connects": 1, "seconds": float(totals[1]), "bytes": received})
        self.assertEqual((summary["daemon"]["starts"], summary["daemon"]["reloads"]), (1, 1))
        self.assertEqual(summary["daemon"]["settings"]["Delay"], 300)
        runtime("rm", "tarpit")
        self.assertEqual(runtime("ps", "--all", "--quiet").stdout, "")

    def test_interactive_under_init_it_runs_on_built_in_settings_and_ctrl_c_stops_it(self):
        """As process 1 the daemon, which has no handler for SIGINT, would
        never see a Ctrl-C; with --init, catatonit is process 1 and the
        daemon ends as it does outside a container."""
        runtime = self.runtime()
        primary, secondary = pty.openpty()
        run = runtime.popen("run", "--rm", "--interactive", "--tty", "--init", "--name", "trying",
                            *run_limits(), NAME, stdin=secondary, stdout=secondary,
                            stderr=secondary, start_new_session=True)
        os.close(secondary)
        self.addCleanup(os.close, primary)
        self.addCleanup(lambda: run.poll() is None and run.kill())
        screen = [b""]

        def settings_shown():
            screen[0] += self.read_terminal(primary)
            return re.search(rb"BindFamily [^\r]*\r\n", screen[0])
        wait_until(settings_shown, lambda: f"settings on the terminal: {screen[0]!r}", interval=0)
        screen = screen[0]
        # No file mounted: the built-in settings, and no complaint.
        self.assertEqual(messages(screen.decode().replace("\r\n", "\n")), DEFAULT_SETTINGS)
        os.write(primary, b"\x03")
        status = run.wait(timeout=DEADLINE)
        # Ended by SIGINT: the shell's 128 + 2, as outside a container.
        self.assertEqual(status, 130, screen)
        self.assertEqual(runtime("ps", "--all", "--quiet").stdout, "")

    @staticmethod
    def read_terminal(primary):
        ready, _, _ = select.select([primary], [], [], 0.5)
        if not ready:
            return b""
        try:
            return os.read(primary, 4096)
        except OSError:  # EIO: every writer closed
            return b""

    @staticmethod
    def write_config(folder, text):
        """As an editor saves: a new file renamed over the old one."""
        path = os.path.join(folder, "mirebox.config")
        with open(path + ".new", "w", encoding="ascii") as config:
            config.write(text)
        os.chmod(path + ".new", 0o644)
        os.replace(path + ".new", path)


if __name__ == "__main__":
    unittest.main()
