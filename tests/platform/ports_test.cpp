#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/ports.h"
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
            const int32_t status = tamsa_port_send(ref.get(), 3, 0, 2);
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
        // Held ten times as long as the sender's timeout: it must still be waiting.
        EXPECT_EQ(sender.wait_for(20ms), std::future_status::timeout)
            << "the sender returned while the server still held its block";
        reply_sent = true;
        PPCReplyMessage(m);
        const auto [status, seen_reply] = sender.get();
        EXPECT_EQ(status, TAMSA_SEND_REPLIED);
        EXPECT_TRUE(seen_reply);
        exercised = true;
    }
    EXPECT_TRUE(exercised);
    PPCDeletePort(port);
}

// A posted message: the sender is told when it is done, and reads the answer and the owner it
// was sent with from the message, not from the bus.
TEST(Ports, PostedMessagesCarryTheirOwnerAndTheirAnswer) {
    namespace platform = tamsa::platform;
    PPCPort *port = create("ports-post");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-post"));
    std::atomic<int> finished{0};
    const platform::message_handle posted = platform::post_message(
        ref.get(), 10, 0x40, 7, [&finished](int32_t status, const platform::message_answer &a) {
            finished += status == TAMSA_SEND_REPLIED && a.result == 0x1234;
        });
    ASSERT_NE(posted, nullptr);
    EXPECT_EQ(platform::message_status(posted), -1);
    PPCMessage *m = PPCGetMessage(port);
    ASSERT_EQ(m, posted.get());
    EXPECT_EQ(platform::message_owner(m), 7u);
    const platform::message_answer answer{0x1234, {{0x80, 16, 7}}, true};
    platform::set_message_answer(m, answer);
    EXPECT_EQ(finished, 0);
    PPCReplyMessage(m);
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(platform::message_status(posted), TAMSA_SEND_REPLIED);
    EXPECT_EQ(platform::answer_of(posted).result, 0x1234u);
    EXPECT_EQ(platform::answer_of(posted).left, answer.left);
    EXPECT_TRUE(platform::answer_of(posted).over_limit);

    // The waiting sender gets the same, and a sender here is this process.
    std::thread server([port] {
        PPCMessage *taken = nullptr;
        while ((taken = PPCGetMessage(port)) == nullptr) PPCWaitPort(port);
        platform::set_message_answer(taken, {platform::message_owner(taken) + 1, {}, false});
        PPCReplyMessage(taken);
        while ((taken = PPCGetMessage(port)) == nullptr) PPCWaitPort(port);
        platform::set_message_answer(taken, {platform::message_owner(taken) + 1, {}, false});
        PPCReplyMessage(taken);
    });
    platform::message_answer got;
    EXPECT_EQ(platform::send_message(ref.get(), 2, 0, 9, -1, &got), TAMSA_SEND_REPLIED);
    EXPECT_EQ(got.result, 10u);
    EXPECT_EQ(platform::send_message(ref.get(), 2, 0, platform::kThisProcess, -1, &got),
              TAMSA_SEND_REPLIED);
    EXPECT_EQ(got.result, platform::kThisProcess + 1);
    server.join();
    PPCDeletePort(port);
}

TEST(Ports, OnlyAQueuedMessageCanBeWithdrawn) {
    namespace platform = tamsa::platform;
    PPCPort *port = create("ports-withdraw");
    ASSERT_NE(port, nullptr);
    PortRef ref(tamsa_port_find("ports-withdraw"));
    std::atomic<int> finished{0};
    const auto count = [&finished](int32_t, const platform::message_answer &) { ++finished; };
    const platform::message_handle taken = platform::post_message(ref.get(), 1, 0, 3, count);
    const platform::message_handle queued = platform::post_message(ref.get(), 2, 0, 3, count);
    ASSERT_NE(taken, nullptr);
    ASSERT_NE(queued, nullptr);
    PPCMessage *m = PPCGetMessage(port);
    ASSERT_EQ(m, taken.get());
    EXPECT_FALSE(platform::withdraw_message(taken)) << "the server holds it";
    EXPECT_TRUE(platform::withdraw_message(queued));
    EXPECT_FALSE(platform::withdraw_message(queued)) << "once";
    EXPECT_EQ(platform::message_status(queued), TAMSA_SEND_NOT_SERVED);
    EXPECT_EQ(PPCGetMessage(port), nullptr) << "a withdrawn message is never served";
    PPCReplyMessage(m);
    EXPECT_EQ(platform::message_status(taken), TAMSA_SEND_REPLIED);
    EXPECT_FALSE(platform::withdraw_message(taken));

    // Deleting the port returns what is queued, and tells its senders.
    const platform::message_handle left = platform::post_message(ref.get(), 3, 0, 3, count);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(PPCDeletePort(port), 1);
    EXPECT_EQ(platform::message_status(left), TAMSA_SEND_NOT_SERVED);
    EXPECT_EQ(finished, 2) << "once for the replied one, once for the returned one";
    EXPECT_EQ(platform::post_message(ref.get(), 4, 0, 3, count), nullptr) << "the port is gone";
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
