#include "tools/picture.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// libpng's own handlers print; ours only jump back, and the caller says what went wrong.
[[noreturn]] void png_failed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void png_warned(png_structp, png_const_charp) {}

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A number of a PNM header or of a plain file's samples, after white space and comments.
// Header numbers end with exactly one white-space character (the last one before binary
// samples); the samples of a plain file may also end at the end of the file.
int64_t pnm_number(FILE *f, const std::string &path, const char *what) {
    int c = std::fgetc(f);
    for (;;) {
        if (c == '#') {
            while (c != '\n' && c != EOF) c = std::fgetc(f);
        } else if (is_space(c)) {
            c = std::fgetc(f);
        } else {
            break;
        }
    }
    if (c == EOF) throw failure{path + ": file ends inside its " + what};
    if (c < '0' || c > '9') throw failure{path + ": bad PNM " + what};
    int64_t v = 0;
    while (c >= '0' && c <= '9') {
        v = v * 10 + (c - '0');
        if (v > INT32_MAX) throw failure{path + ": bad PNM " + what};
        c = std::fgetc(f);
    }
    if (c != EOF && !is_space(c)) throw failure{path + ": bad PNM " + what};
    return v;
}

picture load_pnm(FILE *f, const std::string &path) {
    char magic[2] = {};
    if (std::fread(magic, 1, 2, f) != 2 || magic[0] != 'P' || magic[1] < '1' || magic[1] > '6')
        throw failure{path + ": not a PNM or PNG file"};
    if (magic[1] == '1' || magic[1] == '4')
        throw failure{path + ": PBM bitmaps (P1, P4) are not read; PPM and PGM are"};
    const bool plain = magic[1] == '2' || magic[1] == '3';
    picture p;
    p.channels = magic[1] == '3' || magic[1] == '6' ? 3 : 1;
    const int64_t w = pnm_number(f, path, "header");
    const int64_t h = pnm_number(f, path, "header");
    const int64_t maxval = pnm_number(f, path, "header");
    if (w < 1 || h < 1 || w * h > cli::kMaxPixels) throw failure{path + ": bad picture size"};
    if (maxval < 1 || maxval > 65535) throw failure{path + ": bad maximum sample value (1..65535)"};
    p.width = int32_t(w);
    p.height = int32_t(h);
    const size_t samples = size_t(w * h * p.channels);
    p.pixels.resize(samples);
    if (!plain && maxval == 255) {
        if (std::fread(p.pixels.data(), 1, samples, f) != samples)
            throw failure{path + ": file ends inside its pixels"};
        return p;
    }
    // Other depths are brought to 8 bits, rounded to the nearest level.
    const auto to_byte = [&](int64_t v) {
        if (v > maxval)
            throw failure{path + ": a sample exceeds the maximum " + std::to_string(maxval)};
        return uint8_t((v * 255 + maxval / 2) / maxval);
    };
    if (plain) {
        for (size_t i = 0; i < samples; ++i) p.pixels[i] = to_byte(pnm_number(f, path, "pixels"));
        return p;
    }
    const size_t bytes_per_sample = maxval > 255 ? 2 : 1;
    std::vector<uint8_t> raw(samples * bytes_per_sample);
    if (std::fread(raw.data(), 1, raw.size(), f) != raw.size())
        throw failure{path + ": file ends inside its pixels"};
    for (size_t i = 0; i < samples; ++i) {
        // 16-bit samples are big-endian.
        const int64_t v =
            bytes_per_sample == 2 ? (int64_t(raw[2 * i]) << 8) | raw[2 * i + 1] : int64_t(raw[i]);
        p.pixels[i] = to_byte(v);
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
    if (w < 1 || h < 1 || int64_t(w) * h > cli::kMaxPixels) {
        too_big = true;
        png_error(png, "size");
    }
    const int type = png_get_color_type(png, info);
    p.dropped_alpha =
        (type & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    png_set_expand(png);
    // Rounded to the nearest 8-bit level, not cut to the high byte.
    png_set_scale_16(png);
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

bool write_pnm(FILE *f, const picture &p, bool colour) {
    if (std::fprintf(f, "P%c\n%d %d\n255\n", colour ? '6' : '5', p.width, p.height) <= 0)
        return false;
    if (colour == (p.channels == 3))
        return std::fwrite(p.pixels.data(), 1, p.pixels.size(), f) == p.pixels.size();
    // A grey picture as colour: each level three times, a row at a time.
    std::vector<uint8_t> row(size_t(p.width) * 3);
    for (int32_t y = 0; y < p.height; ++y) {
        const uint8_t *in = p.pixels.data() + size_t(y) * size_t(p.width);
        for (size_t x = 0; x < size_t(p.width); ++x)
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = in[x];
        if (std::fwrite(row.data(), 1, row.size(), f) != row.size()) return false;
    }
    return true;
}

// libpng refuses wider or taller pictures unless told otherwise; so do we, before the work.
std::string png_too_large(const picture &p) {
    return "a PNG may be at most " + std::to_string(kMostPngSide) + " pixels wide and high, not " +
           std::to_string(p.width) + "x" + std::to_string(p.height) + " (name it .ppm or .pgm)";
}

struct extension {
    const char *suffix;
    picture_format format;
};
constexpr extension kExtensions[] = {{".ppm", picture_format::ppm},
                                     {".pgm", picture_format::pgm},
                                     {".pnm", picture_format::pnm},
                                     {".png", picture_format::png}};

}  // namespace

png_settings fast_png() {
    // Measured on the recorder's frames and on noisy camera-like frames: the left-neighbour
    // filter with run-length matching is several times faster than libpng's defaults and keeps
    // files within a few percent of ffmpeg's PNG encoder at its defaults.
    return {1, Z_RLE, PNG_FILTER_SUB};
}

png_settings default_png() {
    return {Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, PNG_ALL_FILTERS};
}

namespace {

failure cannot_write(const std::string &path, int e) {
    return failure{path + ": cannot write" +
                   (e != 0 ? std::string(" (") + std::strerror(e) + ")" : std::string())};
}

}  // namespace

bool write_png(FILE *f, const picture &p, const png_settings &settings) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, png_warned);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(p.width), png_uint_32(p.height), 8,
                 p.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, settings.filters);
    png_set_compression_level(png, settings.level);
    png_set_compression_strategy(png, settings.strategy);
    png_write_info(png, info);
    const size_t row_bytes = size_t(p.width) * size_t(p.channels);
    for (int32_t y = 0; y < p.height; ++y)
        png_write_row(png, p.pixels.data() + size_t(y) * row_bytes);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void cube_colours(const uint8_t *indexes, size_t count, uint8_t *rgb) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = indexes[i];
        rgb[i * 3] = uint8_t(c / 36 % 6 * 51);
        rgb[i * 3 + 1] = uint8_t(c / 6 % 6 * 51);
        rgb[i * 3 + 2] = uint8_t(c % 6 * 51);
    }
}

picture_format format_for(const std::string &path) {
    const std::string name = cli::lower(path);
    for (const extension &e : kExtensions) {
        const size_t n = std::strlen(e.suffix);
        if (name.size() > n && name.compare(name.size() - n, n, e.suffix) == 0) return e.format;
    }
    throw cli::usage_error{path +
                           ": unknown picture format (the name must end in .ppm, .pgm, "
                           ".pnm or .png, in any case)"};
}

picture load_picture(const std::string &path) {
    const bool from_stdin = path == "-";
    const std::string name = from_stdin ? "standard input" : path;
    if (from_stdin && isatty(STDIN_FILENO) != 0)
        throw failure{"standard input is a terminal: pipe a picture in"};
    file_ptr owned(from_stdin ? nullptr : std::fopen(path.c_str(), "rb"));
    if (!from_stdin && owned == nullptr) throw failure{path + ": " + std::strerror(errno)};
    FILE *f = from_stdin ? stdin : owned.get();
    struct stat st {};
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) throw failure{name + ": is a directory"};
    std::vector<char> bytes;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A pipe or FIFO cannot go back to the start after the signature: it is read whole
        // first, and the picture read from memory.
        char chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        if (std::ferror(f)) throw failure{name + ": " + std::strerror(errno)};
        if (bytes.empty()) throw failure{name + ": not a PNM or PNG file (it is empty)"};
        owned.reset(fmemopen(bytes.data(), bytes.size(), "rb"));
        if (owned == nullptr) throw failure{name + ": out of memory"};
        f = owned.get();
    }
    unsigned char head[8] = {};
    const size_t got = std::fread(head, 1, sizeof head, f);
    std::rewind(f);
    if (got == sizeof head && png_sig_cmp(head, 0, sizeof head) == 0) return load_png(f, name);
    return load_pnm(f, name);
}

bool write_picture(FILE *f, const picture &p, picture_format format) {
    if (format == picture_format::pgm && p.channels != 1) {
        throw failure{"a colour picture cannot be written as PGM (name it .ppm, .pnm or .png)"};
    }
    if (format == picture_format::png) {
        if (p.width > kMostPngSide || p.height > kMostPngSide) throw failure{png_too_large(p)};
        return write_png(f, p, fast_png());
    }
    return write_pnm(
        f, p, format == picture_format::ppm || (format == picture_format::pnm && p.channels == 3));
}

std::string write_beside(const std::string &path, const picture &p) {
    const picture_format format = format_for(path);
    if (p.width < 1 || p.height < 1 || (p.channels != 1 && p.channels != 3) ||
        p.pixels.size() != size_t(p.width) * size_t(p.height) * size_t(p.channels)) {
        throw failure{path + ": nothing to write (empty picture)"};
    }
    if (format == picture_format::pgm && p.channels != 1) {
        throw failure{path +
                      ": a colour picture cannot be written as PGM (name it .ppm, .pnm or .png)"};
    }
    if (format == picture_format::png && (p.width > kMostPngSide || p.height > kMostPngSide))
        throw failure{path + ": " + png_too_large(p)};
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A FIFO or a device is written into, not replaced.
        if (S_ISDIR(st.st_mode)) throw failure{path + ": is a directory"};
        file_ptr f(std::fopen(path.c_str(), "wb"));
        if (f == nullptr) throw cannot_write(path, errno);
        errno = 0;
        bool ok = write_picture(f.get(), p, format);
        ok = std::fflush(f.get()) == 0 && ok;
        if (!ok) throw cannot_write(path, errno);
        return "";
    }
    // Written beside the target, then renamed over it: a failure never leaves half a file.
    std::string temporary = path + ".part" + std::to_string(getpid());
    file_ptr f(std::fopen(temporary.c_str(), "wb"));
    if (f == nullptr) throw cannot_write(path, errno);
    errno = 0;
    bool ok = write_picture(f.get(), p, format);
    ok = std::fflush(f.get()) == 0 && ok;
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok) {
        const int e = errno;
        std::remove(temporary.c_str());
        throw cannot_write(path, e);
    }
    return temporary;
}

void put_in_place(const std::string &temporary, const std::string &path) {
    if (temporary.empty() || std::rename(temporary.c_str(), path.c_str()) == 0) return;
    const int e = errno;
    std::remove(temporary.c_str());
    throw cannot_write(path, e);
}

void save_picture(const std::string &path, const picture &p) {
    put_in_place(write_beside(path, p), path);
}

}  // namespace tamsa::tools
