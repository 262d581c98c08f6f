// The served process from Python: a server in this process, and clients of it or of a
// `tamsa serve` process.
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <pybind11/stl.h>

#include "picture.h"
#include "tamsa/client.h"

namespace tamsa_python {

namespace {

// client.h's message ids by name; Python's are these without OP_, in lower case ("yuvtorgb").
const struct {
    const char *name;
    int32_t id;
} kOps[] = {
#define TAMSA_OP_ENTRY(name, words, answer) {&#name[3], TAMSA_##name},
    TAMSA_MESSAGES(TAMSA_OP_ENTRY)
#undef TAMSA_OP_ENTRY
};

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A message id from its name (with or without OP_, any case) or its number.
int32_t op_id(py::handle op) {
    if (py::isinstance<py::str>(op)) {
        std::string name = lower(op.cast<std::string>());
        if (name.rfind("op_", 0) == 0) name.erase(0, 3);
        for (const auto &entry : kOps) {
            if (name == lower(entry.name)) return entry.id;
        }
        raise_value("unknown message " + op.cast<std::string>());
    }
    const auto id = op.cast<int64_t>();
    if (id < INT32_MIN || id > INT32_MAX) raise_value("message id out of range");
    return int32_t(id);
}

uint32_t address_arg(int64_t value, const char *name) {
    if (value < 0 || value > UINT32_MAX) raise_value(std::string(name) + ": not a bus address");
    return uint32_t(value);
}

[[noreturn]] void raise_error(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// A status other than success as an exception.
void check_status(int32_t status, int32_t id) {
    const std::string what = "message " + std::to_string(id) + ": ";
    switch (status) {
        case TAMSA_REPLIED:
            return;
        case TAMSA_NOT_SERVED:
            raise_error(PyExc_ConnectionError, what + "the server stopped before serving it");
        case TAMSA_TIMEOUT:
            raise_error(PyExc_TimeoutError, what + "not taken in time");
        case TAMSA_OVER_LIMIT:
            raise_error(PyExc_MemoryError, what + "over the server's limit on live bytes");
        case TAMSA_REFUSED:
            raise_error(PyExc_PermissionError, what + "the server does not let clients stop it");
        default:
            raise_error(PyExc_ConnectionError, what + "no connection, or no memory for it");
    }
}

// The connection, shared by the client and every array over its blocks: the bus stays mapped
// until the last of them is gone. Messages go one at a time.
struct connection {
    tamsa_client *client;
    std::mutex lock;
    explicit connection(tamsa_client *c) : client(c) {}
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;
    ~connection() { tamsa_client_close(client); }
};

class client {
   public:
    client(const std::string &port, bool local) {
        tamsa_client *c = nullptr;
        int why = 0;
        {
            // Connecting waits for the server's answer to the client's greeting.
            py::gil_scoped_release released;
            errno = 0;
            c = local ? tamsa_client_local(port.c_str()) : tamsa_client_connect(port.c_str());
            why = errno;
        }
        if (c == nullptr) {
            std::string message = "no server on port \"" + port + "\"";
            if (!local && why != 0) message += std::string(": ") + std::strerror(why);
            raise_error(PyExc_ConnectionError, message);
        }
        connection_ = std::make_shared<connection>(c);
        port_ = port;
    }

    void close() { connection_.reset(); }
    bool closed() const { return connection_ == nullptr; }
    const std::string &port() const { return port_; }

    uint32_t alloc(int64_t size, bool clear) {
        if (size < 0 || size > UINT32_MAX) raise_value("size must lie in 0..2^32 - 1");
        const uint32_t attributes = clear ? TAMSA_MEMF_CLEAR : TAMSA_MEMF_ANY;
        const uint32_t address = unlocked(
            [&](tamsa_client *c) { return tamsa_client_alloc(c, uint32_t(size), attributes); });
        if (address == 0) raise_memory("alloc: no room in the bus, or over the server's limit");
        return address;
    }
    void free(int64_t address) {
        const uint32_t a = address_arg(address, "address");
        unlocked([a](tamsa_client *c) {
            tamsa_client_free(c, a);
            return 0;
        });
    }
    void free_bitmap(int64_t record) {
        const uint32_t r = address_arg(record, "record");
        unlocked([r](tamsa_client *c) {
            tamsa_client_free_bitmap(c, r);
            return 0;
        });
    }
    uint32_t load32(int64_t address) {
        return tamsa_client_load32(live(), address_arg(address, "address"));
    }
    void store32(int64_t address, int64_t value) {
        if (value < 0 || value > UINT32_MAX) raise_value("value must lie in 0..2^32 - 1");
        tamsa_client_store32(live(), address_arg(address, "address"), uint32_t(value));
    }

    // A writable array over [address, address + length) of the bus.
    py::array view(int64_t address, int64_t length) {
        return view_shaped(address, {length}, length);
    }

    py::tuple read_bitmap(int64_t record) {
        tamsa_wire_bitmap b{};
        if (tamsa_client_read_bitmap(live(), address_arg(record, "record"), &b) == 0) {
            raise_value("record: not in the bus");
        }
        return py::make_tuple(b.data, b.width, b.height, b.bytesperpixel);
    }

    void write_bitmap(int64_t record, int64_t data, int32_t width, int32_t height, int32_t depth) {
        const tamsa_wire_bitmap b{address_arg(data, "data"), width, height, depth};
        if (tamsa_client_write_bitmap(live(), address_arg(record, "record"), &b) == 0) {
            raise_value("record: not in the bus");
        }
    }

    // The pixels of a record in the bus, as an array over them.
    py::array bitmap(int64_t record) {
        tamsa_wire_bitmap b{};
        if (tamsa_client_read_bitmap(live(), address_arg(record, "record"), &b) == 0) {
            raise_value("record: not in the bus");
        }
        if (b.width < 0 || b.height < 0 || (b.bytesperpixel != 1 && b.bytesperpixel != 3)) {
            raise_value("record: not a bitmap");
        }
        const int64_t bytes = int64_t(b.width) * b.height * b.bytesperpixel;
        if (b.bytesperpixel == 1) return view_shaped(b.data, {b.height, b.width}, bytes);
        return view_shaped(b.data, {b.height, b.width, 3}, bytes);
    }

    uint32_t send(op_object op, int64_t block, int32_t timeout_ms) {
        const int32_t id = op_id(op);
        const uint32_t address = address_arg(block, "block");
        uint32_t result = 0;
        const int32_t status = unlocked([&](tamsa_client *c) {
            return tamsa_client_send_result(c, id, address, timeout_ms, &result);
        });
        check_status(status, id);
        return result;
    }

    uint32_t call(op_object op, py::args args, int32_t timeout_ms) {
        const int32_t id = op_id(op);
        if (args.size() > 7) raise_value("a message takes at most 7 argument words");
        uint32_t words[7] = {};
        for (size_t i = 0; i < args.size(); ++i) {
            const auto v = args[i].cast<int64_t>();
            // Signed arguments travel as their 32-bit two's complement.
            if (v < INT32_MIN || v > UINT32_MAX) raise_value("argument words hold 32 bits");
            words[i] = uint32_t(v);
        }
        return call_words(id, words, uint32_t(args.size()), timeout_ms);
    }

    uint32_t call_words(int32_t id, const uint32_t *words, uint32_t count, int32_t timeout_ms) {
        uint32_t result = 0;
        const int32_t status = unlocked([&](tamsa_client *c) {
            return tamsa_client_call(c, id, words, count, timeout_ms, &result);
        });
        check_status(status, id);
        return result;
    }

    // This process's pointer to a range of the bus.
    uint8_t *pointer(uint32_t address, int64_t length) {
        void *p = tamsa_client_pointer(live(), address, uint32_t(length));
        if (p == nullptr) raise_value("the range does not lie in the bus");
        return static_cast<uint8_t *>(p);
    }

    py::array convert_frame(array_arg y, array_arg u, array_arg v, std::optional<int64_t> width,
                            std::optional<int64_t> height, int32_t timeout_ms);

   private:
    // Runs a call that may wait for the server (a remote client's allocations and frees are
    // messages too) without the interpreter lock, one at a time per connection.
    template <class F>
    std::invoke_result_t<F, tamsa_client *> unlocked(F call) {
        std::shared_ptr<connection> c = shared();
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> guard(c->lock);
        return call(c->client);
    }
    tamsa_client *live() { return shared()->client; }
    std::shared_ptr<connection> shared() {
        if (connection_ == nullptr) raise_value("the client is closed");
        return connection_;
    }

    py::array view_shaped(int64_t address, std::vector<py::ssize_t> shape, int64_t bytes) {
        if (bytes < 0 || bytes > UINT32_MAX) raise_value("length must lie in 0..2^32 - 1");
        std::shared_ptr<connection> c = shared();
        void *p = tamsa_client_pointer(c->client, address_arg(address, "address"), uint32_t(bytes));
        if (p == nullptr) raise_value("the range does not lie in the bus");
        auto *holder = new std::shared_ptr<connection>(std::move(c));
        py::capsule owner(holder,
                          [](void *h) { delete static_cast<std::shared_ptr<connection> *>(h); });
        return py::array_t<uint8_t>(shape, static_cast<uint8_t *>(p), owner);
    }

    std::shared_ptr<connection> connection_;
    std::string port_;
};

// Blocks of this client, freed when the conversion ends however it ends.
struct blocks {
    client &owner;
    std::vector<uint32_t> held;
    uint32_t take(uint32_t size) {
        const uint32_t a = owner.alloc(size, false);
        held.push_back(a);
        return a;
    }
    ~blocks() {
        for (auto it = held.rbegin(); it != held.rend(); ++it) {
            if (!owner.closed()) owner.free(*it);
        }
    }
};

py::array client::convert_frame(array_arg y, array_arg u, array_arg v, std::optional<int64_t> width,
                                std::optional<int64_t> height, int32_t timeout_ms) {
    picture luma = read_picture(y, "y", depths::grey);
    byte_run blue_chroma = read_bytes(u, "u");
    byte_run red_chroma = read_bytes(v, "v");
    const int64_t pixels = luma.bytes();
    const int64_t chroma = chroma_411(luma, blue_chroma, red_chroma);
    const bool resize = width.has_value() || height.has_value();
    const int64_t w = width.value_or(luma.width()), h = height.value_or(luma.height());
    size_arg(w, "width");
    size_arg(h, "height");
    if (w * h * 3 > INT32_MAX) raise_value("the result would exceed 2^31 - 1 bytes");
    if (!resize && pixels % 4 != 0) raise_value("y: the pixel count must be a multiple of 4");
    if (pixels == 0 || w * h == 0) return new_picture(h, w, 3);

    blocks held{*this, {}};
    const uint32_t y_block = held.take(uint32_t(pixels));
    const uint32_t v_block = held.take(uint32_t(chroma));
    const uint32_t u_block = held.take(uint32_t(chroma));
    std::memcpy(pointer(y_block, pixels), luma.data(), size_t(pixels));
    std::memcpy(pointer(v_block, chroma), red_chroma.data(), size_t(chroma));
    std::memcpy(pointer(u_block, chroma), blue_chroma.data(), size_t(chroma));
    py::array result = new_picture(h, w, 3);
    auto *out = static_cast<uint8_t *>(result.mutable_data());
    if (!resize) {
        const uint32_t rgb = held.take(uint32_t(pixels * 3));
        const uint32_t words[6] = {y_block, v_block, u_block, rgb, uint32_t(pixels), 4};
        call_words(TAMSA_OP_YUVTORGB, words, 6, timeout_ms);
        std::memcpy(out, pointer(rgb, pixels * 3), size_t(pixels * 3));
        return result;
    }
    const uint32_t words[7] = {
        y_block,     v_block,    u_block, uint32_t(luma.width()), uint32_t(luma.height()),
        uint32_t(w), uint32_t(h)};
    const uint32_t record = call_words(TAMSA_OP_YUVSCALE, words, 7, timeout_ms);
    if (record == 0) raise_memory("convert_frame: the server could not make the frame");
    tamsa_wire_bitmap made{};
    const bool readable = tamsa_client_read_bitmap(live(), record, &made) != 0 && made.width == w &&
                          made.height == h && made.bytesperpixel == 3;
    const void *p =
        readable ? tamsa_client_pointer(live(), made.data, uint32_t(w * h * 3)) : nullptr;
    if (p != nullptr) std::memcpy(out, p, size_t(w * h * 3));
    free_bitmap(record);
    if (p == nullptr) raise_value("convert_frame: the server answered no frame of that size");
    return result;
}

class server {
   public:
    explicit server(std::optional<std::string> port) {
        const std::string name = port.value_or(TAMSA_PORT_NAME);
        server_ = tamsa_server_start(name.c_str());
        if (server_ == nullptr) {
            raise_error(PyExc_ConnectionError,
                        "could not serve port \"" + name + "\": taken, or no graphics library");
        }
        port_ = name;
    }
    server(const server &) = delete;
    server &operator=(const server &) = delete;
    ~server() { stop(); }
    void stop() {
        if (server_ == nullptr) return;
        tamsa_server *s = server_;
        server_ = nullptr;
        py::gil_scoped_release unlocked;
        tamsa_server_stop(s);
    }
    bool running() const { return server_ != nullptr; }
    const std::string &port() const { return port_; }

   private:
    tamsa_server *server_ = nullptr;
    std::string port_;
};

}  // namespace

void bind_client(py::module_ &m) {
    py::dict ops;
    for (const auto &entry : kOps) ops[py::str(lower(entry.name))] = entry.id;
    m.attr("OPS") = ops;
    m.attr("PORT_NAME") = TAMSA_PORT_NAME;

    py::class_<server>(m, "Server", R"(A server task in this process, serving a port until stopped.

Use as a context manager, or call stop(). Its clients are ``Client(port, local=True)``.)")
        .def(py::init<std::optional<std::string>>(), py::arg("port") = py::none())
        .def("stop", &server::stop, "Stops the server and waits for it to end.")
        .def_property_readonly("running", &server::running)
        .def_property_readonly("port", &server::port)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](server &s, py::args) { s.stop(); });

    py::class_<client>(m, "Client", R"(A client of a server: of a ``tamsa serve`` process of this
user, or with ``local=True`` of a :class:`Server` in this process.

Addresses are 32-bit bus addresses; words in the bus are big-endian. Messages go one at a time
per client; the interpreter lock is released while one waits. Use as a context manager, or call
close(); arrays over the client's blocks keep the bus mapped until they are gone.)")
        .def(py::init<const std::string &, bool>(), py::arg("port") = TAMSA_PORT_NAME,
             py::arg("local") = false)
        .def("close", &client::close,
             "Closes the connection; a remote server frees the blocks the client still holds.")
        .def_property_readonly("closed", &client::closed)
        .def_property_readonly("port", &client::port)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](client &c, py::args) { c.close(); })
        .def("alloc", &client::alloc, py::arg("size"), py::arg("clear") = false,
             "A block of ``size`` bytes in the bus (zeroed with ``clear``): its address. "
             "MemoryError when there is no room or the server's limit is reached.")
        .def("free", &client::free, py::arg("address"),
             "Frees a block of this client; other addresses are ignored.")
        .def("free_bitmap", &client::free_bitmap, py::arg("record"),
             "Frees a bitmap the server handed back: its pixels, then its record.")
        .def("view", &client::view, py::arg("address"), py::arg("length"),
             "A writable uint8 array over ``length`` bytes of the bus at ``address``, no copy. "
             "It shows the block's bytes while the block is live.")
        .def("bitmap", &client::bitmap, py::arg("record"),
             "An array over the pixels of the bitmap record at ``record``: (h, w, 3) or "
             "(h, w), no copy. Pixels the server made are blue, green, red.")
        .def("read_bitmap", &client::read_bitmap, py::arg("record"),
             "The record at ``record`` as (data address, width, height, bytes per pixel).")
        .def("write_bitmap", &client::write_bitmap, py::arg("record"), py::arg("data"),
             py::arg("width"), py::arg("height"), py::arg("depth"),
             "Writes a record (16 bytes) at ``record``.")
        .def("load32", &client::load32, py::arg("address"), "The big-endian word at address.")
        .def("store32", &client::store32, py::arg("address"), py::arg("value"),
             "Stores a big-endian word at address.")
        .def("send", &client::send, py::arg("op"), py::arg("block"), py::arg("timeout_ms") = -1,
             R"(Sends message ``op`` (a name of OPS, or an id) with the op block at ``block`` and
waits for the reply (``timeout_ms`` below 0: for ever); returns the result word. Raises
TimeoutError, ConnectionError, MemoryError (over the server's limit) or PermissionError.)")
        .def("call", &client::call, py::arg("op"), py::arg("timeout_ms") = -1,
             R"(call(op, *args, timeout_ms=-1): fills a fresh op block with up to 7 argument
words, sends it and returns the result word; raises as :meth:`send` does.)")
        .def("convert_frame", &client::convert_frame, py::arg("y"), py::arg("u"), py::arg("v"),
             py::arg("width") = py::none(), py::arg("height") = py::none(),
             py::arg("timeout_ms") = -1,
             R"(Converts a YUV frame through the server: the (h, w) luma plane and the chroma
planes (one sample per 4 luma bytes) are copied into the bus, converted (OP_YUVTORGB, or
OP_YUVSCALE when ``width`` or ``height`` is given) and the result copied into a new
(height, width, 3) array, blue, green, red. Every block is freed again. Chroma planes with a
shape must be 4:1:1's, (h, w / 4); other layouts raise ValueError.)");
}

}  // namespace tamsa_python
