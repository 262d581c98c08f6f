// Ordered dithering to the eight colours whose channels are 0 or 255, against a threshold
// matrix tiled over the image from its top-left pixel.
#include <algorithm>
#include <cstring>

#include "gfx/dither_row.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"

extern "C" {

// Thresholds as tabled, one matrix row per line.
// clang-format off
const uint8_t ClassicalScreen[8][8] = {
    { 84,  91, 112, 133, 147, 140, 119,  98},
    { 28,  21,  70, 196, 203, 210, 161,  35},
    {  7,  14,  77, 189, 224, 217, 154,  42},
    { 49,  56, 105, 168, 182, 175, 126,  63},
    {147, 140, 119,  98,  84,  91, 112, 133},
    {203, 210, 161,  35,  28,  21,  70, 196},
    {224, 217, 154,  42,   7,  14,  77, 189},
    {182, 175, 126,  63,  49,  56, 105, 168},
};

const uint8_t Rectangular[3][3] = {
    {126, 189, 126},
    {252,  63, 252},
    {126, 189, 126},
};

const uint8_t Halftone[6][6] = {
    {105,  63, 119, 224, 154, 210},
    { 49,   7,  21, 133, 245, 161},
    { 91,  35,  77, 189, 182, 231},
    {217, 147, 203, 112,  70, 126},
    {140, 252, 168,  56,  14,  28},
    {196, 175, 238,  98,  42,  84},
};

const uint8_t Bayer4[4][4] = {
    { 40, 104, 120, 184},
    {  8, 200,  88,  24},
    {160, 224,  80, 144},
    {128,  64,  48, 240},
};

const uint8_t Bayer16[16][16] = {
    {  1, 235,  59, 219,  15, 231,  55, 215,   2, 232,  56, 216,  12, 228,  52, 212},
    {129,  65, 187, 123, 143,  79, 183, 119, 130,  66, 184, 120, 140,  76, 180, 116},
    { 33, 193,  17, 251,  47, 207,  31, 247,  34, 194,  18, 248,  44, 204,  28, 244},
    {161,  97, 145,  81, 175, 111, 159,  95, 162,  98, 146,  82, 172, 108, 156,  92},
    {  9, 225,  49, 209,   5, 239,  63, 223,  10, 226,  50, 210,   6, 236,  60, 220},
    {137,  73, 177, 113, 133,  69, 191, 127, 138,  74, 178, 114, 134,  70, 188, 124},
    { 41, 201,  25, 241,  37, 197,  21, 254,  42, 202,  26, 242,  38, 198,  22, 252},
    {169, 105, 153,  89, 165, 101, 149,  85, 170, 106, 154,  90, 166, 102, 150,  86},
    {  3, 233,  57, 217,  13, 229,  53, 213,   0, 234,  58, 218,  14, 230,  54, 214},
    {131,  67, 185, 121, 141,  77, 181, 117, 128,  64, 186, 122, 142,  78, 182, 118},
    { 35, 195,  19, 249,  45, 205,  29, 245,  32, 192,  16, 250,  46, 206,  30, 246},
    {163,  99, 147,  83, 173, 109, 157,  93, 160,  96, 144,  80, 174, 110, 158,  94},
    { 11, 227,  51, 211,   7, 237,  61, 221,   8, 224,  48, 208,   4, 238,  62, 222},
    {139,  75, 179, 115, 135,  71, 189, 125, 136,  72, 176, 112, 132,  68, 190, 126},
    { 43, 203,  27, 243,  39, 199,  23, 253,  40, 200,  24, 240,  36, 196,  20, 254},
    {171, 107, 155,  91, 167, 103, 151,  87, 168, 104, 152,  88, 164, 100, 148,  84},
};

const uint8_t FourStars[5][5] = {
    { 40,  80, 140, 120,  20},
    { 60, 170, 210, 190, 100},
    {150, 240, 250, 230, 160},
    { 90, 200, 220, 180,  50},
    { 10, 110, 130,  70,  30},
};

const uint8_t BoxDither[5][5] = {
    {138, 230,   5, 219, 107},
    { 87,  46, 179,  67, 148},
    {189,  26, 250,  15, 199},
    {158,  77, 168,  56,  97},
    {128, 209,  36, 240, 117},
};
// clang-format on

}  // extern "C"

namespace {

struct matrix {
    const uint8_t *cells = nullptr;  // n rows of n thresholds
    int32_t n = 0;
};

matrix select_matrix(int32_t type) {
    switch (type) {
        case 1:
            return {&ClassicalScreen[0][0], 8};
        case 2:
            return {&Rectangular[0][0], 3};
        case 3:
            return {&Halftone[0][0], 6};
        case 4:
            return {&Bayer4[0][0], 4};
        case 5:
            return {&Bayer16[0][0], 16};
        case 6:
            return {&FourStars[0][0], 5};
        case 7:
            return {&BoxDither[0][0], 5};
        default:
            return {};
    }
}

}  // namespace

namespace tamsa::gfx {

// One threshold per pixel for its three channels; the column index wraps by counting.
void dither_row(const uint8_t *source, uint8_t *result, uint64_t pixels, int32_t depth,
                const uint8_t *thresholds, int32_t n, const uint8_t *, uint64_t first) {
    auto tx = int32_t(first % uint64_t(n));
    for (uint64_t x = 0; x < pixels; ++x, source += depth) {
        const uint8_t t = thresholds[tx];
        for (int32_t k = 0; k < 3; ++k) *result++ = source[depth == 3 ? k : 0] >= t ? 255 : 0;
        if (++tx == n) tx = 0;
    }
}

void spell_thresholds(const uint8_t *thresholds, int32_t n, int32_t depth, uint8_t *spelled) {
    const int32_t per_pixel = depth == 3 ? 3 : 1;
    for (size_t i = 0, tx = 0, k = 0; i < kDitherSpelled; ++i) {
        spelled[i] = thresholds[tx];
        if (++k == size_t(per_pixel)) {
            k = 0;
            if (++tx == size_t(n)) tx = 0;
        }
    }
}

namespace {

// A run of bytes against a run of thresholds; a fixed count lets the compiler vectorise it.
// 48 bytes: 16 whole pixels.
constexpr uint64_t kBlock = 48;

void threshold_block(const uint8_t *__restrict source, const uint8_t *__restrict thresholds,
                     uint8_t *__restrict result) {
    for (uint64_t i = 0; i < kBlock; ++i) result[i] = source[i] >= thresholds[i] ? 255 : 0;
}

}  // namespace

// 3-byte pixels a block of bytes at a time, each block's thresholds read from the spelled row
// where the block starts in its period. Blocks are whole pixels, so the rest of the row starts
// on a pixel and takes the plain kernel.
void dither_row_fast(const uint8_t *source, uint8_t *result, uint64_t pixels, int32_t depth,
                     const uint8_t *thresholds, int32_t n, const uint8_t *spelled, uint64_t first) {
    if (depth != 3) {
        return dither_row(source, result, pixels, depth, thresholds, n, spelled, first);
    }
    const auto period = uint64_t(3 * n);
    constexpr uint64_t kPixels = kBlock / 3;
    uint64_t x = 0;
    uint64_t phase = 3 * (first % uint64_t(n));  // the block's first byte within the period
    for (; x + kPixels <= pixels; x += kPixels) {
        threshold_block(source + 3 * x, spelled + phase, result + 3 * x);
        phase = (phase + kBlock) % period;
    }
    dither_row(source + 3 * x, result + 3 * x, pixels - x, 3, thresholds, n, spelled, first + x);
}

}  // namespace tamsa::gfx

extern "C" kv_bitmap *kv_dither(const kv_bitmap *bitmap, int32_t type) {
    if (tamsa::bitmap_bytes(bitmap) < 0) return nullptr;
    const matrix m = select_matrix(type);
    if (m.cells == nullptr) return nullptr;
    // Every byte of the result is written, so it needs no clearing.
    kv_bitmap *result = kv_allocrawbitmap(bitmap->width, bitmap->height, 3);
    if (result == nullptr) return nullptr;
    const int32_t depth = bitmap->bytesperpixel;
    const auto width = uint64_t(bitmap->width);
    const tamsa::gfx::dither_row_fn row =
        tamsa::kernels::pick(tamsa::gfx::dither_row_kernels, m.n <= tamsa::gfx::kMaxDitherSize);
    // Every matrix row spelled out once for the fast kernels.
    uint8_t spelled[tamsa::gfx::kMaxDitherSize][tamsa::gfx::kDitherSpelled];
    if (row != tamsa::gfx::dither_row) {
        for (int32_t r = 0; r < m.n; ++r) {
            tamsa::gfx::spell_thresholds(m.cells + r * m.n, m.n, depth, spelled[r]);
        }
    }
    // The matrix row is found once per band and wraps by counting.
    tamsa::bands::split(bitmap->height, int64_t(width) * 3, [&](int64_t first, int64_t last) {
        auto ty = int32_t(first % m.n);
        for (int64_t y = first; y < last; ++y) {
            row(bitmap->data + uint64_t(y) * width * uint64_t(depth),
                result->data + uint64_t(y) * width * 3, width, depth, m.cells + ty * m.n, m.n,
                spelled[ty], 0);
            if (++ty == m.n) ty = 0;
        }
    });
    return result;
}
