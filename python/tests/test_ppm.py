"""PPM files against the C library's bytes."""

import numpy as np
import pytest

import tamsa
from conftest import DEPTHS, picture


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("height,width", [(0, 0), (1, 1), (7, 11)])
def test_save_and_load(ref, rng, tmp_path, depth, height, width):
    image = picture(rng, height, width, depth)
    ours, theirs = tmp_path / "ours.ppm", tmp_path / "theirs.ppm"
    tamsa.save_ppm(image, ours)
    bitmap = ref.bitmap(image)
    assert ref.kv_savebitmapasppm(bitmap, str(theirs).encode()) == 1
    ref.kv_freebitmap(bitmap)
    assert ours.read_bytes() == theirs.read_bytes()
    loaded = tamsa.load_ppm(str(ours))
    rgb = image if depth == 3 else np.repeat(image[:, :, None], 3, axis=2)
    assert loaded.shape == (height, width, 3) and np.array_equal(loaded, rgb)


def test_errors_are_os_errors(tmp_path):
    with pytest.raises(OSError):
        tamsa.load_ppm(tmp_path / "missing.ppm")
    bad = tmp_path / "bad.ppm"
    bad.write_bytes(b"P5\n2 2\n255\n\0\0\0\0")
    with pytest.raises(OSError):
        tamsa.load_ppm(bad)
    with pytest.raises(OSError):
        tamsa.save_ppm(np.zeros((2, 2, 3), np.uint8), tmp_path / "no" / "such" / "dir.ppm")
