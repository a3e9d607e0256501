#!/usr/bin/python3
"""Colour capture end to end: korvid on the rk3588-gpixel board captures the
simulated SC130GS beside the Gpixel ToF sensor; unmodified Aravis in the host
namespace receives the colour frames (1280 x 960 Mono10, image type 4 in the
leader) between the depth frames on the one stream channel, a saved colour
frame (two pictures in the ToF's default two-exposure mode) shows the
sensor's chart, and clearing the colour stream register
(0x10000028) stops the colour frames while depth goes on.

usage: e2e_colour.py KORVID_BINARY
       e2e_colour.py --receive ADDRESS OUT_FILE SECONDS NEEDS_JSON [REGISTER=VALUE]   (inside the host namespace)"""

import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
W, H = 1280, 960
MONO10, MONO16 = 0x01100003, 0x01100007
REG_ENABLE_RGB = 0x10000028
REG_FPS = 0x1000102C
REG_RESEND = 0x10000044
# Completed buffers counted by size and format.
COLOUR, DEPTH = "%dx%d/%#x" % (W, H, MONO10), "640x480/%#x" % MONO16
# The bound on waiting for frames: a thread-sanitized build on a busy host
# starts streaming late and computes depth at well under a frame a second.
WAIT = 60
# The chart: 75% bars (luma) over the top three quarters, then a grey ramp
# that moves one step per frame.
BARS = [180, 162, 131, 112, 84, 65, 35, 16]


def receive(address, out_file, seconds, needs, writes):
    """Streams at least `seconds` and on until the counts of completed
    buffers by size and format reach `needs` ({key: count}), WAIT at most;
    the first complete colour frame goes to out_file. Prints the counts as JSON."""
    import gi
    gi.require_version("Aravis", "0.8")
    from gi.repository import Aravis

    camera = Aravis.Camera.new(address)
    device = camera.get_device()
    for reg, value in writes:
        device.write_register(reg, value)
    stream = camera.create_stream(None, None)
    # A sanitizer build on a busy host may take longer than Aravis's default
    # to send the 3400 packets of one colour frame, and seconds where it
    # is starved.
    stream.set_property("frame-retention", 5000000)
    size = max(camera.get_payload(), 2 * W * H * 2)
    for _ in range(16):
        stream.push_buffer(Aravis.Buffer.new_allocate(size))
    camera.start_acquisition()
    counts, saved = {}, False
    # Frames already on their way when a register changed, and the block
    # the acquisition may have started in the middle of, are not counted.
    settle = time.monotonic() + 1.0
    end = time.monotonic() + seconds
    bound = time.monotonic() + WAIT
    # A slow build on a busy host gets its frames later, a fault never.
    while time.monotonic() < bound and (time.monotonic() < end or
                                        any(counts.get(k, 0) < n for k, n in needs.items())):
        buf = stream.timeout_pop_buffer(200000)
        if buf is None:
            continue
        if time.monotonic() < settle:
            pass
        elif buf.get_status() == Aravis.BufferStatus.SUCCESS:
            key = "%dx%d/%#x" % (buf.get_image_width(), buf.get_image_height(), buf.get_image_pixel_format())
            counts[key] = counts.get(key, 0) + 1
            if not saved and buf.get_image_width() == W and buf.get_image_pixel_format() == MONO10:
                data = buf.get_data()
                with open(out_file, "wb") as f:
                    f.write(data)
                saved = True
        elif buf.get_status() != Aravis.BufferStatus.SUCCESS:
            key = "failed %s" % buf.get_status().value_nick
            counts[key] = counts.get(key, 0) + 1
        stream.push_buffer(buf)
    camera.stop_acquisition()
    print(json.dumps(counts))


def chart_seq(px):
    """The frame number of a Mono10 picture of the chart, or None when it is not one."""
    for y in range(0, H * 3 // 4):
        row = px[y * W:(y + 1) * W]
        for x in range(0, W, 7):
            if row[x] != BARS[x * 8 // W] * 4:
                return None
    # The ramp's position is the frame's number.
    bottom = list(px[(H - 1) * W:H * W])
    for seq in range(W):
        ramp = [(16 + ((x + seq) % W) * 219 // W) * 4 for x in range(W)]
        if bottom == ramp:
            if any(list(px[y * W:(y + 1) * W]) != ramp for y in range(H * 3 // 4, H)):
                return None
            return seq
    return None


class ColourEndToEnd(unittest.TestCase):
    def run_receiver(self, net, out, seconds, needs, writes=()):
        args = ["/usr/bin/python3", os.path.abspath(__file__), "--receive", CAM_ADDR, out, str(seconds),
                json.dumps(needs)]
        args += ["%#x=%d" % w for w in writes]
        r = net.on_host(args, timeout=WAIT + 30)
        text = r.stdout.decode(errors="replace")
        self.assertEqual(r.returncode, 0, text + r.stderr.decode(errors="replace"))
        return json.loads(text.strip().splitlines()[-1])

    def test_colour_frames_of_the_chart_arrive_beside_depth(self):
        with CameraNet(f"c{os.getpid() % 100000}") as net:
            korvid = net.start_korvid_serving(KORVID, "rk3588-gpixel")

            frame = os.path.join(net.dir, "colour.raw")
            # 10 frames per second (the colour rate drives the ToF rate): a
            # colour frame of two pictures is some 3400 packets, and at full
            # rate a host busy with other tests would miss some.
            # Packet resend on: a host busy with other tests loses packets,
            # and gets them again as Aravis asks.
            counts = self.run_receiver(net, frame, 0, {COLOUR: 5, DEPTH: 1}, [(REG_FPS, 10), (REG_RESEND, 1)])
            colour = counts.get(COLOUR, 0)
            depth = counts.get(DEPTH, 0)
            # Rates are not measured here: a thread-sanitizer build computes
            # depth at well under one frame per second.
            self.assertGreaterEqual(colour, 5, counts)
            self.assertGreaterEqual(depth, 1, counts)
            self.assertFalse([k for k in counts if k.startswith("failed")], counts)
            # The ToF runs its two-exposure mode by default: a colour frame
            # holds two pictures, the second buffer first.
            with open(frame, "rb") as f:
                data = f.read()
            self.assertEqual(len(data), 2 * W * H * 2)
            px = memoryview(data).cast("H")
            second, first = chart_seq(px[:W * H]), chart_seq(px[W * H:])
            self.assertIsNotNone(first, "the first picture is not the chart")
            self.assertIsNotNone(second, "the second picture is not the chart")
            self.assertEqual(second, (first + 1) % W)

            # The colour stream register gates the colour frames only.
            # Depth goes on for 3 s (30 colour frames' time at the rate set)
            # and two frames at least: no colour frame comes.
            counts = self.run_receiver(net, os.path.join(net.dir, "off.raw"), 3, {DEPTH: 2}, [(REG_ENABLE_RGB, 0)])
            self.assertEqual(counts.get(COLOUR, 0), 0, counts)
            self.assertGreaterEqual(counts.get(DEPTH, 0), 2, counts)

            log = net.korvid_log()
            self.assertIn("rgb_init success", log)
            self.assertNotIn("sensor rgb init fail.", log)
            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--receive":
        writes = [(int(k, 0), int(v, 0)) for k, v in (w.split("=") for w in sys.argv[6:])]
        receive(sys.argv[2], sys.argv[3], float(sys.argv[4]), json.loads(sys.argv[5]), writes)
        sys.exit(0)
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
