// Adapters of the video frame operations: ids 2, 3, 5, 7, 8 and 10.
#include "server/ops.h"
#include "server/wire.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::server {

// Words 1 to 6: luma, V and U planes, output, count, group. The ranges follow the conversion's
// own rule: count rounded up to whole groups, at least one.
template <>
std::optional<uint32_t> serve<TAMSA_OP_YUVTORGB>(const uint32_t *words) {
    const uint32_t y = words[1], v = words[2], u = words[3], rgb = words[4];
    const uint32_t count = words[5], group = words[6];
    if (group != 0) {
        const int64_t pixels = yuv_pixels(count, group);
        if (pixels == 0) return std::nullopt;  // an output no buffer can hold
        const uint64_t chroma = uint64_t(pixels) / group;
        if (!range_ok(y, uint64_t(pixels)) || !range_ok(v, chroma) || !range_ok(u, chroma) ||
            !range_ok(rgb, 3 * uint64_t(pixels))) {
            return std::nullopt;
        }
    }
    fx_yuvtorgb_ll(at(y), at(v), at(u), at(rgb), count, group);
    return 0;
}

// Words 1 to 3: the frame record, the new width and height.
template <>
std::optional<uint32_t> serve<TAMSA_OP_SCALE>(const uint32_t *words) {
    kv_bitmap source{};
    if (!read_record(words[1], source)) return std::nullopt;
    // The frame is sampled one byte per pixel, whatever its depth.
    const int64_t bytes = pixel_bytes(source.width, source.height, 1);
    if (bytes < 0 || !pixels_ok(source, uint64_t(bytes))) return std::nullopt;
    return hand_over(tamsa_scale_ll(&source, int32_t(words[2]), int32_t(words[3])));
}

// Words 1 to 4: the frame record, the contrast, the brightness plus 256, and the invert flag in
// the low 16 bits.
template <>
std::optional<uint32_t> serve<TAMSA_OP_CORRECT>(const uint32_t *words) {
    kv_bitmap frame{};
    if (!read_bitmap(words[1], frame)) return std::nullopt;
    const auto brightness = int32_t(words[3] - 256u);
    const auto invert = int16_t(uint16_t(words[4]));
    tamsa_correct_ll(&frame, int32_t(words[2]), brightness, invert);
    return 0;
}

// Words 1 to 7: first, second and target buffers, the level, and three factors whose product
// is the length of each buffer.
template <>
std::optional<uint32_t> serve<TAMSA_OP_FADEOVER>(const uint32_t *words) {
    const uint32_t first = words[1], second = words[2], target = words[3];
    const int32_t level = int32_t(words[4]);
    const auto a = int32_t(words[5]), b = int32_t(words[6]), c = int32_t(words[7]);
    const auto count = uint64_t(fade_bytes(a, b, c));
    if (!range_ok(first, count) || !range_ok(second, count) || !range_ok(target, count)) {
        return std::nullopt;
    }
    tamsa_fadeover_ll(at(first), at(second), at(target), level, a, b, c);
    return 0;
}

// Word 1: the frame record.
template <>
std::optional<uint32_t> serve<TAMSA_OP_DEINTERLACE>(const uint32_t *words) {
    kv_bitmap frame{};
    if (!read_bitmap(words[1], frame)) return std::nullopt;
    tamsa_deinterlace_ll(&frame);
    return 0;
}

// Words 1 to 7: luma, V and U planes, the source width and height, the result width and
// height. The planes are read only when the result has pixels.
template <>
std::optional<uint32_t> serve<TAMSA_OP_YUVSCALE>(const uint32_t *words) {
    const uint32_t y = words[1], v = words[2], u = words[3];
    const auto src_width = int32_t(words[4]), src_height = int32_t(words[5]);
    const auto dst_width = int32_t(words[6]), dst_height = int32_t(words[7]);
    const int64_t luma = pixel_bytes(src_width, src_height, 1);
    const int64_t result = pixel_bytes(dst_width, dst_height, 3);
    if (luma < 0 || result < 0) return std::nullopt;
    if (result > 0) {
        if (luma == 0) return std::nullopt;
        const uint64_t chroma = scaled_chroma_bytes(src_width, src_height);
        if (!range_ok(y, uint64_t(luma)) || !range_ok(v, chroma) || !range_ok(u, chroma)) {
            return std::nullopt;
        }
    }
    return hand_over(
        fx_yuvscale_ll(at(y), at(v), at(u), src_width, src_height, dst_width, dst_height));
}

}  // namespace tamsa::server
