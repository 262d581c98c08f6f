// Wire records and bus addresses, converted at the port and nowhere else.
#include "server/wire.h"

#include <cstring>

#include "platform/bus.h"
#include "platform/heap.h"
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
    return length == 0 || platform::owns_range(platform::current_owner(), address, length);
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
    const kv_bitmap native = *bitmap;
    if (platform::current_area() == platform::area::shared) {
        // The native record is at least as large as the wire record, so the block is reused and
        // handing over cannot fail.
        static_assert(sizeof(kv_bitmap) >= kWireRecordBytes);
        store_wire_record(bitmap, {tamsa_bus_address(native.data), native.width, native.height,
                                   native.bytesperpixel});
        return tamsa_bus_address(bitmap);
    }
    // The library made the record where the sender cannot map it: the sender gets a wire record
    // it can. Pixels lie in the sender's memory already (kv_allocbitmap puts them in the shared
    // area, the sender's pool), so only a buffer made elsewhere is copied.
    const int64_t bytes = bitmap_bytes(&native);
    const uint32_t pixels = tamsa_bus_address(native.data);
    const bool shared_pixels = platform::client_maps(platform::current_owner(), pixels);
    platform::area_scope shared(platform::area::shared);
    void *record = bytes >= 0 ? PPCAllocVec(kWireRecordBytes, TAMSA_MEMF_ANY) : nullptr;
    void *data = nullptr;
    if (record != nullptr) {
        data = shared_pixels ? native.data : PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_ANY);
    }
    uint32_t handed = 0;
    if (data != nullptr) {
        if (bytes > 0 && data != native.data) std::memcpy(data, native.data, size_t(bytes));
        store_wire_record(
            record, {tamsa_bus_address(data), native.width, native.height, native.bytesperpixel});
        handed = tamsa_bus_address(record);
    } else {
        PPCFreeVec(record);
    }
    if (data == native.data) {
        // The pixels are the handed bitmap's now: only the native record goes.
        PPCFreeVec(bitmap);
        return handed;
    }
    kv_freebitmap(bitmap);
    return handed;
}

}  // namespace tamsa::server
