#!/usr/bin/python3
"""A lossy wire between two interfaces: every Ethernet frame that arrives on
one goes out of the other, except for a seeded, repeatable 1 in N of the
camera's first-time GigE Vision stream payload packets, which are dropped
until SIGUSR1 arrives (a host stopping its acquisition closes the stream,
and with it the resends still owed: the test stops the loss first).
Run inside a namespace whose two interfaces carry no address, so that its own
kernel stays out of the way; control traffic (GVCP on 3956, resend requests
included), ARP and resent packets always pass.

usage: lossy_relay.py CAMERA_IF HOST_IF RATE SEED REPORT_JSON

It writes "ready" to stdout once both sockets are open, and on SIGTERM a JSON
report: frames forwarded each way and the (block id, packet id) of every
packet it dropped."""

import json
import random
import select
import signal
import socket
import struct
import sys

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
GVCP_PORT = 3956


def open_if(name):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.setsockopt(socket.SOL_SOCKET, 33, 32 << 20)  # SO_RCVBUFFORCE: no loss of our own
    s.setsockopt(socket.SOL_SOCKET, 32, 32 << 20)  # SO_SNDBUFFORCE
    s.bind((name, 0))
    return s


def udp_of(frame):
    """(offset of the UDP header, source port, destination port) or None."""
    if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
        return None
    ihl = (frame[14] & 0x0F) * 4
    off = 14 + ihl
    if len(frame) < off + 8:
        return None
    sport, dport = struct.unpack_from("!HH", frame, off)
    return off, sport, dport


def main():
    cam_if, host_if, rate, seed, report = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    rng = random.Random(seed)
    cam, host = open_if(cam_if), open_if(host_if)
    peer = {cam: host, host: cam}
    stats = {"to_host": 0, "to_camera": 0, "stream": 0, "dropped": []}
    running, lossy = [True], [True]

    def stop(_s, _f):
        running[0] = False

    def lossless(_s, _f):
        lossy[0] = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGUSR1, lossless)
    print("ready", flush=True)
    while running[0]:
        try:
            ready, _, _ = select.select([cam, host], [], [], 0.2)
        except InterruptedError:
            continue
        for s in ready:
            frame, addr = s.recvfrom(65536)
            if addr[2] == PACKET_OUTGOING:
                continue
            frame = bytearray(frame)
            udp = udp_of(frame)
            if udp:
                off, sport, dport = udp
                # A checksum left for the sending device to fill in never got
                # filled in on a veth; none at all is valid UDP over IPv4.
                frame[off + 6:off + 8] = b"\x00\x00"
                gvsp = s is cam and GVCP_PORT not in (sport, dport) and len(frame) >= off + 8 + 20
                if gvsp:
                    g = off + 8
                    stats["stream"] += 1
                    flag = struct.unpack_from("!H", frame, g + 2)[0]
                    fmt = frame[g + 4] & 0x7F
                    if fmt == 3 and not flag & 1 and lossy[0] and rng.random() < rate:
                        hi, lo, pid = struct.unpack_from("!III", frame, g + 8)
                        stats["dropped"].append([hi << 32 | lo, pid])
                        continue
            try:
                peer[s].send(frame)
            except OSError:
                continue
            stats["to_host" if s is cam else "to_camera"] += 1
    with open(report, "w") as f:
        json.dump(stats, f)


if __name__ == "__main__":
    main()
