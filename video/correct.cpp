// Contrast, brightness and inversion of a frame in place, through one 256-entry table.
#include <array>

#include "gfx/remap_row.h"
#include "tamsa/internal/sizes.h"

namespace {

using correction_table = std::array<uint8_t, 256>;

// The float and double steps are the recorder's own and decide where entries land:
// single-precision factor and product, double sum, truncation toward zero.
correction_table make_correction(int32_t contrast, int32_t brightness, int16_t invert) {
    const auto factor = float(double(contrast) / 100.0);
    correction_table table{};
    for (int32_t i = 0; i < 256; ++i) {
        const float p = float(i - 128) * factor;
        const double q = double(p) + 128.0;
        // |q| stays below 2^32 for any 32-bit contrast, so 64 bits hold it and the brightness
        // exactly: huge settings saturate instead of wrapping.
        int64_t v = int64_t(q) + brightness;
        v = v > 255 ? 255 : v < 0 ? 0 : v;
        table[i] = uint8_t(invert != 0 ? 255 - v : v);
    }
    return table;
}

}  // namespace

extern "C" {

void tamsa_correct_ll(kv_bitmap *bitmap, int32_t contrast, int32_t brightness, int16_t invert) {
    const int64_t bytes = tamsa::bitmap_bytes(bitmap);
    if (bytes <= 0) return;
    // The table is built once per call; the pass over the frame is the byte-table remap.
    const correction_table table = make_correction(contrast, brightness, invert);
    tamsa::gfx::lookup(bitmap->data, uint64_t(bytes), table.data());
}

}  // extern "C"
