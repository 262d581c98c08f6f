// Wire records and bus addresses, converted at the port and nowhere else.
#include "platform/ppc.h"
#include "tamsa/internal.h"
#include "server/server.h"

namespace tamsa::server {

bool range_ok(uint32_t address, uint64_t length) {
    return length == 0 || tamsa_bus_contains_block(address, length) != 0;
}

uint8_t *at(uint32_t address) { return static_cast<uint8_t *>(tamsa_bus_pointer(address)); }

bool read_record(uint32_t address, kv_bitmap &record) {
    if (!range_ok(address, kWireRecordBytes)) return false;
    const uint8_t *wire = at(address);
    record.data = at(platform::load_be32(wire));
    record.width = int32_t(platform::load_be32(wire + 4));
    record.height = int32_t(platform::load_be32(wire + 8));
    record.bytesperpixel = int32_t(platform::load_be32(wire + 12));
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
    auto *wire = reinterpret_cast<uint8_t *>(bitmap);
    platform::store_be32(wire, tamsa_bus_address(native.data));
    platform::store_be32(wire + 4, uint32_t(native.width));
    platform::store_be32(wire + 8, uint32_t(native.height));
    platform::store_be32(wire + 12, uint32_t(native.bytesperpixel));
    return tamsa_bus_address(bitmap);
}

}  // namespace tamsa::server
