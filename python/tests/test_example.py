"""The example script: a frame of a Y4M clip read with numpy, written as a PNG."""

import os
import struct
import subprocess
import sys
import zlib

import numpy as np

import tamsa
from conftest import picture

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "examples", "y4m_to_png.py")


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    at, idat = 8, b""
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        if data[at + 4:at + 8] == b"IDAT":
            idat += data[at + 8:at + 8 + length]
        at += length + 12
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(height, width * 3 + 1)
    assert not rows[:, 0].any()
    return rows[:, 1:].reshape(height, width, 3)


def test_y4m_frame_to_png(rng, tmp_path):
    width, height = 10, 6
    frames = [(picture(rng, height, width, 1), picture(rng, 3, 5, 1), picture(rng, 3, 5, 1))
              for _ in range(3)]
    clip = tmp_path / "clip.y4m"
    with open(clip, "wb") as f:
        f.write(b"YUV4MPEG2 W10 H6 F25:1 Ip A1:1 C420jpeg\n")
        for planes in frames:
            f.write(b"FRAME\n" + b"".join(p.tobytes() for p in planes))
    out = tmp_path / "frame.png"
    subprocess.run([sys.executable, SCRIPT, str(clip), str(out), "--frame", "1"], check=True)
    y, u, v = frames[1]
    rows = np.arange(height) // 2
    expected = tamsa.yuv_to_rgb(y, u[rows], v[rows], group=2)[:, :, ::-1]
    assert np.array_equal(read_png(out), expected)

    subprocess.run([sys.executable, SCRIPT, str(clip), str(out), "--size", "4x3"], check=True)
    assert read_png(out).shape == (3, 4, 3)
