#include <cstdio>
#include <cstring>

#include "platform/bus.h"
#include "platform/heap.h"
#include "platform/ports.h"
#include "server/wire.h"
#include "server_harness.h"
#include "support.h"

namespace {

namespace platform = tamsa::platform;
using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::ServerHarness;

std::string test_port() {
    return std::string("test-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class Server : public LeakCheck {};

TEST_F(Server, StopIdsAnswer123ThenDeleteThePort) {
    for (int32_t stop : {0, 1}) {
        ServerHarness server(test_port());
        const uint32_t block = server.block_for(0);
        EXPECT_EQ(server.send(stop, block), TAMSA_SEND_REPLIED);
        EXPECT_EQ(ServerHarness::word0(block), 123u);
        server.join();  // the server ends by itself
        EXPECT_EQ(server.served(), 1);
        EXPECT_FALSE(server.running()) << "the port is deleted after a stop";
        EXPECT_EQ(server.send(11, server.block_for(0)), TAMSA_SEND_NOT_SERVED);
    }
}

TEST_F(Server, UnknownIdsRunNothingAndCarryTheResultValue) {
    ServerHarness server(test_port());
    for (int32_t id : {11, -1, 12345, INT32_MIN, INT32_MAX}) {
        const uint32_t block = server.block_for(7);
        for (uint32_t n = 1; n <= 7; ++n) tamsa_bus_store32(block + 4 * n, 0x01010101u * n);
        EXPECT_EQ(server.send(id, block), TAMSA_SEND_REPLIED) << "id " << id;
        EXPECT_EQ(ServerHarness::word0(block), 0u) << "the result value starts at 0";
        for (uint32_t n = 1; n <= 7; ++n) {
            EXPECT_EQ(tamsa_bus_load32(block + 4 * n), 0x01010101u * n)
                << "argument words are read only";
        }
    }
}

TEST_F(Server, WakeUpsWithAnEmptyQueueSendNothing) {
    ServerHarness server(test_port());
    for (int i = 0; i < 20; ++i) tamsa_port_wake(server.ref());
    const uint32_t block = server.block_for(0);
    EXPECT_EQ(server.send(-1, block), TAMSA_SEND_REPLIED);
    EXPECT_EQ(ServerHarness::word0(block), 0u);
    EXPECT_TRUE(server.running());
}

TEST_F(Server, BlocksOutsideTheBusAreRepliedAndServingGoesOn) {
    ServerHarness server(test_port());
    const uint32_t size_end = uint32_t(tamsa_bus_size() - 2);
    for (uint32_t bad : {0u, 1u, size_end, 0xfffffff0u}) {
        EXPECT_EQ(server.send(11, bad), TAMSA_SEND_REPLIED) << "block " << bad;
        EXPECT_EQ(server.send(2, bad), TAMSA_SEND_REPLIED) << "block " << bad;
    }
    // A freed block is no longer the sender's memory: nothing is written there either.
    void *gone = PPCAllocVec(32, 0);
    const uint32_t gone_address = tamsa_bus_address(gone);
    PPCFreeVec(gone);
    EXPECT_EQ(server.send(11, gone_address), TAMSA_SEND_REPLIED);

    const uint32_t good = server.block_for(0);
    EXPECT_EQ(server.send(11, good), TAMSA_SEND_REPLIED);
    EXPECT_EQ(ServerHarness::word0(good), 0u);
}

TEST_F(Server, ABlockTooShortForWordZeroIsNotWritten) {
    ServerHarness server(test_port());
    auto *short_block = static_cast<uint8_t *>(PPCAllocVec(3, 0));
    ASSERT_NE(short_block, nullptr);
    std::memset(short_block, 0x77, 3);
    EXPECT_EQ(server.send(11, tamsa_bus_address(short_block)), TAMSA_SEND_REPLIED);
    EXPECT_EQ(short_block[0], 0x77);
    EXPECT_EQ(short_block[2], 0x77);
    // Straddling the end of a block by one byte.
    auto *block = static_cast<uint8_t *>(PPCAllocVec(8, 0));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x77, 8);
    EXPECT_EQ(server.send(-5, tamsa_bus_address(block) + 5), TAMSA_SEND_REPLIED);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 8), std::vector<uint8_t>(8, 0x77));
    EXPECT_EQ(server.send(-5, tamsa_bus_address(block) + 4), TAMSA_SEND_REPLIED);
    EXPECT_EQ(tamsa_bus_load32(tamsa_bus_address(block) + 4), 0u);
    PPCFreeVec(short_block);
    PPCFreeVec(block);
}

TEST_F(Server, StopWithABadBlockStillStops) {
    ServerHarness server(test_port());
    EXPECT_EQ(server.send(1, 0), TAMSA_SEND_REPLIED);
    server.join();
    EXPECT_FALSE(server.running());
}

TEST_F(Server, RefusedPortDeletionIsRetried) {
    ServerHarness server(test_port());
    tamsa_port_refuse_deletes(5);
    const uint32_t block = server.block_for(0);
    EXPECT_EQ(server.send(0, block), TAMSA_SEND_REPLIED);
    server.join();
    EXPECT_EQ(server.served(), 1);
    EXPECT_FALSE(server.running());
}

TEST_F(Server, MessagesQueuedAfterAStopAreReturnedUnserved) {
    const std::string name = test_port();
    std::vector<uint32_t> blocks;
    std::vector<void *> memory;
    for (int i = 0; i < 4; ++i) {
        memory.push_back(PPCAllocVec(4, 0));
        blocks.push_back(tamsa_bus_address(memory.back()));
        tamsa_bus_store32(blocks.back(), ServerHarness::kSentinel);
    }
    // Queued before the server takes its first message: the stop, then three more.
    std::vector<platform::message_handle> sent;
    std::thread server([&] {
        tamsa::server::serve(name.c_str(), [&](bool up) {
            ASSERT_TRUE(up);
            tamsa_port_ref *ref = tamsa_port_find(name.c_str());
            for (int i = 0; i < 4; ++i) {
                sent.push_back(platform::post_message(ref, i == 0 ? 0 : 11, blocks[size_t(i)],
                                                      platform::kThisProcess, {}));
            }
            tamsa_port_release(ref);
        });
    });
    server.join();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(platform::message_status(sent[0]), TAMSA_SEND_REPLIED);
    EXPECT_EQ(ServerHarness::word0(blocks[0]), 123u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(platform::message_status(sent[i]), TAMSA_SEND_NOT_SERVED) << i;
        EXPECT_EQ(ServerHarness::word0(blocks[i]), ServerHarness::kSentinel) << i;
    }
    for (void *p : memory) PPCFreeVec(p);
}

// ---- senders in other processes ----

constexpr uint32_t kMe = 5, kOther = 6;

// A block of one sender, filled with one byte; freed with the test.
class Owned {
   public:
    Owned(uint32_t size, uint32_t owner, uint8_t fill = 0)
        : p_(static_cast<uint8_t *>(platform::allocate(size, TAMSA_MEMF_ANY, owner))), size_(size) {
        if (p_ != nullptr) std::memset(p_, fill, size);
    }
    ~Owned() { PPCFreeVec(p_); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    uint32_t address() const { return tamsa_bus_address(p_); }
    uint8_t *data() const { return p_; }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(p_, p_ + size_); }
    void words(std::initializer_list<uint32_t> words) const {
        uint32_t at = address();
        for (uint32_t w : words) tamsa_bus_store32((at += 4) - 4, w);
    }

   private:
    uint8_t *p_;
    uint32_t size_;
};

// The operation runs only on blocks of its sender: a range in another sender's block, or in
// a block of the sender's that runs on into another's, makes the message run nothing, as a
// range outside the bus does.
TEST_F(Server, MessagesNamingAnotherSendersBlocksRunNothing) {
    // A 4 x 4 frame of 3-byte pixels, its planes in groups of 4 pixels.
    Owned y(16, kMe, 90), v(4, kMe, 200), u(4, kMe, 60), out(48, kMe, 1), table(256, kMe, 7);
    Owned word(4, kMe), record(16, kMe), record_to_other(16, kMe);
    Owned other_y(16, kOther, 90), other_out(48, kOther, 1), other_word(4, kOther),
        other_record(16, kOther);
    word.words({out.address()});
    other_word.words({out.address()});
    record.words({out.address(), 4, 4, 3});
    record_to_other.words({other_out.address(), 4, 4, 3});
    other_record.words({out.address(), 4, 4, 3});
    const struct {
        const char *what;
        int32_t id;
        std::vector<uint32_t> words;
        const Owned &watched;
        bool changes;
    } rows[] = {
        {"id 2 on its own blocks",
         2,
         {y.address(), v.address(), u.address(), out.address(), 16, 4},
         out,
         true},
        {"id 2 into another's buffer",
         2,
         {y.address(), v.address(), u.address(), other_out.address(), 16, 4},
         other_out,
         false},
        {"id 2 from another's plane",
         2,
         {other_y.address(), v.address(), u.address(), out.address(), 16, 4},
         out,
         false},
        {"id 4 through another's word",
         4,
         {other_word.address(), out.address(), 0, 48},
         out,
         false},
        {"id 5 on its own record", 5, {record.address(), 50, 300, 0}, out, true},
        {"id 5 on pixels of another", 5, {record_to_other.address(), 50, 300, 0}, other_out, false},
        {"id 5 on another's record", 5, {other_record.address(), 50, 300, 0}, out, false},
        {"id 6 on another's buffer",
         6,
         {other_out.address(), table.address(), 48},
         other_out,
         false},
        {"id 7 into another's buffer",
         7,
         {out.address(), out.address(), other_out.address(), 128, 4, 4, 3},
         other_out,
         false},
        {"id 8 on another's record", 8, {other_record.address(), 0}, out, false},
    };
    const platform::owner_usage mine = platform::usage_of(kMe), theirs = platform::usage_of(kOther);
    for (const auto &row : rows) {
        const Owned block(4 * uint32_t(1 + row.words.size()), kMe);
        for (size_t n = 0; n < row.words.size(); ++n) {
            tamsa_bus_store32(block.address() + 4 * uint32_t(n + 1), row.words[n]);
        }
        const std::vector<uint8_t> before = row.watched.bytes();
        uint32_t result = 77;
        tamsa::server::serve_as(kMe, row.id, block.address(), result);
        EXPECT_EQ(row.watched.bytes() != before, row.changes) << row.what;
        EXPECT_EQ(result, 77u) << row.what;
    }
    // A message on another's op_block is not even answered in it.
    const Owned block(32, kOther);
    block.words({ServerHarness::kSentinel, y.address(), v.address(), u.address(), 4, 4, 2, 2});
    uint32_t result = 77;
    const auto served = tamsa::server::serve_as(kMe, 10, block.address(), result);
    EXPECT_EQ(tamsa_bus_load32(block.address()), ServerHarness::kSentinel);
    EXPECT_EQ(result, 0u) << "a rejected id 10 answers 0";
    EXPECT_TRUE(served.answer.left.empty());
    EXPECT_EQ(platform::usage_of(kMe), mine) << "nothing made for the sender";
    EXPECT_EQ(platform::usage_of(kOther).blocks, theirs.blocks + 1) << "the op_block alone";
}

// What an operation makes for a sender in another process is made where that process cannot
// write, then copied to the shared part as the sender's; every failure leaves nothing.
TEST_F(Server, ResultsForAnotherProcessAreHandedOverInTheSharedPart) {
    Owned y(48, kMe), v(12, kMe), u(12, kMe), block(32, kMe);
    tamsa_test::Rng(7).fill(y.data(), 48);
    tamsa_test::Rng(8).fill(v.data(), 12);
    tamsa_test::Rng(9).fill(u.data(), 12);
    block.words({0, y.address(), v.address(), u.address(), 8, 6, 5, 9});
    const BitmapPtr direct(fx_yuvscale_ll(y.data(), v.data(), u.data(), 8, 6, 5, 9));
    ASSERT_NE(direct, nullptr);
    const platform::owner_usage before = platform::usage_of(kMe);

    uint32_t result = 0;
    const auto served = tamsa::server::serve_as(kMe, 10, block.address(), result);
    ASSERT_NE(result, 0u);
    EXPECT_EQ(served.answer.result, result);
    EXPECT_EQ(tamsa_bus_load32(block.address()), result);
    ASSERT_EQ(served.answer.left.size(), 2u);
    // The pixels were made where the sender maps them; their record is made there at the end.
    const platform::block_info data = served.answer.left[0], record = served.answer.left[1];
    EXPECT_EQ(record.address, result);
    EXPECT_EQ(tamsa_bus_load32(result), data.address);
    EXPECT_EQ(tamsa_bus_load32(result + 4), 5u);
    EXPECT_EQ(tamsa_bus_load32(result + 8), 9u);
    EXPECT_EQ(tamsa_bus_load32(result + 12), 3u);
    for (const auto &b : served.answer.left) {
        EXPECT_EQ(b.owner, kMe);
        EXPECT_LE(uint64_t(b.address) + b.size, platform::shared_bytes());
    }
    const auto *pixels = static_cast<const uint8_t *>(tamsa_bus_pointer(data.address));
    EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 5 * 9 * 3), tamsa_test::pixels(*direct));
    EXPECT_EQ(platform::usage_of(kMe).blocks, before.blocks + 2) << "and nothing else";
    EXPECT_TRUE(platform::free_block(data.address, kMe));
    EXPECT_TRUE(platform::free_block(record.address, kMe));

    const uint32_t allocations = tamsa_test::sweep_alloc_failures([&] {
        result = 0;
        const auto again = tamsa::server::serve_as(kMe, 10, block.address(), result);
        for (const auto &b : again.answer.left) platform::free_block(b.address, kMe);
        return result != 0;
    });
    EXPECT_EQ(allocations, 5u) << "two tables and the bitmap, then its record in the shared part";

    // The sender's limit: the operation fails, and says why.
    ASSERT_TRUE(platform::set_owner_limit(kMe, before.bytes + 100));
    const auto limited = tamsa::server::serve_as(kMe, 10, block.address(), result);
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(limited.answer.over_limit);
    EXPECT_EQ(platform::usage_of(kMe), before);
    ASSERT_TRUE(platform::set_owner_limit(kMe, platform::kNoLimit));
}

TEST_F(Server, ATakenPortNameEndsTheServerAtOnce) {
    ServerHarness first(test_port());
    EXPECT_EQ(tamsa::server::serve(first.name().c_str()), 0);
    EXPECT_TRUE(first.running());
}

TEST_F(Server, WireRecordsAreFourBigEndianWords) {
    kv_bitmap *b = kv_allocbitmap(0x0102, 0x0304, 3);
    ASSERT_NE(b, nullptr);
    const uint32_t data = tamsa_bus_address(b->data);
    const uint32_t record = tamsa::server::hand_over(b);
    ASSERT_EQ(record, tamsa_bus_address(b));
    const auto *wire = static_cast<const uint8_t *>(tamsa_bus_pointer(record));
    const uint8_t expected[16] = {uint8_t(data >> 24),
                                  uint8_t(data >> 16),
                                  uint8_t(data >> 8),
                                  uint8_t(data),
                                  0,
                                  0,
                                  0x01,
                                  0x02,
                                  0,
                                  0,
                                  0x03,
                                  0x04,
                                  0,
                                  0,
                                  0,
                                  3};
    EXPECT_EQ(std::memcmp(wire, expected, 16), 0);

    kv_bitmap native{};
    ASSERT_TRUE(tamsa::server::read_record(record, native));
    EXPECT_EQ(tamsa_bus_address(native.data), data);
    EXPECT_EQ(native.width, 0x0102);
    EXPECT_EQ(native.height, 0x0304);
    EXPECT_EQ(native.bytesperpixel, 3);
    EXPECT_TRUE(tamsa::server::pixels_ok(native, 0x0102 * 0x0304 * 3));
    EXPECT_FALSE(tamsa::server::pixels_ok(native, 0x0102 * 0x0304 * 3 + 1));

    EXPECT_FALSE(tamsa::server::read_record(0, native));
    EXPECT_FALSE(tamsa::server::read_record(record + sizeof(kv_bitmap) - 15, native))
        << "runs past the record's block";
    EXPECT_EQ(tamsa::server::hand_over(nullptr), 0u);
    // The handed-over record is freed the way the other side frees it: pixels, then record.
    PPCFreeVec(tamsa_bus_pointer(data));
    PPCFreeVec(tamsa_bus_pointer(record));
}

TEST_F(Server, StartUpWithoutGraphicsLibraryTellsWhyAndDoesNotServe) {
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 38);
    std::vector<std::string> lines;
    const std::string port = test_port();
    EXPECT_EQ(tamsa::server::task_main(port.c_str(),
                                       [&lines](const char *line) { lines.emplace_back(line); }),
              20);
    EXPECT_EQ(lines, std::vector<std::string>{"Can't open version 39 of graphics.library"});
    EXPECT_EQ(tamsa_port_find(port.c_str()), nullptr) << "no port was created";
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 40);
}

TEST_F(Server, StartUpOpensGraphicsLibraryForTheServer) {
    const std::string port = test_port();
    int32_t status = -1;
    bool told = false;
    std::thread task([&] {
        status = tamsa::server::task_main(port.c_str(), [&told](const char *) { told = true; });
    });
    tamsa_port_ref *ref = nullptr;
    while ((ref = tamsa_port_find(port.c_str())) == nullptr) std::this_thread::yield();
    EXPECT_NE(tamsa_graphics_base(), 0u);
    void *block = PPCAllocVec(4, 0);
    EXPECT_EQ(tamsa_port_send(ref, 0, tamsa_bus_address(block), -1), TAMSA_SEND_REPLIED);
    task.join();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(told) << "nothing to report";
    EXPECT_EQ(tamsa_bus_load32(tamsa_bus_address(block)), 123u);
    PPCFreeVec(block);
    tamsa_port_release(ref);
}

}  // namespace
