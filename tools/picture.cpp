#include "tools/picture.h"

#include <png.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

constexpr int64_t kMaxPixels = int64_t(1) << 26;

// libpng's own handlers print; ours only jump back, and the caller says what went wrong.
[[noreturn]] void png_failed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void png_warned(png_structp, png_const_charp) {}

bool ends_with(const std::string &s, const char *suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    }
    return true;
}

// A header number of a PPM file, skipping white space and comments.
int64_t ppm_number(FILE *f, const std::string &path) {
    int c = std::fgetc(f);
    for (;;) {
        if (c == '#') {
            while (c != '\n' && c != EOF) c = std::fgetc(f);
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            c = std::fgetc(f);
        } else {
            break;
        }
    }
    if (c < '0' || c > '9') throw failure{path + ": bad PPM header"};
    int64_t v = 0;
    while (c >= '0' && c <= '9') {
        v = v * 10 + (c - '0');
        if (v > INT32_MAX) throw failure{path + ": bad PPM header"};
        c = std::fgetc(f);
    }
    // Exactly one white-space character ends the last number before the samples.
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') throw failure{path + ": bad PPM header"};
    return v;
}

picture load_ppm(FILE *f, const std::string &path) {
    char magic[2];
    if (std::fread(magic, 1, 2, f) != 2 || magic[0] != 'P' ||
        (magic[1] != '5' && magic[1] != '6')) {
        throw failure{path + ": not a binary PPM or PGM file"};
    }
    picture p;
    p.channels = magic[1] == '6' ? 3 : 1;
    const int64_t w = ppm_number(f, path);
    const int64_t h = ppm_number(f, path);
    const int64_t maxval = ppm_number(f, path);
    if (w < 1 || h < 1 || w * h > kMaxPixels) throw failure{path + ": bad picture size"};
    if (maxval != 255) throw failure{path + ": only 8-bit samples (maximum 255) are read"};
    p.width = int32_t(w);
    p.height = int32_t(h);
    p.pixels.resize(size_t(w * h * p.channels));
    if (std::fread(p.pixels.data(), 1, p.pixels.size(), f) != p.pixels.size()) {
        throw failure{path + ": file ends inside its pixels"};
    }
    return p;
}

picture load_png(FILE *f, const std::string &path) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, png_warned);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        throw failure{path + ": out of memory"};
    }
    picture p;
    std::vector<png_bytep> rows;
    volatile bool too_big = false;
    // libpng reports errors by jumping back here; nothing with a destructor is made below it.
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw failure{path + (too_big ? ": bad picture size" : ": bad PNG file")};
    }
    png_init_io(png, f);
    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    if (w < 1 || h < 1 || int64_t(w) * h > kMaxPixels) {
        too_big = true;
        png_error(png, "size");
    }
    const int type = png_get_color_type(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    const bool grey = (type & PNG_COLOR_MASK_COLOR) == 0;
    png_read_update_info(png, info);
    p.width = int32_t(w);
    p.height = int32_t(h);
    p.channels = grey ? 1 : 3;
    p.pixels.resize(size_t(w) * h * size_t(p.channels));
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y)
        rows[y] = p.pixels.data() + size_t(y) * w * size_t(p.channels);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return p;
}

bool write_png(FILE *f, const picture &p) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, png_warned);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    std::vector<png_bytep> rows(size_t(p.height));
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(p.width), png_uint_32(p.height), 8,
                 p.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int32_t y = 0; y < p.height; ++y) {
        rows[size_t(y)] = const_cast<png_bytep>(p.pixels.data()) +
                          size_t(y) * size_t(p.width) * size_t(p.channels);
    }
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

picture load_picture(const std::string &path) {
    file_ptr f(std::fopen(path.c_str(), "rb"));
    if (f == nullptr) throw failure{path + ": " + std::strerror(errno)};
    unsigned char head[8] = {};
    const size_t got = std::fread(head, 1, sizeof head, f.get());
    std::rewind(f.get());
    if (got == sizeof head && png_sig_cmp(head, 0, sizeof head) == 0)
        return load_png(f.get(), path);
    return load_ppm(f.get(), path);
}

void save_picture(const std::string &path, const picture &p) {
    if (p.width < 1 || p.height < 1 || (p.channels != 1 && p.channels != 3) ||
        p.pixels.size() != size_t(p.width) * size_t(p.height) * size_t(p.channels)) {
        throw failure{path + ": nothing to write (empty picture)"};
    }
    // Written beside the target, then renamed over it: a failure never leaves half a file.
    const std::string temporary = path + ".part" + std::to_string(getpid());
    file_ptr f(std::fopen(temporary.c_str(), "wb"));
    if (f == nullptr) throw failure{path + ": cannot write (" + std::strerror(errno) + ")"};
    bool ok;
    if (ends_with(path, ".png")) {
        ok = write_png(f.get(), p);
    } else {
        ok = std::fprintf(f.get(), "P%c\n%d %d\n255\n", p.channels == 3 ? '6' : '5', p.width,
                          p.height) > 0 &&
             std::fwrite(p.pixels.data(), 1, p.pixels.size(), f.get()) == p.pixels.size();
    }
    ok = std::fflush(f.get()) == 0 && ok;
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int e = errno;
        std::remove(temporary.c_str());
        throw failure{path + ": cannot write (" + std::strerror(e) + ")"};
    }
}

}  // namespace tamsa::tools
