// Wire records and bus addresses, converted at the port and nowhere else.
#include "server/wire.h"

#include "platform/bus.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::server {

wire_record load_wire_record(const void *wire) {
    const auto *w = static_cast<const uint8_t *>(wire);
    return {platform::load_be32(w), int32_t(platform::load_be32(w + 4)),
            int32_t(platform::load_be32(w + 8)), int32_t(platform::load_be32(w + 12))};
}

void store_wire_record(void *wire, const wire_record &record) {
    auto *w = static_cast<uint8_t *>(wire);
    platform::store_be32(w, record.data);
    platform::store_be32(w + 4, uint32_t(record.width));
    platform::store_be32(w + 8, uint32_t(record.height));
    platform::store_be32(w + 12, uint32_t(record.bytesperpixel));
}

bool range_ok(uint32_t address, uint64_t length) {
    return length == 0 || tamsa_bus_contains_block(address, length) != 0;
}

uint8_t *at(uint32_t address) {
    return static_cast<uint8_t *>(tamsa_bus_pointer(address));
}

bool read_word(uint32_t address, uint32_t &value) {
    if (!range_ok(address, 4)) return false;
    value = platform::load_be32(at(address));
    return true;
}

bool read_record(uint32_t address, kv_bitmap &record) {
    if (!range_ok(address, kWireRecordBytes)) return false;
    const wire_record wire = load_wire_record(at(address));
    record.data = at(wire.data);
    record.width = wire.width;
    record.height = wire.height;
    record.bytesperpixel = wire.bytesperpixel;
    return true;
}

bool pixels_ok(const kv_bitmap &record, uint64_t bytes) {
    return range_ok(tamsa_bus_address(record.data), bytes);
}

bool read_bitmap(uint32_t address, kv_bitmap &record) {
    if (!read_record(address, record)) return false;
    const int64_t bytes = bitmap_bytes(&record);
    return bytes >= 0 && pixels_ok(record, uint64_t(bytes));
}

uint32_t hand_over(kv_bitmap *bitmap) {
    if (bitmap == nullptr) return 0;
    // The native record is at least as large as the wire record, so the block is reused and
    // handing over cannot fail.
    static_assert(sizeof(kv_bitmap) >= kWireRecordBytes);
    const kv_bitmap native = *bitmap;
    store_wire_record(bitmap, {tamsa_bus_address(native.data), native.width, native.height,
                               native.bytesperpixel});
    return tamsa_bus_address(bitmap);
}

bool handed_blocks(uint32_t record, uint32_t &record_block, uint32_t &pixel_block) {
    if (!range_ok(record, kWireRecordBytes)) return false;
    record_block = record;
    const uint32_t data = load_wire_record(at(record)).data;
    pixel_block = tamsa_bus_contains_block(data, 0) != 0 ? data : 0;
    return true;
}

}  // namespace tamsa::server
