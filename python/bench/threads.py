#!/usr/bin/python3
"""Big pictures on every core: the module with one thread and with its default number, beside
OpenCV's cv2 with one thread and with its default, at 4K and 8K (3-byte pixels).

Each round runs every variant of a job once, one after the other, so that a drift of the machine
touches them alike; the table gives the median over the rounds in milliseconds, and the ratio of
the module's default-threads time to cv2's. Rotation is timed per output pixel of each one's
result (the module makes the whole turned frame, as cv2 is asked to here). cv2 is optional.

    PYTHONPATH=build/python/package /usr/bin/python3 python/bench/threads.py --rounds 5
"""

import argparse
import statistics
import time

import numpy as np

import tamsa

try:
    import cv2
except ImportError:
    cv2 = None

SIZES = {"4K": (3840, 2160), "8K": (7680, 4320)}


def jobs(width, height):
    """Per job: the module's call and cv2's (or None), on the same picture."""
    rng = np.random.default_rng(1)
    image = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    hw, hh = width // 2, height // 2
    out = np.zeros((hh, hw, 3), np.uint8)
    frame = image.copy()
    smoothed = image.copy()
    table = np.arange(256, dtype=np.uint8)[::-1].copy()
    result = tamsa.rotate(image, 30.0)
    rh, rw = result.shape[:2]
    del result
    found = {
        "rotate 30": [lambda: tamsa.rotate(image, 30.0), None],
        "nearest to half": [lambda: tamsa.scale(image, hw, hh, out=out), None],
        "transpose": [lambda: tamsa.transpose(image), None],
        "LUT in place": [lambda: tamsa.lut(frame, table), None],
        "smooth 1 pass": [lambda: tamsa.smooth(smoothed, 1), None],
    }
    if cv2 is not None:
        turn = cv2.getRotationMatrix2D((width / 2, height / 2), 30.0, 1.0)
        turn[0, 2] += (rw - width) / 2
        turn[1, 2] += (rh - height) / 2
        cross = np.array([[0, 1, 0], [1, 4, 1], [0, 1, 0]], np.float32) / 8
        lut = table.reshape(256, 1)
        found["rotate 30"][1] = lambda: cv2.warpAffine(image, turn, (rw, rh),
                                                       flags=cv2.INTER_LINEAR)
        found["nearest to half"][1] = lambda: cv2.resize(image, (hw, hh), dst=out,
                                                         interpolation=cv2.INTER_NEAREST)
        found["transpose"][1] = lambda: cv2.transpose(image)
        found["LUT in place"][1] = lambda: cv2.LUT(frame, lut, dst=frame)
        found["smooth 1 pass"][1] = lambda: cv2.filter2D(smoothed, -1, cross)
    return found


def timed(call):
    start = time.perf_counter()
    call()
    return (time.perf_counter() - start) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="4K,8K")
    args = parser.parse_args()
    cv_threads = cv2.getNumThreads() if cv2 is not None else 0
    print(f"module threads: {tamsa.threads()}; cv2 threads: {cv_threads or '-'}")
    print("| size | job | ours, 1 thread | ours, default | cv2, 1 thread | cv2, default |"
          " ours / cv2 (default) |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for name in args.sizes.split(","):
        width, height = SIZES[name]
        for job, (ours, theirs) in jobs(width, height).items():
            times = {k: [] for k in ("o1", "on", "c1", "cn")}
            for _ in range(args.rounds):
                tamsa.set_threads(1)
                times["o1"].append(timed(ours))
                tamsa.set_threads(0)
                times["on"].append(timed(ours))
                if theirs is not None:
                    cv2.setNumThreads(1)
                    times["c1"].append(timed(theirs))
                    cv2.setNumThreads(cv_threads)
                    times["cn"].append(timed(theirs))
            med = {k: statistics.median(v) if v else None for k, v in times.items()}
            cells = [f"{med[k]:.1f}" if med[k] is not None else "-" for k in times]
            ratio = f"{med['on'] / med['cn']:.2f}" if med["cn"] else "-"
            print(f"| {name} | {job} | " + " | ".join(cells) + f" | {ratio} |")


if __name__ == "__main__":
    main()
