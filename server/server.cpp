// The server task: wait at the port, take one message, serve it, reply, wait again.
#include "server/server.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/bus.h"
#include "platform/heap.h"
#include "platform/ppc.h"
#include "server/wire.h"

namespace tamsa::server {
namespace {

// Serves one message with the thread's owner and area set, updating the result value; returns
// true when it was a stop message.
bool serve_message(int32_t id, uint32_t block, uint32_t &result) {
    const op_row *row = find_op(id);
    const uint32_t words = row != nullptr ? row->words : 0;
    // Word 0 alone may be writable when the block is too short for the id's arguments: then
    // nothing runs, but the sender still gets its answer.
    const bool word0_ok = range_ok(block, 4);
    const bool args_ok = range_ok(block, 4 * (1 + uint64_t(words)));

    if (row != nullptr) {
        std::optional<uint32_t> returned;
        if (args_ok) {
            uint32_t args[8] = {};
            for (uint32_t n = 1; n <= words; ++n) args[n] = platform::load_be32(at(block) + 4 * n);
            returned = row->serve(args);
        }
        switch (row->rule) {
            case result_rule::stop:
                result = kStopAnswer;
                break;
            case result_rule::returned:
                result = returned.value_or(0);
                break;
            case result_rule::zero:
                if (returned) result = 0;
                break;
            case result_rule::unchanged:
                break;
        }
    }
    if (word0_ok) platform::store_be32(at(block), result);
    return row != nullptr && row->rule == result_rule::stop;
}

}  // namespace

served serve_as(uint32_t owner, int32_t id, uint32_t block, uint32_t &result) {
    served out;
    platform::owner_scope scope(owner);
    // Another process's operation works in memory that process cannot map; what it hands back
    // is copied out to memory the sender maps, its pool (hand_over).
    platform::area_scope where(owner == platform::kThisProcess ? platform::area::shared
                                                               : platform::area::server_only);
    platform::allocation_log log;
    out.stop = serve_message(id, block, result);
    out.answer.result = result;
    out.answer.over_limit = log.refused_by_limit();
    try {
        out.answer.left = log.live();
    } catch (...) {
        out.answer.left.clear();
    }
    // Nothing in the server's own part outlives the operation, so it is empty between messages.
    std::erase_if(out.answer.left, [](const platform::block_info &b) {
        if (!platform::server_only(b.address)) return false;
        PPCFreeVec(tamsa_bus_pointer(b.address));
        return true;
    });
    return out;
}

int32_t serve(const char *port_name, const started_fn &started) {
    const PPCTag tags[] = {
        {PPCPORTTAG_NAME,
         reinterpret_cast<uintptr_t>(port_name != nullptr ? port_name : kPortName)},
        {PPCTAG_END, 0},
    };
    PPCPort *port = PPCCreatePort(tags);
    if (started) started(port != nullptr);
    if (port == nullptr) return 0;

    // Carried from one message of this process to the next; ids that produce no result leave it
    // as it was.
    uint32_t result = 0;
    bool quit = false;
    while (!quit) {
        PPCWaitPort(port);
        PPCMessage *message = PPCGetMessage(port);
        if (message == nullptr) continue;
        const uint32_t owner = platform::message_owner(message);
        const uint32_t block = PPCGetMessageAttr(message, PPCMSGTAG_DATA);
        // Another process's message starts from what its own block holds, so that no value of
        // another sender reaches it.
        uint32_t theirs = owner != platform::kThisProcess && platform::owns_range(owner, block, 4)
                              ? tamsa_bus_load32(block)
                              : 0;
        served done = serve_as(owner, platform::message_id(message), block,
                               owner == platform::kThisProcess ? result : theirs);
        quit = done.stop;
        // The answer goes back with the message, so that no one need read it from the bus.
        platform::set_message_answer(message, std::move(done.answer));
        // Everything the operation wrote, and word 0, must be visible before the reply.
        PPCCacheFlushAll();
        PPCReplyMessage(message);
    }
    while (PPCDeletePort(port) == 0) {
    }
    return 1;
}

int32_t task_main(const char *port_name, const report_fn &report, const started_fn &started) {
    const uint32_t base = tamsa_open_library(TAMSA_GRAPHICS_NAME, kGraphicsVersionNeeded);
    if (base == 0) {
        if (report) {
            // Formatted into a buffer of its own: nothing to allocate, nothing to throw.
            char line[64];
            std::snprintf(line, sizeof line, "Can't open version %ld of %s",
                          long(kGraphicsVersionNeeded), TAMSA_GRAPHICS_NAME);
            report(line);
        }
        if (started) started(false);
        return 20;
    }
    tamsa_set_graphics_base(base);
    serve(port_name, started);
    tamsa_set_graphics_base(0);
    tamsa_close_library(base);
    return 0;
}

bool start_task(task_thread &t, const char *port_name, report_fn report,
                std::function<void()> ended) {
    std::mutex lock;
    std::condition_variable changed;
    int state = 0;  // 1 up, -1 failed
    try {
        t.port_name = port_name != nullptr ? port_name : kPortName;
        t.thread = std::thread(
            [&t, &lock, &changed, &state, report = std::move(report), ended = std::move(ended)] {
                t.status = task_main(t.port_name.c_str(), report, [&](bool up) {
                    std::lock_guard<std::mutex> guard(lock);
                    state = up ? 1 : -1;
                    changed.notify_all();
                });
                if (ended) ended();
            });
    } catch (...) {
        return false;
    }
    std::unique_lock<std::mutex> wait(lock);
    changed.wait(wait, [&state] { return state != 0; });
    wait.unlock();
    if (state < 0) {
        t.thread.join();
        return false;
    }
    return true;
}

void send_stop(const char *port_name, bool first) {
    tamsa_port_ref *port = tamsa_port_find(port_name);
    if (port == nullptr) return;
    // Without memory for a block, a stop still goes through: the server answers it without
    // writing anywhere.
    void *block = PPCAllocVec(4, TAMSA_MEMF_CLEAR);
    const uint32_t address = tamsa_bus_address(block);
    if (first) {
        tamsa_port_send_first(port, 0, address, -1);
    } else {
        tamsa_port_send(port, 0, address, -1);
    }
    PPCFreeVec(block);
    tamsa_port_release(port);
}

}  // namespace tamsa::server
