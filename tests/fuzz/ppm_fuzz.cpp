// Any bytes as a PPM file. The loader must not read or write outside its buffers, must leave
// nothing allocated and no file open, and may only hand back a record the file backs.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.h"
#include "tamsa/tamsa.h"

namespace {

// One in-memory file for every input, opened by name through /proc like any other file.
int memory_file() {
    static const int fd = memfd_create("ppm-fuzz", MFD_CLOEXEC);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = memory_file();
    CHECK(fd >= 0 && ftruncate(fd, 0) == 0);
    CHECK(size == 0 || pwrite(fd, data, size, 0) == ssize_t(size));
    const std::string name = "/proc/self/fd/" + std::to_string(fd);

    uint64_t blocks = 0, bytes = 0;
    tamsa_alloc_stats(&blocks, &bytes);  // the bus, and its descriptor, come with the first use
    // The descriptor the loader's file gets; it must be closed again afterwards.
    const int next = dup(fd);
    CHECK(next >= 0 && close(next) == 0);

    if (kv_bitmap *b = kv_loadppmasbitmap(name.c_str())) {
        // An empty bitmap is a valid file: sizes of 0 save and load again.
        CHECK(b->bytesperpixel == 3 && b->width >= 0 && b->height >= 0);
        CHECK(uint64_t(b->width) * uint64_t(b->height) * 3 <= size);
        kv_freebitmap(b);
    }

    uint64_t blocks_after = 0, bytes_after = 0;
    tamsa_alloc_stats(&blocks_after, &bytes_after);
    CHECK(blocks_after == blocks && bytes_after == bytes);
    CHECK(fcntl(next, F_GETFD) == -1);
    return 0;
}
