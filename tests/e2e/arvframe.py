#!/usr/bin/python3
"""A small GigE Vision client on Aravis's Python binding for the end-to-end
tests: it takes control of the camera, writes registers and features,
acquires frames, keeps count of what arrived and how, and saves a received
depth frame as a 16-bit PNG (with the raw frame of the same frame index
when asked).

usage: arvframe.py ADDRESS [options]; prints one JSON object (see main).

Frames are told apart by pixel format: depth Mono16, raw Mono12. The
amplitude image is Mono16 of the depth's size too, so saving depth needs the
amplitude stream closed (write 0x10000020=0). The leader's x offset carries
the frame index, which the depth and raw frames of one capture share.

Also importable (without Aravis) for its PNG writer and reader."""

import argparse
import json
import signal
import struct
import sys
import time
import zlib

MONO16 = 0x01100007
MONO12 = 0x01100005
REG_ENABLE_AMP = 0x10000020
REG_ENABLE_DEPTH = 0x10000024


# ---- PNG, greyscale, no interlace: written with filter 0 on every row ----

def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, width, height, samples, depth=16):
    """samples: width x height values, row by row (16-bit or 8-bit)."""
    fmt = ">%dH" if depth == 16 else ">%dB"
    rows = b"".join(b"\0" + struct.pack(fmt % width, *samples[y * width:(y + 1) * width]) for y in range(height))
    png = b"\x89PNG\r\n\x1a\n"
    png += _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, 0, 0, 0, 0))
    png += _chunk(b"IDAT", zlib.compress(rows, 9))
    png += _chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def read_png(path):
    """(width, height, bit depth, samples) of a greyscale PNG written with
    filter 0 on every row (as write_png does); raises ValueError otherwise."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    at, idat, head = 8, b"", None
    while at < len(data):
        n, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + n]
        if zlib.crc32(kind + body) & 0xFFFFFFFF != struct.unpack_from(">I", data, at + 8 + n)[0]:
            raise ValueError("bad CRC in " + kind.decode(errors="replace"))
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + n
    if not head or head[3] != 0 or head[6] != 0 or head[2] not in (8, 16):
        raise ValueError("not a greyscale PNG of 8 or 16 bits")
    width, height, depth = head[0], head[1], head[2]
    raw = zlib.decompress(idat)
    stride = width * depth // 8
    if len(raw) != height * (stride + 1):
        raise ValueError("image data of the wrong size")
    samples = []
    for y in range(height):
        row = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        if row[0] != 0:
            raise ValueError("row filter %d not supported" % row[0])
        samples.extend(struct.unpack((">%dH" if depth == 16 else ">%dB") % width, row[1:]))
    return width, height, depth, samples


def view_samples(samples):
    """An 8-bit rendering of depth for people: near bright, far dark, no
    measurement black."""
    valid = [v for v in samples if v]
    if not valid:
        return [0] * len(samples)
    lo, hi = min(valid), max(valid)
    span = max(hi - lo, 1)
    return [0 if v == 0 else 40 + (215 * (hi - v)) // span for v in samples]


# ---- Camera ----

def _number(text):
    return int(text, 0)


def _assignment(text):
    name, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError("expected NAME=VALUE: " + text)
    return name, value


def _timed_write(text):
    when, sep, rest = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError("expected SECONDS:ADDRESS=VALUE: " + text)
    addr, value = _assignment(rest)
    return float(when), _number(addr), _number(value)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("address")
    p.add_argument("--write", action="append", default=[], type=_assignment, metavar="ADDR=VALUE",
                   help="register write before acquisition")
    p.add_argument("--feature", action="append", default=[], metavar="NAME=VALUE",
                   help="GenICam feature set before acquisition")
    p.add_argument("--read", action="append", default=[], type=_number, metavar="ADDR",
                   help="register read after the writes, reported")
    p.add_argument("--write-at", action="append", default=[], type=_timed_write, metavar="SEC:ADDR=VALUE",
                   help="register write that many seconds into the acquisition; its CLOCK_MONOTONIC span is reported")
    p.add_argument("--duration", type=float, default=0,
                   help="acquire this long (0: until the saves are done); with --frames, at least this long")
    p.add_argument("--frames", type=int, default=0, metavar="N",
                   help="acquire until N whole frames arrived after the last --write-at (exit status 1 when fewer did)")
    p.add_argument("--depth-frames", type=int, default=0, metavar="N",
                   help="with --frames, also wait until N Mono16 frames arrived")
    p.add_argument("--kinds", type=int, default=0, metavar="N",
                   help="with --frames, also wait until images of N formats or sizes arrived")
    p.add_argument("--timeout", type=float, default=20,
                   help="give up waiting for the saves or the frames after this long")
    p.add_argument("--hold", action="store_true",
                   help="acquire until SIGUSR1 arrives too; --frames counts the frames after it")
    p.add_argument("--progress", action="store_true", help="write \"frames N\" to stderr as each whole frame arrives")
    p.add_argument("--packet-timeout", type=float, default=0, metavar="MS",
                   help="how long Aravis waits for a packet before asking for it again (0: its default)")
    p.add_argument("--auto-socket-buffer", action="store_true", help="size the socket buffer to the payload")
    p.add_argument("--depth", metavar="PNG", help="save a received depth frame as a 16-bit PNG")
    p.add_argument("--depth-after", type=float, default=0, metavar="SEC",
                   help="the saved depth frame arrives at least this long into the acquisition")
    p.add_argument("--raw", metavar="BIN", help="also save the raw frame of the saved depth's frame index")
    p.add_argument("--view", metavar="PNG", help="an 8-bit rendering of the saved depth frame")
    p.add_argument("--buffers", type=int, default=8)
    p.add_argument("--frame-retention", type=float, default=1000, metavar="MS",
                   help="how long Aravis waits for the rest of a block (its default, 100 ms, is shorter than "
                        "the pauses a loaded test host gives the sender; late packets count, lost ones stay missing)")
    return p.parse_args(argv)


def run(args):
    import gi
    gi.require_version("Aravis", "0.8")
    from gi.repository import Aravis

    cam = Aravis.Camera.new(args.address)
    dev = cam.get_device()
    for addr, value in args.write:
        dev.write_register(_number(addr), _number(value))
    for text in args.feature:
        dev.set_features_from_string(text)
    reads = {hex(a): dev.read_register(a) for a in args.read}
    if args.depth and (dev.read_register(REG_ENABLE_AMP) != 0 or dev.read_register(REG_ENABLE_DEPTH) == 0):
        raise SystemExit("saving depth needs the depth stream open and the amplitude stream closed")

    payload = cam.get_payload()
    stream = cam.create_stream(None, None)
    stream.set_property("frame-retention", int(args.frame_retention * 1000))
    if args.packet_timeout:
        stream.set_property("packet-timeout", int(args.packet_timeout * 1000))
    if args.auto_socket_buffer:
        stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.AUTO)
    for _ in range(args.buffers):
        stream.push_buffer(Aravis.Buffer.new_allocate(payload))

    out = {"payload": payload, "reads": reads, "writes": [], "statuses": {}, "depth": 0, "raw": 0, "other": 0,
           "images": {}, "frames": 0}
    pending = sorted(args.write_at)
    kept = None  # the latest eligible depth frame: (frame index, width, height, bytes)
    saved = None
    first = last = None
    released = [not args.hold]
    if args.hold:
        signal.signal(signal.SIGUSR1, lambda *_: released.__setitem__(0, True))
    cam.start_acquisition()
    start = time.monotonic()
    try:
        while True:
            now = time.monotonic() - start
            while pending and pending[0][0] <= now:
                _, addr, value = pending.pop(0)
                t0 = time.monotonic_ns()
                dev.write_register(addr, value)
                out["writes"].append({"addr": addr, "value": value, "t0": t0, "t1": time.monotonic_ns()})
            wants_save = args.depth and not saved
            if args.frames:
                # Waits on what arrives, not on the clock: a slow build on a
                # busy host gets its frames later, a fault never.
                if now >= args.timeout or (now >= args.duration and not pending and not wants_save and released[0]
                                           and out["frames"] >= args.frames and out["depth"] >= args.depth_frames
                                           and len(out["images"]) >= args.kinds):
                    break
            elif args.duration:
                if now >= args.duration and not pending:
                    break
            elif not wants_save or now >= args.timeout:
                break
            buf = stream.timeout_pop_buffer(200000)
            if buf is None:
                continue
            status = buf.get_status().value_nick
            out["statuses"][status] = out["statuses"].get(status, 0) + 1
            if buf.get_status() == Aravis.BufferStatus.SUCCESS:
                if not pending and released[0]:
                    out["frames"] += 1
                if args.progress:
                    sys.stderr.write("frames %d\n" % out["statuses"]["success"])
                    sys.stderr.flush()
                fmt = buf.get_image_pixel_format()
                index = buf.get_image_x()
                # What a host sees of each image: its format and size as Aravis reports them.
                seen = "%#010x %dx%d" % (fmt, buf.get_image_width(), buf.get_image_height())
                out["images"][seen] = out["images"].get(seen, 0) + 1
                if fmt == MONO16:
                    out["depth"] += 1
                    last = time.monotonic() - start
                    first = last if first is None else first
                    if wants_save and now >= args.depth_after:
                        kept = (index, buf.get_image_width(), buf.get_image_height(), bytes(buf.get_data()))
                        if not args.raw:
                            saved = kept
                elif fmt == MONO12:
                    out["raw"] += 1
                    if wants_save and args.raw and kept and kept[0] == index:
                        with open(args.raw, "wb") as f:
                            f.write(buf.get_data())
                        out["raw_frame"] = {"index": index, "width": buf.get_image_width(),
                                            "height": buf.get_image_height(), "bytes": len(buf.get_data())}
                        saved = kept
                else:
                    out["other"] += 1
            stream.push_buffer(buf)
    finally:
        cam.stop_acquisition()

    for i in range(stream.get_n_infos()):
        name = stream.get_info_name(i)
        try:
            out[name] = stream.get_info_uint64(i)
        except Exception:  # a double-valued item
            out[name] = stream.get_info_double(i)
    out["depth_fps"] = (out["depth"] - 1) / (last - first) if out["depth"] > 1 and last > first else 0.0
    out["depth_first_s"], out["depth_last_s"] = first, last
    if saved:
        index, width, height, data = saved
        samples = list(struct.unpack("<%dH" % (width * height), data[:width * height * 2]))
        write_png(args.depth, width, height, samples)
        if args.view:
            write_png(args.view, width, height, view_samples(samples), depth=8)
        out["depth_frame"] = {"index": index, "width": width, "height": height}
    return out


def main(argv):
    args = parse_args(argv)
    out = run(args)
    json.dump(out, sys.stdout)
    sys.stdout.write("\n")
    if args.frames and (out["frames"] < args.frames or out["depth"] < args.depth_frames
                        or len(out["images"]) < args.kinds):
        return 1
    return 0 if not args.depth or "depth_frame" in out else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
