#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/ppc.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

PPCPort *create(const char *name) {
    const PPCTag tags[] = {{PPCPORTTAG_NAME, reinterpret_cast<uintptr_t>(name)}, {PPCTAG_END, 0}};
    return PPCCreatePort(tags);
}

struct ref_deleter {
    void operator()(tamsa_port_ref *r) const { tamsa_port_release(r); }
};
using PortRef = std::unique_ptr<tamsa_port_ref, ref_deleter>;

TEST(Ports, PublicPortsAreFoundByName) {
    PPCPort *port = create("ports-find");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-find"));
    EXPECT_NE(ref, nullptr);
    EXPECT_EQ(tamsa_port_find("ports-none"), nullptr);
    EXPECT_EQ(create("ports-find"), nullptr) << "a name is taken once";
    EXPECT_EQ(PPCDeletePort(port), 1);
    EXPECT_EQ(tamsa_port_find("ports-find"), nullptr);
    PPCPort *again = create("ports-find");
    EXPECT_NE(again, nullptr) << "the name is free once the port is gone";
    PPCDeletePort(again);
}

TEST(Ports, CreateNeedsANameTag) {
    const PPCTag none[] = {{PPCTAG_END, 0}};
    EXPECT_EQ(PPCCreatePort(none), nullptr);
    EXPECT_EQ(PPCCreatePort(nullptr), nullptr);
    const char *name = "ports-tags";
    const PPCTag other_first[] = {
        {0x80020000u, 7}, {PPCPORTTAG_NAME, reinterpret_cast<uintptr_t>(name)}, {PPCTAG_END, 0}};
    PPCPort *port = PPCCreatePort(other_first);
    EXPECT_NE(port, nullptr);
    PPCDeletePort(port);
}

TEST(Ports, MessageCrossesThreadsAndIsReplied) {
    PPCPort *port = create("ports-cross");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-cross"));
    std::atomic<bool> replied_before_return{false};
    std::thread server([&] {
        PPCWaitPort(port);
        PPCMessage *m = PPCGetMessage(port);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(int32_t(PPCGetMessageAttr(m, PPCMSGTAG_MSGID)), -7);
        EXPECT_EQ(PPCGetMessageAttr(m, PPCMSGTAG_DATA), 0x1234u);
        EXPECT_EQ(PPCGetMessageAttr(m, 0x80025004u), 0u);
        replied_before_return = true;
        EXPECT_EQ(PPCReplyMessage(m), 1);
    });
    EXPECT_EQ(tamsa_port_send(ref.get(), -7, 0x1234u, -1), TAMSA_SEND_REPLIED);
    EXPECT_TRUE(replied_before_return);
    server.join();
    PPCDeletePort(port);
}

TEST(Ports, MessagesAreTakenInOrderOfSending) {
    PPCPort *port = create("ports-order");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-order"));
    std::thread server([&] {
        for (int i = 0; i < 50; ++i) {
            PPCMessage *m = nullptr;
            while ((m = PPCGetMessage(port)) == nullptr) PPCWaitPort(port);
            EXPECT_EQ(int32_t(PPCGetMessageAttr(m, PPCMSGTAG_MSGID)), i);
            PPCReplyMessage(m);
        }
    });
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(tamsa_port_send(ref.get(), i, 0, -1), TAMSA_SEND_REPLIED);
    server.join();
    PPCDeletePort(port);
}

TEST(Ports, WakeUpWithoutAMessageFindsTheQueueEmpty) {
    PPCPort *port = create("ports-wake");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-wake"));
    EXPECT_EQ(PPCGetMessage(port), nullptr);
    tamsa_port_wake(ref.get());
    EXPECT_EQ(PPCWaitPort(port), 1);  // returns at once
    EXPECT_EQ(PPCGetMessage(port), nullptr);
    PPCDeletePort(port);
}

TEST(Ports, UntakenMessageTimesOutAndIsWithdrawn) {
    PPCPort *port = create("ports-timeout");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-timeout"));
    EXPECT_EQ(tamsa_port_send(ref.get(), 1, 0, 20), TAMSA_SEND_TIMEOUT);
    EXPECT_EQ(PPCGetMessage(port), nullptr) << "a timed-out message must not be served later";
    PPCDeletePort(port);
}

TEST(Ports, TakenMessageIsWaitedForPastTheTimeout) {
    PPCPort *port = create("ports-inservice");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-inservice"));
    // The sender's timeout may expire before the message is taken; try until the server wins
    // the race once, then the sender must wait for the reply.
    bool exercised = false;
    for (int attempt = 0; attempt < 50 && !exercised; ++attempt) {
        std::atomic<bool> reply_sent{false};
        auto sender = std::async(std::launch::async, [&] {
            const int32_t status = tamsa_port_send(ref.get(), 3, 0, 30);
            return std::make_pair(status, reply_sent.load());
        });
        PPCMessage *m = nullptr;
        while (m == nullptr && sender.wait_for(0ms) != std::future_status::ready) {
            m = PPCGetMessage(port);
        }
        if (m == nullptr) {
            EXPECT_EQ(sender.get().first, TAMSA_SEND_TIMEOUT);
            continue;
        }
        std::this_thread::sleep_for(80ms);
        reply_sent = true;
        PPCReplyMessage(m);
        const auto [status, seen_reply] = sender.get();
        EXPECT_EQ(status, TAMSA_SEND_REPLIED);
        EXPECT_TRUE(seen_reply) << "the sender returned while the server still held its block";
        exercised = true;
    }
    EXPECT_TRUE(exercised);
    PPCDeletePort(port);
}

TEST(Ports, DeletingAPortReturnsQueuedMessagesUnserved) {
    PPCPort *port = create("ports-delete");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-delete"));
    auto sender =
        std::async(std::launch::async, [&] { return tamsa_port_send(ref.get(), 1, 0, -1); });
    PPCWaitPort(port);  // a message is queued
    EXPECT_EQ(PPCDeletePort(port), 1);
    EXPECT_EQ(sender.get(), TAMSA_SEND_NOT_SERVED);
    EXPECT_EQ(tamsa_port_send(ref.get(), 1, 0, -1), TAMSA_SEND_NOT_SERVED)
        << "sending to a deleted port must not wait";
}

TEST(Ports, DeletionCanBeRefusedAndRetried) {
    PPCPort *port = create("ports-refuse");
    ASSERT_NE(port, nullptr);
    tamsa_port_refuse_deletes(2);
    EXPECT_EQ(PPCDeletePort(port), 0);
    EXPECT_EQ(PPCDeletePort(port), 0);
    EXPECT_NE(PortRef(tamsa_port_find("ports-refuse")), nullptr)
        << "a refused deletion keeps the port";
    EXPECT_EQ(PPCDeletePort(port), 1);
    EXPECT_EQ(tamsa_port_find("ports-refuse"), nullptr);
}

TEST(Ports, NullHandlesAreHarmless) {
    EXPECT_EQ(PPCWaitPort(nullptr), 0);
    EXPECT_EQ(PPCGetMessage(nullptr), nullptr);
    EXPECT_EQ(PPCGetMessageAttr(nullptr, PPCMSGTAG_MSGID), 0u);
    EXPECT_EQ(PPCReplyMessage(nullptr), 0);
    EXPECT_EQ(PPCDeletePort(nullptr), 0);
    EXPECT_EQ(tamsa_port_send(nullptr, 0, 0, -1), TAMSA_SEND_NOT_SERVED);
    tamsa_port_wake(nullptr);
    tamsa_port_release(nullptr);
}

}  // namespace
