// Bitmap records: make, free, clone and copy; and the library's version.
#include <cstring>

#include "platform/heap.h"
#include "tamsa/internal/sizes.h"

namespace {

kv_bitmap *alloc_bitmap(int32_t width, int32_t height, int32_t bytesperpixel, uint32_t attributes) {
    const int64_t bytes = tamsa::pixel_bytes(width, height, bytesperpixel);
    if (bytes < 0) return nullptr;
    auto *bitmap = static_cast<kv_bitmap *>(PPCAllocVec(sizeof(kv_bitmap), TAMSA_MEMF_ANY));
    if (bitmap == nullptr) return nullptr;
    bitmap->width = width;
    bitmap->height = height;
    bitmap->bytesperpixel = bytesperpixel;
    {
        // Pixels lie where the sender maps the bus (the shared part, or for another process its
        // pool), even while the server works in memory of its own: a client that writes there
        // changes pixels and nothing else, and a bitmap the server hands over needs no copy.
        tamsa::platform::area_scope pixels(tamsa::platform::area::shared);
        bitmap->data = static_cast<uint8_t *>(PPCAllocVec(uint32_t(bytes), attributes));
    }
    if (bitmap->data == nullptr) {
        PPCFreeVec(bitmap);
        return nullptr;
    }
    return bitmap;
}

}  // namespace

extern "C" {

int32_t tamsa_version(void) {
    return TAMSA_VERSION_MAJOR * 10000 + TAMSA_VERSION_MINOR * 100 + TAMSA_VERSION_PATCH;
}

kv_bitmap *kv_allocbitmap(int32_t width, int32_t height, int32_t bytesperpixel) {
    return alloc_bitmap(width, height, bytesperpixel, TAMSA_MEMF_CLEAR);
}

kv_bitmap *kv_allocrawbitmap(int32_t width, int32_t height, int32_t bytesperpixel) {
    return alloc_bitmap(width, height, bytesperpixel, TAMSA_MEMF_ANY);
}

void kv_freebitmap(kv_bitmap *bitmap) {
    if (bitmap == nullptr) return;
    if (bitmap->data != nullptr) PPCFreeVec(bitmap->data);
    PPCFreeVec(bitmap);
}

kv_bitmap *kv_clonebitmap(const kv_bitmap *bitmap) {
    const int64_t bytes = tamsa::bitmap_bytes(bitmap);
    if (bytes < 0) return nullptr;
    kv_bitmap *clone = kv_allocrawbitmap(bitmap->width, bitmap->height, bitmap->bytesperpixel);
    if (clone == nullptr) return nullptr;
    if (bytes > 0) std::memcpy(clone->data, bitmap->data, size_t(bytes));
    return clone;
}

int32_t kv_copybitmap(const kv_bitmap *source, kv_bitmap *destination) {
    if (source == nullptr || destination == nullptr) return 0;
    if (source->width != destination->width || source->height != destination->height ||
        source->bytesperpixel != destination->bytesperpixel) {
        return 0;
    }
    const int64_t bytes = tamsa::bitmap_bytes(source);
    if (bytes < 0 || tamsa::bitmap_bytes(destination) < 0) return 0;
    if (bytes > 0) std::memmove(destination->data, source->data, size_t(bytes));
    return 1;
}

}  // extern "C"
