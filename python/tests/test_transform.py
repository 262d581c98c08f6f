"""Rotation, shear, transposition, smoothing and dithering against the C library's bytes."""

import ctypes

import numpy as np
import pytest

import tamsa
from conftest import DEPTHS, SIZES, picture


@pytest.mark.parametrize("height,width", SIZES)
@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("angle", [0.0, 30.0, 90.0, -45.5, 200.0])
def test_rotate(ref, rng, height, width, depth, angle):
    image = picture(rng, height, width, depth)
    source = ref.bitmap(image)
    expected = ref.take(ref.kv_rotatebitmap(source, 200, 100, 50, angle))
    ref.kv_freebitmap(source)
    before = image.copy()
    got = tamsa.rotate(image, angle, fill=(200, 100, 50))
    assert got.shape == expected.shape and np.array_equal(got, expected)
    # The C call borders its argument; the array is left as it was.
    assert np.array_equal(image, before)


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("band", [(0, 6, 0, 5), (2, 4, 7, 1), (3, 3, 2, 2), (-2, 20, 4, -3),
                                  (5, 1, 3, 9)])
def test_shear(ref, rng, depth, band):
    image = picture(rng, 7, 5, depth)
    expected = ref.in_place(ref.kv_shearbitmap, image, *band, 9, 8, 7)
    got = tamsa.shear(image, *band, fill=(9, 8, 7))
    assert got.shape == expected.shape and np.array_equal(got, expected)


@pytest.mark.parametrize("height,width", SIZES)
@pytest.mark.parametrize("depth", DEPTHS)
def test_transpose(ref, rng, height, width, depth):
    image = picture(rng, height, width, depth)
    expected = ref.in_place(ref.kv_transposebitmap, image)
    got = tamsa.transpose(image)
    assert got.shape == expected.shape and np.array_equal(got, expected)
    # Transposed twice: the picture again, from a result of the library's own memory.
    assert np.array_equal(tamsa.transpose(got), image)


@pytest.mark.parametrize("height,width", SIZES)
@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("passes", [0, 1, 2, 3])
def test_smooth(ref, rng, height, width, depth, passes):
    image = picture(rng, height, width, depth)
    expected = ref.in_place(ref.kv_smoothbitmap, image, passes)
    got = image.copy()
    assert tamsa.smooth(got, passes) is None
    assert np.array_equal(got, expected)
    # A picture in the library's memory (a result of the module) is smoothed the same.
    own = tamsa.transpose(tamsa.transpose(image))
    tamsa.smooth(own, passes=passes)
    assert np.array_equal(own, expected)


MATRICES = ["classical_screen", "rectangular", "halftone", "bayer4", "bayer16", "four_stars",
            "box"]
TABLES = ["ClassicalScreen", "Rectangular", "Halftone", "Bayer4", "Bayer16", "FourStars",
          "BoxDither"]


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("number,name", list(enumerate(MATRICES, start=1)))
def test_dither(ref, rng, depth, number, name):
    image = picture(rng, 19, 23, depth)
    source = ref.bitmap(image)
    expected = ref.take(ref.kv_dither(source, number))
    ref.kv_freebitmap(source)
    by_name = tamsa.dither(image, name)
    assert by_name.shape == (19, 23, 3) and np.array_equal(by_name, expected)
    assert np.array_equal(tamsa.dither(image, matrix=number), expected)
    assert set(np.unique(by_name)) <= {0, 255}


@pytest.mark.parametrize("name,table", zip(MATRICES, TABLES))
def test_dither_matrices_are_the_library_tables(ref, name, table):
    cells = tamsa.DITHER_MATRICES[name]
    size = cells.shape[0]
    expected = np.ctypeslib.as_array((ctypes.c_uint8 * (size * size)).in_dll(ref.lib, table))
    assert np.array_equal(cells.reshape(-1), expected)
    with pytest.raises(ValueError):
        cells[0, 0] = 1


def test_the_help_names_every_matrix_in_the_order_of_their_numbers():
    assert list(tamsa.DITHER_MATRICES) == MATRICES
    assert "(" + ", ".join(MATRICES) + ")" in " ".join(tamsa.dither.__doc__.split())


@pytest.mark.parametrize("call", [
    lambda i: tamsa.rotate(i, float("nan")),
    lambda i: tamsa.rotate(i, 10.0, fill=(0, 0, -1)),
    lambda i: tamsa.smooth(i, passes=-1),
    lambda i: tamsa.dither(i, 8),
    lambda i: tamsa.dither(i, "floyd"),
    lambda i: tamsa.transpose(i[None]),
])
def test_refused(call):
    with pytest.raises(ValueError):
        call(np.zeros((3, 4, 3), np.uint8))
