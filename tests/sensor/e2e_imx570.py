#!/usr/bin/python3
"""IMX570 streaming end to end: korvid on the rk3568-imx570 board captures the
simulated IMX570 in each of its frequency modes, computes depth and streams
it; unmodified Aravis receives it in the host namespace.

usage: e2e_imx570.py KORVID_BINARY"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet, wait_for  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
SECONDS = 3
FPS = 8
ENABLE_RESEND_PACKET = 0x10000044
# Frequency modes of the sensor: single, dual, single HDR, dual HDR (two
# exposures a frame), triple and the three-exposure mode.
MODES = (5, 0, 1, 2, 3, 6)


def stat(out, name):
    m = re.search(rf"^{name}\s*=\s*(\d+)", out, re.M)
    return int(m.group(1)) if m else -1


class Imx570EndToEnd(unittest.TestCase):
    def test_depth_streams_in_every_frequency_mode_without_a_missing_packet(self):
        with CameraNet(f"x{os.getpid() % 100000}") as net:
            korvid = net.start_korvid(KORVID, profile="rk3568-imx570")
            self.assertTrue(wait_for(lambda: "gvcp fd:" in net.korvid_log() or korvid.poll() is not None, 30))
            self.assertIsNone(korvid.poll(), "korvid ended")
            # A modest rate keeps a sanitizer build on a shared machine in step;
            # packets a loaded host still loses come back resent, as Aravis
            # asks for them.
            r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x1000202C]={FPS}",
                             f"R[0x{ENABLE_RESEND_PACKET:08X}]=1"])
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            for mode in MODES:
                with self.subTest(freqMode=mode):
                    r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x10002068]={mode}"])
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                    r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", "R[0x10002068]"])
                    self.assertIn(f"0x{mode:08x}", r.stdout.decode().lower(), r.stdout)
                    # A sanitizer build on a busy machine may pause the sender
                    # between two packets: a frame is kept 1 s before it counts
                    # as lost.
                    r = net.on_host(["arv-camera-test-0.8", "-n", CAM_ADDR, "--auto", f"--duration={SECONDS}",
                                     "--frame-retention=1000", "--packet-timeout=200"], timeout=120)
                    out = r.stdout.decode(errors="replace")
                    if os.environ.get("KORVID_E2E_DUMP"):
                        sys.stderr.write(f"freqMode {mode}: completed {stat(out, 'n_completed_buffers')}\n")
                    self.assertEqual(r.returncode, 0, out + r.stderr.decode(errors="replace"))
                    self.assertEqual(stat(out, "n_missing_packets"), 0, out)
                    self.assertEqual(stat(out, "n_failures"), 0, out)
                    self.assertEqual(stat(out, "n_size_mismatch_errors"), 0, out)
                    self.assertGreater(stat(out, "n_completed_buffers"), SECONDS, out)
            log = net.korvid_log()
            if os.environ.get("KORVID_E2E_DUMP"):
                sys.stderr.write(log)
            for text in ("freqmode:triple", "freqmode:single", "freqmode:dual", "freqmode:single hdr",
                         "freqmode:dual hdr", "freqmode:multi triple hdr"):
                self.assertIn(text, log)
            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
