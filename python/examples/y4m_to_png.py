#!/usr/bin/python3
"""Reads one frame of a 4:2:0 Y4M clip with numpy, converts it to RGB through the tamsa module
(optionally scaled and dithered) and writes it as a PNG.

    PYTHONPATH=build/python/package /usr/bin/python3 python/examples/y4m_to_png.py \\
        clip.y4m frame.png --frame 10 --size 320x240
"""

import argparse
import struct
import sys
import zlib

import numpy as np

import tamsa


def read_frame(path, index):
    """The Y, U and V planes of frame `index` of a 4:2:0 Y4M file."""
    with open(path, "rb") as f:
        header = f.readline().split()
        if not header or header[0] != b"YUV4MPEG2":
            sys.exit(f"{path}: not a Y4M file")
        fields = {token[:1]: token[1:] for token in header[1:]}
        width, height = int(fields[b"W"]), int(fields[b"H"])
        if not fields.get(b"C", b"420").startswith(b"420"):
            sys.exit(f"{path}: only 4:2:0 clips are read here")
        chroma = ((width + 1) // 2) * ((height + 1) // 2)
        size = width * height + 2 * chroma
        for _ in range(index + 1):
            marker = f.readline()
            if not marker.startswith(b"FRAME"):
                sys.exit(f"{path}: has no frame {index}")
            data = f.read(size)
            if len(data) != size:
                sys.exit(f"{path}: frame {index} is cut short")
    planes = np.frombuffer(data, np.uint8)
    y = planes[:width * height].reshape(height, width)
    u = planes[width * height:width * height + chroma].reshape((height + 1) // 2, -1)
    v = planes[width * height + chroma:].reshape((height + 1) // 2, -1)
    return y, u, v


def to_rgb(y, u, v):
    """4:2:0 planes converted as `tamsa record` converts them: each luma row takes its chroma
    row, 2 pixels a sample. The pixels come out blue first."""
    bgr = tamsa.yuv_to_rgb(y, u, v, layout="420")
    return np.ascontiguousarray(bgr[:, :, ::-1])


def write_png(path, rgb):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    height, width = rgb.shape[:2]
    # Each row starts with filter type 0.
    rows = np.zeros((height, width * 3 + 1), np.uint8)
    rows[:, 1:] = rgb.reshape(height, -1)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)))
        f.write(chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("clip")
    parser.add_argument("png")
    parser.add_argument("--frame", type=int, default=0, help="frame number, from 0")
    parser.add_argument("--size", help="WIDTHxHEIGHT to scale to (nearest neighbour)")
    parser.add_argument("--dither", help="dither matrix name, e.g. bayer4")
    args = parser.parse_args()

    rgb = to_rgb(*read_frame(args.clip, args.frame))
    if args.size:
        width, height = map(int, args.size.lower().split("x"))
        rgb = tamsa.scale(rgb, width, height)
    if args.dither:
        rgb = tamsa.dither(rgb, args.dither)
    write_png(args.png, rgb)


if __name__ == "__main__":
    main()
