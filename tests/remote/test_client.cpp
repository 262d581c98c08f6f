// A client process for the tests of `tamsa serve` and scripts/soak.sh:
// tamsa_test_client MODE PORT [ARGS].
//   convert N SEED  converts N random frames through ids 10, 2 and 5 and checks every byte
//                   against the library run in this process
//   check SEED      does the same for ever, saying "ok", "wrong" or "failed" for each frame
//   random SEED     sends random requests for ever: messages of any id (stops included), on
//                   blocks of its own and on any address, frees of its own blocks and of others,
//                   allocations up to past its limit, and nonsense on connections of their own
//   hold            sends long conversions for ever, saying "served N" after each (the test
//                   kills it mid-message)
//   garbage         sends messages whose addresses lie outside the bus, frees what is not its
//                   own, and talks nonsense on a second connection; checks the answers
//   intrude DATA RECORD BLOCK
//                   another process's addresses (a data block of at least 4 KiB, a bitmap record
//                   of 3 bytes a pixel, an op_block): checks that none is mapped here, then names
//                   them in every message that reads or writes memory, and frees them
//   idle            says "ready" and waits, connected and holding nothing, until killed
//   secret          writes 64 secret bytes into a block, says "secret ADDRESS PID", forks and
//                   ends; the child keeps the connection, says "child PID", and on SIGUSR1 checks
//                   that its bytes are whole and that it is still served, saying "inherited ok"
//   peek ADDRESS    allocates (so holds a pool), says "pid PID sees N" with N the bytes at
//                   another process's ADDRESS it can read, and overwrites what it can
// Exits 0 when every check held, 1 with a line on stderr otherwise.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remote/protocol.h"
#include "tamsa/client.h"
#include "tamsa/tamsa.h"

namespace {

int fail(const std::string &why) {
    std::fprintf(stderr, "test client: %s\n", why.c_str());
    return 1;
}

uint32_t rng_state = 1;
uint32_t next_random() {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 17;
    rng_state ^= rng_state << 5;
    return rng_state;
}

// Frame planes in the server's bus.
struct planes {
    uint32_t y, u, v;
};

planes upload(tamsa_client *c, const std::vector<uint8_t> &y, const std::vector<uint8_t> &u,
              const std::vector<uint8_t> &v) {
    planes p{tamsa_client_alloc(c, uint32_t(y.size()), 0),
             tamsa_client_alloc(c, uint32_t(u.size()), 0),
             tamsa_client_alloc(c, uint32_t(v.size()), 0)};
    if (p.y == 0 || p.u == 0 || p.v == 0) return p;
    std::memcpy(tamsa_client_pointer(c, p.y, uint32_t(y.size())), y.data(), y.size());
    std::memcpy(tamsa_client_pointer(c, p.u, uint32_t(u.size())), u.data(), u.size());
    std::memcpy(tamsa_client_pointer(c, p.v, uint32_t(v.size())), v.data(), v.size());
    return p;
}

enum class outcome { ok, wrong, failed };

// One random frame: converted and resized (id 10), converted in place (id 2) and the resized
// one corrected (id 5), each compared byte for byte with the library here.
outcome check_frame(tamsa_client *c) {
    const int32_t w = int32_t(4 * (1 + next_random() % 40)), h = int32_t(1 + next_random() % 40);
    const int32_t dw = int32_t(1 + next_random() % 90), dh = int32_t(1 + next_random() % 90);
    std::vector<uint8_t> y(size_t(w * h)), u(size_t(w / 4 * h)), v(size_t(w / 4 * h));
    for (auto *plane : {&y, &u, &v}) {
        for (auto &b : *plane) b = uint8_t(next_random());
    }
    const planes p = upload(c, y, u, v);
    const uint32_t n = uint32_t(w * h);
    const uint32_t rgb = tamsa_client_alloc(c, n * 3, TAMSA_MEMF_CLEAR);
    if (p.y == 0 || p.u == 0 || p.v == 0 || rgb == 0) return outcome::failed;
    outcome result = outcome::ok;

    uint32_t record = 0;
    const uint32_t scale_args[7] = {p.y,         p.v,          p.u,         uint32_t(w),
                                    uint32_t(h), uint32_t(dw), uint32_t(dh)};
    kv_bitmap *expected = fx_yuvscale_ll(y.data(), v.data(), u.data(), w, h, dw, dh);
    const uint32_t bytes = uint32_t(dw * dh * 3);
    if (tamsa_client_call(c, TAMSA_OP_YUVSCALE, scale_args, 7, -1, &record) != TAMSA_REPLIED ||
        record == 0) {
        result = outcome::failed;
    } else {
        tamsa_wire_bitmap answer{};
        tamsa_client_read_bitmap(c, record, &answer);
        const auto *got = static_cast<const uint8_t *>(tamsa_client_pointer(c, answer.data, bytes));
        if (expected == nullptr || got == nullptr || answer.width != dw || answer.height != dh ||
            std::memcmp(got, expected->data, bytes) != 0) {
            result = outcome::wrong;
        }
        const int32_t contrast = int32_t(next_random() % 200),
                      brightness = int32_t(next_random() % 100) - 50;
        const uint32_t correct_args[4] = {record, uint32_t(contrast), uint32_t(brightness + 256),
                                          next_random() % 2};
        if (tamsa_client_call(c, TAMSA_OP_CORRECT, correct_args, 4, -1, nullptr) != TAMSA_REPLIED) {
            result = outcome::failed;
        } else if (result == outcome::ok) {
            tamsa_correct_ll(expected, contrast, brightness, int16_t(correct_args[3]));
            if (std::memcmp(got, expected->data, bytes) != 0) result = outcome::wrong;
        }
        tamsa_client_free_bitmap(c, record);
    }
    kv_freebitmap(expected);

    const uint32_t convert_args[6] = {p.y, p.v, p.u, rgb, n, 4};
    if (tamsa_client_call(c, TAMSA_OP_YUVTORGB, convert_args, 6, -1, nullptr) != TAMSA_REPLIED) {
        result = outcome::failed;
    } else {
        std::vector<uint8_t> mine(n * 3);
        fx_yuvtorgb_ll(y.data(), v.data(), u.data(), mine.data(), n, 4);
        if (std::memcmp(tamsa_client_pointer(c, rgb, n * 3), mine.data(), n * 3) != 0 &&
            result == outcome::ok) {
            result = outcome::wrong;
        }
    }
    for (uint32_t a : {p.y, p.u, p.v, rgb}) tamsa_client_free(c, a);
    return result;
}

int convert(tamsa_client *c, int rounds) {
    for (int r = 0; r < rounds; ++r) {
        switch (check_frame(c)) {
            case outcome::ok:
                break;
            case outcome::wrong:
                return fail("a frame came back with other bytes than the library's");
            case outcome::failed:
                return fail("a message was not served");
        }
    }
    std::printf("ok %d\n", rounds);
    return 0;
}

int check(tamsa_client *c) {
    for (;;) {
        const outcome o = check_frame(c);
        std::puts(o == outcome::ok ? "ok" : o == outcome::wrong ? "wrong" : "failed");
        std::fflush(stdout);
    }
}

int raw_connection(const char *port) {
    const std::string path = tamsa::remote::socket_path(port);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (s >= 0 && connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A word for a message: an address in a block of ours, a small number, or anything.
uint32_t random_word(const std::vector<std::pair<uint32_t, uint32_t>> &mine) {
    const uint32_t pick = next_random() % 8;
    if (pick < 4 && !mine.empty()) {
        const auto &[address, size] = mine[next_random() % mine.size()];
        return address + (size == 0 ? 0 : next_random() % size);
    }
    if (pick < 7) return next_random() % 700;
    return next_random();
}

int random_requests(tamsa_client *c, const char *port) {
    std::vector<std::pair<uint32_t, uint32_t>> mine;  // address, size
    for (;;) {
        const uint32_t what = next_random() % 16;
        if (what < 3 || mine.empty()) {
            const uint32_t size =
                next_random() % 32 == 0 ? next_random() % (320u << 20) : next_random() % 2048;
            const uint32_t a =
                tamsa_client_alloc(c, size, next_random() % 2 ? TAMSA_MEMF_CLEAR : 0);
            if (a == 0) continue;
            mine.emplace_back(a, size);
            for (uint32_t at = 0; at + 4 <= std::min(size, 256u); at += 4) {
                tamsa_client_store32(c, a + at, random_word(mine));
            }
        } else if (what < 5) {
            const size_t k = next_random() % mine.size();
            tamsa_client_free(c, mine[k].first);
            mine.erase(mine.begin() + long(k));
            tamsa_client_free(c, random_word(mine));  // may not be ours
        } else if (what < 15) {
            // Any id; the stop ids are refused, as the server is not started to allow them.
            const int32_t id = next_random() % 12 == 0
                                   ? -1 - int32_t(next_random() % 3)
                                   : int32_t(next_random() % (TAMSA_OP_COUNT + 1));
            uint32_t args[7];
            for (uint32_t &a : args) a = random_word(mine);
            if (next_random() % 4 == 0) {
                tamsa_client_send(c, id, random_word(mine), int32_t(next_random() % 3) - 1);
            } else {
                uint32_t word0 = 0;
                tamsa_client_call(c, id, args, 7, -1, &word0);
                // Whatever came back is freed as if it were a bitmap of ours.
                tamsa_client_free_bitmap(c, word0);
            }
        } else {
            const int s = raw_connection(port);
            if (s < 0) continue;
            // Frames of every kind but a message, which might be a stop.
            const uint32_t words[] = {tamsa::remote::kMagic, 0, 1, 2, 3, 5, 99, 4096};
            uint32_t junk[60];
            for (uint32_t &w : junk) w = words[next_random() % 8];
            tamsa::remote::write_full(s, junk, (next_random() % 60) * 4);
            close(s);
        }
        while (mine.size() > 48) {
            tamsa_client_free(c, mine.front().first);
            mine.erase(mine.begin());
        }
    }
}

int hold(tamsa_client *c) {
    constexpr int32_t w = 1024, h = 1024;
    std::vector<uint8_t> y(size_t(w * h), 100), u(size_t(w / 4 * h), 90), v(size_t(w / 4 * h), 200);
    const planes p = upload(c, y, u, v);
    const uint32_t args[7] = {p.y, p.v, p.u, uint32_t(w), uint32_t(h), 3000, 3000};
    std::printf("ready\n");
    std::fflush(stdout);
    for (uint64_t n = 1;; ++n) {
        uint32_t record = 0;
        tamsa_client_call(c, TAMSA_OP_YUVSCALE, args, 7, -1, &record);
        tamsa_client_free_bitmap(c, record);
        std::printf("served %llu\n", static_cast<unsigned long long>(n));
        std::fflush(stdout);
    }
}

int garbage(tamsa_client *c, const char *port) {
    const uint32_t outside = 0xfffffff0u;
    uint32_t word0 = 0;
    // A result value of our own first, so that rejected messages can be seen to leave it.
    const uint32_t stray[7] = {outside, outside, outside, outside, 100, 4, 0};
    if (tamsa_client_call(c, TAMSA_OP_YUVTORGB, stray, 6, -1, &word0) != TAMSA_REPLIED)
        return fail("id 2 with stray planes not replied");
    for (int32_t id : {TAMSA_OP_SCALE, TAMSA_OP_SCALECOPYBITMAP, TAMSA_OP_YUVSCALE}) {
        if (tamsa_client_call(c, id, stray, 7, -1, &word0) != TAMSA_REPLIED || word0 != 0) {
            return fail("id " + std::to_string(id) + " with stray addresses did not answer 0");
        }
    }
    if (tamsa_client_send(c, TAMSA_OP_COUNT, 0, -1) != TAMSA_REPLIED)
        return fail("a null block was not replied");
    if (tamsa_client_send(c, TAMSA_OP_CORRECT, outside, -1) != TAMSA_REPLIED)
        return fail("a block outside the bus was not replied");
    // Freeing what is not ours is refused quietly.
    tamsa_client_free(c, 64);
    tamsa_client_free(c, outside);

    // A connection that speaks nonsense is hung up on, before its hello and after it.
    const std::string path = tamsa::remote::socket_path(port);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    for (bool greet : {false, true}) {
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return fail("cannot connect");
        tamsa::remote::response answer{};
        if (greet) {
            const tamsa::remote::request hello{
                tamsa::remote::kMagic, 1, tamsa::remote::kVersion, 0, 0, 0};
            if (!tamsa::remote::write_full(s, &hello, sizeof hello) ||
                !tamsa::remote::read_full(s, &answer, sizeof answer) || answer.status != 0) {
                return fail("a hello was not answered");
            }
        }
        const tamsa::remote::request odd{tamsa::remote::kMagic, 99, 0, 0, 0, 0};
        const char junk[64] = "GET / HTTP/1.0\r\n\r\n";
        const bool sent = greet ? tamsa::remote::write_full(s, &odd, sizeof odd)
                                : tamsa::remote::write_full(s, junk, sizeof junk);
        if (!sent) return fail("cannot write nonsense");
        if (tamsa::remote::read_full(s, &answer, sizeof answer))
            return fail("nonsense was answered");
        close(s);
    }

    // And the first connection still works.
    if (tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, -1, &word0) != TAMSA_REPLIED)
        return fail("served no more");
    std::printf("ok garbage\n");
    return 0;
}

int intrude(tamsa_client *c, uint32_t data, uint32_t record, uint32_t block) {
    for (const uint32_t theirs : {data, record, block}) {
        if (tamsa_client_pointer(c, theirs, 1) != nullptr)
            return fail("another process's address is mapped here");
        tamsa_client_store32(c, theirs, 0xdeadbeef);
    }
    // Its own memory, for the arguments that are not the victim's.
    const uint32_t own = tamsa_client_alloc(c, 4096, TAMSA_MEMF_CLEAR);
    if (own == 0) return fail("no block of its own");
    struct attempt {
        int32_t id;
        std::vector<uint32_t> args;
    };
    const std::vector<attempt> attempts = {
        {TAMSA_OP_YUVTORGB, {data, data, data, data, 64, 4}},
        {TAMSA_OP_YUVTORGB, {own, own, own, data, 64, 4}},
        {TAMSA_OP_SCALE, {record, 8, 8}},
        {TAMSA_OP_REMAP24, {record, data, 0, 48}},
        {TAMSA_OP_REMAP24, {own, data, 0, 48}},
        {TAMSA_OP_CORRECT, {record, 50, 256 + 60, 1}},
        {TAMSA_OP_REMAP8, {data, own, 256}},
        {TAMSA_OP_FADEOVER, {own, own, data, 128, 4, 4, 4}},
        {TAMSA_OP_FADEOVER, {data, data, own, 128, 4, 4, 4}},
        {TAMSA_OP_DEINTERLACE, {record}},
        {TAMSA_OP_SCALECOPYBITMAP, {record, 8, 8}},
        {TAMSA_OP_YUVSCALE, {data, data + 1024, data + 2048, 16, 16, 8, 8}},
    };
    for (const attempt &a : attempts) {
        uint32_t word0 = 1;
        const int32_t status =
            tamsa_client_call(c, a.id, a.args.data(), uint32_t(a.args.size()), -1, &word0);
        if (status != TAMSA_REPLIED || word0 != 0) {
            return fail("id " + std::to_string(a.id) + " on another's memory answered " +
                        std::to_string(word0) + " with status " + std::to_string(status));
        }
    }
    const auto *own_bytes = static_cast<const uint8_t *>(tamsa_client_pointer(c, own, 4096));
    if (own_bytes == nullptr ||
        std::any_of(own_bytes, own_bytes + 4096, [](uint8_t b) { return b; }))
        return fail("another's bytes reached this process's block");
    // The victim's op_block as the block of every id.
    for (int32_t id = 2; id < TAMSA_OP_COUNT; ++id) {
        uint32_t word0 = 1;
        if (tamsa_client_send_result(c, id, block, -1, &word0) != TAMSA_REPLIED || word0 != 0)
            return fail("id " + std::to_string(id) + " on another's op_block was run");
    }
    tamsa_client_free_bitmap(c, record);
    for (const uint32_t theirs : {data, record, block}) tamsa_client_free(c, theirs);

    // Its own work is served, in its own memory.
    const uint32_t args[7] = {own, own + 1024, own + 2048, 16, 16, 8, 8};
    uint32_t mine = 0;
    if (tamsa_client_call(c, TAMSA_OP_YUVSCALE, args, 7, -1, &mine) != TAMSA_REPLIED || mine == 0)
        return fail("its own message was not served");
    tamsa_wire_bitmap made{};
    if (tamsa_client_read_bitmap(c, mine, &made) != 1 ||
        tamsa_client_pointer(c, made.data, 8 * 8 * 3) == nullptr) {
        return fail("its own bitmap is not in its pool");
    }
    tamsa_client_free_bitmap(c, mine);
    tamsa_client_free(c, own);
    std::printf("ok intrude\n");
    return 0;
}

int idle() {
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
}

constexpr uint8_t kSecret = 0x5e;

int secret(tamsa_client *c) {
    const uint32_t block = tamsa_client_alloc(c, 64, TAMSA_MEMF_ANY);
    auto *bytes = static_cast<uint8_t *>(tamsa_client_pointer(c, block, 64));
    if (bytes == nullptr) return fail("no block for the secret");
    std::memset(bytes, kSecret, 64);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    std::printf("secret %u %d\n", block, int(getpid()));
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) return fail("cannot fork");
    if (child > 0) _exit(0);  // the connection is the child's now
    std::printf("child %d\n", int(getpid()));
    std::fflush(stdout);
    int got = 0;
    sigwait(&usr1, &got);
    if (!std::all_of(bytes, bytes + 64, [](uint8_t b) { return b == kSecret; }))
        return fail("the secret was changed");
    const uint32_t planes = tamsa_client_alloc(c, 16 * 16 * 3 / 2, TAMSA_MEMF_CLEAR);
    const uint32_t args[7] = {planes, planes + 256, planes + 320, 16, 16, 8, 8};
    uint32_t record = 0;
    if (planes == 0 ||
        tamsa_client_call(c, TAMSA_OP_YUVSCALE, args, 7, -1, &record) != TAMSA_REPLIED ||
        record == 0)
        return fail("the inherited connection is not served");
    tamsa_client_free_bitmap(c, record);
    tamsa_client_free(c, planes);
    std::printf("inherited ok\n");
    std::fflush(stdout);
    return 0;
}

int peek(tamsa_client *c, uint32_t address) {
    const uint32_t mine = tamsa_client_alloc(c, 16, TAMSA_MEMF_CLEAR);
    if (mine == 0) return fail("no block of its own");
    auto *theirs = static_cast<uint8_t *>(tamsa_client_pointer(c, address, 64));
    const long seen = theirs == nullptr ? 0 : std::count(theirs, theirs + 64, kSecret);
    if (theirs != nullptr) std::memset(theirs, 0, 64);
    std::printf("pid %d sees %ld\n", int(getpid()), seen);
    std::fflush(stdout);
    tamsa_client_free(c, mine);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return fail("usage: tamsa_test_client MODE PORT [ARGS]");
    const std::string mode = argv[1];
    tamsa_client *c = tamsa_client_connect(argv[2]);
    if (c == nullptr) return fail(std::string("cannot connect to ") + argv[2]);
    int status;
    if (mode == "convert" && argc == 5) {
        rng_state = uint32_t(std::atoi(argv[4])) | 1u;
        status = convert(c, std::atoi(argv[3]));
    } else if (mode == "check" && argc == 4) {
        rng_state = uint32_t(std::atoi(argv[3])) | 1u;
        status = check(c);
    } else if (mode == "random" && argc == 4) {
        rng_state = uint32_t(std::atoi(argv[3])) | 1u;
        status = random_requests(c, argv[2]);
    } else if (mode == "hold") {
        status = hold(c);
    } else if (mode == "intrude" && argc == 6) {
        status = intrude(c, uint32_t(std::strtoul(argv[3], nullptr, 0)),
                         uint32_t(std::strtoul(argv[4], nullptr, 0)),
                         uint32_t(std::strtoul(argv[5], nullptr, 0)));
    } else if (mode == "idle") {
        status = idle();
    } else if (mode == "secret") {
        status = secret(c);
    } else if (mode == "peek" && argc == 4) {
        status = peek(c, uint32_t(std::strtoul(argv[3], nullptr, 0)));
    } else if (mode == "garbage") {
        status = garbage(c, argv[2]);
    } else {
        status = fail("unknown mode " + mode);
    }
    tamsa_client_close(c);
    return status;
}
