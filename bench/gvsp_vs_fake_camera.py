#!/usr/bin/python3
"""Stream sender CPU per frame against Aravis's fake camera: each streams
640x480 16-bit frames, packet size 1500, at the same rate to an unmodified
Aravis receiver (arv-camera-test-0.8), camera and receiver each in a network
namespace of their own (tests/e2e/camns.py), so discovery never leaves them.

  1. korvid (give it a plain, unsanitised build) streams the simulated
     sensor's depth, the amplitude stream off; the CPU counted is its "gvsp"
     thread's.
  2. arv-fake-gv-camera-0.8 streams Mono16 at the frame rate korvid reached;
     the CPU counted is the whole process's (it also draws its test image),
     and separately its busiest thread's.

Both are run twice: at the sensor's default set-up, then at 30 frames/s in
single-frequency mode (freqMode 0, integration 400). The host namespace
processes what it receives on the other CPUs (receive packet steering), as a
host across a wire would: a veth otherwise runs that in the sending thread. CPU comes from
/proc/<pid>/task/<tid>/schedstat (nanoseconds) over the receiver's run; the
sender thread's minor page faults from /proc/<pid>/task/<tid>/stat. Figures,
not a test: run as root.

KORVID_GVSP_SEND=sendto in the environment gives korvid's sender without
segmented sends, for comparison.

usage: gvsp_vs_fake_camera.py KORVID_BINARY [SECONDS]"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from camns import CAM_ADDR, CameraNet, wait_for  # noqa: E402

ENABLE_AMP = 0x10000020
ENABLE_RGB = 0x10000028  # the colour camera streams beside depth unless told not to
TOF_FPS = 0x1000202C
TOF_FREQ_MODE = 0x10002068
TOF_INTEGRATION = 0x1000209C  # single frequency reaches 30 frames/s below 500


def stat(out, name):
    m = re.search(rf"^{name}\s*=\s*(\d+)", out, re.M)
    return int(m.group(1)) if m else -1


def thread_cpu_ms(pid):
    """{tid: (name, CPU ms)} of every thread of the process."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                threads[tid] = (name, int(f.read().split()[0]) / 1e6)
        except OSError:
            continue
    return threads


def minor_faults(pid, name):
    """Minor page faults of the process's threads called `name`."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                if f.read().strip() != name:
                    continue
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                total += int(f.read().rsplit(")", 1)[1].split()[7])
        except (OSError, IndexError, ValueError):
            continue
    return total


def cpu_delta(before, after):
    return {tid: (name, ms - before.get(tid, (name, 0.0))[1]) for tid, (name, ms) in after.items()}


def receive_elsewhere(net):
    """The host side's receive processing on every CPU but the sender's own
    (receive packet steering), as on a host across a wire: a veth otherwise
    runs it in the sending thread, whose CPU it then counts."""
    cpus = (1 << os.cpu_count()) - 1
    r = net.run(net.host, ["sh", "-c", f"echo {cpus:x} > /sys/class/net/{net.host_if}/queues/rx-0/rps_cpus"])
    if r.returncode != 0:
        sys.exit(f"receive packet steering not set: {r.stderr.decode(errors='replace')}")


def receive(net, name, seconds, extra=()):
    r = net.on_host(["arv-camera-test-0.8", "-n", name, f"--duration={seconds}", "-i", "1500", *extra],
                    timeout=seconds + 60)
    out = r.stdout.decode(errors="replace")
    if r.returncode != 0:
        sys.exit(f"arv-camera-test failed:\n{out}{r.stderr.decode(errors='replace')}")
    return out


def figures(label, out, seconds, cpu_ms, note):
    frames = stat(out, "n_completed_buffers")
    failed = stat(out, "n_failures")
    packets = stat(out, "n_received_packets")
    nbytes = stat(out, "n_transferred_bytes")
    sent = max(frames + max(failed, 0), 1)
    print(f"{label}: {frames} frames ({failed} failed, {stat(out, 'n_missing_packets')} missing packets) in {seconds} s"
          f" = {frames / seconds:.1f} frames/s, {packets / seconds:.0f} packets/s, {nbytes / seconds / 1e6:.2f} MB/s;"
          f" CPU {cpu_ms / sent:.3f} ms per frame ({note})")
    return frames / seconds


def run_korvid(binary, seconds, fps=None):
    with CameraNet(f"bk{os.getpid() % 10000}") as net:
        receive_elsewhere(net)
        korvid = net.start_korvid(binary)
        if not wait_for(lambda: "gvcp fd:" in net.korvid_log() or korvid.poll() is not None, 30) or korvid.poll():
            sys.exit("korvid did not come up")
        net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x{ENABLE_AMP:08X}]=0"])
        net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x{ENABLE_RGB:08X}]=0"])
        if fps:
            r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", f"R[0x{TOF_FREQ_MODE:08X}]=0",
                             f"R[0x{TOF_INTEGRATION:08X}]=400", f"R[0x{TOF_FPS:08X}]={fps}"])
            print(f"set-up for {fps} frames/s: {' '.join(r.stdout.decode(errors='replace').split())}")
        # The sender polls its queue while idle: that share, on its own.
        idle0, t0 = thread_cpu_ms(korvid.pid), time.monotonic()
        time.sleep(2)
        idle = cpu_delta(idle0, thread_cpu_ms(korvid.pid))
        idle_ms_per_s = sum(ms for name, ms in idle.values() if name == "gvsp") / (time.monotonic() - t0)
        before, faults0 = thread_cpu_ms(korvid.pid), minor_faults(korvid.pid, "gvsp")
        out = receive(net, CAM_ADDR, seconds)
        delta, faults = cpu_delta(before, thread_cpu_ms(korvid.pid)), minor_faults(korvid.pid, "gvsp") - faults0
        log = net.korvid_log()
        net.stop(korvid)
    gvsp = sum(ms for name, ms in delta.values() if name == "gvsp")
    way = re.search(r"gvsp packets go by (\w+)", log)
    rate = figures("korvid sender", out, seconds, gvsp, f"its gvsp thread, packets by {way.group(1) if way else '?'}")
    frames = max(stat(out, "n_completed_buffers") + max(stat(out, "n_failures"), 0), 1)
    print(f"korvid sender page faults: {faults} over {frames} frames")
    print(f"korvid sender idle (queue polling): {idle_ms_per_s:.1f} ms CPU per s,"
          f" {idle_ms_per_s / max(rate, 1.0):.3f} ms per frame at this rate")
    return rate, out


def run_fake(rate, seconds):
    with CameraNet(f"bf{os.getpid() % 10000}") as net:
        receive_elsewhere(net)
        fake = net.spawn(net.cam, ["arv-fake-gv-camera-0.8", "-i", CAM_ADDR])
        found = wait_for(lambda: b"= Aravis" in net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control",
                                                              "DeviceVendorName"]).stdout, 30, 0.5)
        if not found:
            sys.exit("the fake camera did not come up")
        before = thread_cpu_ms(fake.pid)
        out = receive(net, CAM_ADDR, seconds, ["-w", "640", "-h", "480", "-f", f"{rate:.0f}",
                                               "--features", "PixelFormat=Mono16"])
        delta = cpu_delta(before, thread_cpu_ms(fake.pid))
        net.stop(fake)
    total = sum(ms for _, ms in delta.values())
    figures("fake camera", out, seconds, total, "whole process")
    name, busiest = max(delta.values(), key=lambda t: t[1])
    frames = max(stat(out, "n_completed_buffers") + max(stat(out, "n_failures"), 0), 1)
    print(f"fake camera busiest thread '{name}': CPU {busiest / frames:.3f} ms per frame")


def main():
    if os.geteuid() != 0:
        sys.exit("needs root for network namespaces")
    binary = sys.argv[1] if len(sys.argv) > 1 else "korvid"
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    for fps in (None, 30):
        print(f"--- {'default set-up' if fps is None else f'{fps} frames/s, single frequency'}")
        rate, _ = run_korvid(binary, seconds, fps)
        time.sleep(0.5)
        run_fake(max(rate, 1.0), seconds)


if __name__ == "__main__":
    main()
