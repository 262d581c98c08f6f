"""Threads calling the module at once: each gets the bytes it gets alone."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tamsa
from conftest import picture

THREADS = 4
ROUNDS = 50


def jobs(image):
    out = {}
    out["scale"] = tamsa.scale(image, 61, 47)
    out["rotate"] = tamsa.rotate(image, 17.0, fill=(1, 2, 3))
    out["transpose"] = tamsa.transpose(image)
    out["dither"] = tamsa.dither(image, "halftone")
    smoothed = image.copy()
    tamsa.smooth(smoothed, 3)
    out["smooth"] = smoothed
    drawn = image.copy()
    tamsa.blit(drawn, image[:20, :20].copy(), 5, 5, transparency=40)
    tamsa.draw_line(drawn, 0, 0, 50, 40, (9, 9, 9))
    out["drawn"] = drawn
    return out


def test_threads_at_once_match_one_thread(rng):
    images = [picture(rng, 48, 64) for _ in range(THREADS)]
    alone = [jobs(image) for image in images]
    live = tamsa.alloc_stats()
    start = threading.Barrier(THREADS)
    mismatches = []

    def run(k):
        start.wait()
        for _ in range(ROUNDS):
            got = jobs(images[k])
            for name, expected in alone[k].items():
                if not np.array_equal(got[name], expected):
                    mismatches.append((k, name))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []
    assert tamsa.alloc_stats() == live


def test_one_client_shared_by_threads(tmp_path, monkeypatch, rng):
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    y = picture(rng, 8, 16, 1)
    u, v = rng.integers(0, 256, (2, 32), dtype=np.uint8)
    expected = tamsa.yuv_to_rgb(y, u, v)
    failures = []
    with tamsa.Server("pytest-threads"), tamsa.Client("pytest-threads", local=True) as c:
        start = threading.Barrier(THREADS)

        def run():
            start.wait()
            for _ in range(ROUNDS):
                if not np.array_equal(c.convert_frame(y, u, v), expected):
                    failures.append(1)

        threads = [threading.Thread(target=run) for _ in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert failures == []


def big_jobs(image):
    out = {}
    out["rotate"] = tamsa.rotate(image, 29.0)
    out["scale"] = tamsa.scale(image, 901, 777)
    out["transpose"] = tamsa.transpose(image)
    smoothed = image.copy()
    tamsa.smooth(smoothed, 2)
    out["smooth"] = smoothed
    return out


def test_bands_on_threads_give_the_bytes_of_one(rng):
    image = picture(rng, 601, 703)
    try:
        tamsa.set_threads(1)
        assert tamsa.threads() == 1
        alone = big_jobs(image)
        for n in (2, 3):
            tamsa.set_threads(n)
            assert tamsa.threads() == n
            got = big_jobs(image)
            for name, expected in alone.items():
                assert np.array_equal(got[name], expected), (n, name)
    finally:
        tamsa.set_threads(0)


def test_set_threads_refuses_what_it_cannot_use():
    before = tamsa.threads()
    for bad in (-1, 257):
        with pytest.raises(ValueError, match="threads"):
            tamsa.set_threads(bad)
    assert tamsa.threads() == before


def test_interpreter_ends_after_big_pictures():
    # The pool's threads must not keep the process from ending, with or without TAMSA_THREADS.
    code = ("import numpy as np, tamsa\n"
            "a = np.full((900, 1200, 3), 77, np.uint8)\n"
            "r = tamsa.rotate(a, 30.0)\n"
            "tamsa.smooth(a, 1)\n"
            "print(tamsa.threads(), r.shape)\n")
    for threads in (None, "3"):
        env = dict(os.environ)
        env.pop("TAMSA_THREADS", None)
        if threads is not None:
            env["TAMSA_THREADS"] = threads
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=120, check=False)
        assert done.returncode == 0, done.stderr
        if threads is not None:
            assert done.stdout.startswith(threads + " ")
