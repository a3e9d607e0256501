#!/usr/bin/python3
"""GigE Vision streaming end to end: korvid captures the simulated Gpixel
sensor, computes depth and streams it; unmodified Aravis receives it in the
host namespace; tshark decodes every stream packet.

usage: e2e_gvsp.py KORVID_BINARY"""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
ARVFRAME = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "arvframe.py")
# Whole frames the stream waits for, and the bound on that wait: a
# thread-sanitized build on a busy host starts streaming late.
FRAMES = 11
WAIT = 60


def stat(out, name):
    return out.get(name, -1)


class GvspEndToEnd(unittest.TestCase):
    def test_depth_streams_without_a_missing_packet(self):
        with CameraNet(f"s{os.getpid() % 100000}") as net:
            pcap = os.path.join(net.dir, "gvsp.pcap")
            capture = Capture(net, net.host, net.host_if, pcap, ["-f", "udp and not port 3956", "-c", "4000"])
            korvid = net.start_korvid_serving(KORVID)

            # Depth and amplitude only: the colour frames have their own test
            # (e2e_colour) and would triple the packets watched here.
            r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", "R[0x10000028]=0"], timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            r = net.on_host(["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--auto-socket-buffer", "--frames", str(FRAMES),
                             "--timeout", str(WAIT)], timeout=WAIT + 30)
            text = r.stdout.decode(errors="replace")
            self.assertEqual(r.returncode, 0, text + r.stderr.decode(errors="replace"))
            out = json.loads(text)
            self.assertEqual({k.split()[1].split("x")[0] for k in out["images"]}, {"640"}, out)
            self.assertEqual(stat(out, "n_missing_packets"), 0, out)
            self.assertEqual(stat(out, "n_failures"), 0, out)
            self.assertEqual(stat(out, "n_size_mismatch_errors"), 0, out)
            # Frames kept coming. How many is a matter of speed (a thread-
            # sanitized build on a loaded host keeps a fraction of the sensor's
            # rate), which the benchmarks measure, not this test.
            self.assertGreaterEqual(stat(out, "n_completed_buffers"), FRAMES, out)
            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status

            capture.finish()
            fields = capture.read("--enable-heuristic", "gvsp_udp", "-Y", "gvsp", "-T", "fields",
                                  "-e", "gvsp.format", "-e", "gvsp.blockid64", "-e", "gvsp.packetid32")
            rows = [line.split("\t") for line in fields.stdout.splitlines() if line.strip()]
            self.assertGreater(len(rows), 1000, fields.stderr)
            last_block, last_packet, blocks = 0, -1, 0
            for fmt, block, packet in rows:
                fmt, block = int(fmt, 0) & 0x7F, int(block, 0)
                if fmt == 1:  # a leader opens the next block
                    self.assertGreater(block, last_block)
                    last_block, last_packet, blocks = block, 0, blocks + 1
                elif last_block:  # payload and trailer ids follow the leader's
                    self.assertEqual(block, last_block)
                    self.assertEqual(int(packet, 0), last_packet + 1)
                    last_packet += 1
            self.assertGreater(blocks, 3)
            bad = capture.read("--enable-heuristic", "gvsp_udp", "-Y", "_ws.malformed")
            self.assertEqual(bad.stdout.strip(), "", bad.stdout[:2000])


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
