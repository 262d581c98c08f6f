// The recorder's link to the server: the server (started here, or reached through a port), its
// client, the block messages are sent through and every block and bitmap the run holds in the
// bus, all given back when the session ends.
#ifndef TAMSA_TOOLS_COMMANDS_SESSION_H
#define TAMSA_TOOLS_COMMANDS_SESSION_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tamsa/client.h"

namespace tamsa::tools {

class session {
   public:
    // connect: a `tamsa serve` port; "" starts a server in this process, on the port
    // serve_port. Throws cli::failure.
    explicit session(const std::string &connect, const std::string &serve_port = TAMSA_PORT_NAME);
    ~session() { release(); }
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    // A block of the bus, held until the session ends; throws cli::failure when there is none.
    uint32_t alloc(uint64_t size, bool clear);
    // The bytes [address, address + length) of the bus; throws cli::failure outside it.
    uint8_t *at(uint32_t address, uint64_t length);
    uint32_t load32(uint32_t address) { return tamsa_client_load32(client_, address); }
    void store32(uint32_t address, uint32_t value) {
        tamsa_client_store32(client_, address, value);
    }

    // A bitmap record in the bus: written for the server, or read from one it answered.
    void write_bitmap(uint32_t record, const tamsa_wire_bitmap &bitmap) {
        tamsa_client_write_bitmap(client_, record, &bitmap);
    }
    tamsa_wire_bitmap read_bitmap(uint32_t record);

    // Sends one message through the session's block and returns the result its reply carries;
    // throws cli::failure when it is not served.
    uint32_t send(int32_t id, std::initializer_list<uint32_t> args);

    // A bitmap the server handed back, freed when the session ends unless dropped sooner.
    void keep_bitmap(uint32_t record) { bitmaps_.push_back(record); }
    void drop_bitmap(uint32_t record);

    // Every message's time there and back, in milliseconds.
    const std::vector<double> &round_trips() const { return trips_; }

   private:
    void open(const std::string &connect, const std::string &serve_port);
    void release();

    tamsa_server *server_ = nullptr;
    tamsa_client *client_ = nullptr;
    uint32_t block_ = 0;
    std::vector<uint32_t> blocks_;
    std::vector<uint32_t> bitmaps_;
    std::vector<double> trips_;
};

}  // namespace tamsa::tools

#endif
