#!/usr/bin/python3
"""Encoded video end to end: korvid on the rk3576-fh8320 and rk3576-sc2210
boards captures the simulated FH8320 or SC2210 camera, encodes its pictures in
the simulated hardware encoder and streams them as video blocks. The coding follows the colour
encoding register: unmodified Aravis receives the MJPEG blocks, and tshark
sees every coding's blocks and decodes the standard H.264 ones cleanly.

usage: e2e_video.py KORVID_BINARY"""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"

# Colour encoding register value -> (encoder packet tag, GVSP payload type).
CODINGS = {1: (b"H264", 0x0008), 2: (b"H265", 0x8000), 3: (b"MJPG", 0x8001)}
PICTURE_BYTES = 1920 * 1080 * 3 // 2  # the NV12 picture the encoder takes
# The first 256 luma bytes of the chart: 240 of its first bar, then the second.
CHART_ROW = bytes([180] * 240 + [162] * 16)

# Runs on the host: selects the coding, streams, and reports each buffer.
CLIENT = r'''
import json, sys, time, gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis
cam = Aravis.Camera.new(sys.argv[1])
cam.get_device().write_register(0x10000058, int(sys.argv[2]))
stream = cam.create_stream(None, None)
for i in range(8):
    stream.push_buffer(Aravis.Buffer.new_allocate(1 << 20))
cam.start_acquisition()
out = []
# Until that many buffers came, a minute at most: a slow build on a busy
# host sends them later, a fault never.
deadline = time.monotonic() + 60
while len(out) < int(sys.argv[3]) and time.monotonic() < deadline:
    b = stream.timeout_pop_buffer(500000)
    if b is None:
        continue
    out.append({"status": b.get_status().value_nick, "data": bytes(b.get_data() or b"").hex()})
    stream.push_buffer(b)
cam.stop_acquisition()
print(json.dumps(out))
'''


class VideoEndToEnd(unittest.TestCase):
    def test_fh8320_pictures_reach_the_host_in_the_coding_the_register_selects(self):
        self.stream_codings("rk3576-fh8320", (1, 2, 3))

    def test_sc2210_pictures_reach_the_host_as_mjpeg(self):
        self.stream_codings("rk3576-sc2210", (3,))

    def stream_codings(self, profile, values):
        with CameraNet(f"e{os.getpid() % 100000}") as net:
            pcap = os.path.join(net.dir, "gvsp.pcap")
            capture = Capture(net, net.host, net.host_if, pcap, ["-f", "udp and not port 3956"])
            korvid = net.start_korvid_serving(KORVID, profile=profile)

            for value in values:
                r = net.on_host(["/usr/bin/python3", "-c", CLIENT, CAM_ADDR, str(value), "6"], timeout=90)
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                if value != 3:
                    continue
                # Aravis completes the MJPEG blocks; their data follow the
                # 8 time-stamp bytes of the video payload header.
                buffers = json.loads(r.stdout)
                done = [bytes.fromhex(b["data"]) for b in buffers if b["status"] == "success"]
                self.assertGreaterEqual(len(done), 3, buffers)
                for data in done:
                    packet = data[8:]
                    self.assertEqual(packet[:4], b"MJPG")
                    self.assertEqual(int.from_bytes(packet[4:8], "little"), PICTURE_BYTES)
                    self.assertEqual(len(packet), 12 + 256)
                    self.assertEqual(packet[12:], CHART_ROW)

            log = net.korvid_log()
            self.assertNotIn("exceeds the encoder input", log)
            self.assertNotIn("init fail.", log)
            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status
            capture.finish()

            fields = capture.read("--enable-heuristic", "gvsp_udp", "-Y", "gvsp", "-T", "fields",
                                  "-e", "gvsp.format", "-e", "gvsp.blockid64", "-e", "gvsp.payloadtype",
                                  "-e", "gvsp.payloaddata")
            rows = [line.split("\t") for line in fields.stdout.splitlines() if line.strip()]
            leaders = [(int(b, 0), t) for f, b, t, _ in rows if int(f, 0) & 0x7F == 1]
            # Block ids grow by one per block; each stream start begins again.
            ids = [b for b, _ in leaders]
            for prev, cur in zip(ids, ids[1:]):
                self.assertTrue(cur == prev + 1 or cur < prev, ids)
            # tshark names the standard H.264 type; the device-specific ones
            # (H.265 0x8000, MJPEG 0x8001) it shows as far as it knows them.
            seen = {int(t, 0) for _, t in leaders if t}
            if 1 in values:
                self.assertIn(0x0008, seen)
            # Every payload packet carries an encoder packet behind the 8
            # time-stamp bytes: each coding's in turn.
            tags = {bytes.fromhex(d[16:24]) for f, _, _, d in rows if int(f, 0) & 0x7F == 3 and len(d) > 24}
            self.assertEqual(tags, {CODINGS[v][0] for v in values})
            # tshark knows the layout of the standard H.264 blocks and
            # decodes them cleanly. For the device-specific types (H.265
            # 0x8000, MJPEG 0x8001) it knows no leader or trailer and marks
            # those two packets; never a payload packet, never an H.264 block.
            bad = capture.read("--enable-heuristic", "gvsp_udp", "-Y", "_ws.malformed",
                               "-T", "fields", "-e", "gvsp.format", "-e", "gvsp.payloadtype")
            for line in bad.stdout.splitlines():
                fmt, ptype = (line.split("\t") + [""])[:2]
                self.assertIn(int(fmt, 0) & 0x7F, (1, 2), line)
                self.assertNotEqual(ptype, "0x0008", line)

if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
