// Public message ports and messages, and the sender's side of them.
//
// One lock guards every port and message: traffic is one message at a time per server, so a
// finer scheme would buy nothing. A message is shared between its sender and the port; while
// the server holds it, it keeps itself alive, so a sender that gave up cannot pull it away.
#include "platform/ports.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/test_hooks.h"

namespace {

enum class message_state { queued, in_service, replied, not_served };

// A waiter spins this many rounds, about the cost of going to sleep and being woken, before it
// sleeps: a server that answers at once is then met without either side sleeping.
constexpr int kSpinRounds = 2000;

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Spins until ready() holds or the rounds run out; true when it holds.
template <class Ready>
bool spin_until(Ready ready) {
    for (int i = 0; i < kSpinRounds; ++i) {
        if (ready()) return true;
        spin_pause();
    }
    return false;
}

std::mutex &kernel_lock() {
    static std::mutex lock;
    return lock;
}

// The kernel lock is held only for a few instructions at a time, so a taker that finds it held
// spins for it rather than going to sleep at once (which costs more than the wait).
std::unique_lock<std::mutex> take_kernel_lock() {
    std::unique_lock<std::mutex> lock(kernel_lock(), std::defer_lock);
    if (!spin_until([&lock] { return lock.try_lock(); })) lock.lock();
    return lock;
}

}  // namespace

struct PPCMessage {
    int32_t id = 0;
    uint32_t block = 0;
    uint32_t owner = tamsa::platform::kThisProcess;
    // Written under the kernel lock; read without it only by a sender spinning for its reply.
    std::atomic<message_state> state{message_state::queued};
    std::condition_variable done;
    std::shared_ptr<PPCMessage> self;  // set while the server holds the message
    // Written by the server while it holds the message; read by the sender once it is done.
    tamsa::platform::message_answer answer;
    tamsa::platform::message_done finished;  // for a posted message: run once it is done
    PPCPort *port = nullptr;                 // the port whose queue holds it, while it is queued
};

struct PPCPort {
    std::string name;
    std::deque<std::shared_ptr<PPCMessage>> queue;
    std::condition_variable arrived;
    uint32_t wakeups = 0;
    bool deleted = false;
    // Messages plus wake-ups, kept beside them under the lock, so that a waiter can spin on it.
    std::atomic<uint32_t> pending{0};

    void count() { pending.store(uint32_t(queue.size()) + wakeups, std::memory_order_release); }
};

struct tamsa_port_ref {
    std::shared_ptr<PPCPort> port;
};

namespace {

// Public ports by name. Held by pointer so that it outlives static destruction.
std::map<std::string, std::shared_ptr<PPCPort>> &registry() {
    static auto *ports = new std::map<std::string, std::shared_ptr<PPCPort>>;
    return *ports;
}

uint32_t refused_deletes = 0;

// With the kernel lock held; the caller runs what comes back once it has let the lock go.
tamsa::platform::message_done finish(PPCMessage &message, message_state state) {
    message.state = state;
    message.done.notify_all();
    return std::move(message.finished);
}

}  // namespace

extern "C" {

PPCPort *PPCCreatePort(const PPCTag *tags) {
    const char *name = nullptr;
    for (const PPCTag *t = tags; t != nullptr && t->tag != PPCTAG_END; ++t) {
        if (t->tag == PPCPORTTAG_NAME) name = reinterpret_cast<const char *>(t->data);
    }
    if (name == nullptr) return nullptr;
    try {
        std::lock_guard<std::mutex> guard(kernel_lock());
        auto &ports = registry();
        if (ports.count(name) != 0) return nullptr;
        auto port = std::make_shared<PPCPort>();
        port->name = name;
        ports.emplace(name, port);
        return port.get();
    } catch (...) {
        return nullptr;
    }
}

int32_t PPCWaitPort(PPCPort *port) {
    if (port == nullptr) return 0;
    spin_until([port] { return port->pending.load(std::memory_order_acquire) != 0; });
    std::unique_lock<std::mutex> lock = take_kernel_lock();
    port->arrived.wait(lock, [port] { return !port->queue.empty() || port->wakeups != 0; });
    if (port->wakeups != 0) --port->wakeups;
    port->count();
    return 1;
}

PPCMessage *PPCGetMessage(PPCPort *port) {
    if (port == nullptr) return nullptr;
    const std::unique_lock<std::mutex> lock = take_kernel_lock();
    if (port->queue.empty()) return nullptr;
    std::shared_ptr<PPCMessage> message = std::move(port->queue.front());
    port->queue.pop_front();
    port->count();
    message->state = message_state::in_service;
    message->self = message;
    return message.get();
}

uint32_t PPCGetMessageAttr(PPCMessage *message, uint32_t tag) {
    if (message == nullptr) return 0;
    switch (tag) {
        case PPCMSGTAG_MSGID:
            return uint32_t(message->id);
        case PPCMSGTAG_DATA:
            return message->block;
        default:
            return 0;
    }
}

int32_t PPCReplyMessage(PPCMessage *message) {
    if (message == nullptr) return 0;
    std::shared_ptr<PPCMessage> keep;
    tamsa::platform::message_done finished;
    {
        const std::unique_lock<std::mutex> lock = take_kernel_lock();
        if (message->state != message_state::in_service) return 0;
        keep = std::move(message->self);
        message->state = message_state::replied;
        finished = std::move(message->finished);
    }
    // Woken after the lock is let go, so that the sender does not wake only to wait for it.
    keep->done.notify_all();
    if (finished) finished(TAMSA_SEND_REPLIED, keep->answer);
    return 1;
}

int16_t PPCDeletePort(PPCPort *port) {
    if (port == nullptr) return 0;
    std::shared_ptr<PPCPort> keep;
    std::vector<tamsa::platform::message_done> finished;
    {
        std::lock_guard<std::mutex> guard(kernel_lock());
        if (refused_deletes != 0) {
            --refused_deletes;
            return 0;
        }
        auto &ports = registry();
        const auto it = ports.find(port->name);
        if (it != ports.end() && it->second.get() == port) {
            keep = it->second;
            ports.erase(it);
        }
        port->deleted = true;
        for (auto &message : port->queue) {
            tamsa::platform::message_done f = finish(*message, message_state::not_served);
            if (f) {
                try {
                    finished.push_back(std::move(f));
                } catch (...) {
                    // Without room to defer it, it runs here, under the lock.
                    f(TAMSA_SEND_NOT_SERVED, {});
                }
            }
        }
        port->queue.clear();
        port->count();
    }
    for (auto &f : finished) f(TAMSA_SEND_NOT_SERVED, {});
    return 1;
}

void PPCCacheFlushAll(void) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

tamsa_port_ref *tamsa_port_find(const char *name) {
    if (name == nullptr) return nullptr;
    try {
        std::lock_guard<std::mutex> guard(kernel_lock());
        const auto &ports = registry();
        const auto it = ports.find(name);
        if (it == ports.end()) return nullptr;
        return new tamsa_port_ref{it->second};
    } catch (...) {
        return nullptr;
    }
}

void tamsa_port_release(tamsa_port_ref *port) {
    delete port;
}

}  // extern "C"

namespace {

// Queues a message; null when the port has gone or memory ran out. Returns with the lock held.
std::shared_ptr<PPCMessage> queue(PPCPort &port, std::unique_lock<std::mutex> &lock, int32_t id,
                                  uint32_t block, uint32_t owner, bool first,
                                  tamsa::platform::message_done finished) {
    lock = take_kernel_lock();
    if (port.deleted) return nullptr;
    std::shared_ptr<PPCMessage> message;
    try {
        message = std::make_shared<PPCMessage>();
        message->id = id;
        message->block = block;
        message->owner = owner;
        message->finished = std::move(finished);
        message->port = &port;
        if (first) {
            port.queue.push_front(message);
        } else {
            port.queue.push_back(message);
        }
    } catch (...) {
        return nullptr;
    }
    port.count();
    return message;
}

// Takes a queued message off its port's queue.
void unqueue(PPCPort &port, const std::shared_ptr<PPCMessage> &message) {
    for (auto it = port.queue.begin(); it != port.queue.end(); ++it) {
        if (*it == message) {
            port.queue.erase(it);
            break;
        }
    }
    port.count();
}

int32_t send(tamsa_port_ref *ref, int32_t id, uint32_t block, uint32_t owner, int32_t timeout_ms,
             bool first, tamsa::platform::message_answer *answer) {
    if (ref == nullptr || ref->port == nullptr) return TAMSA_SEND_NOT_SERVED;
    PPCPort &port = *ref->port;
    std::unique_lock<std::mutex> lock;
    const std::shared_ptr<PPCMessage> message = queue(port, lock, id, block, owner, first, {});
    if (message == nullptr) return TAMSA_SEND_NOT_SERVED;
    lock.unlock();
    port.arrived.notify_one();
    const auto answered = [&message, answer] {
        if (message->state != message_state::replied) return TAMSA_SEND_NOT_SERVED;
        if (answer != nullptr) *answer = std::move(message->answer);
        return TAMSA_SEND_REPLIED;
    };
    const auto finished = [&message] {
        const message_state state = message->state.load(std::memory_order_acquire);
        return state == message_state::replied || state == message_state::not_served;
    };
    if (spin_until(finished)) {
        // Done, and the server wrote the answer before the state: no lock is needed to read it.
        return answered();
    }
    lock.lock();
    if (timeout_ms < 0) {
        message->done.wait(lock, finished);
    } else if (!message->done.wait_for(lock, std::chrono::milliseconds(timeout_ms), finished)) {
        if (message->state == message_state::queued) {
            unqueue(port, message);
            return TAMSA_SEND_TIMEOUT;
        }
        // Taken: the server is working on the block, so it is not ours to reuse until the reply.
        message->done.wait(lock, finished);
    }
    return answered();
}

}  // namespace

namespace tamsa::platform {

uint32_t message_owner(PPCMessage *message) {
    return message != nullptr ? message->owner : kThisProcess;
}

int32_t message_id(PPCMessage *message) {
    return message != nullptr ? message->id : 0;
}

void set_message_answer(PPCMessage *message, message_answer answer) {
    if (message != nullptr) message->answer = std::move(answer);
}

message_handle post_message(tamsa_port_ref *ref, int32_t id, uint32_t block, uint32_t owner,
                            message_done finished) {
    if (ref == nullptr || ref->port == nullptr) return nullptr;
    PPCPort &port = *ref->port;
    std::unique_lock<std::mutex> lock;
    message_handle message = queue(port, lock, id, block, owner, false, std::move(finished));
    lock.unlock();
    if (message != nullptr) port.arrived.notify_one();
    return message;
}

bool withdraw_message(const message_handle &message) {
    if (message == nullptr) return false;
    const std::unique_lock<std::mutex> lock = take_kernel_lock();
    // A port returns every queued message before it goes, so while the message is queued, its
    // port is alive.
    if (message->state != message_state::queued) return false;
    unqueue(*message->port, message);
    message->state = message_state::not_served;
    message->finished = nullptr;
    return true;
}

int32_t message_status(const message_handle &message) {
    switch (message->state.load(std::memory_order_acquire)) {
        case message_state::replied:
            return TAMSA_SEND_REPLIED;
        case message_state::not_served:
            return TAMSA_SEND_NOT_SERVED;
        default:
            return -1;
    }
}

const message_answer &answer_of(const message_handle &message) {
    return message->answer;
}

int32_t send_message(tamsa_port_ref *port, int32_t id, uint32_t block, uint32_t owner,
                     int32_t timeout_ms, message_answer *answer) {
    return send(port, id, block, owner, timeout_ms, false, answer);
}

}  // namespace tamsa::platform

extern "C" {

int32_t tamsa_port_send(tamsa_port_ref *ref, int32_t id, uint32_t block, int32_t timeout_ms) {
    return send(ref, id, block, tamsa::platform::kThisProcess, timeout_ms, false, nullptr);
}

int32_t tamsa_port_send_first(tamsa_port_ref *ref, int32_t id, uint32_t block, int32_t timeout_ms) {
    return send(ref, id, block, tamsa::platform::kThisProcess, timeout_ms, true, nullptr);
}

void tamsa_port_wake(tamsa_port_ref *ref) {
    if (ref == nullptr || ref->port == nullptr) return;
    std::lock_guard<std::mutex> guard(kernel_lock());
    ++ref->port->wakeups;
    ref->port->count();
    ref->port->arrived.notify_all();
}

void tamsa_port_refuse_deletes(uint32_t n) {
    std::lock_guard<std::mutex> guard(kernel_lock());
    refused_deletes = n;
}

}  // extern "C"
