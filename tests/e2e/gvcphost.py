"""A GigE Vision control host for the end-to-end tests: commands to the
camera's GVCP port from a port of its own, answers matched by request id."""
import socket
import struct

from camns import CAM_ADDR

GVCP_PORT = 3956
DISCOVERY, FORCEIP, READREG, WRITEREG = 0x0002, 0x0004, 0x0080, 0x0082


class Gvcp:
    def __init__(self, wait=3.0):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.bind(("", 0))
        self.req = 1
        self.wait = wait

    def send(self, cmd, body, flag=0x01):
        self.req = self.req % 0xFFFF + 1
        self.s.sendto(struct.pack(">BBHHH", 0x42, flag, cmd, len(body), self.req) + body, (CAM_ADDR, GVCP_PORT))

    def receive(self):
        """One datagram and its arrival time (none here: see StampedGvcp)."""
        return self.s.recv(4096), 0

    def ask_at(self, cmd, body, wait=None):
        """The acknowledgement and its arrival time, or (None, 0)."""
        self.send(cmd, body)
        self.s.settimeout(self.wait if wait is None else wait)
        try:
            while True:
                data, at = self.receive()
                if len(data) >= 8 and struct.unpack(">H", data[6:8])[0] == self.req:
                    return data, at
        except socket.timeout:
            return None, 0

    def ask(self, cmd, body, wait=None):
        return self.ask_at(cmd, body, wait)[0]

    def write_at(self, address, value):
        """The write's status, or None without an answer, and when it came."""
        a, at = self.ask_at(WRITEREG, struct.pack(">II", address, value))
        return (None if a is None else struct.unpack(">H", a[:2])[0]), at

    def write(self, address, value):
        return self.write_at(address, value)[0]

    def read(self, address):
        a = self.ask(READREG, struct.pack(">I", address))
        return None if a is None or len(a) < 12 else struct.unpack(">I", a[8:12])[0]


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def timestamped(sock):
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)


def recv_stamped(sock):
    """One datagram and the kernel's arrival time of it, in ns."""
    data, anc, _flags, _addr = sock.recvmsg(65536, 64)
    for level, kind, value in anc:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
            sec, nsec = struct.unpack("qq", value[:16])
            return data, sec * 1_000_000_000 + nsec
    raise RuntimeError("datagram without an arrival time")


class StampedGvcp(Gvcp):
    """A host that knows when each answer reached it, by the kernel's clock."""

    def __init__(self, wait=3.0):
        super().__init__(wait)
        timestamped(self.s)

    def receive(self):
        return recv_stamped(self.s)
