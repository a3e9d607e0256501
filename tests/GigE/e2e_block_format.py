#!/usr/bin/python3
"""A host can read every block as the README says, on every board with a ToF
sensor. Aravis reads Width, Height, PixelFormat and PayloadSize through the
camera's GenICam description, then receives every stream (the raw grey
frames switched on) into buffers of PayloadSize bytes: depth and amplitude
arrive as Mono16 of Width x Height, the grey frames in PixelFormat, and no
block is larger than PayloadSize. tshark meanwhile takes the image leaders:
byte 21 names the image type, a frame's depth leader comes before its
amplitude leader with the same frame index (x offset) and time stamp, and
the time stamp is the camera's clock in seconds (high word) and
nanoseconds (low word).

usage: e2e_block_format.py KORVID_BINARY"""

import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
ARVFRAME = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "arvframe.py")
# The bound on waiting for frames: a thread-sanitized build on a busy host
# starts streaming late and sends a raw frame in seconds.
WAIT = 90
MONO16 = 0x01100007
MONO10 = 0x01100003
DEPTH, AMPLITUDE, GREY, COLOUR = 1, 2, 3, 4
# Depth and amplitude blocks the acquisition waits for, so that the leaders
# taken meanwhile hold a few frames' pairs.
DEPTH_FRAMES = 6
PIXEL_FORMATS = {"Mono8": 0x01080001, "Mono10": 0x01100003, "Mono12": 0x01100005, "Mono16": 0x01100007}
REG_ENABLE_GRAY, REG_TOF_FPS = 0x1000001C, 0x1000202C
# Board -> the image kinds (format and size) its streams carry (depth and
# amplitude share one, the grey frames have one, the colour frames one), and
# the register writes before the acquisition.
PROFILES = {
    "rk3588-gpixel": (3, []),
    "rk3568-imx570": (3, []),
    "rk3568-v23": (3, []),
    # 26 MB grey frames: 2 a second.
    "rk3588-vd55h1": (2, [f"{REG_TOF_FPS:#x}=2"]),
}


def stat(out, name):
    return out.get(name, -1)


class BlockFormat(unittest.TestCase):
    def test_features_and_leaders_describe_the_blocks_on_every_tof_board(self):
        for profile, (kinds, writes) in PROFILES.items():
            with self.subTest(profile=profile):
                self.check_board(profile, kinds, writes)

    def check_board(self, profile, kinds, writes):
        with CameraNet(f"z{os.getpid() % 100000}") as net:
            korvid = net.start_korvid_serving(KORVID, profile=profile)
            r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", "Width", "Height", "PixelFormat",
                             "PayloadSize"], timeout=60)
            text = r.stdout.decode(errors="replace")
            self.assertEqual(r.returncode, 0, text + r.stderr.decode(errors="replace"))
            features = dict(re.findall(r"(?m)^(\w+) = (\w+)", text))
            width, height = int(features["Width"]), int(features["Height"])
            pixel_format, payload = PIXEL_FORMATS[features["PixelFormat"]], int(features["PayloadSize"])

            # The first bytes of every stream packet; the leaders are read out
            # afterwards. (A capture filter on the leader format byte missed
            # most leaders while the grey frames' packets poured in.)
            pcap = os.path.join(net.dir, "leaders.pcap")
            capture = Capture(net, net.host, net.host_if, pcap, ["-s", "128", "-f", "udp and not port 3956"])
            # Grey frames on: the largest blocks. arvframe's buffers are
            # PayloadSize bytes, as Aravis sizes them.
            args = ["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--write", f"{REG_ENABLE_GRAY:#x}=1"]
            for w in writes:
                args += ["--write", w]
            r = net.on_host(args + ["--auto-socket-buffer", "--buffers", "4", "--frame-retention", "3000",
                                    "--packet-timeout", "500", "--frames", "4", "--kinds", str(kinds),
                                    "--depth-frames", str(DEPTH_FRAMES),
                                    "--timeout", str(WAIT)], timeout=WAIT + 30)
            text = r.stdout.decode(errors="replace")
            self.assertEqual(r.returncode, 0, text + r.stderr.decode(errors="replace"))
            out = json.loads(text)
            self.assertEqual(out["payload"], payload, out)
            seen = [(int(fmt, 16), *map(int, size.split("x")))
                    for fmt, size in (key.split() for key in out["images"])]
            self.assertIn((MONO16, width, height), seen, out["images"])
            self.assertEqual([s for s in seen if s[0] == MONO16], [(MONO16, width, height)], out["images"])
            grey = [s for s in seen if s[0] == pixel_format]
            self.assertEqual(len(grey), 1, out["images"])
            self.assertLessEqual(grey[0][1] * grey[0][2] * 2, payload, out["images"])
            # A block larger than the buffer would be a size mismatch. (A
            # loaded host may lose a raw frame's packets: a time-out, not
            # what is checked here.)
            self.assertEqual(stat(out, "n_size_mismatch_errors"), 0, out)
            capture.finish()
            self.check_leaders(capture, pixel_format)

            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status

    def check_leaders(self, capture, pixel_format):
        fields = capture.read("-Y", "udp.payload[4] == 0x81", "-T", "fields", "-e", "frame.time_epoch",
                              "-e", "udp.payload")
        # Leaders only: a UDP payload whose fifth byte is the leader format.
        frames = {}  # frame index -> [(image type, time stamp)] in arrival order
        leaders = 0
        for row in (line.split("\t") for line in fields.stdout.splitlines() if line.strip()):
            arrived, data = float(row[0]), bytes.fromhex(row[1].replace(":", ""))
            kind, pixel = data[21], int.from_bytes(data[32:36], "big")
            seconds, nanoseconds = int.from_bytes(data[24:28], "big"), int.from_bytes(data[28:32], "big")
            index = int.from_bytes(data[44:48], "big")
            self.assertLess(nanoseconds, 1000000000, row)
            # The simulated board's clock is the host's: the leader leaves
            # shortly after the frame was taken.
            self.assertLess(abs(arrived - (seconds + nanoseconds / 1e9)), 30, row)
            if pixel == MONO16:
                self.assertIn(kind, (DEPTH, AMPLITUDE), row)
                frames.setdefault(index, []).append((kind, seconds, nanoseconds))
            elif pixel == pixel_format:
                self.assertEqual(kind, GREY, row)
            else:
                self.assertEqual((kind, pixel), (COLOUR, MONO10), row)
            leaders += 1
        self.assertGreater(leaders, 4, fields.stderr)
        pairs = 0
        for index, blocks in frames.items():
            self.assertEqual(blocks, sorted(blocks), f"frame {index}: depth first")
            self.assertEqual(len({b[1:] for b in blocks}), 1, f"frame {index}: one time stamp")
            pairs += [b[0] for b in blocks] == [DEPTH, AMPLITUDE]
        self.assertGreater(pairs, 0, frames)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
