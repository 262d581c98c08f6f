// The video frame operations end to end: a sender's block through the port, ranges checked
// against the bus, made bitmaps handed back as wire records.
#include <cstring>
#include <numeric>

#include "server_harness.h"
#include "support.h"

namespace {

using tamsa_test::LeakCheck;
using tamsa_test::Rng;
using tamsa_test::ServerHarness;
using tamsa_test::snapshot;

std::string test_port() {
    return std::string("video-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// An exact-size block of the sender's: a range one byte longer runs out of it.
class Block {
   public:
    explicit Block(uint32_t size, uint8_t fill = 0)
        : p_(static_cast<uint8_t *>(PPCAllocVec(size, TAMSA_MEMF_ANY))), size_(size) {
        std::memset(p_, fill, size);
    }
    ~Block() { PPCFreeVec(p_); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    uint8_t *data() const { return p_; }
    uint32_t address() const { return tamsa_bus_address(p_); }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(p_, p_ + size_); }
    void randomise(uint64_t seed) const { Rng(seed).fill(p_, size_); }

   private:
    uint8_t *p_;
    uint32_t size_;
};

// A wire record in the bus, as the sender writes one.
class WireRecord : public Block {
   public:
    WireRecord(uint32_t data, int32_t width, int32_t height, int32_t depth) : Block(16) {
        const uint32_t words[4] = {data, uint32_t(width), uint32_t(height), uint32_t(depth)};
        for (uint32_t i = 0; i < 4; ++i) tamsa_bus_store32(address() + 4 * i, words[i]);
    }
};

// A bitmap the server handed over: its wire record read back, then freed the way the sender
// frees it, pixels first.
struct handed_over {
    explicit handed_over(uint32_t record) : record(record) {
        if (record == 0) return;
        data = tamsa_bus_load32(record);
        width = int32_t(tamsa_bus_load32(record + 4));
        height = int32_t(tamsa_bus_load32(record + 8));
        depth = int32_t(tamsa_bus_load32(record + 12));
    }
    ~handed_over() {
        if (record == 0) return;
        PPCFreeVec(tamsa_bus_pointer(data));
        PPCFreeVec(tamsa_bus_pointer(record));
    }
    std::vector<uint8_t> pixels() const {
        const auto *p = static_cast<const uint8_t *>(tamsa_bus_pointer(data));
        return std::vector<uint8_t>(p, p + int64_t(width) * height * depth);
    }
    uint32_t record, data = 0;
    int32_t width = 0, height = 0, depth = 0;
};

std::vector<uint8_t> bytes_of(const kv_bitmap *b) {
    return std::vector<uint8_t>(b->data,
                                b->data + int64_t(b->width) * b->height * b->bytesperpixel);
}

class VideoOps : public LeakCheck {};

// ---- id 2 ----

TEST_F(VideoOps, YuvToRgbConvertsInPlaceOfTheSender) {
    ServerHarness server(test_port());
    // 10 pixels in groups of 4 convert 12.
    Block y(12), v(3), u(3), rgb(36), expected(36);
    y.randomise(1), v.randomise(2), u.randomise(3);
    fx_yuvtorgb_ll(y.data(), v.data(), u.data(), expected.data(), 10, 4);
    const uint32_t block =
        server.block({y.address(), v.address(), u.address(), rgb.address(), 10, 4});
    EXPECT_EQ(server.send(2, block), TAMSA_SEND_REPLIED);
    EXPECT_EQ(rgb.bytes(), expected.bytes());
    EXPECT_EQ(ServerHarness::word0(block), 0u) << "no result of its own: the value as it was";
}

// Every range is checked before anything runs: one byte short anywhere writes nothing.
TEST_F(VideoOps, YuvToRgbWithAnyBufferTooShortRunsNothing) {
    ServerHarness server(test_port());
    Block y(12), v(3), u(3), rgb(36, 0x5a), short_y(11), short_chroma(2), short_rgb(35, 0x5a);
    const uint32_t full[4] = {y.address(), v.address(), u.address(), rgb.address()};
    const uint32_t shorter[4] = {short_y.address(), short_chroma.address(), short_chroma.address(),
                                 short_rgb.address()};
    for (int which = 0; which < 4; ++which) {
        uint32_t a[4] = {full[0], full[1], full[2], full[3]};
        a[which] = shorter[which];
        EXPECT_EQ(server.send(2, server.block({a[0], a[1], a[2], a[3], 10, 4})),
                  TAMSA_SEND_REPLIED);
        EXPECT_EQ(rgb.bytes(), std::vector<uint8_t>(36, 0x5a)) << "short buffer " << which;
        EXPECT_EQ(short_rgb.bytes(), std::vector<uint8_t>(35, 0x5a)) << "short buffer " << which;
    }
    // A group of 0 converts nothing; an output beyond 31 bits is refused.
    for (auto [count, group] : {std::pair{10u, 0u}, std::pair{UINT32_MAX, 4u}}) {
        EXPECT_EQ(server.send(2, server.block({full[0], full[1], full[2], full[3], count, group})),
                  TAMSA_SEND_REPLIED);
        EXPECT_EQ(rgb.bytes(), std::vector<uint8_t>(36, 0x5a));
    }
}

// ---- id 10 ----

TEST_F(VideoOps, YuvScaleHandsBackABitmapAndId2RepeatsItsAddress) {
    ServerHarness server(test_port());
    Block y(8 * 6), v(12), u(12);
    y.randomise(4), v.randomise(5), u.randomise(6);
    kv_bitmap *direct = fx_yuvscale_ll(y.data(), v.data(), u.data(), 8, 6, 5, 9);
    ASSERT_NE(direct, nullptr);

    const uint32_t block = server.block({y.address(), v.address(), u.address(), 8, 6, 5, 9});
    ASSERT_EQ(server.send(10, block), TAMSA_SEND_REPLIED);
    const uint32_t p = ServerHarness::word0(block);
    const handed_over result(p);
    ASSERT_NE(p, 0u);
    EXPECT_EQ(result.width, 5);
    EXPECT_EQ(result.height, 9);
    EXPECT_EQ(result.depth, 3);
    EXPECT_EQ(result.pixels(), bytes_of(direct));
    kv_freebitmap(direct);

    // Id 2 has no result of its own: word 0 gets the value the last message left, P.
    Block rgb(12);
    const uint32_t second =
        server.block({y.address(), v.address(), u.address(), rgb.address(), 4, 4});
    ASSERT_EQ(server.send(2, second), TAMSA_SEND_REPLIED);
    EXPECT_EQ(ServerHarness::word0(second), p);
}

TEST_F(VideoOps, YuvScaleRefusesPlanesTooShortAndBadSizes) {
    ServerHarness server(test_port());
    // Rows of 10: the last chroma byte read is 2 * 10 / 4 + 9 / 4 = 7.
    Block y(30), chroma(8), short_y(29), short_chroma(7);
    const auto before = snapshot();
    const std::vector<std::vector<uint32_t>> refused = {
        {short_y.address(), chroma.address(), chroma.address(), 10, 3, 4, 4},
        {y.address(), short_chroma.address(), chroma.address(), 10, 3, 4, 4},
        {y.address(), chroma.address(), short_chroma.address(), 10, 3, 4, 4},
        {y.address(), chroma.address(), chroma.address(), uint32_t(-10), 3, 4, 4},
        {y.address(), chroma.address(), chroma.address(), 10, 3, 4, uint32_t(-4)},
        {y.address(), chroma.address(), chroma.address(), 0, 3, 4, 4},
        {y.address(), chroma.address(), chroma.address(), 10, 3, 40000, 40000},
    };
    for (const auto &w : refused) {
        const uint32_t block = server.block({w[0], w[1], w[2], w[3], w[4], w[5], w[6]});
        ASSERT_EQ(server.send(10, block), TAMSA_SEND_REPLIED);
        EXPECT_EQ(ServerHarness::word0(block), 0u);
    }
    EXPECT_EQ(snapshot().blocks, before.blocks + 7) << "only the blocks of the messages";

    // An empty result reads no plane.
    const uint32_t block = server.block({0, 0, 0, 10, 3, 0, 4});
    ASSERT_EQ(server.send(10, block), TAMSA_SEND_REPLIED);
    const handed_over empty(ServerHarness::word0(block));
    EXPECT_NE(empty.record, 0u);
    EXPECT_EQ(empty.width, 0);
    EXPECT_EQ(empty.height, 4);
}

// ---- id 3 ----

TEST_F(VideoOps, ScaleHandsBackABitmap) {
    ServerHarness server(test_port());
    Block pixels(7 * 5);
    pixels.randomise(8);
    const WireRecord source(pixels.address(), 7, 5, 1);
    kv_bitmap native{pixels.data(), 7, 5, 1};
    kv_bitmap *direct = tamsa_scale_ll(&native, 3, 11);
    ASSERT_NE(direct, nullptr);

    const uint32_t block = server.block({source.address(), 3, 11});
    ASSERT_EQ(server.send(3, block), TAMSA_SEND_REPLIED);
    const handed_over result(ServerHarness::word0(block));
    ASSERT_NE(result.record, 0u);
    EXPECT_EQ(result.width, 3);
    EXPECT_EQ(result.height, 11);
    EXPECT_EQ(result.depth, 1);
    EXPECT_EQ(result.pixels(), bytes_of(direct));
    kv_freebitmap(direct);
}

TEST_F(VideoOps, ScaleRefusesRecordsOutsideTheBus) {
    ServerHarness server(test_port());
    Block pixels(20);
    // 5 x 5 one-byte pixels need 25 bytes; the record itself cut short; a record at address 0.
    const WireRecord too_few(pixels.address(), 5, 5, 1), negative(pixels.address(), -5, 5, 1);
    Block cut(12);
    for (uint32_t record : {too_few.address(), negative.address(), cut.address(), 0u}) {
        const uint32_t block = server.block({record, 4, 4});
        ASSERT_EQ(server.send(3, block), TAMSA_SEND_REPLIED);
        EXPECT_EQ(ServerHarness::word0(block), 0u);
    }
}

// Every allocation of ids 3 and 10, failed in turn through the port: the answer is 0 and
// nothing stays allocated.
TEST_F(VideoOps, FailedAllocationsAnswerZeroAndLeaveNothing) {
    ServerHarness server(test_port());
    Block y(64), chroma(16), pixels(64);
    y.randomise(9), chroma.randomise(10), pixels.randomise(11);
    const WireRecord frame(pixels.address(), 8, 8, 1);
    const uint32_t scale = server.block({frame.address(), 5, 7});
    const uint32_t yuvscale =
        server.block({y.address(), chroma.address(), chroma.address(), 8, 8, 5, 7});
    for (auto [id, block] : {std::pair{3, scale}, std::pair{10, yuvscale}}) {
        SCOPED_TRACE("id " + std::to_string(id));
        const uint32_t allocations = tamsa_test::sweep_alloc_failures([&] {
            if (server.send(id, block) != TAMSA_SEND_REPLIED) return false;
            const handed_over result(ServerHarness::word0(block));
            return result.record != 0;
        });
        EXPECT_EQ(allocations, id == 3 ? 3u : 4u);
    }
}

// ---- id 5 ----

TEST_F(VideoOps, CorrectDecodesBrightnessAndTheInvertFlag) {
    ServerHarness server(test_port());
    Block pixels(256);
    const WireRecord frame(pixels.address(), 16, 16, 1);
    struct decoding {
        uint32_t brightness_word, invert_word;
        int32_t brightness;
        int16_t invert;
    };
    // Brightness arrives plus 256; the flag is the low 16 bits, taken as signed.
    for (const decoding d :
         {decoding{256, 0, 0, 0}, decoding{276, 0, 20, 0}, decoding{0, 0, -256, 0},
          decoding{256, 0x10000, 0, 0}, decoding{256, 0x1ffff, 0, -1}, decoding{200, 1, -56, 1}}) {
        std::iota(pixels.data(), pixels.data() + 256, 0);
        const uint32_t block =
            server.block({frame.address(), 100, d.brightness_word, d.invert_word});
        ASSERT_EQ(server.send(5, block), TAMSA_SEND_REPLIED);
        std::vector<uint8_t> expected(256);
        std::iota(expected.begin(), expected.end(), 0);
        kv_bitmap native{expected.data(), 16, 16, 1};
        tamsa_correct_ll(&native, 100, d.brightness, d.invert);
        EXPECT_EQ(pixels.bytes(), expected) << d.brightness_word << " " << d.invert_word;
    }
}

TEST_F(VideoOps, CorrectAndDeinterlaceRefuseFramesLargerThanTheirBuffers) {
    ServerHarness server(test_port());
    Block pixels(4 * 4 * 3 - 1, 9);
    const WireRecord rgb(pixels.address(), 4, 4, 3);
    for (int32_t id : {5, 8}) {
        ASSERT_EQ(server.send(id, server.block({rgb.address(), 100, 256, 1})), TAMSA_SEND_REPLIED);
        EXPECT_EQ(pixels.bytes(), std::vector<uint8_t>(47, 9)) << "id " << id;
    }
}

// ---- ids 7 and 8 ----

TEST_F(VideoOps, FadeBlendsTheProductOfTheFactors) {
    ServerHarness server(test_port());
    Block first(30, 0), second(30, 255), target(30, 7), short_target(29, 7);
    ASSERT_EQ(server.send(7, server.block({first.address(), second.address(), target.address(), 128,
                                           2, 3, 5})),
              TAMSA_SEND_REPLIED);
    EXPECT_EQ(target.bytes(), std::vector<uint8_t>(30, 128));
    ASSERT_EQ(server.send(7, server.block({first.address(), second.address(),
                                           short_target.address(), 128, 2, 3, 5})),
              TAMSA_SEND_REPLIED);
    EXPECT_EQ(short_target.bytes(), std::vector<uint8_t>(29, 7)) << "a range one byte short";
    // A product beyond 32 bits blends nothing (2^32 + 30 would wrap to 30).
    ASSERT_EQ(server.send(7, server.block({first.address(), second.address(), target.address(), 0,
                                           65536, 65536, 1})),
              TAMSA_SEND_REPLIED);
    EXPECT_EQ(target.bytes(), std::vector<uint8_t>(30, 128));
}

TEST_F(VideoOps, DeinterlaceDoublesEvenRowsAtTheRecordsDepth) {
    ServerHarness server(test_port());
    for (int32_t depth : {3, 1}) {
        Block pixels(uint32_t(5 * 3 * depth));
        pixels.randomise(uint64_t(depth));
        const std::vector<uint8_t> before = pixels.bytes();
        const WireRecord frame(pixels.address(), 5, 3, depth);
        ASSERT_EQ(server.send(8, server.block({frame.address()})), TAMSA_SEND_REPLIED);
        const auto row = size_t(5 * depth);
        std::vector<uint8_t> expected = before;
        std::copy(before.begin(), before.begin() + long(row), expected.begin() + long(row));
        EXPECT_EQ(pixels.bytes(), expected) << "depth " << depth;
    }
}

}  // namespace
