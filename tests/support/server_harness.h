// An in-process server on its own thread, and a sender talking to it through the bus.
#ifndef TAMSA_TESTS_SERVER_HARNESS_H
#define TAMSA_TESTS_SERVER_HARNESS_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <thread>

#include "platform/ppc.h"
#include "server/server.h"

namespace tamsa_test {

class ServerHarness {
   public:
    explicit ServerHarness(std::string port_name) : name_(std::move(port_name)) {
        thread_ = std::thread([this] { served_ = tamsa::server::serve(name_.c_str()); });
        // The port exists once the server has created it.
        while ((ref_ = tamsa_port_find(name_.c_str())) == nullptr) std::this_thread::yield();
    }
    ~ServerHarness() {
        if (running()) send(0, block_for(0));
        join();
        tamsa_port_release(ref_);
    }
    ServerHarness(const ServerHarness &) = delete;
    ServerHarness &operator=(const ServerHarness &) = delete;

    // Sends a message and waits for the reply; the status of the send.
    int32_t send(int32_t id, uint32_t block) { return tamsa_port_send(ref_, id, block, -1); }

    bool running() const {
        tamsa_port_ref *r = tamsa_port_find(name_.c_str());
        tamsa_port_release(r);
        return r != nullptr;
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int32_t served() const { return served_; }
    tamsa_port_ref *ref() const { return ref_; }
    const std::string &name() const { return name_; }

    // A block of 1 + words big-endian words in the bus, word 0 set to a sentinel; the harness
    // frees it. Returns its bus address.
    uint32_t block_for(uint32_t words) { return make_block(1 + words); }
    uint32_t block(std::initializer_list<uint32_t> args) {
        const uint32_t a = make_block(1 + uint32_t(args.size()));
        uint32_t n = 1;
        for (uint32_t w : args) tamsa_bus_store32(a + 4 * n++, w);
        return a;
    }
    static uint32_t word0(uint32_t block) { return tamsa_bus_load32(block); }

    static constexpr uint32_t kSentinel = 0xdeadbeefu;

   private:
    uint32_t make_block(uint32_t words) {
        void *p = PPCAllocVec(4 * words, TAMSA_MEMF_CLEAR);
        EXPECT_NE(p, nullptr);
        blocks_.emplace_back(p);
        const uint32_t a = tamsa_bus_address(p);
        tamsa_bus_store32(a, kSentinel);
        return a;
    }
    struct block_owner {
        explicit block_owner(void *p) : p(p) {}
        block_owner(block_owner &&o) noexcept : p(o.p) { o.p = nullptr; }
        ~block_owner() { PPCFreeVec(p); }
        void *p;
    };

    std::string name_;
    std::thread thread_;
    tamsa_port_ref *ref_ = nullptr;
    int32_t served_ = -1;
    std::vector<block_owner> blocks_;
};

}  // namespace tamsa_test

#endif
