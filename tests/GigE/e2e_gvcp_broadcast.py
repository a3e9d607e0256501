#!/usr/bin/python3
"""Broadcast answers of the GigE Vision control channel on the wire, in
namespaces without a default route: a discovery that asks for a broadcast
acknowledge and a force-IP are answered to 255.255.255.255 out of the
interface the request came in on, and a capture on the host side shows both
answers. A host socket bound to the any address receives the broadcast
discovery answer; Aravis, whose discovery socket is bound to the host's
address, does not (the README says so).

usage: e2e_gvcp_broadcast.py KORVID_BINARY"""

import os
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CameraNet, Capture  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
GVCP_PORT = 3956

# Run in the host namespace: a discovery asking for a broadcast answer, then
# a force-IP to the MAC it announced, both broadcast from a socket bound to
# the any address on the host's interface; prints what came back, one line
# each.
PROBE = r"""
import socket, struct, sys
ifname = sys.argv[1]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
s.bind(("0.0.0.0", 0))
s.settimeout(5)
def ask(packet):
    s.sendto(packet, ("255.255.255.255", 3956))
    data, sender = s.recvfrom(2048)
    status, ack, length, req = struct.unpack_from(">HHHH", data)
    print("%s 0x%04x 0x%04x %d %d" % (sender[0], status, ack, len(data), req), flush=True)
    return data
mac_high, mac_low = struct.unpack_from(">HI", ask(struct.pack(">BBHHH", 0x42, 0x11, 0x0002, 0, 7)), 18)
force = struct.pack(">HHI12xI12xI12xI", 0, mac_high, mac_low, 0xA9FE0A02, 0xFFFF0000, 0)
ask(struct.pack(">BBHHH", 0x42, 0x01, 0x0004, len(force), 8) + force)
"""


class GvcpBroadcast(unittest.TestCase):
    def test_broadcast_answers_leave_without_a_route_and_reach_the_host_link(self):
        with CameraNet(f"b{os.getpid() % 100000}") as net:
            for ns in (net.cam, net.host):
                routes = net.run(ns, ["ip", "-4", "route", "show", "default"]).stdout.decode()
                self.assertEqual(routes.strip(), "", "the namespaces must have no default route")
            pcap = os.path.join(net.dir, "gvcp.pcap")
            capture = Capture(net, net.host, net.host_if, pcap, ["-f", "udp"])
            korvid = net.start_korvid_serving(KORVID)

            # Aravis asks for the broadcast answer; it is sent (the capture
            # below shows it) but its address-bound socket never receives it.
            # First: a force-IP has korvid set its interface up again, and
            # discovery is muted meanwhile.
            aravis = net.on_host(["arv-tool-0.8", "--gv-allow-broadcast-discovery-ack"])
            self.assertNotIn(b"169.254.10.2", aravis.stdout)

            r = net.on_host(["/usr/bin/python3", "-c", PROBE, net.host_if])
            out = r.stdout.decode()
            self.assertEqual(r.returncode, 0, out + r.stderr.decode(errors="replace"))
            discovery, force = out.splitlines()
            self.assertEqual(discovery, "169.254.10.2 0x0000 0x0003 256 7")
            self.assertEqual(force, "169.254.10.2 0x0000 0x0005 8 8")

            # The force-IP answer comes from a port of its own to the probe's:
            # decoded as GVCP by the probe's port.
            capture.finish()
            probe_port = capture.read("-Y", "gvcp.cmd.command == 0x0004", "-T", "fields",
                                      "-e", "udp.srcport").stdout.split()
            self.assertEqual(len(probe_port), 1)
            decode = ["-d", f"udp.port=={probe_port[0]},gvcp"]
            r = capture.read(*decode, "-Y", "gvcp && ip.src == 169.254.10.2 && ip.dst == 255.255.255.255",
                             "-T", "fields", "-e", "gvcp.ack")
            acks = r.stdout.split()
            every = capture.read(*decode, "-Y", "gvcp").stdout
            self.assertEqual(acks.count("0x0003"), 2, every)  # the probe's and Aravis's
            self.assertEqual(acks.count("0x0005"), 1, every)

            self.assertEqual(net.stop(korvid), 255)
            self.assertNotIn("fail:", "\n".join(l for l in net.korvid_log().splitlines() if "gvcp send" in l
                                                or "forceip ack" in l))


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
