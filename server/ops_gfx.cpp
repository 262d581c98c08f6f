// Message adapters for the graphics library's remapping and scaling.
#include "server/ops.h"
#include "server/wire.h"

namespace tamsa::server {
namespace {

constexpr uint64_t kPenTableBytes = 216;
constexpr uint64_t kByteTableBytes = 256;

}  // namespace

template <>
std::optional<uint32_t> serve<TAMSA_OP_REMAP24>(const uint32_t *words) {
    // Word 1 points at the source pointer (the data field of a wire record serves).
    uint32_t source = 0;
    if (!read_word(words[1], source)) return std::nullopt;
    const uint32_t destination = words[2];
    const uint32_t pen_table = words[3];
    // Whole pixels only: a trailing partial pixel is neither read nor written.
    const uint64_t pixels = words[4] / 3;
    if (!range_ok(source, pixels * 3) || !range_ok(destination, pixels)) return std::nullopt;
    if (pen_table != 0 && !range_ok(pen_table, kPenTableBytes)) return std::nullopt;
    kv_remap24(at(source), at(destination), pen_table != 0 ? at(pen_table) : nullptr, words[4]);
    return 0;
}

template <>
std::optional<uint32_t> serve<TAMSA_OP_REMAP8>(const uint32_t *words) {
    if (!range_ok(words[1], words[3]) || !range_ok(words[2], kByteTableBytes)) {
        return std::nullopt;
    }
    kv_remap8(at(words[1]), at(words[2]), words[3]);
    return 0;
}

template <>
std::optional<uint32_t> serve<TAMSA_OP_SCALECOPYBITMAP>(const uint32_t *words) {
    kv_bitmap source{};
    if (!read_bitmap(words[1], source)) return std::nullopt;
    return hand_over(kv_scalecopybitmap(&source, int32_t(words[2]), int32_t(words[3])));
}

}  // namespace tamsa::server
