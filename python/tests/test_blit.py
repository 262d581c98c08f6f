"""Blits, lines and boxes against the C library's bytes: all draw in place."""

import numpy as np
import pytest

import tamsa
from conftest import DEPTHS, picture, ptr

# Positions inside, clipped at each edge, and wholly off the destination (13 x 9).
PLACES = [(0, 0), (3, 2), (-4, -3), (10, 7), (-20, 0), (0, 30)]


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("x,y", PLACES)
@pytest.mark.parametrize("transparency", [0, 35, 100])
def test_blit(ref, rng, depth, x, y, transparency):
    dest, src = picture(rng, 9, 13, depth), picture(rng, 5, 6, depth)
    source = ref.bitmap(src)
    if transparency == 0:
        expected = ref.in_place(ref.kv_blitbitmap, dest, source, x, y)
    else:
        expected = ref.in_place(ref.kv_blitbitmaptrans, dest, source, x, y, transparency)
    ref.kv_freebitmap(source)
    got = dest.copy()
    tamsa.blit(got, src, x, y, transparency=transparency)
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("x,y", PLACES)
@pytest.mark.parametrize("transparency", [0, 50])
def test_blit_alpha(ref, rng, depth, x, y, transparency):
    dest, src = picture(rng, 9, 13, depth), picture(rng, 5, 6, depth)
    expected = ref.in_place(ref.kv_transalphachunkyblit, dest, 6, 5, ptr(src), x, y,
                            transparency)
    got = dest.copy()
    tamsa.blit_alpha(got, src, x, y, transparency)
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("x,y", PLACES)
@pytest.mark.parametrize("size", [(1, 1), (4, 11), (20, 3)])
def test_scaled_blits(ref, rng, x, y, size):
    tw, th = size
    dest, src = picture(rng, 9, 13), picture(rng, 5, 6)
    light = picture(rng, 256, 256)

    expected = ref.in_place(ref.kv_scaledblit, dest, 6, 5, ptr(src), x, y, tw, th)
    got = dest.copy()
    tamsa.blit_scaled(got, src, x, y, tw, th)
    assert np.array_equal(got, expected)

    expected = ref.in_place(ref.kv_scaledmaskblit, dest, 6, 5, ptr(src), x, y, tw, th, 120)
    got = dest.copy()
    tamsa.blit_masked(got, src, x, y, tw, th, threshold=120)
    assert np.array_equal(got, expected)

    expected = ref.in_place(ref.kv_scaledlightblit, dest, ptr(light), x, y, tw, th, 255, 90, 3)
    got = dest.copy()
    tamsa.blit_light(got, light, x, y, tw, th, tint=(255, 90, 3))
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("ends", [
    (0, 0, 12, 8), (12, 0, 0, 8), (3, 4, 3, 4), (-5, -5, 20, 15), (2, 7, 11, 1), (-9, 3, -1, 5)])
def test_draw_line(ref, rng, ends):
    dest = picture(rng, 9, 13)
    expected = ref.in_place(ref.kv_drawline, dest, *ends, 10, 200, 30)
    got = dest.copy()
    tamsa.draw_line(got, *ends, colour=(10, 200, 30))
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("corners", [(0, 0, 12, 8), (9, 6, 2, 1), (-3, -3, 4, 2), (14, 0, 20, 3)])
@pytest.mark.parametrize("step", [1, 3])
def test_draw_box(ref, rng, depth, corners, step):
    dest = picture(rng, 9, 13, depth)
    expected = ref.in_place(ref.kv_drawbox, dest, *corners, 77, 5, 250, step)
    got = dest.copy()
    tamsa.draw_box(got, *corners, colour=(77, 5, 250), step=step)
    assert np.array_equal(got, expected)


def test_line_and_box_are_white_unless_told_as_the_command_draws_them(ref, rng):
    dest = picture(rng, 9, 13)
    expected = ref.in_place(ref.kv_drawline, dest, 1, 2, 11, 7, 255, 255, 255)
    got = dest.copy()
    tamsa.line(got, 1, 2, 11, 7)
    assert np.array_equal(got, expected)
    expected = ref.in_place(ref.kv_drawbox, dest, 2, 1, 8, 6, 255, 255, 255, 2)
    got = dest.copy()
    tamsa.box(got, 2, 1, 8, 6, step=2)
    assert np.array_equal(got, expected)
    assert tamsa.draw_line is tamsa.line and tamsa.draw_box is tamsa.box


@pytest.mark.parametrize("call", [
    lambda d, s: tamsa.blit(d, s[:, :, 0]),
    lambda d, s: tamsa.blit(d, s, transparency=101),
    lambda d, s: tamsa.blit_alpha(d, s, transparency=-1),
    lambda d, s: tamsa.blit_scaled(d, s, 0, 0, 0, 3),
    lambda d, s: tamsa.blit_scaled(d[:, :, 0], s[:, :, 0], 0, 0, 2, 3),
    lambda d, s: tamsa.blit_masked(d, s, 0, 0, 2, -1),
    lambda d, s: tamsa.blit_light(d, s, 0, 0, 2, 2),
    lambda d, s: tamsa.draw_line(d[:, :, 0], 0, 0, 1, 1, (1, 2, 3)),
    lambda d, s: tamsa.draw_line(d, 0, 0, 1, 1, (1, 2, 256)),
    lambda d, s: tamsa.draw_line(d, 0, 0, 1, 1, (1, 2)),
    lambda d, s: tamsa.draw_box(d, 0, 0, 1, 1, 0, step=0),
])
def test_refused(call):
    with pytest.raises(ValueError):
        call(np.zeros((4, 4, 3), np.uint8), np.zeros((2, 2, 3), np.uint8))
