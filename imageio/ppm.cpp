// Binary PPM files: a three-line header ("P6", "width height", "255") and the pixel bytes as one
// block. The loader reads exactly the header the saver writes.
#include <sys/stat.h>

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

// Grey bytes go out as grey RGB triplets, so the file holds what its header promises; in large
// writes, so that the stream passes them on without copying them into its buffer.
bool write_grey_as_rgb(const uint8_t *grey, int64_t count, FILE *file) {
    constexpr int64_t kPixels = 16384;
    uint8_t triplets[3 * kPixels];
    while (count > 0) {
        const int64_t n = std::min<int64_t>(count, kPixels);
        for (int64_t i = 0; i < n; ++i) std::memset(triplets + 3 * i, grey[i], 3);
        if (std::fwrite(triplets, 3, size_t(n), file) != size_t(n)) return false;
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
    file_closer out{std::fopen(filename, "wb")};
    if (out.file == nullptr) return 0;
    bool ok =
        std::fprintf(out.file, "P6\n%ld %ld\n255\n", long(bitmap->width), long(bitmap->height)) > 0;
    if (ok && bytes > 0) {
        if (bitmap->bytesperpixel == 3) {
            ok = std::fwrite(bitmap->data, 1, size_t(bytes), out.file) == size_t(bytes);
        } else {
            ok = write_grey_as_rgb(bitmap->data, bytes, out.file);
        }
    }
    // A full disk shows at the latest when the buffered tail is flushed.
    ok = std::fclose(out.file) == 0 && ok;
    out.file = nullptr;
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
