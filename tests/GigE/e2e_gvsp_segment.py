#!/usr/bin/python3
"""GVSP stream with and without segmented sends: korvid streams depth to
unmodified Aravis twice, once sending its payload packets in segmented
sends (the default) and once one datagram per call (KORVID_GVSP_SEND=sendto);
tshark on the host's interface sees the same datagrams both times: every
block has the same packets in the same order with the same sizes and ids,
and Aravis misses none.

usage: e2e_gvsp_segment.py KORVID_BINARY"""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
ARVFRAME = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "arvframe.py")
# Whole frames each stream waits for, and the bound on that wait: a
# thread-sanitized build on a busy host starts streaming late.
FRAMES = 6
WAIT = 60
ENABLE_AMP = 0x10000020
ENABLE_RGB = 0x10000028
STREAM_SOURCE_PORT = 3959


def stat(out, name):
    return out.get(name, -1)


def blocks(capture):
    """{block id: [(format, packet id, UDP length), ...]} of the blocks seen
    whole (leader to trailer), and the largest UDP length captured."""
    r = capture.read("-d", f"udp.port=={STREAM_SOURCE_PORT},gvsp", "-Y", "udp", "-T", "fields",
                     "-e", "udp.length", "-e", "gvsp.format", "-e", "gvsp.blockid64", "-e", "gvsp.packetid32")
    whole, current, largest = {}, None, 0
    for line in r.stdout.splitlines():
        f = line.split("\t")
        if len(f) < 4:
            continue
        largest = max(largest, int(f[0]))
        if not f[1] or not f[2]:
            continue
        fmt, block, packet = int(f[1], 0) & 0x7F, int(f[2], 0), int(f[3] or "0", 0)
        if fmt == 1:
            current = (block, [])
        if current is None or current[0] != block:
            current = None
            continue
        current[1].append((fmt, packet, int(f[0])))
        if fmt == 2:
            whole[block] = current[1]
            current = None
    return whole, largest, r.stderr


def stream(way):
    """(Aravis's report, whole blocks, largest datagram, korvid's log)."""
    with CameraNet(f"g{os.getpid() % 10000}{way[:2]}") as net:
        pcap = os.path.join(net.dir, "host.pcap")
        capture = Capture(net, net.host, net.host_if, pcap, ["-s", "128", "-f", "udp and not port 3956"])
        os.environ["KORVID_GVSP_SEND"] = way
        try:
            korvid = net.start_korvid_serving(KORVID)
        finally:
            del os.environ["KORVID_GVSP_SEND"]
        r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x{ENABLE_AMP:08X}]=0",
                         f"R[0x{ENABLE_RGB:08X}]=0"], timeout=60)
        if r.returncode != 0:
            raise AssertionError(r.stderr)
        r = net.on_host(["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--frames", str(FRAMES), "--timeout", str(WAIT)],
                        timeout=WAIT + 30)
        text = r.stdout.decode(errors="replace")
        if r.returncode != 0:
            raise AssertionError(text + r.stderr.decode(errors="replace"))
        out = json.loads(text)
        log = net.korvid_log()
        rc = net.stop(korvid)
        if rc != 255:  # show what the sanitizers said
            with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                sys.stderr.write(f.read()[-20000:])
        capture.finish()
        whole, largest, err = blocks(capture)
        return out, whole, largest, log + err, rc


class GvspSegmentEndToEnd(unittest.TestCase):
    def test_segmented_sends_put_the_same_datagrams_on_the_wire_as_one_sendto_each(self):
        runs = {}
        for way in ("segment", "sendto"):
            out, whole, largest, log, rc = stream(way)
            with self.subTest(way=way):
                self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status
                self.assertIn(f"gvsp packets go by {way}", log, log[-3000:])
                self.assertNotIn("segmented send refused", log)
                self.assertEqual({k.split()[1].split("x")[0] for k in out["images"]}, {"640"}, out)
                self.assertEqual(stat(out, "n_missing_packets"), 0, out)
                self.assertEqual(stat(out, "n_failures"), 0, out)
                self.assertGreaterEqual(stat(out, "n_completed_buffers"), FRAMES, out)
                # Datagrams of at most the packet size (1500) less IP and UDP
                # headers, plus the UDP header tshark counts: no segmented
                # send reached the host's wire whole.
                self.assertLessEqual(largest, 1472 + 8)
                # tshark, busy itself, may miss a packet of some blocks: a
                # few whole ones are enough to compare.
                self.assertGreaterEqual(len(whole), 2, log[-2000:])
            runs[way] = whole
        seg, off = runs["segment"], runs["sendto"]
        # Every depth block has the same shape: each whole block of the
        # segmented run is packet for packet any whole block of the other,
        # and both carry the ids and sizes the cut gives.
        shape = next(iter(off.values()))
        self.assertEqual(len(shape), 1 + 424 + 1)
        self.assertEqual(shape[0], (1, 0, 8 + 56))
        self.assertEqual(shape[1:-2], [(3, i, 8 + 1472) for i in range(1, 424)])
        self.assertEqual(shape[-2], (3, 424, 8 + 20 + 640 * 480 * 2 - 423 * 1452))
        self.assertEqual(shape[-1], (2, 425, 8 + 28))
        for way, whole in runs.items():
            for block, packets in whole.items():
                self.assertEqual(packets, shape, f"{way} block {block}")
        # Both runs number their blocks alike; either may have streamed a
        # few blocks more before it was stopped.
        n = min(len(seg), len(off), 5)
        self.assertEqual(sorted(seg)[:n], sorted(off)[:n])


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
