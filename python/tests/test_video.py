"""Video frames against the C library's bytes."""

import numpy as np
import pytest

import tamsa
from conftest import DEPTHS, picture, ptr


@pytest.mark.parametrize("pixels,group", [(4, 4), (48, 4), (30, 2), (7, 1), (36, 3)])
@pytest.mark.parametrize("exact", [False, True])
def test_yuv_to_rgb(ref, rng, pixels, group, exact):
    y = rng.integers(0, 256, pixels, dtype=np.uint8)
    u = rng.integers(0, 256, pixels // group, dtype=np.uint8)
    v = rng.integers(0, 256, pixels // group, dtype=np.uint8)
    expected = np.zeros((pixels, 3), np.uint8)
    convert = ref.kv_yuv_to_rgb if exact else ref.fx_yuvtorgb_ll
    # The library takes the V plane before the U plane.
    convert(ptr(y), ptr(v), ptr(u), ptr(expected), pixels, group)
    got = tamsa.yuv_to_rgb(y, u, v, group=group, exact=exact)
    assert got.shape == (pixels, 3) and np.array_equal(got, expected)


def test_yuv_to_rgb_of_nothing_writes_nothing():
    # The C call would convert one whole group for a count of 0, past an empty output.
    planes = np.full(16, 128, np.uint8)
    empty = planes[:0]
    assert tamsa.yuv_to_rgb(empty, empty, empty).shape == (0, 3)
    # The empty output is the start of a larger buffer, whose bytes stay as they were.
    guard = np.full(16, 7, np.uint8)
    out = guard[:0]
    assert tamsa.yuv_to_rgb(empty, empty, empty, out=out) is out
    assert (guard == 7).all()


def test_yuv_to_rgb_keeps_the_plane_shape(rng):
    y = picture(rng, 2, 8, 1)
    u, v = rng.integers(0, 256, (2, 2, 2), dtype=np.uint8)
    flat = tamsa.yuv_to_rgb(y.reshape(-1), u, v)
    got = tamsa.yuv_to_rgb(y, u, v)
    assert got.shape == (2, 8, 3) and np.array_equal(got.reshape(-1, 3), flat)
    out = np.zeros(48, np.uint8)
    assert tamsa.yuv_to_rgb(y, u, v, out=out) is out
    assert np.array_equal(out, flat.reshape(-1))


@pytest.mark.parametrize("size,new", [((4, 8), (8, 4)), ((6, 10), (3, 17)), ((5, 7), (16, 9))])
def test_yuv_scale(ref, rng, size, new):
    h, w = size
    nh, nw = new
    y = picture(rng, h, w, 1)
    u = rng.integers(0, 256, -(-h * w // 4), dtype=np.uint8)
    v = rng.integers(0, 256, -(-h * w // 4), dtype=np.uint8)
    expected = ref.take(ref.fx_yuvscale_ll(ptr(y), ptr(v), ptr(u), w, h, nw, nh))
    got = tamsa.yuv_scale(y, u, v, nw, nh)
    assert got.shape == (nh, nw, 3) and np.array_equal(got, expected)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("contrast,brightness,invert", [
    (100, 0, False), (150, -20, False), (0, 30, True), (-250, 4000, False), (73, 5, True)])
def test_correct(ref, rng, depth, contrast, brightness, invert):
    image = picture(rng, 9, 11, depth)
    expected = ref.in_place(ref.tamsa_correct_ll, image, contrast, brightness, int(invert))
    got = image.copy()
    assert tamsa.correct(got, contrast=contrast, brightness=brightness, invert=invert) is None
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("level", [0, 1, 128, 255])
def test_fade(ref, rng, depth, level):
    first, second = picture(rng, 7, 9, depth), picture(rng, 7, 9, depth)
    expected = np.zeros_like(first)
    ref.tamsa_fadeover_ll(ptr(first), ptr(second), ptr(expected), level, first.size, 1, 1)
    assert np.array_equal(tamsa.fade(first, second, level), expected)
    out = np.zeros_like(first)
    assert tamsa.fade(first, second, level=level, out=out) is out
    assert np.array_equal(out, expected)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("height", [0, 1, 2, 7])
def test_deinterlace(ref, rng, depth, height):
    frame = picture(rng, height, 5, depth)
    expected = ref.in_place(ref.tamsa_deinterlace_ll, frame)
    got = frame.copy()
    tamsa.deinterlace(got)
    assert np.array_equal(got, expected)
    assert np.array_equal(got[1::2], frame[0:height - height % 2:2])


LAYOUTS = {"420": (2, 2), "422": (2, 1), "444": (1, 1), "411": (4, 1)}


def chroma_planes(rng, layout, h, w):
    across, down = LAYOUTS[layout]
    shape = (-(-h // down), -(-w // across))
    return rng.integers(0, 256, (2,) + shape, dtype=np.uint8)


def per_pixel(plane, layout, h, w):
    """Every pixel's chroma sample: the sample of its row's chroma row and its column's group."""
    across, down = LAYOUTS[layout]
    return plane[np.arange(h)[:, None] // down, np.arange(w)[None, :] // across].copy()


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("h,w", [(6, 8), (7, 9), (5, 12), (2, 3)])
def test_yuv_to_rgb_of_each_layout(ref, rng, layout, h, w):
    y = picture(rng, h, w, 1)
    u, v = chroma_planes(rng, layout, h, w)
    # The studio-range rule with each pixel's own sample, as the command converts a clip.
    expected = np.zeros((h, w, 3), np.uint8)
    pu, pv = per_pixel(u, layout, h, w), per_pixel(v, layout, h, w)
    ref.fx_yuvtorgb_ll(ptr(y), ptr(pv), ptr(pu), ptr(expected), h * w, 1)
    assert np.array_equal(tamsa.yuv_to_rgb(y, u, v, layout=layout), expected)
    assert np.array_equal(tamsa.yuv_to_rgb(y, u.reshape(-1), v.reshape(-1), layout=layout),
                          expected)
    # From the shapes alone.
    assert np.array_equal(tamsa.yuv_to_rgb(y, u, v), expected)


def test_yuv_to_rgb_refuses_420_planes_as_groups_of_4(rng):
    y = picture(rng, 480, 640, 1)
    u, v = chroma_planes(rng, "420", 480, 640)
    with pytest.raises(ValueError, match=r"\(240, 320\) is not one sample per group of 4 pixels "
                                         r"of a \(480, 640\) frame \(\(480, 160\)\); it is 420 "
                                         r"chroma: give layout='420', or no group"):
        tamsa.yuv_to_rgb(y, u, v, group=4)
    with pytest.raises(ValueError, match=r"420 chroma of a \(480, 640\) frame is \(240, 320\)"):
        tamsa.yuv_to_rgb(y, u[:, :160], v[:, :160], layout="420")
    with pytest.raises(ValueError, match=r"\(240, 160\) is the chroma of no layout of a "
                                         r"\(480, 640\) frame \(420 \(240, 320\), 422 "):
        tamsa.yuv_to_rgb(y, u[:, :160].copy(), v[:, :160].copy())


def full_range_exact(y, u, v):
    y, u, v = (np.asarray(p, np.float64) for p in (y, u, v))
    kr, kb = 0.299, 0.114
    r = y + 2 * (1 - kr) * (v - 128)
    b = y + 2 * (1 - kb) * (u - 128)
    g = (y - kr * r - kb * b) / (1 - kr - kb)
    return np.clip(np.stack([b, g, r], axis=-1), 0, 255)


@pytest.mark.parametrize("layout", ["420", "444"])
def test_yuv_to_rgb_of_full_range(rng, layout):
    h, w = 33, 17
    y = picture(rng, h, w, 1)
    u, v = chroma_planes(rng, layout, h, w)
    got = tamsa.yuv_to_rgb(y, u, v, range="full")
    exact = full_range_exact(y, per_pixel(u, layout, h, w), per_pixel(v, layout, h, w))
    assert np.abs(got - exact).max() <= 1.0
    # Every grey level stays as it is.
    grey = np.arange(256, dtype=np.uint8).reshape(16, 16)
    neutral = np.full((16, 16), 128, np.uint8)
    assert np.array_equal(tamsa.yuv_to_rgb(grey, neutral, neutral, range="full")[:, :, 1], grey)
    with pytest.raises(ValueError, match="range must be 'limited' or 'full'"):
        tamsa.yuv_to_rgb(y, u, v, range="pc")


@pytest.mark.parametrize("call", [
    lambda: tamsa.yuv_to_rgb(np.zeros(6, np.uint8), np.zeros(2, np.uint8), np.zeros(2, np.uint8)),
    lambda: tamsa.yuv_to_rgb(np.zeros(8, np.uint8), np.zeros(1, np.uint8), np.zeros(2, np.uint8)),
    lambda: tamsa.yuv_to_rgb(np.zeros(8, np.uint8), np.zeros(8, np.uint8), np.zeros(8, np.uint8),
                             group=0),
    lambda: tamsa.yuv_to_rgb(np.zeros(8, np.uint8), np.zeros(2, np.uint8), np.zeros(2, np.uint8),
                             out=np.zeros(23, np.uint8)),
    lambda: tamsa.yuv_scale(np.zeros((4, 4), np.uint8), np.zeros(3, np.uint8),
                            np.zeros(4, np.uint8), 2, 2),
    lambda: tamsa.yuv_scale(np.zeros((4, 8), np.uint8), np.zeros((2, 4), np.uint8),
                            np.zeros((2, 4), np.uint8), 2, 2),
    lambda: tamsa.yuv_scale(np.zeros((4, 4, 3), np.uint8), np.zeros(12, np.uint8),
                            np.zeros(12, np.uint8), 2, 2),
    lambda: tamsa.fade(np.zeros((2, 2), np.uint8), np.zeros((2, 2, 3), np.uint8), 5),
    lambda: tamsa.fade(np.zeros((2, 2), np.uint8), np.zeros((2, 2), np.uint8), 256),
    lambda: tamsa.correct(np.zeros((2, 2), np.uint8)[None, :, :, None]),
])
def test_refused(call):
    with pytest.raises(ValueError):
        call()
