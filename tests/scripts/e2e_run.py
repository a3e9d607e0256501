#!/usr/bin/python3
"""scripts/run as a user runs it, its output piped (`scripts/run | tee log`):
Ctrl-C, which ends the reader too, still ends the script with both its
namespaces removed; an unknown profile is refused before anything is built
or made, naming the profiles there are; the banner shows the serial line's
mbpoll command only for a board that has the line.

Each run has namespace names (KORVID_NS) and a board root of its own, and
runs the korvid under test (KORVID_BIN) rather than building one.

usage: e2e_run.py KORVID_BINARY"""

import os
import select
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
PROFILES = sorted(f[:-4] for f in os.listdir(os.path.join(TOP, "platform", "sim", "profiles")) if f.endswith(".ini"))


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True, check=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


class RunScript(unittest.TestCase):
    def run_script(self, board, tag):
        """scripts/run on `board`, its output to a pipe this test reads, in a
        session of its own as a terminal's foreground job is."""
        ns = f"kvrun{tag}{os.getpid() % 100000}"
        tmp = tempfile.TemporaryDirectory(prefix="korvid-run-")
        self.addCleanup(tmp.cleanup)
        root = os.path.join(tmp.name, "board")
        env = dict(os.environ, KORVID_NS=ns, KORVID_BIN=KORVID)
        p = subprocess.Popen([RUN, "--board", board, "--board-root", root], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, env=env, start_new_session=True)
        self.addCleanup(self.reap, p, ns)
        return p, ns, root

    @staticmethod
    def reap(p, ns):
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait(10)
        if p.stdout and not p.stdout.closed:
            p.stdout.close()
        for n in (f"{ns}-cam", f"{ns}-host"):
            subprocess.run(["ip", "netns", "del", n], capture_output=True)

    @staticmethod
    def read_until_serving(p, root, timeout=60):
        """The script's output until korvid serves its control channel (or
        the script ended, or the time is up)."""
        log = os.path.join(root, "var", "log", "camera.log")
        out = b""
        end = time.monotonic() + timeout
        while time.monotonic() < end and p.poll() is None:
            ready, _, _ = select.select([p.stdout], [], [], 0.1)
            if ready:
                out += os.read(p.stdout.fileno(), 65536)
            try:
                with open(log, "rb") as f:
                    if b"gvcp fd:" in f.read():
                        break
            except OSError:
                pass
        return out.decode(errors="replace")

    def interrupt_with_reader_gone(self, p):
        """Ctrl-C as a terminal sends it, to the whole foreground group; the
        reader of the pipe (tee) ends with it."""
        os.killpg(p.pid, signal.SIGINT)
        p.stdout.close()
        return p.wait(30)

    def check_interrupted_run(self, board, tag):
        p, ns, root = self.run_script(board, tag)
        out = self.read_until_serving(p, root)
        self.assertIsNone(p.poll(), out)
        self.assertTrue({f"{ns}-cam", f"{ns}-host"} <= namespaces(), out)
        self.interrupt_with_reader_gone(p)
        left = {f"{ns}-cam", f"{ns}-host"} & namespaces()
        self.assertEqual(left, set(), f"namespaces left behind after Ctrl-C (script status {p.returncode})")
        return out, root

    def test_ctrl_c_with_the_output_piped_removes_both_namespaces(self):
        out, root = self.check_interrupted_run("rk3588-gpixel", "a")
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


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
