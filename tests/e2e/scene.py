"""The simulated scene against a depth frame a host received: per surface
(wall, box, sphere) the worst relative error of the frame's distances.

Needs depthtool (tests/e2e/depthtool.cpp) for the scene's distances."""

import os
import struct
import subprocess

from arvframe import read_png


def scene_mm(depthtool, width, height, folder):
    """The scene's distance in millimetres at each pixel of a width x height frame."""
    path = os.path.join(folder, f"scene-{width}x{height}.bin")
    subprocess.run([depthtool, "scene", str(width), str(height), path], check=True)
    with open(path, "rb") as f:
        return struct.unpack("<%dH" % (width * height), f.read())


def surface_errors(depthtool, png, folder):
    """(width, height, {surface: (pixels, worst relative error, measured mean mm, scene mean mm)})
    of the 16-bit depth PNG `png`. The wall is the scene's farthest distance,
    the box the flat face before it, the sphere everything nearer."""
    width, height, bits, depth = read_png(png)
    assert bits == 16, bits
    scene = scene_mm(depthtool, width, height, folder)
    wall = max(scene)
    box = max(mm for mm in scene if mm < wall)
    surfaces = {"wall": lambda mm: mm == wall, "box": lambda mm: mm == box, "sphere": lambda mm: mm < box}
    out = {}
    for name, on in surfaces.items():
        pixels = [i for i in range(width * height) if on(scene[i])]
        if not pixels:
            out[name] = (0, 0.0, 0.0, 0.0)
            continue
        worst = max(abs(depth[i] - scene[i]) / scene[i] for i in pixels)
        out[name] = (len(pixels), worst, sum(depth[i] for i in pixels) / len(pixels),
                     sum(scene[i] for i in pixels) / len(pixels))
    return width, height, out
