#!/usr/bin/python3
"""The Modbus RTU slave of a running korvid, reached by mbpoll through the
serial port the simulated board publishes under "<board root>/.board/".

A write is answered at once; a read of the pallet result is answered only
while a result record waits: not before any frame, and after an acquisition
(depth processing leaves the pallet application's result of each frame
before the frame leaves). The link is the running instance's: a second start
on the same root leaves it, and it goes when the instance ends.

usage: e2e_modbus_rtu.py KORVID_BINARY"""

import json
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from camns import CAM_ADDR, CameraNet  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
ARVFRAME = os.path.join(HERE, "..", "e2e", "arvframe.py")
MBPOLL = ["mbpoll", "-m", "rtu", "-a", "23", "-b", "9600", "-P", "none", "-0", "-1", "-o", "1"]
REG_APPLICATION_ALGO = 0x1000005C


class ModbusRtu(unittest.TestCase):
    @staticmethod
    def mbpoll(link, options, values=()):
        # A terminal is a file: no network namespace needed.
        r = subprocess.run([*MBPOLL, *options, link, *values], capture_output=True, text=True, timeout=30)
        return r.returncode, r.stdout + r.stderr

    def test_write_is_answered_at_once_and_a_read_while_a_result_waits(self):
        with CameraNet(f"m{os.getpid() % 100000}") as net:
            korvid = net.start_korvid_serving(KORVID)
            link = os.path.join(net.board_root(), ".board", "ttyS3")
            self.assertTrue(os.path.exists(link), "no serial port published")
            with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                self.assertIn(f"serial port /dev/ttyS3 is reached at {os.readlink(link)} ({link})", f.read())

            # Function 6, register 0x0078 := 5: the pallet application on.
            rc, out = self.mbpoll(link, ("-t", "4", "-r", "120"), ("5",))
            self.assertEqual(rc, 0, out)
            self.assertIn("Written 1 references", out)

            # Function 4, register 0x007A, 10 registers: no frame yet, no result.
            read = ("-t", "3", "-r", "122", "-c", "10")
            rc, out = self.mbpoll(link, read)
            self.assertNotEqual(rc, 0, out)
            self.assertIn("timed out", out)

            # Until one depth frame came: its result waits from before it left.
            r = net.on_host(["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--write", "0x10000020=0",
                             "--depth", os.path.join(net.dir, "depth.png"), "--timeout", "60",
                             "--read", hex(REG_APPLICATION_ALGO)], timeout=120)
            self.assertEqual(r.returncode, 0, r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace"))
            got = json.loads(r.stdout)
            self.assertEqual(int(str(got["reads"][hex(REG_APPLICATION_ALGO)]), 0), 2, "the write was carried out")

            rc, out = self.mbpoll(link, read)
            self.assertEqual(rc, 0, out)
            self.assertEqual(re.findall(r"^\[(\d+)\]:", out, re.M), [str(122 + i) for i in range(10)], out)

            rc = net.stop(korvid)
            if rc != 255:
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)

    def test_a_second_start_leaves_the_line_to_the_running_instance_whose_end_removes_the_link(self):
        with CameraNet(f"s{os.getpid() % 100000}") as net:
            link = os.path.join(net.board_root(), ".board", "ttyS3")
            os.makedirs(os.path.dirname(link))
            os.symlink("/dev/pts/left-by-a-killed-run", link)
            korvid = net.start_korvid_serving(KORVID)
            mine = os.readlink(link)
            self.assertNotEqual(mine, "/dev/pts/left-by-a-killed-run", "the link a killed run left stayed")

            second = net.start_korvid(KORVID)
            self.assertEqual(second.wait(60), 0)
            with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                self.assertIn("Another instance is already running.", f.read())
            self.assertEqual(os.readlink(link), mine, "the second start took the running instance's line")
            rc, out = self.mbpoll(link, ("-t", "4", "-r", "120"), ("5",))
            self.assertEqual(rc, 0, out)
            self.assertIn("Written 1 references", out)

            self.assertEqual(net.stop(korvid), 255)
            self.assertFalse(os.path.lexists(link), "the link outlived its instance")


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    if any(os.system(f"command -v {t} >/dev/null") != 0 for t in ("mbpoll", "arv-tool-0.8")):
        print("needs mbpoll and Aravis")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
