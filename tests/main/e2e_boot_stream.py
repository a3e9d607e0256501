#!/usr/bin/python3
"""A stream kept on by a saved work mode streams after a restart, on every
board: a host writes workMode (0x10000068) := 1 and saves the settings
(0x10000014 := 1); korvid is restarted on the same board root, and a host
that only takes control and names its stream port receives blocks without
ever starting acquisition. The blocks are read off the socket (the encoded
video of the FH8320 and SC2210 boards is no block Aravis assembles).

usage: e2e_boot_stream.py KORVID_BINARY
       e2e_boot_stream.py --role keep|receive   (a host, in the host namespace)"""

import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import HOST_ADDR, CameraNet, run_script, wait_for  # noqa: E402
from gvcphost import Gvcp  # noqa: E402

SELF = os.path.abspath(__file__)
KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
PROFILES = ("rk3588-gpixel", "rk3568-imx570", "rk3568-v23", "rk3588-vd55h1", "rk3576-fh8320", "rk3576-sc2210")
BLOCKS = 3

# ---- the host's side ----


def take_stream(g):
    """Takes control and names this host's stream port; the socket, or None."""
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 32 << 20)
    rx.bind(("", 0))
    host = struct.unpack(">I", socket.inet_aton(HOST_ADDR))[0]
    for address, value in ((0x0A00, 2), (0x0D00, rx.getsockname()[1]), (0x0D18, host)):
        code = g.write(address, value)
        if code != 0:
            print(f"0x{address:x} answered {code}", flush=True)
            return None
    return rx


def first_blocks(g, rx):
    """The ids of the first blocks that come (30 s at most: a slow build on
    a busy host sends them later, a fault never)."""
    ids = []
    end = time.monotonic() + 30
    beat = time.monotonic()
    rx.settimeout(0.1)
    while len(ids) < BLOCKS and time.monotonic() < end:
        if time.monotonic() - beat > 0.5:
            g.read(0x0A00)
            beat = time.monotonic()
        try:
            p = rx.recv(65536)
        except socket.timeout:
            continue
        if len(p) >= 16 and p[4] & 0x7F == 1:
            ids.append(struct.unpack(">Q", p[8:16])[0])
    return ids


def role_keep():
    """Keeps the stream on and saves it, sees it stream (the board is
    restarted from a running stream, not halfway through its start) and
    releases control."""
    g = Gvcp()
    rx = take_stream(g)
    if rx is None:
        return 1
    for address, value in ((0x10000068, 1), (0x10000014, 1)):
        code = g.write(address, value)
        if code != 0:
            print(f"0x{address:x} answered {code}", flush=True)
            return 1
    ids = first_blocks(g, rx)
    g.write(0x0A00, 0)
    print(f"kept {g.read(0x10000068)} blocks {len(ids)}", flush=True)
    return 0


def role_receive():
    """Takes control and names its stream port, and never starts
    acquisition; prints the ids of the first blocks that come."""
    g = Gvcp()
    rx = take_stream(g)
    if rx is None:
        return 1
    print("blocks " + " ".join(map(str, first_blocks(g, rx))), flush=True)
    return 0


# ---- the test ----


def restart(net, profile):
    """korvid started again on the board root, once it serves the control
    channel (its log already tells of the run before)."""
    before = net.korvid_log().count("gvcp fd:")
    p = net.start_korvid(KORVID, profile=profile)
    if not wait_for(lambda: net.korvid_log().count("gvcp fd:") > before or p.poll() is not None, 30) \
            or p.poll() is not None:
        raise AssertionError(f"korvid did not come up again (exit {p.poll()})")
    return p


class BootStream(unittest.TestCase):
    def test_a_saved_work_mode_streams_after_a_restart_on_every_board(self):
        for profile in PROFILES:
            with self.subTest(profile=profile), CameraNet(f"bs{os.getpid() % 10000}") as net:
                korvid = net.start_korvid_serving(KORVID, profile=profile)
                r = net.on_host([sys.executable, SELF, "--role", "keep"], timeout=60)
                self.assertEqual(r.stdout.decode().strip(), f"kept 1 blocks {BLOCKS}",
                                 (r.stdout + r.stderr).decode(errors="replace"))
                self.assertEqual(net.stop(korvid), 255)  # SIGTERM ends with the backtrace status

                korvid = restart(net, profile)
                r = net.on_host([sys.executable, SELF, "--role", "receive"], timeout=60)
                out = r.stdout.decode().strip()
                print(f"\n{profile}: {out}", file=sys.stderr)
                self.assertTrue(out.startswith("blocks"), out + r.stderr.decode(errors="replace"))
                ids = [int(x) for x in out.split()[1:]]
                if len(ids) != BLOCKS:
                    sys.stderr.write("".join(net.korvid_log().splitlines(True)[-60:]))
                self.assertEqual(len(ids), BLOCKS, f"{profile}: no stream after the restart")
                self.assertIsNone(korvid.poll(), "korvid still runs")
                rc = net.stop(korvid)
                if rc != 255:  # show what the sanitizers said
                    with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                        sys.stderr.write(f.read()[-20000:])
                self.assertEqual(rc, 255)


if __name__ == "__main__":
    run_script({"keep": role_keep, "receive": role_receive})
