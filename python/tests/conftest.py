"""Shared pieces of the module's tests: the C library itself through ctypes, fed the same
inputs as the module, and random pictures."""

import ctypes
import os

import numpy as np
import pytest


class Bitmap(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("width", ctypes.c_int32),
                ("height", ctypes.c_int32), ("bytesperpixel", ctypes.c_int32)]


BitmapP = ctypes.POINTER(Bitmap)
u8p = ctypes.POINTER(ctypes.c_uint8)
i32 = ctypes.c_int32
u32 = ctypes.c_uint32

# Signatures of the functions the tests call, as the public header declares them.
SIGNATURES = {
    "kv_allocbitmap": (BitmapP, [i32, i32, i32]),
    "kv_freebitmap": (None, [BitmapP]),
    "PPCAllocVec": (ctypes.c_void_p, [u32, u32]),
    "PPCFreeVec": (None, [ctypes.c_void_p]),
    "tamsa_bus_address": (u32, [ctypes.c_void_p]),
    "tamsa_bus_store32": (None, [u32, u32]),
    "kv_allocpalette": (u8p, [u32]),
    "kv_freepalette": (None, [u8p]),
    "kv_remap24": (None, [u8p, u8p, u8p, u32]),
    "kv_remap8": (None, [u8p, u8p, u32]),
    "kv_xor": (None, [u8p, u32, i32]),
    "kv_multchunky": (None, [u8p, u8p, u32, u32]),
    "kv_divchunky": (None, [u8p, u8p, u32, u32]),
    "kv_scale24": (None, [u8p, u8p, u32, u32, u32, u32]),
    "kv_scale8": (None, [u8p, u8p, u32, u32, u32, u32]),
    "kv_scalecopybitmap": (BitmapP, [BitmapP, i32, i32]),
    "kv_cutbitmap": (BitmapP, [BitmapP, i32, i32, i32, i32]),
    "tamsa_scale_ll": (BitmapP, [BitmapP, i32, i32]),
    "fx_yuvtorgb_ll": (None, [u8p, u8p, u8p, u8p, u32, u32]),
    "kv_yuv_to_rgb": (None, [u8p, u8p, u8p, u8p, u32, u32]),
    "fx_yuvscale_ll": (BitmapP, [u8p, u8p, u8p, i32, i32, i32, i32]),
    "tamsa_correct_ll": (None, [BitmapP, i32, i32, ctypes.c_int16]),
    "tamsa_fadeover_ll": (None, [u8p, u8p, u8p, i32, i32, i32, i32]),
    "tamsa_deinterlace_ll": (None, [BitmapP]),
    "kv_blitbitmap": (None, [BitmapP, BitmapP, i32, i32]),
    "kv_blitbitmaptrans": (None, [BitmapP, BitmapP, i32, i32, i32]),
    "kv_transalphachunkyblit": (None, [BitmapP, i32, i32, u8p, i32, i32, i32]),
    "kv_scaledblit": (None, [BitmapP, i32, i32, u8p, i32, i32, i32, i32]),
    "kv_scaledmaskblit": (None, [BitmapP, i32, i32, u8p, i32, i32, i32, i32, i32]),
    "kv_scaledlightblit": (None, [BitmapP, u8p, i32, i32, i32, i32, i32, i32, i32]),
    "kv_drawline": (None, [BitmapP, i32, i32, i32, i32, i32, i32, i32]),
    "kv_drawbox": (None, [BitmapP, i32, i32, i32, i32, i32, i32, i32, i32]),
    "kv_rotatebitmap": (BitmapP, [BitmapP, i32, i32, i32, ctypes.c_float]),
    "kv_shearbitmap": (i32, [BitmapP, i32, i32, i32, i32, i32, i32, i32]),
    "kv_transposebitmap": (i32, [BitmapP]),
    "kv_smoothbitmap": (i32, [BitmapP, i32]),
    "kv_dither": (BitmapP, [BitmapP, i32]),
    "kv_savebitmapasppm": (i32, [BitmapP, ctypes.c_char_p]),
    "tamsa_alloc_stats": (None, [ctypes.POINTER(ctypes.c_uint64),
                                 ctypes.POINTER(ctypes.c_uint64)]),
}


def ptr(array):
    """A pointer to a C-contiguous uint8 array's bytes."""
    assert array.dtype == np.uint8 and array.flags.c_contiguous
    return array.ctypes.data_as(u8p)


class Reference:
    """The C library, called directly: bitmaps are made in its own memory, the results copied
    out into numpy arrays."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        for name, (restype, argtypes) in SIGNATURES.items():
            function = getattr(self.lib, name)
            function.restype = restype
            function.argtypes = argtypes

    def __getattr__(self, name):
        return getattr(self.lib, name)

    def bitmap(self, picture):
        """A new bitmap of the library holding a copy of the picture."""
        depth = 3 if picture.ndim == 3 else 1
        b = self.lib.kv_allocbitmap(picture.shape[1], picture.shape[0], depth)
        assert b
        if picture.size:
            ctypes.memmove(b.contents.data, ptr(np.ascontiguousarray(picture)), picture.size)
        return b

    @staticmethod
    def pixels(b):
        """A copy of a bitmap's pixels as an array of its shape."""
        r = b.contents
        shape = (r.height, r.width) if r.bytesperpixel == 1 else (r.height, r.width, 3)
        out = np.zeros(shape, np.uint8)
        if out.size:
            ctypes.memmove(ptr(out), r.data, out.size)
        return out

    def take(self, b):
        """The pixels of a bitmap the library made; the bitmap is freed."""
        assert b, "the library made no bitmap"
        try:
            return self.pixels(b)
        finally:
            self.lib.kv_freebitmap(b)

    def in_place(self, function, picture, *args):
        """Runs function(bitmap, *args) on a copy of the picture; the bytes it leaves."""
        b = self.bitmap(picture)
        try:
            function(b, *args)
            return self.pixels(b)
        finally:
            self.lib.kv_freebitmap(b)


@pytest.fixture(scope="session")
def ref():
    path = os.environ.get("TAMSA_REFERENCE_LIBRARY")
    if not path:
        pytest.fail("TAMSA_REFERENCE_LIBRARY must name the shared C library (CTest sets it)")
    return Reference(path)


@pytest.fixture
def rng(request):
    """A generator seeded by the test's name, so a failure replays."""
    seed = sum(map(ord, request.node.nodeid)) * 7919
    return np.random.default_rng(seed)


def picture(rng, height, width, depth=3):
    shape = (height, width) if depth == 1 else (height, width, 3)
    return rng.integers(0, 256, shape, dtype=np.uint8)


# Odd and empty sizes, both depths: the sizes every family is run at.
SIZES = [(0, 0), (1, 1), (7, 5), (33, 17)]
DEPTHS = [3, 1]
