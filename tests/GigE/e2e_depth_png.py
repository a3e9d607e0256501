#!/usr/bin/python3
"""A depth frame saved by an Aravis client is exactly the depth that the
processing stand-in computes from the raw frame korvid captured for it.

korvid streams depth and, with the grey stream open, the raw frame each depth
frame was computed from; both carry the frame index in the leader. The
client saves one depth frame as a 16-bit PNG and the raw frame of the same
index; the stand-in, run here on those raw bytes with the camera's register
values, must give the PNG's samples exactly.

The README's pictures (docs/depth.png and its 8-bit view docs/depth-view.png)
are such a frame: they show the simulated scene to a millimetre.

usage: e2e_depth_png.py KORVID_BINARY DEPTHTOOL_BINARY
With KORVID_E2E_DOCS=DIR the checked PNG and its 8-bit view are kept there
(depth.png, depth-view.png); set to the path of docs/ it makes the README's
anew."""

import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from arvframe import read_png, view_samples  # noqa: E402
from camns import CAM_ADDR, CameraNet  # noqa: E402
from scene import scene_mm  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
DEPTHTOOL = sys.argv[2] if len(sys.argv) > 2 else "depthtool"
ARVFRAME = os.path.join(HERE, "..", "e2e", "arvframe.py")
DOCS = os.path.normpath(os.path.join(HERE, "..", "..", "docs"))

# Registers the stand-in reads, by the names depthtool takes.
STANDIN_REGS = {"sensorType": 0x10002000, "rgbSensorType": 0x10001000, "freqMode": 0x10002068,
                "groupAFreq": 0x1000206C, "groupBFreq": 0x10002070, "groupCFreq": 0x10002050,
                "phaseOptions": 0x100000EC, "cpuId": 0x10007024, "cameraType": 0x10007000}


class DepthPng(unittest.TestCase):
    def test_saved_depth_png_is_the_stand_in_depth_of_its_raw_frame(self):
        with CameraNet(f"p{os.getpid() % 100000}") as net:
            korvid = net.start_korvid_serving(KORVID)

            png, raw, view = (os.path.join(net.dir, n) for n in ("depth.png", "raw.bin", "depth-view.png"))
            args = ["/usr/bin/python3", ARVFRAME, CAM_ADDR,
                    "--write", "0x10000020=0",   # amplitude closed: every Mono16 block is depth
                    "--write", "0x1000001C=1",   # grey stream open: the raw frames travel too
                    "--write", "0x1000202C=8",   # slower: the raw frames are 22 MB each
                    "--depth", png, "--raw", raw, "--view", view, "--timeout", "60"]
            for addr in STANDIN_REGS.values():
                args += ["--read", hex(addr)]
            r = net.on_host(args, timeout=90)
            self.assertEqual(r.returncode, 0, r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace"))
            out = json.loads(r.stdout)
            # Both frames arrived whole (no resend serves the grey stream).
            self.assertEqual(out["depth_frame"]["index"], out["raw_frame"]["index"])
            self.assertEqual(out["raw_frame"]["bytes"], os.path.getsize(raw))

            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status

            width, height, bits, samples = read_png(png)
            self.assertEqual((width, height, bits), (640, 480, 16))
            computed = os.path.join(net.dir, "standin.bin")
            settings = [f"{name}={out['reads'][hex(addr)]}" for name, addr in STANDIN_REGS.items()]
            t = subprocess.run([DEPTHTOOL, "depth", raw, computed, *settings], capture_output=True, text=True)
            self.assertEqual(t.returncode, 0, t.stderr)
            self.assertEqual(t.stdout.split(), [str(width), str(height)])
            with open(computed, "rb") as f:
                want = struct.unpack("<%dH" % (width * height), f.read())
            self.assertTrue(any(want), "the stand-in saw light")
            diff = [i for i in range(width * height) if samples[i] != want[i]]
            self.assertEqual(diff[:10], [], f"{len(diff)} pixels differ")

            docs = os.environ.get("KORVID_E2E_DOCS")
            if docs:
                shutil.copyfile(png, os.path.join(docs, "depth.png"))
                shutil.copyfile(view, os.path.join(docs, "depth-view.png"))

    def test_readme_pictures_show_the_scene(self):
        width, height, bits, samples = read_png(os.path.join(DOCS, "depth.png"))
        self.assertEqual((width, height, bits), (640, 480, 16))
        with tempfile.TemporaryDirectory(prefix="korvid-docs-") as tmp:
            scene = scene_mm(DEPTHTOOL, width, height, tmp)
        off = [i for i in range(width * height) if abs(samples[i] - scene[i]) > 1]
        self.assertEqual(off[:10], [], f"{len(off)} of {width * height} pixels more than 1 mm off the scene "
                                       f"(wall at {max(scene)} mm); make them again with KORVID_E2E_DOCS set to docs/")
        self.assertEqual(read_png(os.path.join(DOCS, "depth-view.png")), (width, height, 8, view_samples(samples)))


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
