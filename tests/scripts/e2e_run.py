#!/usr/bin/python3
"""scripts/run as a user runs it, its output piped (`scripts/run | tee log`):
Ctrl-C, which ends the reader too, still ends the script with both its
namespaces removed; an unknown profile is refused before anything is built
or made, naming the profiles there are; the banner shows the serial line's
mbpoll command only for a board that has the line, and only once korvid
answers discovery, so a host run at once lists the camera (a second start
on a live root shows no camera);
--help lists the options and variables, and an option without its value is
named; namespace names are matched whole, and a taken one with a process
in it stops the run before the board root is made, while taken ones left
with no process are removed; a kill -9 of the script leaves no korvid and
no namespace, and the next run starts; a profile given by path names the
default root by its base name, and one named without a folder, from the
folder holding it, is that file. Every serial line the banner names is there while
korvid runs; a run that ends has korvid ended, with korvid's status as its
own, Ctrl-C before the banner too. A killed run's clean-up, held up, never
touches the next run on its names, which waits for it; a kill -9 mid-build
leaves no build running, and runs never build in one tree at once.

Each run has namespace names (KORVID_NS) and a board root of its own, and
runs the korvid under test (KORVID_BIN) rather than building one, but for
the builds, of a small tree of their own whose korvid runs the one under
test.

usage: e2e_run.py KORVID_BINARY"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", ".."))
RUN = os.path.join(TOP, "scripts", "run")
KORVID = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "korvid"
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import camns  # noqa: E402  (removes what a killed run leaves; the run's deadline)

PROFILES = sorted(f[:-4] for f in os.listdir(os.path.join(TOP, "platform", "sim", "profiles")) if f.endswith(".ini"))


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True, check=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


class RunScript(unittest.TestCase):
    @staticmethod
    def prefix(tag):
        """The namespace prefix (KORVID_NS) of the runs tagged `tag`."""
        return f"kvrun{tag}{os.getpid() % 100000}"

    def temporary(self):
        tmp = tempfile.TemporaryDirectory(prefix="korvid-run-")
        camns.reap("dir", tmp.name)
        self.addCleanup(camns.reap, "dir", tmp.name, False)
        self.addCleanup(tmp.cleanup)
        return tmp.name

    def run_script(self, board, tag, root=None, korvid=KORVID, args=None, cwd=None, run=RUN):
        """scripts/run on `board`, its output to a pipe this test reads, in a
        session of its own as a terminal's foreground job is; with korvid
        None, the script builds korvid."""
        ns = self.prefix(tag)
        if root is None:
            root = os.path.join(self.temporary(), "board")
        env = dict(os.environ, KORVID_NS=ns, KORVID_BIN=korvid or "", JOBS="1")
        args = ["--board", board, "--board-root", root] if args is None else args
        for n in (f"{ns}-cam", f"{ns}-host"):
            camns.reap("ns", n)
        p = subprocess.Popen([run, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                             start_new_session=True, cwd=cwd)
        self.addCleanup(self.reap, p, ns)
        return p, ns, root

    def run_to_end(self, *args, **kw):
        """run_script until the script ends by itself: (status, output, namespace prefix, root)."""
        p, ns, root = self.run_script(*args, **kw)
        out, _ = p.communicate(timeout=60)
        return p.returncode, out.decode(errors="replace"), ns, root

    @staticmethod
    def reap(p, ns):
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait(10)
        if p.stdout and not p.stdout.closed:
            p.stdout.close()
        for n in (f"{ns}-cam", f"{ns}-host"):
            # A korvid the run left, its script killed, goes with its namespace.
            for pid in subprocess.run(["ip", "netns", "pids", n], capture_output=True, text=True).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass
            subprocess.run(["ip", "netns", "del", n], capture_output=True)
            camns.reap("ns", n, made=False)
        # The run's locks on its names, its clean-up over.
        for lock in (f"{ns}.lock", f"{ns}.live"):
            try:
                os.unlink(os.path.join("/run/lock/korvid", lock))
            except OSError:
                pass

    @staticmethod
    def read_until(p, text, out=b"", timeout=60):
        """The script's output (after `out`, read already) until `text` has
        come, or the script ended, or the time is up."""
        end = time.monotonic() + timeout
        while text.encode() not in out and time.monotonic() < end:
            ready, _, _ = select.select([p.stdout], [], [], 0.1)
            chunk = os.read(p.stdout.fileno(), 65536) if ready else b""
            if ready and not chunk:
                break
            out += chunk
        return out

    @staticmethod
    def read_until_serving(p, root, timeout=60, out=b""):
        """The script's output (after `out`, read already) until korvid
        serves its control channel and the banner, written at once, has
        come (or the script ended, or the time is up)."""
        log = os.path.join(root, "var", "log", "camera.log")
        serving = False
        end = time.monotonic() + timeout
        while time.monotonic() < end and p.poll() is None and not (serving and b"korvid on board" in out):
            ready, _, _ = select.select([p.stdout], [], [], 0.1)
            if ready:
                out += os.read(p.stdout.fileno(), 65536)
            try:
                with open(log, "rb") as f:
                    serving = b"gvcp fd:" in f.read()
            except OSError:
                pass
        return out.decode(errors="replace")

    def interrupt_with_reader_gone(self, p):
        """Ctrl-C as a terminal sends it, to the whole foreground group; the
        reader of the pipe (tee) ends with it."""
        os.killpg(p.pid, signal.SIGINT)
        p.stdout.close()
        return p.wait(30)

    @staticmethod
    def korvids_on(root):
        """The pids of the korvids running on the board root."""
        pids = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    args = f.read().split(b"\0")
            except OSError:
                continue
            if os.path.basename(args[0]) == b"korvid" and root.encode() in args:
                pids.append(int(pid))
        return pids

    @staticmethod
    def processes():
        """(pid, session, argv) of every process still running (a zombie
        has ended, whenever it is reaped)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat", "rb") as f:
                    state, _, _, session = f.read().rsplit(b")", 1)[1].split()[:4]
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = f.read().split(b"\0")[:-1]
            except (OSError, ValueError):
                continue
            if state != b"Z":
                found.append((int(pid), int(session), argv))
        return found

    def watcher_of(self, ns):
        """The pid of the watcher a run on the names `ns` started."""
        pids = [pid for pid, _, argv in self.processes() if argv[-2:] == [b"watch", ns.encode()]]
        self.assertEqual(len(pids), 1, pids)
        return pids[0]

    def check_interrupted_run(self, board, tag, while_serving=None, root=None, args=None, cwd=None, discover=False):
        p, ns, root = self.run_script(board, tag, root=root, args=args, cwd=cwd)
        if discover:
            # The README's first command, the moment the banner is out,
            # lists the camera.
            shown = self.read_until(p, "device id ")
            shown = self.read_until(p, ";", shown, timeout=10)
            devid = re.search(rb"device id (\S+);", shown)
            self.assertIsNotNone(devid, shown)
            found = subprocess.run(["ip", "netns", "exec", f"{ns}-host", "arv-tool-0.8"], capture_output=True,
                                   timeout=30).stdout
            self.assertIn(devid.group(1) + b" (169.254.10.2)", found, shown)
        out = self.read_until_serving(p, root, out=shown if discover else b"")
        self.assertIsNone(p.poll(), out)
        self.assertTrue({f"{ns}-cam", f"{ns}-host"} <= namespaces(), out)
        self.assertEqual(len(self.korvids_on(root)), 1, out)
        if while_serving:
            while_serving(root, out)
        status = self.interrupt_with_reader_gone(p)
        left = {f"{ns}-cam", f"{ns}-host"} & namespaces()
        self.assertEqual(left, set(), f"namespaces left behind after Ctrl-C (script status {status})")
        self.assertEqual(self.korvids_on(root), [], "korvid outlived the script")
        # Ctrl-C reaches korvid as SIGTERM, whose status (that of a stop
        # with its backtrace) is the script's.
        self.assertEqual(status, 255, out)
        return out, root

    def check_serial_lines_exist(self, board, root, out):
        """Every line the banner names for the board's serial ports, and
        the one its mbpoll command opens, is there (a link to korvid's
        pseudo-terminal) while korvid runs."""
        with open(os.path.join(TOP, "platform", "sim", "profiles", board + ".ini")) as f:
            ports = re.search(r"^SERIAL_PORTS=(.*)$", f.read(), re.M).group(1).split()
        shown = dict(re.findall(r"^\s+(/dev/\S+) is (\S+)$", out, re.M))
        self.assertEqual(sorted(shown), sorted(ports), out)
        mbpoll = re.search(r"mbpoll .* (\S+) 5$", out, re.M)
        self.assertIsNotNone(mbpoll, out)
        for path in (*shown.values(), mbpoll.group(1)):
            self.assertTrue(path.startswith(root + "/") and os.path.exists(path), f"{path} is not there:\n{out}")

    def test_ctrl_c_with_the_output_piped_removes_both_namespaces_and_a_second_start_shows_no_camera_and_the_serial_lines_are_there(self):
        def second_start(root, out):
            self.check_serial_lines_exist("rk3588-gpixel", root, out)
            # Another run on the live root: korvid refuses it, and the run
            # shows nothing a host could reach.
            status, out, ns, _ = self.run_to_end("rk3588-gpixel", "e", root=root)
            self.assertEqual(status, 0, out)
            self.assertIn("Another instance is already running.", out)
            for shown in ("korvid on board", "169.254.10.2", "mbpoll", ".board/ttyS3"):
                self.assertNotIn(shown, out)
            self.assertEqual({f"{ns}-cam", f"{ns}-host"} & namespaces(), set())
            self.assertTrue(os.path.islink(os.path.join(root, ".board", "ttyS3")), "the first korvid's line is gone")

        out, root = self.check_interrupted_run("rk3588-gpixel", "a", second_start)
        # The board has the Modbus slave's line: its command names the link.
        self.assertIn(f"mbpoll -m rtu -a 23 -b 9600 -P none -0 -1 -t 4 -r 120 {root}/.board/ttyS3 5", out)

    def test_a_board_without_serial_ports_is_shown_no_serial_command_and_a_host_finds_the_camera_once_shown(self):
        out, _ = self.check_interrupted_run("rk3576-sc2210", "b", discover=True)
        self.assertIn("korvid on board rk3576-sc2210", out)
        self.assertNotIn("mbpoll", out)
        self.assertNotIn(".board/ttyS", out)

    def test_an_unknown_profile_is_refused_first_naming_the_profiles(self):
        p, ns, root = self.run_script("NO_SUCH", "c")
        out, _ = p.communicate(timeout=60)
        out = out.decode(errors="replace")
        self.assertEqual(p.returncode, 2, out)
        self.assertIn("no board profile NO_SUCH", out)
        for name in PROFILES:
            self.assertIn(name, out)
        self.assertNotIn("korvid on board", out)
        self.assertFalse(os.path.exists(root), "a board root was made for no board")
        self.assertEqual({f"{ns}-cam", f"{ns}-host"} & namespaces(), set())

    def test_help_lists_the_options_and_variables_and_a_missing_value_is_named(self):
        status, out, _, root = self.run_to_end("", "f", args=["--help"])
        self.assertEqual(status, 0, out)
        for name in ("--board NAME", "--board-root DIR", "KORVID_NS", "JOBS", "KORVID_BIN"):
            self.assertIn(name, out)
        for args, named in ((["--board"], "--board"), (["--board-root="], "--board-root"),
                            (["--board", "rk3588-gpixel", "--board-root"], "--board-root")):
            status, out, _, _ = self.run_to_end("", "f", args=args)
            self.assertEqual(status, 2, out)
            self.assertEqual(out.strip(), f"scripts/run: {named} needs a value")

    def test_a_kill_9_of_the_script_leaves_no_korvid_and_no_namespace_and_the_next_run_starts(self):
        p, ns, root = self.run_script("rk3588-gpixel", "k")
        out = self.read_until_serving(p, root)
        self.assertIsNone(p.poll(), out)
        self.assertEqual(len(self.korvids_on(root)), 1, out)
        # The script's shell alone, as `kill -9` of it from a terminal.
        os.kill(p.pid, signal.SIGKILL)
        p.wait(10)
        names = {f"{ns}-cam", f"{ns}-host"}
        gone = camns.wait_for(lambda: not self.korvids_on(root) and not names & namespaces(), 30)
        self.assertTrue(gone, f"left behind: korvid {self.korvids_on(root)}, namespaces {names & namespaces()}")
        # korvid was stopped, not killed: it removed its serial line as it ended.
        self.assertFalse(os.path.lexists(os.path.join(root, ".board", "ttyS3")))
        self.check_interrupted_run("rk3588-gpixel", "k", root=root)

    def test_a_killed_runs_clean_up_held_up_never_ends_the_next_run_on_its_names(self):
        p, ns, root = self.run_script("rk3588-gpixel", "w")
        out = self.read_until_serving(p, root)
        self.assertIsNone(p.poll(), out)
        # A process that ignores SIGTERM keeps the clean-up in its 10 s wait.
        cam = f"{ns}-cam"
        stubborn = subprocess.Popen(["ip", "netns", "exec", cam, "sh", "-c", "trap '' TERM; exec sleep 120"])
        self.addCleanup(stubborn.wait, 10)
        self.addCleanup(stubborn.kill)
        # It ignores SIGTERM once the shell has become sleep; until then a
        # loaded machine may still have it in `ip netns exec` or the shell.
        def comm():
            try:
                with open(f"/proc/{stubborn.pid}/comm") as f:
                    return f.read().strip()
            except OSError:
                return ""
        self.assertTrue(camns.wait_for(lambda: comm() == "sleep", 30), "the stubborn process never started")
        self.assertTrue(camns.wait_for(lambda: str(stubborn.pid) in subprocess.run(
            ["ip", "netns", "pids", cam], capture_output=True, text=True).stdout.split()))
        watcher = self.watcher_of(ns)
        os.kill(p.pid, signal.SIGKILL)
        p.wait(10)
        self.assertTrue(camns.wait_for(lambda: not self.korvids_on(root), 30), "korvid outlived the script")
        # The clean-up held there while the next run on the names starts.
        os.kill(watcher, signal.SIGSTOP)
        self.addCleanup(subprocess.run, ["kill", "-CONT", str(watcher)], capture_output=True)
        second, _, root2 = self.run_script("rk3588-gpixel", "w")
        out = self.read_until(second, "being cleaned up", timeout=30)
        self.assertIn(f"network namespaces {cam} and {ns}-host are still being cleaned up after an earlier "
                      "scripts/run; waiting for it".encode(), out)
        self.assertEqual(self.korvids_on(root2), [], out)
        os.kill(watcher, signal.SIGCONT)
        out = self.read_until_serving(second, root2, out=out)
        self.assertIsNone(second.poll(), out)
        korvid = self.korvids_on(root2)
        self.assertEqual(len(korvid), 1, out)
        # Once the earlier clean-up has ended, the next run has all it had.
        self.assertTrue(camns.wait_for(lambda: not os.path.exists(f"/proc/{watcher}"), 30), "the clean-up never ended")
        self.assertEqual(stubborn.wait(10), -signal.SIGKILL)
        self.assertIsNone(second.poll(), out)
        self.assertEqual(self.korvids_on(root2), korvid)
        self.assertTrue({cam, f"{ns}-host"} <= namespaces())
        self.assertEqual(self.interrupt_with_reader_gone(second), 255, out)
        self.assertEqual({cam, f"{ns}-host"} & namespaces(), set())

    def test_a_kill_9_mid_build_leaves_no_build_running_and_runs_never_build_one_tree_at_once(self):
        # A tree of its own, whose korvid target's first compile holds the
        # build until it is killed: its korvid executes the korvid under test.
        tree = self.temporary()
        os.makedirs(os.path.join(tree, "scripts"))
        os.makedirs(os.path.join(tree, "platform", "sim"))
        for name in ("scripts/run", "scripts/install-deps", "platform/sim/profiles"):
            os.symlink(os.path.join(TOP, name), os.path.join(tree, name))
        with open(os.path.join(tree, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.16)\nproject(standin C)\n"
                    f"set(CMAKE_C_COMPILER_LAUNCHER {tree}/gate.sh)\n"
                    f"add_executable(korvid korvid.c)\ntarget_compile_definitions(korvid PRIVATE KORVID=\"{KORVID}\")\n")
        with open(os.path.join(tree, "korvid.c"), "w") as f:
            f.write("#include <unistd.h>\n"
                    "int main(int argc, char **argv) { (void)argc; execv(KORVID, argv); return 127; }\n")
        with open(os.path.join(tree, "gate.sh"), "w") as f:
            f.write(f"#!/bin/sh\necho $$ >> {tree}/compiles\n"
                    f"if mkdir {tree}/held 2>/dev/null; then\n"
                    f"  echo $$ > {tree}/held/pid.new && mv {tree}/held/pid.new {tree}/held/pid\n"
                    "  n=600; while [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done\nfi\nexec \"$@\"\n")
        os.chmod(os.path.join(tree, "gate.sh"), 0o755)
        run = os.path.join(tree, "scripts", "run")

        def compiles():
            with open(os.path.join(tree, "compiles")) as f:
                return f.read().split()

        first, ns, _ = self.run_script("rk3588-gpixel", "m", korvid=None, run=run)
        pid_file = os.path.join(tree, "held", "pid")
        camns.wait_for(lambda: os.path.exists(pid_file) or first.poll() is not None, 120)
        self.assertTrue(os.path.exists(pid_file), "the build never compiled")
        with open(pid_file) as f:
            held = int(f.read())
        session = [s for pid, s, _ in self.processes() if pid == held]
        self.assertEqual(len(session), 1)
        # A run on other names waits for the build in the tree, saying so.
        other, _, other_root = self.run_script("rk3588-gpixel", "n", korvid=None, run=run)
        out = self.read_until(other, "builds in", timeout=60).decode(errors="replace")
        self.assertIn(f"another scripts/run builds in {tree}/build/run; waiting for it", out)
        self.assertEqual(compiles(), [str(held)])
        # kill -9 mid-build, and a run on the same names started at once.
        os.kill(first.pid, signal.SIGKILL)
        first.wait(10)
        again, _, again_root = self.run_script("rk3588-gpixel", "m", korvid=None, run=run)
        left = camns.wait_for(lambda: not [pid for pid, s, _ in self.processes() if s == session[0]], 15)
        self.assertTrue(left, "the killed run's build is still running")
        for p, root in ((other, other_root), (again, again_root)):
            out = self.read_until_serving(p, root, timeout=120)
            self.assertIn("korvid on board rk3588-gpixel", out)
            self.assertEqual(len(self.korvids_on(root)), 1, out)
        for p in (other, again):
            self.assertEqual(self.interrupt_with_reader_gone(p), 255)

    def test_ctrl_c_while_korvid_starts_waits_for_korvid_and_reports_its_status(self):
        # A korvid that has not answered yet, stopped while the script asks.
        folder = self.temporary()
        standin = os.path.join(folder, "korvid")
        with open(standin, "w") as f:
            f.write(f"#!/bin/sh\n: > {folder}/started\nexec sleep 60\n")
        os.chmod(standin, 0o755)
        p, ns, _ = self.run_script("rk3588-gpixel", "s", korvid=standin)
        host = f"{ns}-host"
        self.assertTrue(camns.wait_for(lambda: os.path.exists(os.path.join(folder, "started")), 30))
        os.killpg(p.pid, signal.SIGINT)
        out, _ = p.communicate(timeout=30)
        out = out.decode(errors="replace")
        self.assertIn("korvid ended with status 143", out)
        self.assertEqual(p.returncode, 143, out)
        self.assertNotIn("korvid on board", out)
        self.assertEqual({f"{ns}-cam", host} & namespaces(), set())

    def test_namespace_names_are_matched_whole_and_a_taken_one_in_use_stops_the_run_before_the_root_is_made_and_one_left_empty_is_removed(self):
        ns = self.prefix("g")
        longer, cam, host = f"q-{ns}-cam", f"{ns}-cam", f"{ns}-host"
        for name in (longer, cam, host):
            camns.reap("ns", name)
            self.addCleanup(camns.reap, "ns", name, False)
            self.addCleanup(subprocess.run, ["ip", "netns", "del", name], capture_output=True)
        subprocess.run(["ip", "netns", "add", longer], check=True)
        # A name that only contains ours takes nothing from this run, and
        # is no namespace of its to remove.
        status, out, _, root = self.run_to_end("rk3588-gpixel", "g", korvid="/bin/true")
        self.assertEqual(status, 0, out)
        self.assertIn("korvid ended with status 0", out)
        self.assertNotIn("removed", out)
        self.assertEqual({longer}, {longer, cam, host} & namespaces())
        # Whole names taken, one with a process in it, stop the run first
        # and both stay their owner's.
        for name in (cam, host):
            subprocess.run(["ip", "netns", "add", name], check=True)
        holder = subprocess.Popen(["ip", "netns", "exec", host, "cat"], stdin=subprocess.PIPE)
        self.addCleanup(holder.wait, 10)
        self.addCleanup(holder.kill)
        self.assertTrue(camns.wait_for(lambda: subprocess.run(["ip", "netns", "pids", host], capture_output=True,
                                                              text=True).stdout.strip()))
        shutil.rmtree(root)
        status, out, _, root = self.run_to_end("rk3588-gpixel", "g", root=root, korvid="/bin/true")
        self.assertEqual(status, 1, out)
        self.assertIn(f"network namespace {host} exists already", out)
        self.assertFalse(os.path.exists(root), "a board root was made for a run that did not start")
        self.assertEqual({longer, cam, host}, {longer, cam, host} & namespaces())
        # With no process left in them, the next run removes them, says so, and runs.
        holder.stdin.close()
        holder.wait(10)
        status, out, _, root = self.run_to_end("rk3588-gpixel", "g", root=root, korvid="/bin/true")
        self.assertEqual(status, 0, out)
        for name in (cam, host):
            self.assertIn(f"network namespace {name} was left with no process in it; removed it", out)
        self.assertIn("korvid ended with status 0", out)
        self.assertEqual({longer}, {longer, cam, host} & namespaces())

    def test_a_profile_given_by_path_names_the_default_root_by_its_base_name(self):
        name = f"kvprofile{os.getpid() % 100000}"
        profile = os.path.join(self.temporary(), name + ".ini")
        shutil.copyfile(os.path.join(TOP, "platform", "sim", "profiles", "rk3588-gpixel.ini"), profile)
        root = os.path.join(TOP, "build", "run", "board-" + name)
        camns.reap("dir", root)
        self.addCleanup(camns.reap, "dir", root, False)
        self.addCleanup(shutil.rmtree, root, True)
        status, out, _, _ = self.run_to_end("", "h", korvid="/bin/true", args=["--board", profile])
        self.assertEqual(status, 0, out)
        self.assertTrue(os.path.isdir(root), out)

    def test_a_profile_file_and_a_board_root_named_without_a_folder_are_taken_from_the_callers_folder(self):
        # No profile of korvid's has the name: korvid serves only if it
        # was given the file the run was named.
        folder = self.temporary()
        name = f"kvprofile{os.getpid() % 100000}.ini"
        shutil.copyfile(os.path.join(TOP, "platform", "sim", "profiles", "rk3588-gpixel.ini"),
                        os.path.join(folder, name))
        # The root is named from the same folder: it is made there.
        root = os.path.join(folder, "board")
        self.check_interrupted_run("", "i", root=root, args=["--board", name, "--board-root", "board"], cwd=folder)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
