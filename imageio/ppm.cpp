// Binary PPM files: a three-line header ("P6", "width height", "255") and the pixel bytes as one
// block. The loader reads exactly the header the saver writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imageio/ppm.h"
#include "tamsa/internal/sizes.h"

namespace {

constexpr int32_t kStringRoom = 80;  // 79 characters and the closing NUL

struct file_closer {
    FILE *file;
    ~file_closer() {
        if (file != nullptr) std::fclose(file);
    }
};

struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) close(fd);
    }
};

// Every byte of the pieces to fd, in order, however the writes split them.
bool write_all(int fd, iovec *pieces, int count) {
    while (count > 0) {
        const ssize_t n = writev(fd, pieces, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        auto left = size_t(n);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<uint8_t *>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

bool write_all(int fd, const void *bytes, size_t size) {
    iovec piece{const_cast<void *>(bytes), size};
    return write_all(fd, &piece, 1);
}

// Grey bytes go out as grey RGB triplets, so the file holds what its header promises; in large
// writes.
bool write_grey_as_rgb(const uint8_t *grey, int64_t count, int fd) {
    constexpr int64_t kPixels = 16384;
    uint8_t triplets[3 * kPixels];
    while (count > 0) {
        const int64_t n = std::min<int64_t>(count, kPixels);
        for (int64_t i = 0; i < n; ++i) std::memset(triplets + 3 * i, grey[i], 3);
        if (!write_all(fd, triplets, size_t(3 * n))) return false;
        grey += n;
        count -= n;
    }
    return true;
}

// A size number: the decimal at the start of the text (white space skipped), or -1 when there is
// no digit or it is no 32-bit size. 0 is a size: an empty bitmap is saved with it.
int32_t size_number(const char *text) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text) return -1;
    return value >= 0 && value <= INT32_MAX ? int32_t(value) : -1;
}

// Bytes in the file after its first at bytes, or -1 when the stream cannot tell (a pipe).
int64_t bytes_after(FILE *file, int64_t at) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return std::max<int64_t>(int64_t(info.st_size) - at, 0);
}

// The first bytes of a file, read at once, and line reads from them as a buffered stream makes
// them: a line ends after its line feed or when its room is one character from full, and a read
// that finds no byte left fails. The three header lines take at most 9 + 48 + 9 characters, all
// inside the bytes read whenever the file has them.
class head {
   public:
    explicit head(FILE *file) : size_(std::fread(bytes_, 1, sizeof bytes_, file)) {}

    bool line(char *out, size_t room) {
        if (at_ >= size_) return false;
        size_t n = 0;
        while (n + 1 < room && at_ < size_) {
            out[n] = char(bytes_[at_++]);
            if (out[n++] == '\n') break;
        }
        out[n] = '\0';
        return true;
    }

    // Bytes read so far and bytes read beyond the lines taken.
    int64_t taken() const { return int64_t(at_); }
    const uint8_t *rest() const { return bytes_ + at_; }
    size_t rest_size() const { return size_ - at_; }

   private:
    uint8_t bytes_[80];
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

namespace tamsa {

int32_t instr(const char *string, int32_t character) {
    // Characters compare as signed bytes, so a character argument above 127 never matches.
    int32_t found = -1;  // not found
    if (string == nullptr) return found;
    for (int32_t i = 0; string[i] != '\0' && i < INT32_MAX; ++i) {
        if (int32_t(int8_t(string[i])) == character) found = i;
    }
    return found;
}

char *left(const char *string, int32_t n) {
    thread_local char buffer[kStringRoom];
    int32_t i = 0;
    // Stops at the string's end: there is nothing after it to copy.
    for (; string != nullptr && i < n && i < kStringRoom - 1 && string[i] != '\0'; ++i) {
        buffer[i] = string[i];
    }
    buffer[i] = '\0';
    return buffer;
}

char *right(const char *string, int32_t start) {
    thread_local char buffer[kStringRoom];
    size_t i = 0;
    if (string != nullptr) {
        // A start before the string counts from its first character.
        const size_t from = size_t(std::max(start, 0));
        const size_t length = std::strlen(string);
        for (; from + i < length && i < kStringRoom - 1; ++i) buffer[i] = string[from + i];
    }
    buffer[i] = '\0';
    return buffer;
}

}  // namespace tamsa

extern "C" {

int32_t kv_savebitmapasppm(const kv_bitmap *bitmap, const char *filename) {
    const int64_t bytes = tamsa::bitmap_bytes(bitmap);
    if (bytes < 0 || filename == nullptr) return 0;
    // An existing file is written over and then cut to the new length, not emptied first:
    // emptying a file and writing it again makes the file system flush it at close, which took
    // longer than the write itself. A failed save leaves a broken file either way.
    fd_closer out{open(filename, O_WRONLY | O_CREAT | O_CLOEXEC, 0666)};
    if (out.fd < 0) return 0;
    char header[64];
    const int length = std::snprintf(header, sizeof header, "P6\n%ld %ld\n255\n",
                                     long(bitmap->width), long(bitmap->height));
    bool ok = length > 0 && size_t(length) < sizeof header;
    if (ok && bitmap->bytesperpixel == 3) {
        iovec pieces[2] = {{header, size_t(length)}, {bitmap->data, size_t(bytes)}};
        ok = write_all(out.fd, pieces, bytes > 0 ? 2 : 1);
    } else if (ok) {
        ok = write_all(out.fd, header, size_t(length)) &&
             write_grey_as_rgb(bitmap->data, bytes, out.fd);
    }
    // Only a regular file has a length to cut (a device or a pipe is written as a stream).
    struct stat info;
    if (ok && fstat(out.fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const int64_t size = length + (bitmap->bytesperpixel == 3 ? bytes : 3 * bytes);
        ok = ftruncate(out.fd, off_t(size)) == 0;
    }
    // A file system may report a failed write only at close.
    ok = close(out.fd) == 0 && ok;
    out.fd = -1;
    return ok ? 1 : 0;
}

kv_bitmap *kv_loadppmasbitmap(const char *filename) {
    if (filename == nullptr) return nullptr;
    file_closer in{std::fopen(filename, "rb")};
    if (in.file == nullptr) return nullptr;
    // No stream buffer: the header comes in one small read, the pixels in one read straight into
    // the bitmap.
    std::setvbuf(in.file, nullptr, _IONBF, 0);
    head start(in.file);

    // Room for 9, 48 and 9 characters; the first character of the magic is not looked at.
    char magic[10], sizes[49], maxval[10];
    if (!start.line(magic, sizeof magic) || magic[1] != '6') return nullptr;
    if (!start.line(sizes, sizeof sizes)) return nullptr;
    // Width before the last space, height after it.
    const int32_t space = tamsa::instr(sizes, ' ');
    if (space < 0) return nullptr;
    const int32_t width = size_number(tamsa::left(sizes, space));
    const int32_t height = size_number(tamsa::right(sizes, space));
    if (width < 0 || height < 0) return nullptr;
    // The maximum value is not examined: every sample is one byte.
    if (!start.line(maxval, sizeof maxval)) return nullptr;

    // Nothing is allocated on the word of a header the file cannot back.
    const int64_t bytes = tamsa::pixel_bytes(width, height, 3);
    if (bytes < 0) return nullptr;
    const int64_t left = bytes_after(in.file, start.taken());
    if (left >= 0 && left < bytes) return nullptr;

    kv_bitmap *bitmap = kv_allocrawbitmap(width, height, 3);
    if (bitmap == nullptr) return nullptr;
    const size_t early = std::min(start.rest_size(), size_t(bytes));
    if (early > 0) std::memcpy(bitmap->data, start.rest(), early);
    const size_t wanted = size_t(bytes) - early;
    if (wanted > 0 && std::fread(bitmap->data + early, 1, wanted, in.file) != wanted) {
        kv_freebitmap(bitmap);
        return nullptr;
    }
    return bitmap;
}

}  // extern "C"
