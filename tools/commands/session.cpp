#include "tools/commands/session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "remote/protocol.h"
#include "tools/commands/cli.h"

namespace tamsa::tools {

using cli::failure;

namespace {

// What a send's status means, for people.
std::string status_words(int32_t status) {
    switch (status) {
        case TAMSA_NOT_SERVED:
            return "the server stopped";
        case TAMSA_TIMEOUT:
            return "timed out";
        case TAMSA_FAILED:
            return "the connection failed, or there was no memory for it";
        case TAMSA_OVER_LIMIT:
            return "this client would pass its limit of the bus (tamsa serve --client-limit)";
        case TAMSA_REFUSED:
            return "the server refused it (tamsa serve --allow-remote-stop)";
        default:
            break;
    }
    return "status " + std::to_string(status);
}

}  // namespace

session::session(const std::string &connect, const std::string &serve_port) {
    // A constructor that throws runs no destructor: what it made is given back here.
    try {
        open(connect, serve_port);
    } catch (...) {
        release();
        throw;
    }
}

uint32_t session::alloc(uint64_t size, bool clear) {
    const uint32_t a = size > UINT32_MAX
                           ? 0
                           : tamsa_client_alloc(client_, uint32_t(size),
                                                clear ? TAMSA_MEMF_CLEAR : TAMSA_MEMF_ANY);
    if (a == 0) throw failure{"out of memory in the bus"};
    blocks_.push_back(a);
    return a;
}

uint8_t *session::at(uint32_t address, uint64_t length) {
    auto *p = static_cast<uint8_t *>(tamsa_client_pointer(client_, address, uint32_t(length)));
    if (p == nullptr) throw failure{"the server answered with an address outside the bus"};
    return p;
}

tamsa_wire_bitmap session::read_bitmap(uint32_t record) {
    tamsa_wire_bitmap bitmap{};
    if (tamsa_client_read_bitmap(client_, record, &bitmap) == 0) {
        throw failure{"the server answered with a record outside the bus"};
    }
    return bitmap;
}

uint32_t session::send(int32_t id, std::initializer_list<uint32_t> args) {
    using clock_type = std::chrono::steady_clock;
    uint32_t n = 1;
    for (uint32_t w : args) store32(block_ + 4 * n++, w);
    const auto start = clock_type::now();
    uint32_t result = 0;
    const int32_t status = tamsa_client_send_result(client_, id, block_, -1, &result);
    trips_.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    if (status != TAMSA_REPLIED) {
        throw failure{"message " + std::to_string(id) + " was not served: " + status_words(status)};
    }
    return result;
}

void session::drop_bitmap(uint32_t record) {
    bitmaps_.erase(std::remove(bitmaps_.begin(), bitmaps_.end(), record), bitmaps_.end());
    tamsa_client_free_bitmap(client_, record);
}

void session::open(const std::string &connect, const std::string &serve_port) {
    if (connect.empty()) {
        server_ = tamsa_server_start(serve_port.c_str());
        if (server_ == nullptr) throw failure{"the server could not start"};
        client_ = tamsa_client_local(serve_port.c_str());
    } else {
        errno = 0;
        client_ = tamsa_client_connect(connect.c_str());
        if (client_ == nullptr && errno == ENAMETOOLONG) {
            throw failure{remote::socket_path_problem(connect.c_str())};
        }
        if (client_ == nullptr && tamsa_client_connect_error()[0] != 0) {
            throw failure{tamsa_client_connect_error()};
        }
        if (client_ == nullptr) {
            throw failure{"no server on port '" + connect +
                          "' (start one with: tamsa serve --port " + connect + ")"};
        }
    }
    if (client_ == nullptr) throw failure{"cannot reach the server"};
    errno = 0;
    block_ = tamsa_client_alloc(client_, 32, TAMSA_MEMF_CLEAR);
    if (block_ == 0 && errno == EUSERS) {
        throw failure{"port '" + connect +
                      "' serves as many client processes as it has room for; try again once "
                      "one has ended (tamsa serve --help: --client-limit)"};
    }
    if (block_ == 0) throw failure{"out of memory in the bus"};
    blocks_.push_back(block_);
}

void session::release() {
    for (uint32_t b : bitmaps_) tamsa_client_free_bitmap(client_, b);
    for (uint32_t b : blocks_) tamsa_client_free(client_, b);
    bitmaps_.clear();
    blocks_.clear();
    tamsa_client_close(client_);
    tamsa_server_stop(server_);
    client_ = nullptr;
    server_ = nullptr;
}

}  // namespace tamsa::tools
