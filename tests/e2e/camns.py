"""A camera and a host joined by a veth pair, each in a network namespace of
its own, for end-to-end tests with real GigE Vision and Modbus peers.

The camera namespace has an `eth0` on 169.254.10.2/16, the host namespace a
peer on 169.254.10.1/16. Broadcast discovery therefore stays between the two.
korvid runs in the camera namespace on a simulated board whose root is a
temporary folder; everything is removed on every way out (exceptions, signals,
interpreter exit, and a SIGKILL: see `reap`).

A script run with KORVID_TEST_TIMEOUT (its ctest time-out, in seconds) ends
with a message of its own, naming where it waited, before ctest would kill it
(see `deadline`).

With `relay=True` a third namespace sits between the two: the camera's eth0
and the host's peer each end in it on an interface without an address
(`relay_ifs`, camera side first), so nothing passes until a program there
(lossy_relay.py) carries the frames across."""

import atexit
import os
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest

CAM_ADDR = "169.254.10.2"
HOST_ADDR = "169.254.10.1"

_live = []


def _cleanup_all():
    for net in list(_live):
        net.close()


def _on_signal(signum, _frame):
    _cleanup_all()
    raise SystemExit(128 + signum)


atexit.register(_cleanup_all)
signal.signal(signal.SIGTERM, _on_signal)
signal.signal(signal.SIGINT, _on_signal)

# ctest kills a test that outlives its time-out with SIGKILL, and every
# process descended from it too: no handler runs, and what the test made
# would stay. The reaper is no descendant (it leaves the tree at once) and
# holds the read end of a pipe only this process writes: at its end-of-file,
# however this process ended, it removes what is still listed.
_REAPER = r"""
import os, shutil, subprocess, sys
if os.fork():
    os._exit(0)
os.setsid()
made = {"ns": set(), "link": set(), "dir": set()}
for line in sys.stdin:
    sign, kind, what = line[0], *line[1:].rstrip("\n").split(" ", 1)
    (made[kind].add if sign == "+" else made[kind].discard)(what)
for ns in made["ns"]:
    pids = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), 9)
        except (OSError, ValueError):
            pass
    subprocess.run(["ip", "netns", "del", ns], capture_output=True)
for link in made["link"]:
    if os.path.exists("/sys/class/net/" + link):
        subprocess.run(["ip", "link", "del", link], capture_output=True)
for path in made["dir"]:
    shutil.rmtree(path, ignore_errors=True)
"""
_reaper = None


def reap(kind, what, made=True):
    """Lists (made=True) or strikes off what the reaper removes should this
    process end without removing it: kind "ns" (a namespace, after killing
    what runs in it), "link" (an interface of the machine's namespace) or
    "dir" (a folder)."""
    global _reaper
    if _reaper is None:
        starter = subprocess.Popen([sys.executable, "-c", _REAPER], stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd="/")
        starter.wait()
        _reaper = starter.stdin
    try:
        _reaper.write(f"{'+' if made else '-'}{kind} {what}\n".encode())
        _reaper.flush()
    except OSError:
        pass


# The script's own deadline: a margin before its ctest time-out, for the
# message and the clean-up. Child processes (the peers' roles) inherit none.
_limit = float(os.environ.pop("KORVID_TEST_TIMEOUT", "0") or 0)
_started = time.monotonic()


def remaining():
    """Seconds left before the script's deadline (None without one)."""
    if not _limit:
        return None
    return _started + _limit - max(10.0, _limit / 10) - time.monotonic()


def _out_of_time(_signum, frame):
    sys.stdout.flush()
    sys.stderr.write(f"\n{os.path.basename(sys.argv[0])}: out of time, {time.monotonic() - _started:.0f} s of "
                     f"its {_limit:.0f} s limit gone, waiting in:\n")
    traceback.print_stack(frame, file=sys.stderr)
    sys.stderr.write("its namespaces, processes and board roots are removed\n")
    sys.stderr.flush()
    try:
        _cleanup_all()
    finally:
        os._exit(124)


def deadline(limit=None):
    """Arms the deadline for a script (its ctest time-out, else `limit` when
    run by hand); at it the script prints where it waited, cleans up and
    ends with status 124."""
    global _limit
    _limit = _limit or limit or 0
    if _limit:
        signal.signal(signal.SIGALRM, _out_of_time)
        signal.setitimer(signal.ITIMER_REAL, max(1.0, remaining()))


deadline()


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


def wait_for(pred, timeout=10.0, step=0.05):
    """Polls pred until it is true or the time is up; returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


# Sent from the namespace of a capture, out of its interface, until the
# capture file holds one: a datagram to the link's broadcast address (no
# neighbour to resolve, no answer), to the discard port unless a capture
# filter asks for another.
_MARKER = r"""
import socket, sys, time
payload, port, ifname, seconds = bytes.fromhex(sys.argv[1]), int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
end = time.monotonic() + seconds
while time.monotonic() < end:
    s.sendto(payload, ("169.254.255.255", port))
    time.sleep(0.2)
"""
MARK_PORT = 9
# Bounds on a capture's waits, for a loaded machine: tshark loads every
# dissector before it starts its capture, and reads a large file slowly.
CAPTURE_WAIT = 60
READ_WAIT = 300


class Capture:
    """tshark writing what passes an interface of a namespace to a file, for
    the test to read once it ended. "Capturing on" comes before the capture
    runs, and tshark writes what it caught only every half second or so:
    ending it loses what it has not written. So the capture is known to run
    once a mark sent through it is in the file (`sync`), and ends (`finish`)
    only once a mark sent after everything it should hold is in the file.
    A capture that ends by itself (`-c COUNT`) has written everything.

    `mark(n)` gives the n-th mark's UDP payload, sent to `mark_port`: both
    must pass the capture filter, and the mark must be no packet the test
    counts (the default is text to the discard port)."""

    def __init__(self, net, ns, ifname, pcap, args, mark_port=MARK_PORT, mark=None):
        self.net, self.ns, self.ifname, self.pcap = net, ns, ifname, pcap
        self.mark_port = mark_port
        self.mark = mark or (lambda n: b"korvid capture mark %d %d" % (os.getpid(), n))
        self.marks = 0
        self._seen = 0  # bytes of the file already searched
        self.shark = net.spawn(ns, ["tshark", "-q", "-i", ifname, *args, "-w", pcap],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not self.sync():
            err = self._stop()
            raise AssertionError(f"tshark on {ifname} captured nothing within {CAPTURE_WAIT} s: {err}")

    def _holds(self, pattern):
        start = max(0, self._seen - len(pattern))
        try:
            with open(self.pcap, "rb") as f:
                f.seek(start)
                data = f.read()
        except OSError:
            return False
        if pattern in data:
            return True
        self._seen = start + len(data)
        return False

    def sync(self, timeout=CAPTURE_WAIT):
        """Sends marks until the file holds one, so that every packet that
        passed before is in it too; True once it does, or once tshark ended
        by itself."""
        if self.shark.poll() is not None:
            return self.shark.returncode == 0 and os.path.exists(self.pcap)
        self.marks += 1
        payload = self.mark(self.marks)
        sender = self.net.spawn(self.ns, ["/usr/bin/python3", "-c", _MARKER, payload.hex(), str(self.mark_port),
                                          self.ifname, str(timeout)], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            wait_for(lambda: self._holds(payload) or self.shark.poll() is not None
                     or sender.poll() is not None, timeout, step=0.1)
            seen = self._holds(payload)
        finally:
            if sender.poll() is None:
                sender.kill()
            sender.wait()
        # At its packet count it ends by itself, having written all it took.
        return seen or (self.shark.poll() == 0 and os.path.exists(self.pcap))

    def _stop(self):
        """Ends tshark with SIGINT, as at a terminal: it writes out what it
        holds (SIGTERM can lose the last packets it caught). What it said."""
        if self.shark.poll() is None:
            self.shark.send_signal(signal.SIGINT)
            try:
                self.shark.wait(CAPTURE_WAIT)
            except subprocess.TimeoutExpired:
                self.shark.kill()
                self.shark.wait()
        err = self.shark.stderr.read().decode(errors="replace")
        self.shark.stderr.close()
        return err

    def finish(self):
        """Ends the capture once everything sent so far is in the file;
        AssertionError when the last mark never got there."""
        synced = self.sync()
        err = self._stop()
        if not synced:
            raise AssertionError(f"the capture on {self.ifname} never took its last mark: {err}")

    def read(self, *args, timeout=READ_WAIT):
        """`tshark -r FILE ARGS` of the ended capture."""
        return subprocess.run(["tshark", "-r", self.pcap, *args], capture_output=True, text=True, timeout=timeout)


class CameraNet:
    def __init__(self, tag=None, relay=False):
        tag = tag or f"{os.getpid() % 100000}"
        self.cam = f"kvcam{tag}"
        self.host = f"kvhost{tag}"
        self._veth = (f"kv{tag}a", f"kv{tag}b")
        self.relay = f"kvrly{tag}" if relay else None
        self.relay_ifs = (f"kv{tag}c", f"kv{tag}d") if relay else None
        self.procs = []
        self.tmp = tempfile.TemporaryDirectory(prefix="korvid-e2e-")
        self.dir = self.tmp.name
        reap("dir", self.dir)
        self._open = False

    def _names(self):
        return [self.cam, self.host, *([self.relay] if self.relay else [])]

    def _links(self):
        return [*self._veth, *(self.relay_ifs or ())]

    def __enter__(self):
        a, b = self._veth
        for name in self._names():
            reap("ns", name)
        for name in self._links():
            reap("link", name)
        _ip("netns", "del", self.cam, check=False)
        _ip("netns", "del", self.host, check=False)
        _ip("netns", "add", self.cam)
        _ip("netns", "add", self.host)
        self._open = True
        _live.append(self)
        if self.relay:
            _ip("netns", "del", self.relay, check=False)
            _ip("netns", "add", self.relay)
        # Made under temporary names in this namespace, moved, then renamed
        # inside: no interface of the machine's own is ever touched.
        if self.relay:
            c, d = self.relay_ifs
            _ip("link", "add", a, "type", "veth", "peer", "name", c)
            _ip("link", "add", d, "type", "veth", "peer", "name", b)
            _ip("link", "set", c, "netns", self.relay)
            _ip("link", "set", d, "netns", self.relay)
            for i in (c, d, "lo"):
                _ip("-n", self.relay, "link", "set", i, "up")
        else:
            _ip("link", "add", a, "type", "veth", "peer", "name", b)
        _ip("link", "set", a, "netns", self.cam)
        _ip("link", "set", b, "netns", self.host)
        _ip("-n", self.cam, "link", "set", a, "name", "eth0")
        _ip("-n", self.cam, "addr", "add", f"{CAM_ADDR}/16", "dev", "eth0")
        # A wire carries frames of its MTU; a veth would carry a segmented
        # UDP send whole to the other side, where packet sockets (Aravis's
        # stream receiver, tshark, the relay) see one 64 KiB frame. One
        # segment per frame makes the camera's kernel cut it before the
        # link, as a network card does.
        _ip("-n", self.cam, "link", "set", "eth0", "gso_max_segs", "1")
        _ip("-n", self.cam, "link", "set", "eth0", "up")
        _ip("-n", self.cam, "link", "set", "lo", "up")
        _ip("-n", self.host, "addr", "add", f"{HOST_ADDR}/16", "dev", b)
        _ip("-n", self.host, "link", "set", b, "up")
        _ip("-n", self.host, "link", "set", "lo", "up")
        self.host_if = b
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    pass
        self.procs = []
        if self._open:
            # A peer run by `run` (cut short by the deadline) is in no list.
            for name in self._names():
                for pid in _ip("netns", "pids", name, check=False).stdout.split():
                    try:
                        os.kill(int(pid), signal.SIGKILL)
                    except (OSError, ValueError):
                        pass
            _ip("netns", "del", self.cam, check=False)
            _ip("netns", "del", self.host, check=False)
            if self.relay:
                _ip("netns", "del", self.relay, check=False)
                # A pair left behind by a failure before it was moved.
                for name in (*self._veth, *self.relay_ifs):
                    if os.path.exists(f"/sys/class/net/{name}"):
                        _ip("link", "del", name, check=False)
            self._open = False
        if self in _live:
            _live.remove(self)
        self.tmp.cleanup()
        for name in self._names():
            reap("ns", name, made=False)
        for name in self._links():
            reap("link", name, made=False)
        reap("dir", self.dir, made=False)

    # ---- processes in either namespace ----

    def spawn(self, ns, args, **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.STDOUT)
        p = subprocess.Popen(["ip", "netns", "exec", ns, *args], **kw)
        self.procs.append(p)
        return p

    def run(self, ns, args, timeout=30, **kw):
        return subprocess.run(["ip", "netns", "exec", ns, *args], capture_output=True,
                              timeout=timeout, **kw)

    def on_host(self, args, timeout=30, **kw):
        return self.run(self.host, args, timeout=timeout, **kw)

    # ---- korvid ----

    def board_root(self):
        return os.path.join(self.dir, "board")

    def start_korvid(self, binary, profile="rk3588-gpixel", extra=()):
        os.makedirs(self.board_root(), exist_ok=True)
        log = open(os.path.join(self.dir, "korvid.out"), "ab")
        p = self.spawn(self.cam, [binary, "--board-root", self.board_root(), "--board", profile, *extra],
                       stdout=log, stderr=subprocess.STDOUT)
        log.close()
        return p

    def start_korvid_serving(self, binary, profile="rk3588-gpixel", extra=()):
        """start_korvid, then wait until korvid serves the control channel;
        AssertionError if it ended or did not come up within 30 s."""
        p = self.start_korvid(binary, profile, extra)
        if not wait_for(lambda: "gvcp fd:" in self.korvid_log() or p.poll() is not None, 30) or p.poll() is not None:
            raise AssertionError(f"korvid did not come up (exit {p.poll()})")
        return p

    def korvid_log(self):
        path = os.path.join(self.board_root(), "var/log/camera.log")
        try:
            with open(path, "r", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5)
        return proc.returncode


def run_script(roles):
    """A test script's entry. `SCRIPT --role NAME ARGS...` runs one role of a
    peer (`roles[NAME](*ARGS)`, the ARGS as texts; what it returns is the exit
    status). Otherwise `SCRIPT KORVID [unittest options]` runs the tests, which
    need root for the namespaces: without it the exit is 77, ctest's skip."""
    if len(sys.argv) > 2 and sys.argv[1] == "--role":
        sys.exit(roles[sys.argv[2]](*sys.argv[3:]) or 0)
    if os.geteuid() != 0:
        print("needs root for network namespaces", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[2:]])
