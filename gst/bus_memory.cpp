#include "gst/bus_memory.h"

#include <cstring>

#include "tamsa/tamsa.h"

namespace {

constexpr const char *kMemoryType = "TamsaBus";

struct bus_memory {
    GstMemory mem;
    // The bus block, and where the memory's bytes start in it (aligned): the memory's own, or
    // its parent's for a share. Offsets count from data, as pools reset them to 0.
    uint8_t *block;
    uint8_t *data;
};

}  // namespace

G_BEGIN_DECLS
#define TAMSA_TYPE_BUS_ALLOCATOR (tamsa_bus_allocator_get_type())
G_DECLARE_FINAL_TYPE(TamsaBusAllocator, tamsa_bus_allocator, TAMSA, BUS_ALLOCATOR, GstAllocator)
G_END_DECLS

struct _TamsaBusAllocator {
    GstAllocator parent;
};

G_DEFINE_TYPE(TamsaBusAllocator, tamsa_bus_allocator, GST_TYPE_ALLOCATOR)

namespace {

GstMemory *bus_alloc(GstAllocator *allocator, gsize size, GstAllocationParams *params) {
    const gsize align = params->align;  // a mask: alignment - 1
    const gsize maxsize = params->prefix + size + params->padding + align;
    if (maxsize > UINT32_MAX) return nullptr;
    auto *block = static_cast<uint8_t *>(PPCAllocVec(uint32_t(maxsize), TAMSA_MEMF_ANY));
    if (block == nullptr) return nullptr;
    auto *m = g_new(bus_memory, 1);
    m->block = block;
    const gsize shift = (align + 1 - (reinterpret_cast<uintptr_t>(block) & align)) & align;
    m->data = block + shift;
    const gsize room = maxsize - shift;
    gst_memory_init(&m->mem, GstMemoryFlags(params->flags), allocator, nullptr, room, align,
                    params->prefix, size);
    if (params->prefix != 0 && (params->flags & GST_MEMORY_FLAG_ZERO_PREFIXED)) {
        std::memset(m->data, 0, params->prefix);
    }
    const gsize end = params->prefix + size;
    if (params->flags & GST_MEMORY_FLAG_ZERO_PADDED) std::memset(m->data + end, 0, room - end);
    return &m->mem;
}

void bus_free(GstAllocator *, GstMemory *mem) {
    auto *m = reinterpret_cast<bus_memory *>(mem);
    if (mem->parent == nullptr) PPCFreeVec(m->block);
    g_free(m);
}

gpointer bus_map(GstMemory *mem, gsize, GstMapFlags) {
    return reinterpret_cast<bus_memory *>(mem)->data;
}

void bus_unmap(GstMemory *) {}

GstMemory *bus_share(GstMemory *mem, gssize offset, gssize size) {
    GstMemory *parent = mem->parent != nullptr ? mem->parent : mem;
    if (size == -1) size = gssize(mem->size) - offset;
    auto *m = g_new(bus_memory, 1);
    m->block = reinterpret_cast<bus_memory *>(mem)->block;
    m->data = reinterpret_cast<bus_memory *>(mem)->data;
    gst_memory_init(
        &m->mem, GstMemoryFlags(GST_MINI_OBJECT_FLAGS(parent) | GST_MINI_OBJECT_FLAG_LOCK_READONLY),
        mem->allocator, parent, mem->maxsize, mem->align, mem->offset + gsize(offset), gsize(size));
    return &m->mem;
}

}  // namespace

static void tamsa_bus_allocator_init(TamsaBusAllocator *self) {
    auto *a = GST_ALLOCATOR(self);
    a->mem_type = kMemoryType;
    a->mem_map = bus_map;
    a->mem_unmap = bus_unmap;
    a->mem_share = bus_share;
}

static void tamsa_bus_allocator_class_init(TamsaBusAllocatorClass *klass) {
    auto *a = GST_ALLOCATOR_CLASS(klass);
    a->alloc = bus_alloc;
    a->free = bus_free;
}

// A video pool that gives its buffers back when it cannot start: GStreamer's own keeps those
// made before the one that failed, and bus blocks are too few to leave behind.
struct TamsaBusPool {
    GstVideoBufferPool parent;
};
struct TamsaBusPoolClass {
    GstVideoBufferPoolClass parent_class;
};

G_DEFINE_TYPE(TamsaBusPool, tamsa_bus_pool, GST_TYPE_VIDEO_BUFFER_POOL)

namespace {

gboolean bus_pool_start(GstBufferPool *pool) {
    auto *parent = GST_BUFFER_POOL_CLASS(tamsa_bus_pool_parent_class);
    if (parent->start(pool)) return TRUE;
    parent->stop(pool);
    return FALSE;
}

}  // namespace

static void tamsa_bus_pool_init(TamsaBusPool *) {}

static void tamsa_bus_pool_class_init(TamsaBusPoolClass *klass) {
    GST_BUFFER_POOL_CLASS(klass)->start = bus_pool_start;
}

namespace tamsa::gst {

GstAllocator *bus_allocator() {
    static GstAllocator *const one = [] {
        auto *a = static_cast<GstAllocator *>(g_object_new(TAMSA_TYPE_BUS_ALLOCATOR, nullptr));
        gst_object_ref_sink(a);
        // Kept for the life of the process, as GStreamer keeps its own allocators.
        GST_OBJECT_FLAG_SET(a, GST_OBJECT_FLAG_MAY_BE_LEAKED);
        return a;
    }();
    return static_cast<GstAllocator *>(gst_object_ref(one));
}

GstBufferPool *bus_pool(GstCaps *caps, guint min_buffers) {
    GstVideoInfo info;
    if (caps == nullptr || !gst_video_info_from_caps(&info, caps)) return nullptr;
    auto *pool = static_cast<GstBufferPool *>(g_object_new(tamsa_bus_pool_get_type(), nullptr));
    gst_object_ref_sink(pool);
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, guint(GST_VIDEO_INFO_SIZE(&info)), min_buffers,
                                      0);
    GstAllocator *allocator = bus_allocator();
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    params.align = 63;
    gst_buffer_pool_config_set_allocator(config, allocator, &params);
    gst_object_unref(allocator);
    gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    if (!gst_buffer_pool_set_config(pool, config)) {
        gst_object_unref(pool);
        return nullptr;
    }
    return pool;
}

uint32_t bus_address(GstBuffer *buffer, const void *data, size_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    for (guint i = 0; i < gst_buffer_n_memory(buffer); ++i) {
        GstMemory *mem = gst_buffer_peek_memory(buffer, i);
        if (!gst_memory_is_type(mem, kMemoryType)) continue;
        const uint8_t *start = reinterpret_cast<bus_memory *>(mem)->data + mem->offset;
        if (p >= start && length <= mem->size && size_t(p - start) <= mem->size - length) {
            return tamsa_bus_address(p);
        }
    }
    return 0;
}

}  // namespace tamsa::gst
