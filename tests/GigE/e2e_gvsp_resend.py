#!/usr/bin/python3
"""GigE Vision packet resend end to end: a user-space relay between the
camera and the host namespace drops 1% of the stream's payload packets
(seeded, repeatable) until the host has had a few frames through the loss,
two frames before it stops (its stop closes the stream, and with it the
resends still owed); with the camera's packet
resend enabled, unmodified Aravis completes every frame through resends.
tshark checks the blocks on both sides of the relay.

usage: e2e_gvsp_resend.py KORVID_BINARY"""

import json
import os
import re
import select
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
RELAY = os.path.join(HERE, "..", "e2e", "lossy_relay.py")
ARVFRAME = os.path.join(HERE, "..", "e2e", "arvframe.py")
# The bound on waiting for frames: a thread-sanitized build on a busy host
# starts streaming late.
WAIT = 60
DROP_RATE = 0.01
SEED = 20261207
# Frames enough for the relay to have dropped packets in them: the rate is
# the streaming test's business, and a sanitizer build on a machine whose
# every core is busy streams a few frames a second at best.
MIN_FRAMES = 4
ENABLE_RESEND_PACKET = 0x10000044
ENABLE_AMP = 0x10000020
ENABLE_RGB = 0x10000028
STREAM_SOURCE_PORT = 3959  # korvid's default; decoded by port, the first packet is too


def stat(out, name):
    return out.get(name, -1)


def gvsp_rows(capture):
    """(format, block, packet id, resend flag, status) of every stream packet."""
    r = capture.read("-d", f"udp.port=={STREAM_SOURCE_PORT},gvsp", "-Y", "gvsp", "-T", "fields",
                     "-e", "gvsp.format", "-e", "gvsp.blockid64", "-e", "gvsp.packetid32",
                     "-e", "gvsp.flag.packetresend", "-e", "gvsp.status")
    rows = []
    for line in r.stdout.splitlines():
        f = line.split("\t")
        if len(f) < 5 or not f[0] or not f[1]:  # not a stream packet (a host datagram to the port)
            continue
        rows.append((int(f[0], 0) & 0x7F, int(f[1], 0), int(f[2], 0), int(f[3] or "0", 0) != 0,
                     int(f[4] or "0", 0)))
    return rows, r.stderr


def first_session(rows):
    """The rows up to Aravis's stop: the stream close there numbers the next
    block 1 again."""
    top = 0
    for i, (fmt, block, _, resend, _) in enumerate(rows):
        if fmt == 1 and not resend and block < top:
            return rows[:i]
        top = max(top, block)
    return rows


def malformed(capture):
    return capture.read("-d", f"udp.port=={STREAM_SOURCE_PORT},gvsp", "-Y", "_ws.malformed").stdout.strip()


class GvspResendEndToEnd(unittest.TestCase):
    def wait_for_frames(self, client, count, seconds):
        """Reads the client's progress until `count` whole frames arrived,
        it ended or `seconds` passed; returns what it read."""
        text, frames = "", 0
        deadline = time.monotonic() + seconds
        fd = client.stderr.fileno()
        while frames < count and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if not ready:
                continue
            chunk = os.read(fd, 4096).decode(errors="replace")
            if not chunk:
                break
            text += chunk
            done = [int(m) for m in re.findall(r"^frames (\d+)$", text, re.M)]
            frames = max(done, default=0)
        return text

    def test_aravis_completes_every_frame_through_resends_when_the_relay_drops_one_in_a_hundred(self):
        with CameraNet(f"r{os.getpid() % 100000}", relay=True) as net:
            report = os.path.join(net.dir, "relay.json")
            relay = net.spawn(net.relay, ["/usr/bin/python3", RELAY, *net.relay_ifs, str(DROP_RATE), str(SEED),
                                          report], stderr=subprocess.PIPE)
            self.assertEqual(relay.stdout.readline().strip(), b"ready", relay.stderr.read() if relay.poll() is not None else "")

            # Headers are enough: 14 + 20 + 8 + the 56-byte leader.
            cam_pcap, host_pcap = os.path.join(net.dir, "camera.pcap"), os.path.join(net.dir, "host.pcap")
            cam_capture, host_capture = (Capture(net, ns, ifname, pcap, ["-s", "128", "-f", "udp and not port 3956"])
                                         for ns, ifname, pcap in ((net.cam, "eth0", cam_pcap),
                                                                  (net.host, net.host_if, host_pcap)))

            korvid = net.start_korvid_serving(KORVID)

            # Depth alone (no amplitude, no colour): one block per exposure
            # leaves a loaded machine the slack to answer every request.
            r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x{ENABLE_RESEND_PACKET:08X}]=1",
                             f"R[0x{ENABLE_AMP:08X}]=0", f"R[0x{ENABLE_RGB:08X}]=0"])
            got = r.stdout.decode(errors="replace").lower()
            self.assertIn(f"r[0x{ENABLE_RESEND_PACKET:08x}] = 0x00000001", got, r.stdout + r.stderr)
            self.assertIn(f"r[0x{ENABLE_AMP:08x}] = 0x00000000", got, r.stdout + r.stderr)
            self.assertIn(f"r[0x{ENABLE_RGB:08x}] = 0x00000000", got, r.stdout + r.stderr)

            # Packet resend is Aravis's default. A frame may wait 1 s for its
            # resends (0.1 s by default): on a loaded machine the relay, a
            # Python process, can stall for longer than that. Once MIN_FRAMES
            # frames came through the loss, the relay stops dropping, and the
            # client stops after two more frames: it owes no resend then.
            aravis = net.spawn(net.host, ["/usr/bin/python3", ARVFRAME, CAM_ADDR, "--frame-retention", "1000",
                                          "--hold", "--progress", "--frames", "2", "--timeout", str(WAIT)],
                               stderr=subprocess.PIPE)
            progress = self.wait_for_frames(aravis, MIN_FRAMES, WAIT)
            relay.send_signal(signal.SIGUSR1)  # no loss while Aravis stops
            if aravis.poll() is None:
                aravis.send_signal(signal.SIGUSR1)
            out, err = aravis.communicate(timeout=WAIT + 30)
            text = out.decode(errors="replace")
            err = progress + err.decode(errors="replace")
            self.assertEqual(aravis.returncode, 0, text + err[-4000:])
            out = json.loads(text)

            log = net.korvid_log()
            relay.send_signal(signal.SIGTERM)
            relay.wait(10)
            relay.stdout.close()
            relay.stderr.close()
            with open(report) as f:
                relayed = json.load(f)
            rc = net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            for capture in (cam_capture, host_capture):
                capture.finish()
            sys.stderr.write(f"completed {stat(out, 'n_completed_buffers')}, resent {stat(out, 'n_resent_packets')}, "
                             f"relay: {relayed['stream']} stream packets, {len(relayed['dropped'])} dropped\n")

            self.assertEqual({k.split()[1].split("x")[0] for k in out["images"]}, {"640"}, out)
            # Stream and resent packets went out in segmented sends.
            self.assertIn("gvsp packets go by segment", log)
            self.assertNotIn("segmented send refused", log)
            self.assertGreaterEqual(stat(out, "n_completed_buffers"), MIN_FRAMES, out)
            self.assertEqual(stat(out, "n_failures"), 0, out)
            self.assertEqual(stat(out, "n_missing_packets"), 0, out)
            self.assertEqual(stat(out, "n_size_mismatch_errors"), 0, out)
            self.assertGreater(stat(out, "n_resent_packets"), 0, out)
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status
            dropped = {tuple(d) for d in relayed["dropped"]}
            # The relay drops only until shortly before the end, and a slow
            # (sanitized) build sends a larger share after that: a loose bound.
            self.assertGreater(len(dropped), relayed["stream"] * DROP_RATE / 5)

            # Camera side: the blocks as sent, resent packets in between.
            rows, err = gvsp_rows(cam_capture)
            rows = first_session(rows)
            self.assertGreater(len(rows), MIN_FRAMES * 426, err)
            last_block, last_packet, last_fmt, blocks, resent_at_camera = 0, -1, 0, 0, 0
            for fmt, block, packet, resend, status in rows:
                if resend:
                    self.assertEqual(status, 0x0100)
                    self.assertLessEqual(block, last_block)
                    resent_at_camera += 1
                    continue
                self.assertEqual(status, 0)
                if fmt == 1:  # a leader opens the next block
                    self.assertGreater(block, last_block)
                    self.assertEqual(packet, 0)
                    last_block, last_packet, blocks = block, 0, blocks + 1
                elif last_block:  # payload ids follow on; the trailer's is the last payload's + 1
                    self.assertIn(fmt, (2, 3))
                    self.assertNotEqual(last_fmt, 2, "a packet after the trailer")
                    self.assertEqual(block, last_block)
                    self.assertEqual(packet, last_packet + 1)
                    last_packet = packet
                last_fmt = fmt
            self.assertGreaterEqual(blocks, MIN_FRAMES)
            self.assertGreater(resent_at_camera, 0)

            # Host side: every packet the relay dropped came back resent.
            rows, err = gvsp_rows(host_capture)
            rows = first_session(rows)
            leaders = [block for fmt, block, _, resend, _ in rows if fmt == 1 and not resend]
            self.assertEqual(leaders, sorted(set(leaders)), "block ids do not increase")
            resent = {(block, packet) for fmt, block, packet, resend, _ in rows if resend}
            self.assertTrue(resent)
            self.assertEqual(dropped - resent, set(), "dropped and never resent")

            for capture in (cam_capture, host_capture):
                bad = malformed(capture)
                self.assertEqual(bad, "", bad[:2000])


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
