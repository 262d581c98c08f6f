#include <cstdio>
#include <cstring>

#include "server/wire.h"
#include "server_harness.h"
#include "support.h"

namespace {

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
    ServerHarness server(test_port());
    // Hold the server in a message so that the next ones queue up behind the stop.
    std::vector<std::thread> senders;
    std::vector<int32_t> statuses(4, -1);
    const uint32_t stop_block = server.block_for(0);
    std::vector<uint32_t> blocks;
    for (int i = 0; i < 4; ++i) blocks.push_back(server.block_for(0));
    senders.emplace_back([&] { statuses[0] = server.send(0, stop_block); });
    for (int i = 1; i < 4; ++i) {
        senders.emplace_back([&, i] { statuses[i] = server.send(11, blocks[i]); });
    }
    for (auto &t : senders) t.join();
    server.join();
    // Whatever the order of arrival: every sender got an answer, and none waits for ever.
    EXPECT_EQ(statuses[0], TAMSA_SEND_REPLIED);
    for (int i = 1; i < 4; ++i) {
        EXPECT_TRUE(statuses[i] == TAMSA_SEND_REPLIED || statuses[i] == TAMSA_SEND_NOT_SERVED);
        if (statuses[i] == TAMSA_SEND_NOT_SERVED) {
            EXPECT_EQ(ServerHarness::word0(blocks[i]), ServerHarness::kSentinel);
        }
    }
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

TEST_F(Server, StartUpWithoutGraphicsLibraryWritesWhyAndDoesNotServe) {
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 38);
    char *text = nullptr;
    size_t length = 0;
    FILE *err = open_memstream(&text, &length);
    ASSERT_NE(err, nullptr);
    const std::string port = test_port();
    EXPECT_EQ(tamsa::server::task_main(port.c_str(), err), 20);
    std::fclose(err);
    EXPECT_STREQ(text, "Can't open version 39 of graphics.library\n");
    std::free(text);
    EXPECT_EQ(tamsa_port_find(port.c_str()), nullptr) << "no port was created";
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 40);
}

TEST_F(Server, StartUpOpensGraphicsLibraryForTheServer) {
    const std::string port = test_port();
    int32_t status = -1;
    std::thread task([&] { status = tamsa::server::task_main(port.c_str(), stderr); });
    tamsa_port_ref *ref = nullptr;
    while ((ref = tamsa_port_find(port.c_str())) == nullptr) std::this_thread::yield();
    EXPECT_NE(tamsa_graphics_base(), 0u);
    void *block = PPCAllocVec(4, 0);
    EXPECT_EQ(tamsa_port_send(ref, 0, tamsa_bus_address(block), -1), TAMSA_SEND_REPLIED);
    task.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tamsa_bus_load32(tamsa_bus_address(block)), 123u);
    PPCFreeVec(block);
    tamsa_port_release(ref);
}

}  // namespace
