"""Byte runs, remaps and tables against the C library's bytes."""

import ctypes

import numpy as np
import pytest

import tamsa
from conftest import SIZES, picture, ptr


@pytest.mark.parametrize("height,width", SIZES)
@pytest.mark.parametrize("with_pens", [False, True])
def test_remap24(ref, rng, height, width, with_pens):
    image = picture(rng, height, width)
    pens = rng.integers(0, 256, 216, dtype=np.uint8) if with_pens else None
    expected = np.zeros((height, width), np.uint8)
    ref.kv_remap24(ptr(image), ptr(expected), ptr(pens) if with_pens else None, image.size)
    assert np.array_equal(tamsa.remap24(image, pens), expected)
    out = np.full((height, width), 9, np.uint8)
    assert tamsa.remap24(image, pens=pens, out=out) is out
    assert np.array_equal(out, expected)


def test_palette(ref, rng):
    colours = picture(rng, 37, 3, depth=1)
    block = ref.PPCAllocVec(4 * (len(colours) + 1), 0)
    address = ref.tamsa_bus_address(block)
    ref.tamsa_bus_store32(address, len(colours))
    for i, (r, g, b) in enumerate(colours.tolist()):
        ref.tamsa_bus_store32(address + 4 * (i + 1), r << 16 | g << 8 | b)
    pens = ref.kv_allocpalette(address)
    expected = np.ctypeslib.as_array(pens, (216,)).copy()
    ref.kv_freepalette(pens)
    ref.PPCFreeVec(block)
    got = tamsa.palette(colours)
    assert got.shape == (216,) and np.array_equal(got, expected)
    # Every pen names one of the map's colours.
    assert got.max() < len(colours)


@pytest.mark.parametrize("count", [0, 1, 31, 4099])
def test_runs(ref, rng, count):
    data = rng.integers(0, 256, count, dtype=np.uint8)
    table = rng.integers(0, 256, 256, dtype=np.uint8)

    expected = data.copy()
    ref.kv_remap8(ptr(expected), ptr(table), count)
    got = data.copy()
    tamsa.lut(got, table)
    assert np.array_equal(got, expected)

    expected = data.copy()
    ref.kv_xor(ptr(expected), count, 0xA5)
    got = data.copy()
    tamsa.xor(got, 0xA5)
    assert np.array_equal(got, expected)

    for factor in (1, 3):
        expected = np.zeros(count * factor, np.uint8)
        ref.kv_multchunky(ptr(data), ptr(expected), count, factor)
        assert np.array_equal(tamsa.repeat(data, factor), expected)
    for step in (1, 2, 5):
        expected = np.zeros(-(-count // step), np.uint8)
        ref.kv_divchunky(ptr(data), ptr(expected), count, step)
        assert np.array_equal(tamsa.thin(data, step), expected)


def test_runs_read_any_shape_in_c_order(rng):
    data = picture(rng, 5, 7)
    table = np.arange(256, dtype=np.uint8)[::-1].copy()
    got = data.copy()
    tamsa.lut(got, table)
    assert np.array_equal(got, 255 - data)
    assert np.array_equal(tamsa.thin(data, 3), data.reshape(-1)[::3])


@pytest.mark.parametrize("call", [
    lambda d: tamsa.lut(d, np.zeros(255, np.uint8)),
    lambda d: tamsa.xor(d, 256),
    lambda d: tamsa.repeat(d, 0),
    lambda d: tamsa.thin(d, 0),
    lambda d: tamsa.remap24(d.reshape(2, 2, 2)),
    lambda d: tamsa.remap24(d.reshape(2, 4), pens=np.zeros(215, np.uint8)),
    lambda d: tamsa.palette(np.zeros((257, 3), np.uint8)),
    lambda d: tamsa.palette(np.zeros((4, 4), np.uint8)),
])
def test_refused(call):
    with pytest.raises(ValueError):
        call(np.zeros(8, np.uint8))
