#!/usr/bin/python3
"""The cost of a call through the Python module beside the C API itself and beside OpenCV's cv2
(where it has the job), on a 1x1 and a 640x480 picture of 3-byte pixels.

The C figures come from the Google Benchmark program bench/call_bench (the same jobs, called as
the module calls them); the Python and cv2 figures are timed here. Each round runs all three
once, one after the other, so that a drift of the machine touches them alike; the table gives
the median over the rounds. cv2 is optional: without it its columns stay empty.

    PYTHONPATH=build/python/package /usr/bin/python3 python/bench/overhead.py \\
        --c-bench build/bench/call_bench --rounds 5
"""

import argparse
import json
import os
import statistics
import subprocess
import timeit

import numpy as np

import tamsa

try:
    import cv2
except ImportError:
    cv2 = None

SIZES = [(1, 1), (640, 480)]


def jobs(width, height):
    """Per job: the module's call and cv2's (or None), on the same picture."""
    rng = np.random.default_rng(1)
    image = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    hw, hh = max(width // 2, 1), max(height // 2, 1)
    out = np.zeros((hh, hw, 3), np.uint8)
    frame = image.copy()
    table = {
        "ScaleInto": (lambda: tamsa.scale(image, hw, hh, out=out), None),
        "ScaleCopy": (lambda: tamsa.scale(image, hw, hh), None),
        "Transpose": (lambda: tamsa.transpose(image), None),
        "Rotate30": (lambda: tamsa.rotate(image, 30.0), None),
        "Correct": (lambda: tamsa.correct(frame, 120, 5), None),
    }
    if cv2 is not None:
        rh, rw = tamsa.rotate(image, 30.0).shape[:2]
        turn = cv2.getRotationMatrix2D((width / 2, height / 2), 30.0, 1.0)
        turn[0, 2] += (rw - width) / 2
        turn[1, 2] += (rh - height) / 2
        nearest = cv2.INTER_NEAREST
        table["ScaleInto"] = (table["ScaleInto"][0],
                              lambda: cv2.resize(image, (hw, hh), dst=out, interpolation=nearest))
        table["ScaleCopy"] = (table["ScaleCopy"][0],
                              lambda: cv2.resize(image, (hw, hh), interpolation=nearest))
        table["Transpose"] = (table["Transpose"][0], lambda: cv2.transpose(image))
        table["Rotate30"] = (table["Rotate30"][0],
                             lambda: cv2.warpAffine(image, turn, (rw, rh), flags=cv2.INTER_LINEAR))
    return table


def per_call_ns(function, loops):
    return timeit.timeit(function, number=loops) / loops * 1e9


def c_figures(program):
    """ns per call of every job of the C benchmark, keyed by (job, width, height)."""
    printed = subprocess.run([program, "--benchmark_format=json", "--benchmark_min_time=0.1"],
                             check=True, capture_output=True, text=True).stdout
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    figures = {}
    for b in json.loads(printed)["benchmarks"]:
        job, width, height = b["name"].removeprefix("BM_").split("/")[:3]
        figures[(job, int(width), int(height))] = b["real_time"] * scale[b["time_unit"]]
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--c-bench", default=os.path.join(here, "..", "..", "build", "bench",
                                                          "call_bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cv2-threads", type=int, default=1,
                        help="threads cv2 may use (default 1, as the library uses one)")
    args = parser.parse_args()
    if cv2 is None:
        print("cv2 is not installed: its columns stay empty")
    else:
        cv2.setNumThreads(args.cv2_threads)

    tables = {size: jobs(*size) for size in SIZES}
    # Loops per timing: about 0.1 s of the module's call, found once.
    loops = {}
    for size, table in tables.items():
        for job, (ours, _) in table.items():
            n, t = timeit.Timer(ours).autorange()
            loops[(job, *size)] = max(1, int(n * 0.1 / t))

    samples = {}
    for _ in range(args.rounds):
        for key, ns in c_figures(args.c_bench).items():
            samples.setdefault(key + ("C",), []).append(ns)
        for size, table in tables.items():
            for job, (ours, theirs) in table.items():
                key = (job, *size)
                samples.setdefault(key + ("Python",), []).append(per_call_ns(ours, loops[key]))
                if theirs is not None:
                    samples.setdefault(key + ("cv2",), []).append(
                        per_call_ns(theirs, loops[key]))

    def median(key):
        values = samples.get(key)
        return statistics.median(values) if values else None

    def show(ns):
        return "" if ns is None else f"{ns / 1000:.2f}"

    threads = "" if cv2 is None else f", cv2 {cv2.__version__} on {args.cv2_threads} thread(s)"
    print(f"median of {args.rounds} rounds, µs per call; load {os.getloadavg()[0]:.2f}{threads}")
    print("| job | picture | C API | Python | overhead | cv2 | cv2 / C | cv2 / Python |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for size in SIZES:
        for job in tables[size]:
            key = (job, *size)
            c, py, cv = median(key + ("C",)), median(key + ("Python",)), median(key + ("cv2",))
            lead_c = f"{cv / c:.2f}" if cv and c else ""
            lead_py = f"{cv / py:.2f}" if cv and py else ""
            over = py - c if py is not None and c is not None else None
            print(f"| {job} | {size[0]}x{size[1]} | {show(c)} | {show(py)} | {show(over)} | "
                  f"{show(cv)} | {lead_c} | {lead_py} |")


if __name__ == "__main__":
    main()
