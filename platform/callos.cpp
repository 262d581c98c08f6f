// Calls into 68k libraries, served by host stand-ins. A library is known by its base, the
// value a caller puts in a6; a function by its negative jump-table offset.
#include <cstring>
#include <mutex>

#include "platform/ppc.h"
#include "platform/test_hooks.h"

namespace {

// graphics.library FindColor: the pen of the colour map whose colour is nearest to the
// left-aligned red, green and blue in d1 to d3. d4 limits the pens searched to 0..d4; a
// negative d4 searches them all. Ties go to the lower pen. A colour map that does not lie in
// one block of the bus, or holds no pen, answers 0.
uint32_t find_color(const PPCCallBlock &call) {
    const uint32_t map = call.a[3];
    if (!tamsa_bus_contains_block(map, 4)) return 0;
    uint32_t pens = tamsa_bus_load32(map);
    if (pens > 256) pens = 256;
    if (!tamsa_bus_contains_block(map, 4 + uint64_t(pens) * 4)) return 0;
    const auto limit = int32_t(call.d[4]);
    if (limit >= 0 && uint32_t(limit) < pens) pens = uint32_t(limit) + 1;

    const int32_t red = int32_t(call.d[1] >> 24);
    const int32_t green = int32_t(call.d[2] >> 24);
    const int32_t blue = int32_t(call.d[3] >> 24);
    uint32_t best = 0;
    int32_t best_distance = INT32_MAX;
    for (uint32_t pen = 0; pen < pens; ++pen) {
        const uint32_t colour = tamsa_bus_load32(map + 4 + pen * 4);
        const int32_t dr = int32_t((colour >> 16) & 0xff) - red;
        const int32_t dg = int32_t((colour >> 8) & 0xff) - green;
        const int32_t db = int32_t(colour & 0xff) - blue;
        const int32_t distance = dr * dr + dg * dg + db * db;
        if (distance < best_distance) {
            best_distance = distance;
            best = pen;
        }
    }
    return best;
}

struct library_function {
    int32_t offset;
    uint32_t (*call)(const PPCCallBlock &);
};

struct library {
    const char *name;
    uint32_t base;
    int32_t version;
    uint32_t opened;
    const library_function *functions;
    size_t function_count;
};

constexpr library_function graphics_functions[] = {
    {TAMSA_FINDCOLOR_OFFSET, find_color},
};

// The version the stand-in graphics.library reports, newer than any the server asks for.
constexpr int32_t kStandInGraphicsVersion = 40;

library libraries[] = {
    {TAMSA_GRAPHICS_NAME, 0x00f40000u, kStandInGraphicsVersion, 0, graphics_functions,
     sizeof graphics_functions / sizeof graphics_functions[0]},
};

std::mutex library_lock;
uint32_t graphics_base = 0;

// The test hook: calls for hook_base are answered by it instead of the library.
uint32_t hook_base = 0;
tamsa_callos_hook hook = nullptr;
void *hook_context = nullptr;

library *by_name(const char *name) {
    if (name == nullptr) return nullptr;
    for (library &lib : libraries) {
        if (std::strcmp(lib.name, name) == 0) return &lib;
    }
    return nullptr;
}

library *by_base(uint32_t base) {
    for (library &lib : libraries) {
        if (lib.base == base) return &lib;
    }
    return nullptr;
}

}  // namespace

extern "C" {

uint32_t PPCCallOS(PPCCallBlock *call) {
    if (call == nullptr) return 0;
    const library *lib = nullptr;
    tamsa_callos_hook observer = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> guard(library_lock);
        if (hook != nullptr && call->a[6] == hook_base) {
            observer = hook;
            context = hook_context;
        } else {
            lib = by_base(call->a[6]);
            if (lib == nullptr || lib->opened == 0) return 0;
        }
    }
    // The hook runs outside the lock, so that it may call back into the stand-in.
    if (observer != nullptr) return observer(call, context);
    for (size_t i = 0; i < lib->function_count; ++i) {
        if (lib->functions[i].offset == call->offset) return lib->functions[i].call(*call);
    }
    return 0;
}

uint32_t tamsa_open_library(const char *name, int32_t version) {
    std::lock_guard<std::mutex> guard(library_lock);
    library *lib = by_name(name);
    if (lib == nullptr || lib->version < version) return 0;
    ++lib->opened;
    return lib->base;
}

void tamsa_close_library(uint32_t base) {
    std::lock_guard<std::mutex> guard(library_lock);
    library *lib = by_base(base);
    if (lib != nullptr && lib->opened != 0) --lib->opened;
}

void tamsa_library_set_version(const char *name, int32_t version) {
    std::lock_guard<std::mutex> guard(library_lock);
    library *lib = by_name(name);
    if (lib != nullptr) lib->version = version;
}

uint32_t tamsa_graphics_base(void) {
    {
        std::lock_guard<std::mutex> guard(library_lock);
        if (graphics_base != 0) return graphics_base;
    }
    const uint32_t base = tamsa_open_library(TAMSA_GRAPHICS_NAME, 0);
    std::lock_guard<std::mutex> guard(library_lock);
    if (graphics_base == 0) {
        graphics_base = base;
    } else if (base != 0) {
        // Lost a race with another opener: give this opening back.
        library *lib = by_base(base);
        if (lib != nullptr && lib->opened != 0) --lib->opened;
    }
    return graphics_base;
}

void tamsa_set_callos_hook(uint32_t base, tamsa_callos_hook observer, void *context) {
    std::lock_guard<std::mutex> guard(library_lock);
    hook_base = observer != nullptr ? base : 0;
    hook = observer;
    hook_context = context;
}

void tamsa_set_graphics_base(uint32_t base) {
    std::lock_guard<std::mutex> guard(library_lock);
    graphics_base = base;
}

}  // extern "C"
