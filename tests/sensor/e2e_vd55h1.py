#!/usr/bin/python3
"""VD55H1 capture end to end: korvid on the rk3588-vd55h1 board captures the
simulated VD55H1 ToF sensor, computes depth and streams it; unmodified Aravis
receives it in the host namespace without a missing packet, and the
simulated sensor holds the rate and modulation frequencies the camera's
registers ask for. A received depth frame shows the scene's distances
within 1% with a first frequency of 150 MHz, whose turn (999 mm) falls
short of the wall; raw frames, the largest blocks korvid sends, arrive
whole in buffers of the size the camera announces.

usage: e2e_vd55h1.py KORVID_BINARY DEPTHTOOL_BINARY"""

import json
import os
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture  # noqa: E402
from scene import surface_errors  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
DEPTHTOOL = sys.argv[2] if len(sys.argv) > 2 else "depthtool"
ARVFRAME = os.path.join(HERE, "..", "e2e", "arvframe.py")
# Whole frames each stream waits for, and the bound on that wait: a
# thread-sanitized build on a busy host starts streaming late.
FRAMES = 5
WAIT = 90
REG_FPS, REG_FREQ_A, REG_FREQ_B = 0x1000202C, 0x1000206C, 0x10002070
# The sensor's own registers: frame period (16 bits, per bank) and the two
# modulation frequencies in Hz (32 bits), least significant byte first.
PERIOD, FREQ_A, FREQ_B = (1600, 1648), 1612, 1660
GROUP_A, PAYLOAD_SIZE = 0x1000206C, 0x10000030
RAW_BLOCK = 1344 * 9656 * 2


def stat(out, name):
    return out.get(name, -1)


def sensor_registers(path):
    """The last value the VD55H1 was given at each of its register addresses,
    from the simulated board's sensor log."""
    regs = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 5 and parts[1] == "VD55H1" and parts[2] == "reg":
                regs[int(parts[3])] = int(parts[4])
    return regs


def little_endian(regs, first, count):
    """The value of `count` byte registers from `first` on, or None when one was never written."""
    if any(first + i not in regs for i in range(count)):
        return None
    return sum(regs[first + i] << (8 * i) for i in range(count))


class Vd55h1EndToEnd(unittest.TestCase):
    def test_vd55h1_depth_streams_to_aravis_without_a_missing_packet(self):
        os.environ["KORVID_SIM_SENSOR_LOG"] = "1"
        with CameraNet(f"v{os.getpid() % 100000}") as net:
            pcap = os.path.join(net.dir, "gvsp.pcap")
            # The capture is under way before the stream starts.
            capture = Capture(net, net.host, net.host_if, pcap, ["-f", "udp and not port 3956", "-c", "3000"])
            korvid = net.start_korvid_serving(KORVID, profile="rk3588-vd55h1")

            r = net.on_host(["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--auto-socket-buffer", "--frames", str(FRAMES),
                             "--timeout", str(WAIT)], timeout=WAIT + 30)
            text = r.stdout.decode(errors="replace")
            log = net.korvid_log()
            self.assertEqual(r.returncode, 0, text + r.stderr.decode(errors="replace"))
            out = json.loads(text)
            # The VD55H1 task set its sensor up and programmed 30 frames per second.
            self.assertIn("find dev_name:/dev/video4", log)
            self.assertNotIn("sensor tof init fail.", log)
            self.check_sensor_holds_what_the_registers_ask(net)
            self.assertEqual(stat(out, "n_missing_packets"), 0, out)
            self.assertEqual(stat(out, "n_failures"), 0, out)
            self.assertEqual(stat(out, "n_size_mismatch_errors"), 0, out)
            # A thread-sanitized build parses and copies a 26 MB frame slowly:
            # what counts is that frames arrive whole.
            self.assertGreater(stat(out, "n_completed_buffers"), 0, out)
            # The capture of depth leaders ends here.
            capture.finish()

            self.check_scene(net)
            self.check_raw(net)

            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status

            # Every image leader announces a depth image of the VD55H1's size.
            fields = capture.read("--enable-heuristic", "gvsp_udp", "-Y", "gvsp", "-T", "fields",
                                  "-e", "gvsp.format", "-e", "gvsp.sizex", "-e", "gvsp.sizey", "-e", "gvsp.pixel")
            rows = [line.split("\t") for line in fields.stdout.splitlines() if line.strip()]
            leaders = [tuple(r[1:]) for r in rows if int(r[0], 0) & 0x7F == 1]
            self.assertGreater(len(leaders), 1, fields.stderr)
            self.assertEqual(set(leaders), {("672", "804", "0x01100007")})  # Mono16 depth

    def check_sensor_holds_what_the_registers_ask(self, net):
        r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control",
                         *(f"R[{a:#x}]" for a in (REG_FPS, REG_FREQ_A, REG_FREQ_B))], timeout=60)
        out = r.stdout.decode(errors="replace")
        self.assertEqual(r.returncode, 0, out + r.stderr.decode(errors="replace"))
        reg = {int(m.group(1), 16): int(m.group(2), 16)
               for m in re.finditer(r"R\[(0x[0-9a-f]+)\] = (0x[0-9a-f]+)", out)}
        self.assertEqual(len(reg), 3, out)
        fps, freq_a, freq_b = reg[REG_FPS], reg[REG_FREQ_A], reg[REG_FREQ_B]
        self.assertGreater(fps, 0, out)
        # The period counts 7.04 us steps: ceil(10^6 / (fps x 7.04)).
        period = -(-100000000 // (fps * 704))
        regs = sensor_registers(os.path.join(net.board_root(), ".board", "sensors.log"))
        for first in PERIOD:
            self.assertEqual(little_endian(regs, first, 2), period, f"frame period at {first}, {fps} fps")
        self.assertEqual(little_endian(regs, FREQ_A, 4), freq_a * 1000000, "first modulation frequency")
        self.assertEqual(little_endian(regs, FREQ_B, 4), freq_b * 1000000, "second modulation frequency")
    def check_scene(self, net):
        png = os.path.join(net.dir, "depth.png")
        r = net.on_host(["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--write", f"{GROUP_A:#x}=150",
                         "--write", "0x10000020=0", "--read", hex(GROUP_A), "--depth", png, "--depth-after", "2",
                         "--timeout", str(WAIT)], timeout=WAIT + 30)
        self.assertEqual(r.returncode, 0, r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace"))
        self.assertEqual(json.loads(r.stdout)["reads"][hex(GROUP_A)], 150)
        width, height, surfaces = surface_errors(DEPTHTOOL, png, net.dir)
        self.assertEqual((width, height), (672, 804))
        for surface, (pixels, worst, measured, mm) in surfaces.items():
            sys.stderr.write(f"VD55H1: {surface} {measured:.1f} mm (scene {mm:.1f}), worst {worst:.2%}\n")
            self.assertGreater(pixels, width * height // 20, surface)
            self.assertLessEqual(worst, 0.01, f"{surface}: worst error {worst:.2%}")

    def check_raw(self, net):
        # Raw frames alone, at 2 frames per second (26 MB each): the
        # announced payload size holds them.
        r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", "R[0x1000202C]=2", "R[0x1000001C]=1",
                         "R[0x10000024]=0", "R[0x10000020]=0", f"R[{PAYLOAD_SIZE:#x}]"])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        m = re.search(rf"r\[{PAYLOAD_SIZE:#x}\]\s*=\s*(0x[0-9a-f]+)", r.stdout.decode().lower())
        self.assertTrue(m, r.stdout)
        self.assertGreaterEqual(int(m.group(1), 16), RAW_BLOCK)
        r = net.on_host(["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--auto-socket-buffer", "--buffers", "3",
                         "--frame-retention", "3000", "--packet-timeout", "500", "--frames", "1",
                         "--timeout", str(WAIT)], timeout=WAIT + 30)
        text = r.stdout.decode(errors="replace")
        self.assertEqual(r.returncode, 0, text + r.stderr.decode(errors="replace"))
        out = json.loads(text)
        # A loaded machine may lose a frame's packets in the namespaces' link
        # (a time-out); what must never happen is a block larger than the
        # buffer, which Aravis counts as a size mismatch.
        self.assertEqual(stat(out, "n_size_mismatch_errors"), 0, out)
        self.assertGreater(stat(out, "n_completed_buffers"), 0, out)
        sys.stderr.write(f"VD55H1 raw: completed {stat(out, 'n_completed_buffers')}, "
                         f"size mismatches {stat(out, 'n_size_mismatch_errors')}\n")


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
