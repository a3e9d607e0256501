#!/usr/bin/python3
"""GigE Vision control end to end: korvid in a camera namespace, unmodified
Aravis tools in a host namespace, tshark decoding every GVCP packet between
them.

usage: e2e_gvcp.py KORVID_BINARY XML_FILE"""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CAM_ADDR, CameraNet, Capture, wait_for  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
XML = sys.argv[2] if len(sys.argv) > 2 else "korvid.xml"

# Holds control and sends nothing but Aravis's heartbeats until killed.
HOLDER = r"""
import gi, sys, time
gi.require_version('Aravis', '0.8')
from gi.repository import Aravis
dev = Aravis.Camera.new(sys.argv[1]).get_device()
print("holding", flush=True)
while True:
    time.sleep(1)
"""


def mark(n):
    """A capture's mark, which passes its filter as GVCP does and decodes as
    GVCP: a read of the heartbeat time-out register, request id 0xBE00 + n."""
    return struct.pack(">BBHHHI", 0x42, 0x01, 0x0080, 4, 0xBE00 + n, 0x0938)


class GvcpEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.net = CameraNet(f"g{os.getpid() % 100000}")
        cls.net.__enter__()
        cls.pcap = os.path.join(cls.net.dir, "gvcp.pcap")
        try:
            cls.capture = Capture(cls.net, cls.net.host, cls.net.host_if, cls.pcap, ["-f", "udp port 3956"],
                                  mark_port=3956, mark=mark)
        except AssertionError:
            cls.net.close()
            raise
        cls.korvid = cls.start()

    @classmethod
    def start(cls):
        return cls.net.start_korvid_serving(KORVID)

    @classmethod
    def tearDownClass(cls):
        cls.net.close()

    def arv(self, *args, timeout=30):
        r = self.net.on_host(["arv-tool-0.8", *args], timeout=timeout)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")

    def test_1_discovery_lists_the_camera(self):
        rc, out, err = self.arv()
        self.assertEqual(rc, 0, err)
        self.assertIn(f"({CAM_ADDR})", out)
        self.assertIn("korvid", out)

    def test_2_description_is_our_xml_byte_for_byte(self):
        rc, out, err = self.arv("-a", CAM_ADDR, "genicam")
        self.assertEqual(rc, 0, err)
        with open(XML, "r") as f:
            want = f.read()
        self.assertEqual(out.strip(), want.strip())

    def test_3_control_reads_and_a_write_persists_across_a_restart(self):
        rc, out, err = self.arv("-a", CAM_ADDR, "control", "Width", "Height", "PixelFormat", "DeviceModelName")
        self.assertEqual(rc, 0, err)
        self.assertIn("Width = 640", out)
        self.assertIn("Height = 480", out)
        self.assertIn("PixelFormat =", out)
        self.assertIn("DeviceModelName = korvid", out)

        rc, out, err = self.arv("-a", CAM_ADDR, "control", "TofFrameRate=12")
        self.assertNotIn("error", out + err)
        type(self).net.stop(type(self).korvid)
        type(self).korvid = type(self).start()
        rc, out, err = self.arv("-a", CAM_ADDR, "control", "TofFrameRate")
        self.assertEqual(rc, 0, err)
        self.assertIn("TofFrameRate = 12", out)

    def test_3b_stream_switches_and_the_tick_frequency_are_named_features(self):
        rc, out, err = self.arv("-a", CAM_ADDR, "control", "StreamAmplitudeEnable=0", "ColourEncoding",
                                "ApplicationAlgorithm", "GevTimestampTickFrequency")
        self.assertEqual(rc, 0, err)
        self.assertIn("ColourEncoding = JPEG", out)
        self.assertIn("ApplicationAlgorithm = None", out)
        self.assertIn("GevTimestampTickFrequency = 100000000", out)
        switches = {"StreamGreyEnable": 0x1000001C, "StreamAmplitudeEnable": 0x10000020,
                    "StreamDepthEnable": 0x10000024, "StreamColourEnable": 0x10000028,
                    "PacketResendEnable": 0x10000044}
        rc, out, err = self.arv("-a", CAM_ADDR, "control", *switches, *(f"R[{a:#x}]" for a in switches.values()))
        self.assertEqual(rc, 0, err)
        for name, addr in switches.items():
            value = int(out.split(f"{name} = ")[1].split()[0])
            self.assertEqual(value, int(out.split(f"R[{addr:#x}] = ")[1].split()[0], 16), out)
        self.assertIn("StreamAmplitudeEnable = 0", out)
        self.arv("-a", CAM_ADDR, "control", "StreamAmplitudeEnable=1")

    def control(self, *features):
        r = self.net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", *features], timeout=30)
        return r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")

    def test_4_heartbeats_alone_keep_control_and_it_lapses_once_they_stop(self):
        holder = self.net.spawn(self.net.host, ["/usr/bin/python3", "-c", HOLDER, CAM_ADDR])
        line = holder.stdout.readline().decode()
        holder.stdout.close()
        self.assertIn("holding", line)
        out = self.control("GevHeartbeatTimeout")
        timeout_s = int(out.split("=")[1].split()[0]) / 1000.0
        self.assertGreater(timeout_s, 0, out)

        # A quiet period well past the heartbeat time-out: only the holder's
        # heartbeats keep its control.
        time.sleep(2.5 * timeout_s + 1)
        self.assertIsNone(holder.poll(), "the holder ended")
        out = self.control("TofFrameRate=13")
        self.assertIn("access-denied", out, "a second client wrote while another held control")
        self.assertIn("TofFrameRate = 12", self.control("TofFrameRate"))

        holder.kill()
        holder.wait(5)
        killed = time.monotonic()
        # Without heartbeats the control lapses after the time-out.
        self.assertTrue(wait_for(lambda: "access-denied" not in self.control("TofFrameRate=13"), 4 * timeout_s + 10,
                                 step=0.5))
        self.assertGreater(time.monotonic() - killed, timeout_s * 0.5)
        self.assertIn("TofFrameRate = 13", self.control("TofFrameRate"))

    def test_5_every_gvcp_packet_decodes(self):
        capture = type(self).capture
        capture.finish()
        r = capture.read("-Y", "gvcp")
        self.assertGreater(len(r.stdout.splitlines()), 20, r.stderr)
        r = capture.read("-Y", "_ws.malformed")
        self.assertEqual(r.stdout.strip(), "", "malformed GVCP packets:\n" + r.stdout[:2000])


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
