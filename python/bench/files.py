#!/usr/bin/python3
"""Reading picture files: tamsa.load beside OpenCV's cv2.imread on the same files. Each round
reads every file once with each, one after the other, so that a drift of the machine touches
them alike; the table gives the median over the rounds, in ms, and the ratio of the medians.

    PYTHONPATH=build/python/package /usr/bin/python3 python/bench/files.py a.png b.jpg --rounds 21
"""

import argparse
import statistics
import time

import cv2

import tamsa


def timed(call):
    start = time.perf_counter()
    call()
    return (time.perf_counter() - start) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--rounds", type=int, default=21)
    args = parser.parse_args()
    print("| file | tamsa.load | cv2.imread | ratio |")
    print("|---|---:|---:|---:|")
    for name in args.files:
        ours = tamsa.load(name)
        theirs = cv2.imread(name, cv2.IMREAD_UNCHANGED)
        assert ours.shape == theirs.shape, (ours.shape, theirs.shape)
        times = {"tamsa": [], "cv2": []}
        for _ in range(args.rounds):
            times["tamsa"].append(timed(lambda: tamsa.load(name)))
            times["cv2"].append(timed(lambda: cv2.imread(name, cv2.IMREAD_UNCHANGED)))
        a, b = statistics.median(times["tamsa"]), statistics.median(times["cv2"])
        print(f"| {name} | {a:.2f} ms | {b:.2f} ms | {a / b:.2f} |")


if __name__ == "__main__":
    main()
