"""Picture files through tamsa.load and tamsa.save, and the exact turns and mirrors: the same
code and the same bytes as the tamsa command."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import tamsa
from conftest import DEPTHS, picture


def smooth(height, width, depth):
    """A picture JPEG keeps closely: levels that change slowly."""
    y, x = np.mgrid[0:height, 0:width]
    levels = [x + y * 2 + c * 20 for c in range(depth)]
    image = np.stack(levels, axis=2).astype(np.uint8)
    return image[:, :, 0].copy() if depth == 1 else image


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("name", ["a.ppm", "a.pgm", "a.PNM", "a.pam", "a.png"])
def test_exact_formats_round_trip(rng, tmp_path, depth, name):
    image = picture(rng, 7, 11, depth)
    path = tmp_path / name
    with warnings.catch_warnings(record=True):
        tamsa.save(path, image)
    loaded = tamsa.load(path)
    if name == "a.ppm" and depth == 1:
        expected = np.repeat(image[:, :, None], 3, axis=2)  # PPM holds colour
    elif name == "a.pgm" and depth == 3:
        return  # made grey: test_colour_as_pgm_is_its_luma
    else:
        expected = image  # grey stays grey
    assert loaded.shape == expected.shape and np.array_equal(loaded, expected)
    assert np.array_equal(tamsa.load(path.read_bytes()), loaded)
    assert np.array_equal(tamsa.load(bytearray(path.read_bytes())), loaded)
    assert np.array_equal(tamsa.load(memoryview(path.read_bytes())), loaded)


@pytest.mark.parametrize("depth", DEPTHS)
def test_jpeg_keeps_grey_grey_and_follows_the_quality(tmp_path, depth):
    image = smooth(48, 64, depth)
    sizes = {}
    for quality in (100, 40):
        path = tmp_path / f"q{quality}.jpg"
        tamsa.save(path, image, quality=quality)
        loaded = tamsa.load(str(path))
        assert loaded.shape == image.shape
        worst = np.abs(loaded.astype(int) - image.astype(int)).max()
        assert worst <= (4 if quality == 100 else 32)
        sizes[quality] = path.stat().st_size
    assert sizes[40] < sizes[100]
    # format= overrides the name.
    tamsa.save(tmp_path / "picture.bin", image, format="JPEG")
    assert (tmp_path / "picture.bin").read_bytes()[:3] == b"\xff\xd8\xff"


def test_colour_as_pgm_is_its_luma(tmp_path):
    image = np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 255], [10, 20, 30]]],
                     np.uint8)
    with pytest.warns(UserWarning, match="BT.601"):
        tamsa.save(tmp_path / "l.pgm", image)
    loaded = tamsa.load(tmp_path / "l.pgm")
    assert loaded.shape == (1, 5) and loaded.tolist() == [[76, 150, 29, 255, 18]]


def test_what_is_dropped_or_not_applied_is_warned(tmp_path):
    pam = (b"P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
           b"abcdefgh")
    with pytest.warns(UserWarning, match="transparency dropped"):
        loaded = tamsa.load(pam)
    assert loaded.tolist() == [[[97, 98, 99], [101, 102, 103]]]
    # A JPEG with an EXIF block saying orientation 6 (a quarter turn).
    tamsa.save(tmp_path / "e.jpg", smooth(8, 8, 3))
    plain = (tmp_path / "e.jpg").read_bytes()
    tiff = b"MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"
    body = b"Exif\0\0" + tiff
    exif = plain[:2] + b"\xff\xe1" + (len(body) + 2).to_bytes(2, "big") + body + plain[2:]
    with pytest.warns(UserWarning, match="EXIF orientation 6 is not applied"):
        turned = tamsa.load(exif)
    assert np.array_equal(turned, tamsa.load(plain))


def test_failures(tmp_path, rng):
    with pytest.raises(OSError, match="No such file"):
        tamsa.load(tmp_path / "missing.png")
    with pytest.raises(OSError, match="not a PNM, PAM, PNG or JPEG file"):
        tamsa.load(b"GIF89a")
    with pytest.raises(OSError, match="bad JPEG file"):
        tamsa.load(b"\xff\xd8\xff\xe0" + b"\0" * 40)
    image = picture(rng, 4, 4)
    with pytest.raises(ValueError, match="unknown picture format"):
        tamsa.save(tmp_path / "a.gif", image)
    with pytest.raises(ValueError, match="bad format"):
        tamsa.save(tmp_path / "a.png", image, format="gif")
    for quality in (0, 101):
        with pytest.raises(ValueError, match="quality"):
            tamsa.save(tmp_path / "a.jpg", image, quality=quality)
    with pytest.raises(ValueError, match="empty"):
        tamsa.save(tmp_path / "a.png", np.zeros((0, 4, 3), np.uint8))
    with pytest.raises(OSError):
        tamsa.save(tmp_path / "no" / "dir.png", image)
    assert sorted(os.listdir(tmp_path)) == []


@pytest.mark.parametrize("depth", DEPTHS)
def test_turn_and_flip_move_every_pixel(rng, depth):
    image = picture(rng, 5, 9, depth)
    for angle in (90, 180, 270):
        assert np.array_equal(tamsa.turn(image, angle), np.rot90(image, angle // 90))
    assert np.array_equal(tamsa.flip(image, "h"), image[:, ::-1])
    assert np.array_equal(tamsa.flip(image, "v"), image[::-1])
    # A view that is not contiguous, and the argument left as it was.
    view = image[::2, ::-1]
    kept = view.copy()
    assert np.array_equal(tamsa.turn(view, 90), np.rot90(view))
    assert np.array_equal(view, kept)
    for bad in (lambda: tamsa.turn(image, 45), lambda: tamsa.flip(image, "x")):
        with pytest.raises(ValueError):
            bad()


def test_the_same_bytes_as_the_command(tmp_path):
    command = os.environ.get("TAMSA_COMMAND")
    if not command:
        pytest.skip("TAMSA_COMMAND does not name the tamsa command")
    image = smooth(30, 40, 3)
    tamsa.save(tmp_path / "in.png", image)
    for out, quality in (("c.jpg", 75), ("c.pam", None), ("c.png", None)):
        words = [command, "image", "turn", str(tmp_path / "in.png"), str(tmp_path / out), "90"]
        if quality:
            words += ["--quality", str(quality)]
        subprocess.run(words, check=True, capture_output=True)
        ours = tmp_path / ("py_" + out)
        tamsa.save(ours, tamsa.turn(tamsa.load(tmp_path / "in.png"), 90), quality=quality or 90)
        assert ours.read_bytes() == (tmp_path / out).read_bytes(), out


def test_a_large_picture_is_read_into_huge_pages(tmp_path):
    # A first load's fresh memory costs a fault per 4 KiB page without them: 1519 for a 1080p
    # colour picture. Measured in a new interpreter, whose heap has no such memory yet.
    with open("/sys/kernel/mm/transparent_hugepage/enabled") as setting:
        if "[never]" in setting.read():
            pytest.skip("the system gives no huge pages")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's heap and shadow memory take faults of their own")
    path = tmp_path / "big.png"
    tamsa.save(path, smooth(1080, 1920, 3), format="png")
    probe = f"""
import resource, tamsa
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
image = tamsa.load({str(path)!r})
print(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before, image.shape)
"""
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                         timeout=120, check=True)
    faults, shape = run.stdout.split(" ", 1)
    assert shape.strip() == "(1080, 1920, 3)"
    assert int(faults) < 700, run.stdout


def test_no_memory_for_the_pixels_is_a_memory_error():
    # A PNG that says 8000x8000 colour: the pixels are asked for before any of its data is read.
    # Under a cap on the address space they cannot be had; nothing else of the load is left.
    import zlib

    def chunk(kind, data):
        return (len(data).to_bytes(4, "big") + kind + data +
                zlib.crc32(kind + data).to_bytes(4, "big"))

    header = (8000).to_bytes(4, "big") * 2 + bytes([8, 2, 0, 0, 0])
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64))
    probe = f"""
import gc, resource, tamsa
png = {png!r}
try:
    tamsa.load(png)
except OSError as e:
    print("uncapped:", e)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
try:
    tamsa.load(png)
except MemoryError:
    print("capped: MemoryError")
print("live", tamsa.alloc_stats())
"""
    # Under AddressSanitizer, its allocator answers null as the heap's does, instead of stopping.
    options = os.environ.get("ASAN_OPTIONS", "")
    env = dict(os.environ, ASAN_OPTIONS=options + ":allocator_may_return_null=1")
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                         timeout=120, check=True, env=env)
    lines = run.stdout.splitlines()
    assert lines[0].startswith("uncapped:") and "bad PNG file" in lines[0], run.stdout
    assert lines[1] == "capped: MemoryError", run.stdout + run.stderr
    assert lines[2] == "live (0, 0)", run.stdout
