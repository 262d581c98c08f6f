// The element's engine and its bus pools without the element: frames in the bus and in memory
// of their own, and every allocation failed in turn.
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "gst/bus_memory.h"
#include "gst/engine.h"
#include "support.h"
#include "tools/commands/cli.h"

namespace {

using tamsa::gst::effects;
using tamsa::gst::engine;
using tamsa::gst::stream_format;
using tamsa::tools::chroma;

class GstEngine : public tamsa_test::LeakCheck {
   protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

struct block_deleter {
    void operator()(uint8_t *p) const { PPCFreeVec(p); }
};

// One 4:2:2 frame, converted with the planes and the output in memory of their own or in one
// bus block, as a pool buffer holds them; out gets the blue-first pixels. False when the engine
// failed.
bool convert_once(bool in_bus, bool scaled, const effects &fx, std::vector<uint8_t> &out,
                  engine::counts *counts = nullptr) {
    constexpr int32_t w = 16, h = 6, cw = w / 2;
    stream_format format;
    format.width = w;
    format.height = h;
    format.layout = chroma::c422;
    format.out_width = scaled ? 10 : w;
    format.out_height = scaled ? 4 : h;
    const size_t out_bytes = size_t(format.out_width) * size_t(format.out_height) * 3;
    std::vector<uint8_t> planes(size_t(w) * h + size_t(cw) * h * 2);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = uint8_t(i * 37 + i / 7);
    out.assign(out_bytes, 0);
    std::unique_ptr<uint8_t, block_deleter> block;
    uint8_t *source = planes.data(), *target = out.data();
    if (in_bus) {
        block.reset(static_cast<uint8_t *>(
            PPCAllocVec(uint32_t(planes.size() + out_bytes), TAMSA_MEMF_ANY)));
        if (block == nullptr) return false;
        source = block.get();
        std::memcpy(source, planes.data(), planes.size());
        target = source + planes.size();
    }
    const auto bus = [in_bus](const uint8_t *p) { return in_bus ? tamsa_bus_address(p) : 0u; };
    const uint8_t *u = source + size_t(w) * h, *v = u + size_t(cw) * h;
    try {
        engine e("");
        e.configure(format);
        e.convert({source, size_t(w), bus(source)}, {u, size_t(cw), bus(u)},
                  {v, size_t(cw), bus(v)}, 'p', 0, fx, target, size_t(format.out_width) * 3,
                  bus(target), false);
        if (in_bus) std::memcpy(out.data(), target, out_bytes);
        if (counts != nullptr) *counts = e.copies();
    } catch (const tamsa::cli::failure &) {
        return false;
    }
    return true;
}

// Planes in the bus are read where they lie and the output written where it goes, with the
// bytes of planes copied in; any allocation that fails is an error and leaves nothing behind.
TEST_F(GstEngine, FramesInTheBusAndAllocationFailures) {
    effects corrected;
    corrected.brightness = 30;
    effects cube;
    cube.remap = true;
    for (bool scaled : {false, true}) {
        for (const effects &fx : {effects{}, corrected, cube}) {
            SCOPED_TRACE(std::string(scaled ? "scaled " : "") + (fx.remap ? "cube" : "") +
                         (fx.correct() ? "corrected" : ""));
            std::vector<uint8_t> plain, in_bus;
            engine::counts copied, none;
            ASSERT_TRUE(convert_once(false, scaled, fx, plain, &copied));
            ASSERT_TRUE(convert_once(true, scaled, fx, in_bus, &none));
            EXPECT_EQ(in_bus, plain);
            EXPECT_EQ(copied.copied_in, 3u);
            EXPECT_EQ(none.copied_in, 0u);
            // Resized frames and the cube's colours are made elsewhere and copied out.
            EXPECT_EQ(none.copied_out, scaled && !fx.remap ? 1u : 0u);
            // A failure is an error, or one the engine can do without (the server's stop
            // message goes without a block of its own), with the same frame; nothing stays.
            for (bool bus : {false, true}) {
                bool finished = false;
                for (uint32_t n = 1; !finished && n < 100; ++n) {
                    SCOPED_TRACE("failing allocation " + std::to_string(n));
                    const tamsa_test::alloc_snapshot before = tamsa_test::snapshot();
                    std::vector<uint8_t> out;
                    tamsa_alloc_fail_nth(n);
                    const bool ok = convert_once(bus, scaled, fx, out);
                    finished = tamsa_alloc_fail_nth(0) != 0;
                    EXPECT_TRUE(ok || !finished);
                    if (ok) {
                        EXPECT_EQ(out, plain);
                    }
                    EXPECT_EQ(tamsa_test::snapshot(), before);
                }
                EXPECT_TRUE(finished);
            }
        }
    }
}

// A pool's buffers are single bus blocks that come back to it, and go back to the bus with the
// pool; one that cannot get its memory fails to start or to hand out a buffer, and leaves
// nothing behind.
TEST_F(GstEngine, BusPoolsHandOutBlocksAndGiveThemBack) {
    GstCaps *caps = gst_caps_from_string("video/x-raw,format=BGR,width=8,height=4,framerate=1/1");
    const uint32_t made = tamsa_test::sweep_alloc_failures([caps] {
        GstBufferPool *pool = tamsa::gst::bus_pool(caps, 2);
        if (pool == nullptr) return false;
        bool ok = gst_buffer_pool_set_active(pool, TRUE);
        GstBuffer *a = nullptr, *b = nullptr, *c = nullptr;
        if (ok) {
            // Two made when the pool started, and a third when both are out.
            ok = gst_buffer_pool_acquire_buffer(pool, &a, nullptr) == GST_FLOW_OK &&
                 gst_buffer_pool_acquire_buffer(pool, &b, nullptr) == GST_FLOW_OK &&
                 gst_buffer_pool_acquire_buffer(pool, &c, nullptr) == GST_FLOW_OK;
        }
        if (ok) {
            GstMapInfo map;
            EXPECT_TRUE(gst_buffer_map(c, &map, GST_MAP_WRITE));
            EXPECT_NE(tamsa::gst::bus_address(c, map.data, map.size), 0u);
            EXPECT_EQ(tamsa::gst::bus_address(c, map.data, map.size + 1), 0u);
            EXPECT_TRUE(tamsa_bus_contains_block(tamsa_bus_address(map.data), map.size));
            const void *again = map.data;
            gst_buffer_unmap(c, &map);
            gst_buffer_unref(c);
            c = nullptr;
            EXPECT_EQ(gst_buffer_pool_acquire_buffer(pool, &c, nullptr), GST_FLOW_OK);
            EXPECT_TRUE(gst_buffer_map(c, &map, GST_MAP_READ));
            EXPECT_EQ(map.data, again);
            gst_buffer_unmap(c, &map);
        }
        for (GstBuffer *x : {a, b, c}) {
            if (x != nullptr) gst_buffer_unref(x);
        }
        gst_buffer_pool_set_active(pool, FALSE);
        gst_object_unref(pool);
        return ok;
    });
    EXPECT_EQ(made, 3u);
    // Memory of another allocator is not the bus's.
    GstBuffer *plain = gst_buffer_new_allocate(nullptr, 96, nullptr);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(plain, &map, GST_MAP_READ));
    EXPECT_EQ(tamsa::gst::bus_address(plain, map.data, map.size), 0u);
    gst_buffer_unmap(plain, &map);
    gst_buffer_unref(plain);
    gst_caps_unref(caps);
}

}  // namespace
