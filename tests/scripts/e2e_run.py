#!/usr/bin/python3
"""scripts/run as a user runs it, its output piped (`scripts/run | tee log`):
Ctrl-C, which ends the reader too, still ends the script with both its
namespaces removed; an unknown profile is refused before anything is built
or made, naming the profiles there are; the banner shows the serial line's
mbpoll command only for a board that has the line, and only once korvid
holds the board root (a second start on a live root shows no camera);
--help lists the options and variables, and an option without its value is
named; namespace names are matched whole, and a taken one with a process
in it stops the run before the board root is made, while taken ones left
with no process are removed; a kill -9 of the script leaves no korvid and
no namespace, and the next run starts; a profile given by path names the
default root by its base name, and one named without a folder, from the
folder holding it, is that file. Every serial line the banner names is there while
korvid runs; a run that ends has korvid ended, with korvid's status as its
own.

Each run has namespace names (KORVID_NS) and a board root of its own, and
runs the korvid under test (KORVID_BIN) rather than building one.

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

    def run_script(self, board, tag, root=None, korvid=KORVID, args=None, cwd=None):
        """scripts/run on `board`, its output to a pipe this test reads, in a
        session of its own as a terminal's foreground job is."""
        ns = self.prefix(tag)
        if root is None:
            root = os.path.join(self.temporary(), "board")
        env = dict(os.environ, KORVID_NS=ns, KORVID_BIN=korvid)
        args = ["--board", board, "--board-root", root] if args is None else args
        for n in (f"{ns}-cam", f"{ns}-host"):
            camns.reap("ns", n)
        p = subprocess.Popen([RUN, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
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

    @staticmethod
    def read_until_serving(p, root, timeout=60):
        """The script's output until korvid serves its control channel and
        the banner, written at once, has come (or the script ended, or the
        time is up)."""
        log = os.path.join(root, "var", "log", "camera.log")
        out = b""
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

    def check_interrupted_run(self, board, tag, while_serving=None, root=None, args=None, cwd=None):
        p, ns, root = self.run_script(board, tag, root=root, args=args, cwd=cwd)
        out = self.read_until_serving(p, root)
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

    def test_a_board_without_serial_ports_is_shown_no_serial_command(self):
        out, _ = self.check_interrupted_run("rk3576-sc2210", "b")
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
