#!/usr/bin/python3
"""Two hosts share the stream, against the running process: each host's
start counts once, its stop takes only its own, and it goes with the host.
Two hosts in one namespace, each with a receiver of its own, judged by the
blocks on the wire with the kernel's arrival times.

- A stops twice while B streams: B keeps its rate; A still receives.
- A bursts starts and stops while B streams: B's block ids run on, none missing.
- B's stop then closes the stream: nothing follows its answer.
- A alone (two hosts allowed) sends start, start, stop: nothing follows the stop.
- A starts twice and falls silent past its heartbeat: the stream closes; B
  takes control and is sent nothing until it starts; nothing follows its stop.
- A streams, B holds control without a start, A releases control: nothing
  follows the release's answer.
- A workMode write while a close runs is answered in the time of a plain
  write, and the workMode 0 that closes the stream is followed by nothing.

usage: e2e_stream_hosts.py KORVID_BINARY
       e2e_stream_hosts.py --role hosts   (in the host namespace)"""

import json
import os
import random
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from camns import CameraNet, run_script  # noqa: E402
from e2e_stream_burst import (ACQUISITION, DEPTH, DEPTH_ONLY, HOSTS_ALLOWED, Host,  # noqa: E402
                              block_rate, first_leader, host_record, now_ns)

SELF = os.path.abspath(__file__)
KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"

WORK_MODE = 0x10000068
CCP = 0x0A00
HEARTBEAT = 0x0938
BURST = 100
RATE_BLOCKS = 20   # B's rate is timed over this many blocks
QUIET = 3.0        # s watched after a stop: a stream left on sends several blocks a second even under a sanitizer
SILENT_BEAT = 1000  # ms, A's heartbeat when it falls silent
WAIT = 60          # s, the longest wait for a block or a heartbeat to run out
WORK_MODE_ROUNDS = 3


class Peer(Host):
    """A host whose waits keep every host of its group alive, so no wait on
    one host's blocks lets another's heartbeat run out."""

    def __init__(self, group):
        super().__init__()
        self.group = group
        group.append(self)

    def keep_alive(self):
        for h in self.group:
            Host.keep_alive(h)


def quiet_after(hosts, t):
    """Watches QUIET s, keeping the hosts alive; datagrams each of `hosts`
    received after t."""
    hosts[0].wait(QUIET)
    return [len(h.rx.after(t)) for h in hosts]


def timed_write(host, address, value):
    """The write's answer time in ms."""
    sent = now_ns()
    return (host.write(address, value) - sent) / 1e6


def leaders_after(host, since, count, timeout):
    """The leaders after `since` once `count` came, or what came in time."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        got = host.rx.leaders_between(since, now_ns())
        if len(got) >= count:
            return got
        host.wait(0.05)
    return host.rx.leaders_between(since, now_ns())


def role_hosts():
    """Runs every case; prints one JSON record of what it measured."""
    rng = random.Random(55)
    out = {}
    alive = []
    a, b = Peer(alive), Peer(alive)
    a.take_control()
    a.write(HOSTS_ALLOWED, 2)
    for address, value in DEPTH_ONLY.items():
        a.write(address, value)
    b.take_control()

    # A stops twice while B streams, then bursts.
    a.write(ACQUISITION, 1)
    b_started = b.write(ACQUISITION, 1)
    if first_leader(b, b_started, WAIT) is None:
        print(json.dumps({"error": "the stream did not run"}), flush=True)
        return 1
    before, _ = block_rate(b, now_ns(), RATE_BLOCKS, WAIT)
    a.write(ACQUISITION, 0)
    stopped = a.write(ACQUISITION, 0)
    after, _ = block_rate(b, stopped, RATE_BLOCKS, 3 * RATE_BLOCKS / before if before else WAIT)
    out["b_rate_before"] = before or None
    out["b_rate_after_a_stops"] = after
    out["a_blocks_after_its_stops"] = len(a.rx.leaders_between(stopped, now_ns()))
    slowest = 0.0
    for _ in range(BURST):
        slowest = max(slowest, timed_write(a, ACQUISITION, rng.randint(0, 1)))
        time.sleep(rng.uniform(0, 0.02))
        a.keep_alive()
    burst_end = a.write(ACQUISITION, 0)
    out["slowest_burst_answer_ms"] = slowest
    out["b_blocks_after_burst"] = len(leaders_after(b, burst_end, RATE_BLOCKS // 2, WAIT))
    out["b_blocks"] = [blk for _, blk in b.rx.leaders_between(b_started, now_ns())]
    stopped = b.write(ACQUISITION, 0)
    out["after_b_stop"] = quiet_after((a, b), stopped)

    # A alone, two hosts still allowed: start (streaming), start, stop.
    b.write(CCP, 0)
    started = a.write(ACQUISITION, 1)
    out["a_alone_streams"] = first_leader(a, started, WAIT) is not None
    a.write(ACQUISITION, 1)
    stopped = a.write(ACQUISITION, 0)
    out["after_start_start_stop"] = quiet_after((a,), stopped)

    # A starts twice and falls silent past its heartbeat; B then takes control.
    a.write(HEARTBEAT, SILENT_BEAT)
    a.beat_every = SILENT_BEAT / 4000
    started = a.write(ACQUISITION, 1)
    out["a_streams_before_silence"] = first_leader(a, started, WAIT) is not None
    silent = a.write(ACQUISITION, 1)
    alive.remove(a)
    end = time.monotonic() + WAIT
    while b.g.read(CCP) != 0 and time.monotonic() < end:
        time.sleep(0.05)
    out["a_expired_after_s"] = (now_ns() - silent) / 1e9
    b.write(HEARTBEAT, 5000)
    b.take_control()
    joined = now_ns()
    b.wait(QUIET)
    out["b_sent_before_its_start"] = len(b.rx.after(joined))
    started = b.write(ACQUISITION, 1)
    out["b_streams"] = first_leader(b, started, WAIT) is not None
    stopped = b.write(ACQUISITION, 0)
    out["after_b_stop_past_heartbeat"] = quiet_after((b,), stopped)

    # A streams, B holds control without a start, A releases control.
    a.beat_every = 1.0
    alive.append(a)
    a.take_control()
    started = a.write(ACQUISITION, 1)
    out["b_sent_a_stream"] = first_leader(b, started, WAIT) is not None
    released = a.write(CCP, 0)
    out["after_a_release"] = quiet_after((b,), released)
    out["acquisition_after_release"] = b.g.read(ACQUISITION)

    # workMode while a close runs, against a plain write then; a few rounds,
    # so one answer a loaded machine delays decides nothing.
    a.take_control()
    for key in ("stop_ms", "work_mode_1_ms", "work_mode_0_ms", "plain_ms", "after_work_mode_0"):
        out[key] = []
    for round_ in range(WORK_MODE_ROUNDS):
        started = a.write(ACQUISITION, 1)
        first_leader(a, started, WAIT)
        out["stop_ms"].append(timed_write(a, ACQUISITION, 0))
        out["work_mode_1_ms"].append(timed_write(a, WORK_MODE, 1))
        out["plain_ms"].append(timed_write(a, DEPTH, 1))
        out["work_mode_streams"] = first_leader(a, now_ns(), WAIT) is not None
        sent = now_ns()
        stopped = a.write(WORK_MODE, 0)
        out["work_mode_0_ms"].append((stopped - sent) / 1e6)
        out["plain_ms"].append(timed_write(a, DEPTH, 1))
        last = round_ == WORK_MODE_ROUNDS - 1
        if last:
            out["after_work_mode_0"].append(quiet_after((a, b), stopped))
        else:
            a.wait(0.3)
            out["after_work_mode_0"].append([len(h.rx.after(stopped)) for h in (a, b)])
    for h in (a, b):
        h.rx.close()
    print(json.dumps(out), flush=True)
    return 0


# ---- the test ----


class StreamHosts(unittest.TestCase):
    def test_each_hosts_start_counts_once_and_no_host_ends_anothers_stream(self):
        with CameraNet(f"sh{os.getpid() % 10000}") as net:
            korvid = net.start_korvid_serving(KORVID)
            r = host_record(self, net, SELF, ["hosts"], "b_blocks")

            self.assertIsNotNone(r["b_rate_before"], "B's stream did not run")
            # Loose: the fault leaves B nothing at all.
            self.assertGreaterEqual(r["b_rate_after_a_stops"], 0.5 * r["b_rate_before"],
                                    "A's two stops ended or slowed B's stream")
            self.assertGreater(r["a_blocks_after_its_stops"], 0, "A is sent nothing while B's start holds the stream")
            self.assertGreaterEqual(r["b_blocks_after_burst"], RATE_BLOCKS // 2, "B's stream stopped after A's burst")
            blocks = r["b_blocks"]
            self.assertEqual(blocks, list(range(1, len(blocks) + 1)), "B missed blocks while A started and stopped")
            self.assertEqual(r["after_b_stop"], [0, 0], "datagrams (A, B) after the last wanting host's stop")

            self.assertTrue(r["a_alone_streams"])
            self.assertEqual(r["after_start_start_stop"], [0], "datagrams after A's start, start, stop")

            self.assertTrue(r["a_streams_before_silence"])
            self.assertEqual(r["b_sent_before_its_start"], 0, "the stream outlived its only host's heartbeat")
            self.assertTrue(r["b_streams"])
            self.assertEqual(r["after_b_stop_past_heartbeat"], [0], "datagrams after B's stop")

            self.assertTrue(r["b_sent_a_stream"], "B, holding control, was not sent A's stream")
            self.assertEqual(r["after_a_release"], [0], "datagrams after the only wanting host released control")
            self.assertEqual(r["acquisition_after_release"], 0)

            self.assertTrue(r["work_mode_streams"], "workMode 1 did not start the stream")
            # A close takes tens of ms (seconds under a sanitizer); an answer
            # that waits for one is slower than every plain write, round
            # after round.
            plain = max(r["plain_ms"])
            self.assertLessEqual(min(r["work_mode_1_ms"]), 2 * plain + 10, "workMode 1 waited for the close")
            stop = max(max(r["stop_ms"]), plain)
            self.assertLessEqual(min(r["work_mode_0_ms"]), 2 * stop + 10, "workMode 0 waited for the close")
            self.assertEqual(r["after_work_mode_0"], [[0, 0]] * WORK_MODE_ROUNDS,
                             "datagrams (A, B) after workMode 0 closed the stream")

            self.assertIsNone(korvid.poll(), "korvid still runs")
            self.assertEqual(net.stop(korvid), 255)  # SIGTERM ends with the backtrace status


if __name__ == "__main__":
    run_script({"hosts": role_hosts})
