"""Scaling and cutting against the C library's bytes."""

import numpy as np
import pytest

import tamsa
from conftest import DEPTHS, SIZES, picture, ptr


@pytest.mark.parametrize("height,width", SIZES[1:])
@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("new", [(1, 1), (3, 11), (40, 9), (1, 5)])
def test_scale(ref, rng, height, width, depth, new):
    image = picture(rng, height, width, depth)
    nh, nw = new
    expected = ref.take(ref.kv_scalecopybitmap(ref.bitmap(image), nw, nh))
    got = tamsa.scale(image, nw, nh)
    assert got.shape == expected.shape and np.array_equal(got, expected)

    # Into an array of the caller's: the raw scalers.
    raw = np.zeros_like(expected)
    scaler = ref.kv_scale24 if depth == 3 else ref.kv_scale8
    scaler(ptr(image), ptr(raw), width, height, nw, nh)
    out = np.full_like(expected, 7)
    assert tamsa.scale(image, width=nw, height=nh, out=out) is out
    assert np.array_equal(out, raw) and np.array_equal(raw, expected)


@pytest.mark.parametrize("depth", DEPTHS)
def test_scale_frame_reads_one_byte_per_pixel(ref, rng, depth):
    frame = picture(rng, 9, 13, depth)
    expected = ref.take(ref.tamsa_scale_ll(ref.bitmap(frame), 20, 7))
    got = tamsa.scale_frame(frame, 20, 7)
    assert got.shape == (7, 20) and np.array_equal(got, expected)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("corners", [
    (0, 0, 6, 4), (2, 1, 3, 3), (5, 4, 1, 0), (-3, -2, 2, 1), (4, 3, 12, 9), (20, 20, 22, 21)])
def test_cut(ref, rng, depth, corners):
    image = picture(rng, 5, 7, depth)
    expected = ref.take(ref.kv_cutbitmap(ref.bitmap(image), *corners))
    got = tamsa.cut(image, *corners)
    assert got.shape == expected.shape and np.array_equal(got, expected)


def test_scale_refuses(rng):
    image = picture(rng, 4, 4)
    for args in [(-1, 2), (2, -1), (2**31, 1)]:
        with pytest.raises(ValueError):
            tamsa.scale(image, *args)
    with pytest.raises(ValueError):
        tamsa.scale(np.zeros((0, 3, 3), np.uint8), 2, 2)
    with pytest.raises(ValueError):
        tamsa.scale(image, 3, 2, out=np.zeros((3, 2, 3), np.uint8))
    with pytest.raises(ValueError):
        tamsa.scale(image, 3, 2, out=np.zeros((2, 3), np.uint8))
