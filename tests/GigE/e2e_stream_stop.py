#!/usr/bin/python3
"""A stopped stream stays stopped, against the running process: a host in a
namespace of its own starts and stops acquisition through GVCP 20 times and
records every stream datagram with the kernel's arrival time, beside the
arrival time of each stop's acknowledgement.

- No datagram arrives after a stop was acknowledged (until the next start).
- Each acquisition numbers its blocks from 1, one after another: no block of
  a stopped acquisition is numbered as the next one's.

usage: e2e_stream_stop.py KORVID_BINARY
       e2e_stream_stop.py --role cycler CYCLES   (the host, in the host namespace)"""

import json
import os
import random
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import HOST_ADDR, CameraNet, run_script  # noqa: E402
from gvcphost import READREG, StampedGvcp, recv_stamped, timestamped  # noqa: E402

SELF = os.path.abspath(__file__)
KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
ACQUISITION = 0x10000000
CYCLES = 20

# ---- the host's side ----



def role_cycler(cycles):
    """Takes control, then starts and stops acquisition `cycles` times; each
    acquisition runs for a few blocks. Prints one JSON record per cycle: the
    time the start was sent, the arrival time of the stop's acknowledgement
    and, for every datagram read in the cycle, its arrival time, format byte
    and block id (a loaded host may read a datagram in the next cycle: its
    arrival time tells where it belongs)."""
    g = StampedGvcp()
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Past the system's cap (we run as root): frames wait while a loaded
    # machine keeps this process from reading.
    rx.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 32 << 20)
    rx.bind(("", 0))
    timestamped(rx)
    host = struct.unpack(">I", socket.inet_aton(HOST_ADDR))[0]
    for address, value in ((0x0938, 5000), (0x0A00, 2), (0x0D00, rx.getsockname()[1]), (0x0D18, host)):
        if g.write_at(address, value)[0] != 0:
            print(json.dumps({"error": f"refused 0x{address:x}"}), flush=True)
            return 1
    rng = random.Random(34)

    def drain(until_ns, want_leaders, got):
        """Reads datagrams until `want_leaders` leaders came, or the time is
        up and nothing more waits."""
        leaders = 0
        beat = time.monotonic()
        while leaders < want_leaders:
            if time.monotonic() - beat > 1:
                g.ask(READREG, struct.pack(">I", 0x0A00))
                beat = time.monotonic()
            rx.settimeout(0.05 if time_ns() < until_ns else 0)
            try:
                data, at = recv_stamped(rx)
            except (socket.timeout, BlockingIOError):
                if time_ns() < until_ns:
                    continue
                return
            if len(data) >= 16:
                got.append((at, data[4], struct.unpack(">Q", data[8:16])[0]))
                leaders += data[4] & 0x7F == 1

    for cycle in range(cycles):
        got = []
        started = time_ns()
        code, _ = g.write_at(ACQUISITION, 1)
        if code != 0:
            print(json.dumps({"error": f"start refused in cycle {cycle}: {code}"}), flush=True)
            return 1
        # A few blocks in, at a different point of a frame each time; a
        # slow build on a busy host sends them later, a fault never.
        drain(time_ns() + 30_000_000_000, rng.randint(2, 7), got)
        code, stopped = g.write_at(ACQUISITION, 0)
        if code != 0 or not stopped:
            print(json.dumps({"error": f"stop not acknowledged in cycle {cycle}: {code}"}), flush=True)
            return 1
        # Whatever still comes; the fault showed within 20 ms of the stop.
        drain(time_ns() + 400_000_000, 1 << 30, got)
        print(json.dumps({"cycle": cycle, "started": started, "stopped": stopped, "got": got}), flush=True)
    return 0


def time_ns():
    return time.clock_gettime_ns(time.CLOCK_REALTIME)  # the clock of SO_TIMESTAMPNS


# ---- the test ----


class StreamStop(unittest.TestCase):
    def test_no_block_follows_an_acknowledged_stop_and_each_acquisition_numbers_from_1(self):
        with CameraNet(f"ss{os.getpid() % 10000}") as net:
            korvid = net.start_korvid_serving(KORVID)
            host = net.spawn(net.host, [sys.executable, SELF, "--role", "cycler", str(CYCLES)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            out, _ = host.communicate(timeout=CYCLES * 35)
            records = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
            errors = [r["error"] for r in records if "error" in r]
            self.assertEqual(errors, [], out[-2000:])
            self.assertEqual(len(records), CYCLES, out[-2000:])
            got = sorted(d for r in records for d in r["got"])
            late_total = 0
            for i, r in enumerate(records):
                cycle, stopped = r["cycle"], r["stopped"]
                following = records[i + 1]["started"] if i + 1 < len(records) else float("inf")
                late = [(at - stopped, fmt, block) for at, fmt, block in got if stopped < at < following]
                late_total += len(late)
                self.assertEqual(late[:3], [], f"cycle {cycle}: datagrams (ns after the stop's acknowledgement, "
                                 f"format, block) after the stop, {len(late)} in all")
                blocks = [block for at, fmt, block in got if r["started"] < at <= stopped and fmt & 0x7F == 1]
                self.assertGreaterEqual(len(blocks), 2, f"cycle {cycle}: the stream did not run")
                self.assertEqual(blocks[0], 1, f"cycle {cycle}: the acquisition does not start at block 1: {blocks}")
                # One after another; the host may miss a block under load, never
                # see one twice or one numbered from before.
                for prev, cur in zip(blocks, blocks[1:]):
                    self.assertGreater(cur, prev, f"cycle {cycle}: blocks {blocks}")
            print(f"\n{CYCLES} stop cycles, {late_total} datagrams after an acknowledged stop", file=sys.stderr)
            self.assertIsNone(korvid.poll(), "korvid still runs")
            self.assertEqual(net.stop(korvid), 255)  # SIGTERM ends with the backtrace status


if __name__ == "__main__":
    run_script({"cycler": lambda cycles: role_cycler(int(cycles))})
