// Ids 4, 6 and 9 end to end: a sender fills a block in the bus, the server serves it.
#include <cstring>
#include <vector>

#include "platform/ppc.h"
#include "server/server.h"
#include "server/wire.h"
#include "server_harness.h"
#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::LeakCheck;
using tamsa_test::random_bitmap;
using tamsa_test::ServerHarness;

constexpr int32_t kRemap24 = 4;
constexpr int32_t kRemap8 = 6;
constexpr int32_t kScaleCopy = 9;

std::string test_port() {
    return std::string("gfx-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// A wire record in the bus, as the other side writes one: four big-endian words.
class WireRecord {
   public:
    WireRecord(uint32_t data, int32_t width, int32_t height, int32_t depth)
        : block_(PPCAllocVec(tamsa::server::kWireRecordBytes, TAMSA_MEMF_ANY)) {
        const uint32_t a = address();
        tamsa_bus_store32(a, data);
        tamsa_bus_store32(a + 4, uint32_t(width));
        tamsa_bus_store32(a + 8, uint32_t(height));
        tamsa_bus_store32(a + 12, uint32_t(depth));
    }
    ~WireRecord() { PPCFreeVec(block_); }
    uint32_t address() const { return tamsa_bus_address(block_); }

   private:
    void *block_;
};

// A record the server handed over, read back and freed the way the other side frees it.
struct HandedOver {
    kv_bitmap record{};
    std::vector<uint8_t> pixels;
    explicit HandedOver(uint32_t address) {
        EXPECT_TRUE(tamsa::server::read_record(address, record));
        pixels = tamsa_test::pixels(record);
        PPCFreeVec(record.data);
        PPCFreeVec(tamsa_bus_pointer(address));
    }
};

class GfxOps : public LeakCheck {};

TEST_F(GfxOps, Remap24ReadsTheSourcePointerThroughWordOneAndAnswersZero) {
    ServerHarness server(test_port());
    BitmapPtr rgb(kv_allocrawbitmap(4, 1, 3));
    const uint8_t pixels[12] = {255, 255, 255, 0, 0, 0, 63, 64, 232, 100, 200, 150};
    std::memcpy(rgb->data, pixels, 12);
    WireRecord record(tamsa_bus_address(rgb->data), 4, 1, 3);
    BitmapPtr pens(kv_allocrawbitmap(216, 1, 1));
    for (int i = 0; i < 216; ++i) pens->data[i] = uint8_t(i ^ 0x80);

    BusBuffer out(4, 0xcc);
    uint32_t block = server.block({record.address(), out.address(), 0, 12});
    EXPECT_EQ(server.send(kRemap24, block), TAMSA_SEND_REPLIED);
    EXPECT_EQ(ServerHarness::word0(block), 0u);
    EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{215, 0, 11, 63}));

    block = server.block({record.address(), out.address(), tamsa_bus_address(pens->data), 13});
    EXPECT_EQ(server.send(kRemap24, block), TAMSA_SEND_REPLIED);
    EXPECT_EQ(ServerHarness::word0(block), 0u);
    EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{215 ^ 0x80, 0x80, 11 ^ 0x80, 63 ^ 0x80}));

    // In place: the destination is the source run itself.
    block = server.block({record.address(), tamsa_bus_address(rgb->data), 0, 12});
    EXPECT_EQ(server.send(kRemap24, block), TAMSA_SEND_REPLIED);
    EXPECT_EQ(std::vector<uint8_t>(rgb->data, rgb->data + 4),
              (std::vector<uint8_t>{215, 0, 11, 63}));
}

TEST_F(GfxOps, Remap24WithARangeOutsideItsBlockRunsNothing) {
    ServerHarness server(test_port());
    BitmapPtr rgb = random_bitmap(4, 1, 3, 1);
    BitmapPtr short_pens(kv_allocrawbitmap(215, 1, 1));
    WireRecord record(tamsa_bus_address(rgb->data), 4, 1, 3);
    WireRecord nowhere(0, 4, 1, 3);
    // Exact-size destinations, so that a range one byte too long leaves its block.
    BitmapPtr out(kv_allocrawbitmap(4, 1, 1));
    std::memset(out->data, 0xcc, 4);
    BitmapPtr out3(kv_allocrawbitmap(3, 1, 1));
    std::memset(out3->data, 0xcc, 3);
    BitmapPtr out5(kv_allocrawbitmap(5, 1, 1));
    std::memset(out5->data, 0xcc, 5);
    const uint32_t dest = tamsa_bus_address(out->data);
    auto *pointer_word = static_cast<uint8_t *>(PPCAllocVec(3, TAMSA_MEMF_CLEAR));

    // A bitmap made by id 9 sets the result value, so that a rejected id 4 shows it unchanged.
    WireRecord tiny(tamsa_bus_address(rgb->data), 1, 1, 3);
    const uint32_t set = server.block({tiny.address(), 1, 1});
    ASSERT_EQ(server.send(kScaleCopy, set), TAMSA_SEND_REPLIED);
    const uint32_t made = ServerHarness::word0(set);
    ASSERT_NE(made, 0u);

    const struct {
        const char *what;
        uint32_t word1, destination, table, count;
    } cases[] = {
        {"no pointer word", 0, dest, 0, 12},
        {"pointer word past its block", tamsa_bus_address(pointer_word), dest, 0, 12},
        {"null source", nowhere.address(), dest, 0, 3},
        {"source run past its block", record.address(), tamsa_bus_address(out5->data), 0, 15},
        {"destination past its block", record.address(), tamsa_bus_address(out3->data), 0, 12},
        {"destination starting inside, ending past", record.address(), dest + 1, 0, 12},
        {"null destination", record.address(), 0, 0, 3},
        {"short pen table", record.address(), dest, tamsa_bus_address(short_pens->data), 12},
        {"pen table outside the bus", record.address(), dest, 0xfffffff0u, 12},
    };
    for (const auto &c : cases) {
        const uint32_t block = server.block({c.word1, c.destination, c.table, c.count});
        EXPECT_EQ(server.send(kRemap24, block), TAMSA_SEND_REPLIED) << c.what;
        EXPECT_EQ(ServerHarness::word0(block), made) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(out->data, out->data + 4), std::vector<uint8_t>(4, 0xcc))
            << c.what;
        EXPECT_EQ(std::vector<uint8_t>(out3->data, out3->data + 3), std::vector<uint8_t>(3, 0xcc))
            << c.what;
        EXPECT_EQ(std::vector<uint8_t>(out5->data, out5->data + 5), std::vector<uint8_t>(5, 0xcc))
            << c.what;
    }
    PPCFreeVec(pointer_word);
    HandedOver done(made);
}

TEST_F(GfxOps, Remap8TranslatesTheRunInPlace) {
    ServerHarness server(test_port());
    BitmapPtr run = random_bitmap(37, 1, 1, 6);
    const std::vector<uint8_t> before(run->data, run->data + 37);
    BitmapPtr table(kv_allocrawbitmap(256, 1, 1));
    for (int v = 0; v < 256; ++v) table->data[v] = uint8_t(v * 7 + 1);
    BitmapPtr short_table(kv_allocrawbitmap(255, 1, 1));

    for (auto [count, tab] :
         {std::pair{38u, tamsa_bus_address(table->data)},
          std::pair{36u, tamsa_bus_address(short_table->data)}, std::pair{1u, 0u}}) {
        const uint32_t block = server.block({tamsa_bus_address(run->data), tab, count});
        EXPECT_EQ(server.send(kRemap8, block), TAMSA_SEND_REPLIED);
        EXPECT_EQ(ServerHarness::word0(block), 0u) << "the result value is carried";
        EXPECT_EQ(std::vector<uint8_t>(run->data, run->data + 37), before) << "rejected";
    }

    const uint32_t block =
        server.block({tamsa_bus_address(run->data), tamsa_bus_address(table->data), 36});
    EXPECT_EQ(server.send(kRemap8, block), TAMSA_SEND_REPLIED);
    for (int i = 0; i < 36; ++i) EXPECT_EQ(run->data[i], uint8_t(before[i] * 7 + 1)) << i;
    EXPECT_EQ(run->data[36], before[36]);
}

TEST_F(GfxOps, ScaleCopyHandsOverANewWireRecord) {
    ServerHarness server(test_port());
    for (int32_t depth : {3, 1}) {
        BitmapPtr source = random_bitmap(5, 3, depth, uint64_t(depth));
        const auto before = tamsa_test::pixels(*source);
        WireRecord record(tamsa_bus_address(source->data), 5, 3, depth);
        const uint32_t block = server.block({record.address(), 10, 2});
        ASSERT_EQ(server.send(kScaleCopy, block), TAMSA_SEND_REPLIED);
        const uint32_t made = ServerHarness::word0(block);
        ASSERT_NE(made, 0u);
        HandedOver result(made);
        EXPECT_EQ(result.record.width, 10);
        EXPECT_EQ(result.record.height, 2);
        EXPECT_EQ(result.record.bytesperpixel, depth);
        // Rows 0 and 1, every source column twice.
        std::vector<uint8_t> expected;
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 10; ++x) {
                const uint8_t *p = source->data + (y * 5 + x / 2) * depth;
                expected.insert(expected.end(), p, p + depth);
            }
        }
        EXPECT_EQ(result.pixels, expected);
        EXPECT_EQ(tamsa_test::pixels(*source), before);
    }
}

TEST_F(GfxOps, ScaleCopyThatCannotBeMadeAnswersZero) {
    ServerHarness server(test_port());
    BitmapPtr source = random_bitmap(5, 3, 3, 1);
    const uint32_t data = tamsa_bus_address(source->data);
    WireRecord too_tall(data, 5, 4, 3);
    WireRecord negative(data, 5, -3, 3);
    WireRecord depth2(data, 5, 3, 2);
    WireRecord no_pixels(0, 5, 3, 3);
    WireRecord good(data, 5, 3, 3);
    const struct {
        const char *what;
        uint32_t record, width, height;
    } cases[] = {
        {"record outside the bus", 0xfffffff8u, 2, 2},
        {"pixels past their block", too_tall.address(), 2, 2},
        {"negative height", negative.address(), 2, 2},
        {"depth 2", depth2.address(), 2, 2},
        {"no pixel buffer", no_pixels.address(), 2, 2},
        {"negative new width", good.address(), uint32_t(-2), 2},
        {"new size beyond 31 bits", good.address(), 65536, 65536},
    };
    for (const auto &c : cases) {
        const uint32_t block = server.block({c.record, c.width, c.height});
        EXPECT_EQ(server.send(kScaleCopy, block), TAMSA_SEND_REPLIED) << c.what;
        EXPECT_EQ(ServerHarness::word0(block), 0u) << c.what;
    }
}

}  // namespace
