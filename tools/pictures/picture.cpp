#include "tools/pictures/picture.h"

#include <png.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/commands/cli.h"

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

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

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

// Binary samples of 1 or 2 bytes (big-endian) up to maxval, brought to 8 bits, rounded to the
// nearest level.
void read_samples(FILE *f, const std::string &path, int64_t maxval, uint8_t *out, size_t samples) {
    if (maxval == 255) {
        if (std::fread(out, 1, samples, f) != samples)
            throw failure{path + ": file ends inside its pixels"};
        return;
    }
    const size_t bytes_per_sample = maxval > 255 ? 2 : 1;
    std::vector<uint8_t> raw(samples * bytes_per_sample);
    if (std::fread(raw.data(), 1, raw.size(), f) != raw.size())
        throw failure{path + ": file ends inside its pixels"};
    for (size_t i = 0; i < samples; ++i) {
        const int64_t v =
            bytes_per_sample == 2 ? (int64_t(raw[2 * i]) << 8) | raw[2 * i + 1] : int64_t(raw[i]);
        if (v > maxval)
            throw failure{path + ": a sample exceeds the maximum " + std::to_string(maxval)};
        out[i] = uint8_t((v * 255 + maxval / 2) / maxval);
    }
}

// Where a loader puts the pixels: the caller's memory, with the channels it asks for.
struct target {
    const std::string &path;
    int32_t channels;  // 3: a grey picture comes as colour; 0: as the file has it
    const pixel_place &place;

    int32_t channels_for(int32_t file_channels) const { return channels == 3 ? 3 : file_channels; }
    // The memory for a picture of the file's channels.
    uint8_t *take(int32_t w, int32_t h, int32_t file_channels) const {
        uint8_t *at = place(w, h, channels_for(file_channels));
        if (at == nullptr) {
            throw failure{path + ": out of memory for a " + std::to_string(w) + "x" +
                          std::to_string(h) + " picture"};
        }
        return at;
    }
};

// Grey levels at the front of pixels spread to colour, from the back, so that each level is
// read before its place is written.
void grey_to_colour(uint8_t *pixels, size_t count) {
    for (size_t i = count; i-- > 0;)
        pixels[3 * i] = pixels[3 * i + 1] = pixels[3 * i + 2] = pixels[i];
}

// A PAM file (P7): a header of NAME VALUE lines up to ENDHDR, then binary samples.
picture_info load_pam(FILE *f, const target &to) {
    const std::string &path = to.path;
    int64_t w = -1, h = -1, depth = -1, maxval = -1;
    std::string tuple;
    bool ended = false;
    std::string line;
    for (int c = std::fgetc(f); c != EOF && !ended; c = std::fgetc(f)) {
        if (c != '\n') {
            if (line.size() > 4096) throw failure{path + ": bad PAM header"};
            line += char(c);
            continue;
        }
        std::string word, value;
        size_t at = 0;
        while (at < line.size() && is_space(line[at])) ++at;
        const size_t word_end = line.find_first_of(" \t\r", at);
        word = line.substr(at, word_end == std::string::npos ? std::string::npos : word_end - at);
        if (word_end != std::string::npos) {
            value = line.substr(word_end);
            const size_t b = value.find_first_not_of(" \t\r");
            const size_t e = value.find_last_not_of(" \t\r");
            value = b == std::string::npos ? "" : value.substr(b, e - b + 1);
        }
        line.clear();
        if (word.empty() || word[0] == '#') continue;
        if (word == "ENDHDR") {
            ended = true;
            break;
        }
        const auto number = [&] {
            char *end = nullptr;
            const long long v = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || v < 0 || v > INT32_MAX)
                throw failure{path + ": bad PAM " + word};
            return int64_t(v);
        };
        if (word == "WIDTH") {
            w = number();
        } else if (word == "HEIGHT") {
            h = number();
        } else if (word == "DEPTH") {
            depth = number();
        } else if (word == "MAXVAL") {
            maxval = number();
        } else if (word == "TUPLTYPE") {
            tuple += (tuple.empty() ? "" : " ") + value;
        } else {
            throw failure{path + ": unknown PAM header line '" + word + "'"};
        }
    }
    if (!ended) throw failure{path + ": file ends inside its header"};
    if (w < 1 || h < 1 || w * h > cli::kMaxPixels) throw failure{path + ": bad picture size"};
    if (maxval < 1 || maxval > 65535) throw failure{path + ": bad maximum sample value (1..65535)"};
    // The tuple type says what the channels are; without one they would be a guess.
    struct kind {
        const char *name;
        int64_t depth;
    };
    constexpr kind kKinds[] = {
        {"GRAYSCALE", 1}, {"RGB", 3}, {"GRAYSCALE_ALPHA", 2}, {"RGB_ALPHA", 4}};
    const kind *known = nullptr;
    for (const kind &k : kKinds) {
        if (tuple == k.name) known = &k;
    }
    if (known == nullptr) {
        throw failure{path + ": PAM of tuple type '" + tuple +
                      "' is not read (GRAYSCALE, RGB and their _ALPHA forms are)"};
    }
    if (depth != known->depth) {
        throw failure{path + ": PAM " + tuple + " with depth " + std::to_string(depth) +
                      " (it takes " + std::to_string(known->depth) + ")"};
    }
    picture_info p;
    p.width = int32_t(w);
    p.height = int32_t(h);
    p.channels = depth >= 3 ? 3 : 1;
    p.dropped_alpha = depth == 2 || depth == 4;
    const size_t pixels = size_t(w * h);
    uint8_t *out = to.take(p.width, p.height, p.channels);
    const size_t c = size_t(p.channels), oc = size_t(to.channels_for(p.channels));
    if (!p.dropped_alpha) {
        read_samples(f, path, maxval, out, pixels * c);
        if (oc != c) grey_to_colour(out, pixels);
        return p;
    }
    // The alpha sample after each pixel's levels goes.
    std::vector<uint8_t> samples(pixels * size_t(depth));
    read_samples(f, path, maxval, samples.data(), samples.size());
    for (size_t i = 0; i < pixels; ++i) {
        for (size_t k = 0; k < oc; ++k) out[i * oc + k] = samples[i * (c + 1) + (c == 1 ? 0 : k)];
    }
    return p;
}

picture_info load_pnm(FILE *f, const target &to) {
    const std::string &path = to.path;
    char magic[2] = {};
    if (std::fread(magic, 1, 2, f) == 2 && magic[0] == 'P' && magic[1] == '7') {
        const int c = std::fgetc(f);
        if (c != '\n') throw failure{path + ": bad PAM header"};
        return load_pam(f, to);
    }
    if (magic[0] != 'P' || magic[1] < '1' || magic[1] > '6')
        throw failure{path + ": not a PNM, PAM, PNG or JPEG file"};
    if (magic[1] == '1' || magic[1] == '4')
        throw failure{path + ": PBM bitmaps (P1, P4) are not read; PPM and PGM are"};
    const bool plain = magic[1] == '2' || magic[1] == '3';
    picture_info p;
    p.channels = magic[1] == '3' || magic[1] == '6' ? 3 : 1;
    const int64_t w = pnm_number(f, path, "header");
    const int64_t h = pnm_number(f, path, "header");
    const int64_t maxval = pnm_number(f, path, "header");
    if (w < 1 || h < 1 || w * h > cli::kMaxPixels) throw failure{path + ": bad picture size"};
    if (maxval < 1 || maxval > 65535) throw failure{path + ": bad maximum sample value (1..65535)"};
    p.width = int32_t(w);
    p.height = int32_t(h);
    const size_t samples = size_t(w * h * p.channels);
    uint8_t *out = to.take(p.width, p.height, p.channels);
    if (!plain) {
        read_samples(f, path, maxval, out, samples);
    } else {
        // Other depths are brought to 8 bits, rounded to the nearest level.
        for (size_t i = 0; i < samples; ++i) {
            const int64_t v = pnm_number(f, path, "pixels");
            if (v > maxval)
                throw failure{path + ": a sample exceeds the maximum " + std::to_string(maxval)};
            out[i] = uint8_t((v * 255 + maxval / 2) / maxval);
        }
    }
    if (to.channels_for(p.channels) != p.channels) grey_to_colour(out, size_t(w * h));
    return p;
}

struct tj_closer {
    void operator()(void *handle) const { tjDestroy(handle); }
};
using tj_ptr = std::unique_ptr<void, tj_closer>;

bool is_jpeg(const uint8_t *head, size_t size) {
    return size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

// The orientation an EXIF block (APP1) before the picture's data gives, 1 when there is none.
int32_t exif_orientation(const uint8_t *data, size_t size) {
    size_t at = 2;
    while (at + 4 <= size && data[at] == 0xFF) {
        const uint8_t marker = data[at + 1];
        if (marker == 0xDA || marker == 0xD9) break;  // the scan's data, or the end
        const size_t length = size_t(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || at + 2 + length > size) break;
        const uint8_t *segment = data + at + 4;
        const size_t n = length - 2;
        if (marker == 0xE1 && n >= 14 && std::memcmp(segment, "Exif\0\0", 6) == 0) {
            const uint8_t *tiff = segment + 6;
            const size_t tn = n - 6;
            const bool little = tiff[0] == 'I' && tiff[1] == 'I';
            if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
            const auto u16 = [&](size_t o) {
                return little ? uint32_t(tiff[o]) | uint32_t(tiff[o + 1]) << 8
                              : uint32_t(tiff[o]) << 8 | uint32_t(tiff[o + 1]);
            };
            const auto u32 = [&](size_t o) {
                return little ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2);
            };
            const size_t ifd = u32(4);
            if (ifd + 2 > tn) return 1;
            const size_t entries = u16(ifd);
            for (size_t e = 0; e < entries && ifd + 2 + 12 * (e + 1) <= tn; ++e) {
                const size_t entry = ifd + 2 + 12 * e;
                if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
                    const uint32_t v = u16(entry + 8);
                    return v >= 1 && v <= 8 ? int32_t(v) : 1;
                }
            }
            return 1;
        }
        at += 2 + length;
    }
    return 1;
}

// Decoded straight into the picture's own buffer. Anything the decoder warns about (data cut
// short, a corrupt block) fails the read: the picture would be partly made up.
picture_info load_jpeg(const uint8_t *data, size_t size, const target &to) {
    const std::string &path = to.path;
    tj_ptr tj(tjInitDecompress());
    if (tj == nullptr) throw failure{path + ": out of memory"};
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(tj.get(), data, static_cast<unsigned long>(size), &w, &h, &subsampling,
                            &colourspace) != 0) {
        throw failure{path + ": bad JPEG file (" + tjGetErrorStr2(tj.get()) + ")"};
    }
    if (colourspace == TJCS_CMYK || colourspace == TJCS_YCCK)
        throw failure{path + ": CMYK JPEG pictures are not read (convert it to RGB first)"};
    if (w < 1 || h < 1) throw failure{path + ": bad JPEG file (no picture size)"};
    if (int64_t(w) * h > cli::kMaxPixels) throw failure{path + ": bad picture size"};
    picture_info p;
    p.width = w;
    p.height = h;
    p.channels = colourspace == TJCS_GRAY ? 1 : 3;
    p.orientation = exif_orientation(data, size);
    // The decoder spreads grey to colour itself where colour is asked for.
    uint8_t *out = to.take(w, h, p.channels);
    if (tjDecompress2(tj.get(), data, static_cast<unsigned long>(size), out, w, 0, h,
                      to.channels_for(p.channels) == 1 ? TJPF_GRAY : TJPF_RGB,
                      TJFLAG_STOPONWARNING) != 0) {
        throw failure{path + ": bad JPEG file (" + tjGetErrorStr2(tj.get()) + ")"};
    }
    return p;
}

bool write_jpeg(FILE *f, const picture_view &p, int32_t quality) {
    tj_ptr tj(tjInitCompress());
    if (tj == nullptr) return false;
    const bool grey = p.channels == 1;
    const int sampling = grey ? TJSAMP_GRAY : TJSAMP_420;
    // Room for the largest file the picture can make, of which only what is written is touched:
    // in huge pages, the compressor's output takes a fault or two, not one per 4 KiB.
    unsigned long size = tjBufSize(p.width, p.height, sampling);
    const huge_buffer room =
        size == static_cast<unsigned long>(-1) ? huge_buffer{} : allocate_in_huge_pages(size);
    unsigned char *out = room.data;
    if (out == nullptr) size = 0;  // the compressor's own memory, then
    const int done =
        tjCompress2(tj.get(), p.pixels, p.width, 0, p.height, grey ? TJPF_GRAY : TJPF_RGB, &out,
                    &size, sampling, quality, room.data != nullptr ? TJFLAG_NOREALLOC : 0);
    const bool ok = done == 0 && std::fwrite(out, 1, size, f) == size;
    if (room.data == nullptr) tjFree(out);
    std::free(room.block);
    return ok;
}

// BT.601 luma in 16-bit fixed point: the weights add up to 65536, so white stays 255.
void luma_row(const uint8_t *rgb, size_t width, uint8_t *grey) {
    for (size_t x = 0; x < width; ++x) {
        const uint32_t y = 19595u * rgb[3 * x] + 38470u * rgb[3 * x + 1] + 7471u * rgb[3 * x + 2];
        grey[x] = uint8_t((y + 32768u) >> 16);
    }
}

bool write_pam(FILE *f, const picture_view &p) {
    if (std::fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n",
                     p.width, p.height, p.channels, p.channels == 3 ? "RGB" : "GRAYSCALE") <= 0)
        return false;
    return std::fwrite(p.pixels, 1, p.size(), f) == p.size();
}

picture_info load_png(FILE *f, const target &to) {
    const std::string &path = to.path;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, png_warned);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        throw failure{path + ": out of memory"};
    }
    picture_info p;
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
    p.width = int32_t(w);
    p.height = int32_t(h);
    p.channels = grey ? 1 : 3;
    const int32_t channels = to.channels_for(p.channels);
    if (channels != p.channels) png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    uint8_t *out = nullptr;
    try {
        out = to.take(p.width, p.height, p.channels);
        rows.resize(h);
    } catch (...) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw;
    }
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = out + size_t(y) * w * size_t(channels);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return p;
}

bool write_pnm(FILE *f, const picture_view &p, bool colour) {
    if (std::fprintf(f, "P%c\n%d %d\n255\n", colour ? '6' : '5', p.width, p.height) <= 0)
        return false;
    if (colour == (p.channels == 3)) return std::fwrite(p.pixels, 1, p.size(), f) == p.size();
    // A grey picture as colour: each level three times; a colour one as grey: its luma. A row
    // at a time.
    const size_t w = size_t(p.width);
    std::vector<uint8_t> row(colour ? w * 3 : w);
    for (int32_t y = 0; y < p.height; ++y) {
        const uint8_t *in = p.pixels + size_t(y) * w * size_t(p.channels);
        if (colour) {
            for (size_t x = 0; x < w; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = in[x];
        } else {
            luma_row(in, w, row.data());
        }
        if (std::fwrite(row.data(), 1, row.size(), f) != row.size()) return false;
    }
    return true;
}

struct extension {
    const char *suffix;
    picture_format format;
};
constexpr extension kExtensions[] = {{".ppm", picture_format::ppm},  {".pgm", picture_format::pgm},
                                     {".pnm", picture_format::pnm},  {".png", picture_format::png},
                                     {".pam", picture_format::pam},  {".jpg", picture_format::jpeg},
                                     {".jpeg", picture_format::jpeg}};

// Reads a whole stream into memory.
std::vector<uint8_t> read_all(FILE *f, const std::string &name) {
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    if (std::ferror(f)) throw failure{name + ": " + std::strerror(errno)};
    return bytes;
}

// A regular file whole, as large as it says it is, read in one go (from the start).
std::vector<uint8_t> read_file(FILE *f, const struct stat &st, const std::string &name) {
    std::vector<uint8_t> bytes(size_t(st.st_size));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    if (std::ferror(f)) throw failure{name + ": " + std::strerror(errno)};
    bytes.resize(got);
    // A file that grew since: the rest as a stream.
    if (got == size_t(st.st_size)) {
        const std::vector<uint8_t> rest = read_all(f, name);
        bytes.insert(bytes.end(), rest.begin(), rest.end());
    }
    return bytes;
}

// A PNM, PAM or PNG picture from an open stream, told apart by their first bytes.
picture_info load_stream(FILE *f, const target &to) {
    unsigned char head[8] = {};
    const size_t got = std::fread(head, 1, sizeof head, f);
    std::rewind(f);
    if (got == sizeof head && png_sig_cmp(head, 0, sizeof head) == 0) return load_png(f, to);
    return load_pnm(f, to);
}

picture_info load_bytes(const uint8_t *bytes, size_t size, const target &to) {
    if (size == 0) throw failure{to.path + ": not a PNM, PAM, PNG or JPEG file (it is empty)"};
    if (is_jpeg(bytes, size)) return load_jpeg(bytes, size, to);
    // fmemopen only reads here, whatever its pointer type says.
    file_ptr f(fmemopen(const_cast<uint8_t *>(bytes), size, "rb"));
    if (f == nullptr) throw failure{to.path + ": out of memory"};
    return load_stream(f.get(), to);
}

// A picture of the pixels load_picture_into puts in its own buffer.
picture into_picture(const std::function<picture_info(const target &)> &load,
                     const std::string &name) {
    picture p;
    const pixel_place place = [&p](int32_t w, int32_t h, int32_t c) {
        p.pixels.resize(size_t(w) * size_t(h) * size_t(c));
        return p.pixels.data();
    };
    const picture_info info = load(target{name, 0, place});
    p.width = info.width;
    p.height = info.height;
    p.channels = info.channels;
    p.dropped_alpha = info.dropped_alpha;
    p.orientation = info.orientation;
    return p;
}

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
    return write_png(f, p.view(), settings);
}

bool write_png(FILE *f, const picture_view &p, const png_settings &settings) {
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
    for (int32_t y = 0; y < p.height; ++y) png_write_row(png, p.pixels + size_t(y) * row_bytes);
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

bool grey_of(const picture_view &p, picture &grey) {
    if (p.channels != 3) return false;
    const size_t n = size_t(p.width) * size_t(p.height);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *px = p.pixels + i * 3;
        if (px[0] != px[1] || px[0] != px[2]) return false;
    }
    grey.width = p.width;
    grey.height = p.height;
    grey.channels = 1;
    grey.pixels.resize(n);
    for (size_t i = 0; i < n; ++i) grey.pixels[i] = p.pixels[i * 3];
    return true;
}

namespace {

template <int Bpp>
void turn_as(const uint8_t *in, size_t w, size_t h, size_t bpp, int32_t quarters, uint8_t *out) {
    const size_t n = Bpp > 0 ? size_t(Bpp) : bpp;
    const size_t ow = quarters == 2 ? w : h, oh = quarters == 2 ? h : w;
    // In tiles, so that the column read of one side stays in the cache.
    constexpr size_t kTile = 32;
    for (size_t ty = 0; ty < oh; ty += kTile) {
        for (size_t tx = 0; tx < ow; tx += kTile) {
            for (size_t y = ty; y < std::min(oh, ty + kTile); ++y) {
                uint8_t *row = out + y * ow * n;
                for (size_t x = tx; x < std::min(ow, tx + kTile); ++x) {
                    // Where the pixel at (x, y) of the result comes from.
                    const size_t from_x = quarters == 1 ? w - 1 - y : quarters == 2 ? w - 1 - x : y;
                    const size_t from_y = quarters == 1 ? x : quarters == 2 ? h - 1 - y : h - 1 - x;
                    std::memcpy(row + x * n, in + (from_y * w + from_x) * n, n);
                }
            }
        }
    }
}

}  // namespace

void turn_pixels(const uint8_t *in, int32_t width, int32_t height, int32_t bpp, int32_t quarters,
                 uint8_t *out) {
    const size_t w = size_t(width), h = size_t(height), n = size_t(bpp);
    if (bpp == 1) return turn_as<1>(in, w, h, n, quarters, out);
    if (bpp == 3) return turn_as<3>(in, w, h, n, quarters, out);
    turn_as<0>(in, w, h, n, quarters, out);
}

void flip_pixels(uint8_t *pixels, int32_t width, int32_t height, int32_t bpp, bool across) {
    const size_t w = size_t(width), h = size_t(height), n = size_t(bpp);
    if (!across) {
        // Whole rows change places.
        std::vector<uint8_t> t(w * n);
        for (size_t y = 0; y < h / 2; ++y) {
            uint8_t *a = pixels + y * w * n, *b = pixels + (h - 1 - y) * w * n;
            std::memcpy(t.data(), a, w * n);
            std::memcpy(a, b, w * n);
            std::memcpy(b, t.data(), w * n);
        }
        return;
    }
    uint8_t t[16];
    for (size_t y = 0; y < h; ++y) {
        uint8_t *row = pixels + y * w * n;
        for (size_t x = 0; x < w / 2; ++x) {
            uint8_t *a = row + x * n, *b = row + (w - 1 - x) * n;
            for (size_t k = 0; k < n; k += sizeof t) {
                const size_t c = std::min(sizeof t, n - k);
                std::memcpy(t, a + k, c);
                std::memcpy(a + k, b + k, c);
                std::memcpy(b + k, t, c);
            }
        }
    }
}

picture_format format_for(const std::string &path) {
    const std::string name = lower(path);
    for (const extension &e : kExtensions) {
        const size_t n = std::strlen(e.suffix);
        if (name.size() > n && name.compare(name.size() - n, n, e.suffix) == 0) return e.format;
    }
    throw cli::usage_error{path +
                           ": unknown picture format (the name must end in .ppm, .pgm, "
                           ".pnm, .pam, .png, .jpg or .jpeg, in any case)"};
}

picture_format format_named(const std::string &name) {
    const std::string f = lower(name);
    for (const extension &e : kExtensions) {
        if (f == e.suffix + 1) return e.format;
    }
    throw cli::usage_error{"bad format '" + name +
                           "' (ppm, pgm, pnm, pam, png, jpeg or jpg, in any case)"};
}

std::string too_large_for(picture_format format, int32_t width, int32_t height) {
    // libpng refuses wider or taller pictures unless told otherwise; so do we, before the work.
    const int32_t most = format == picture_format::png    ? kMostPngSide
                         : format == picture_format::jpeg ? kMostJpegSide
                                                          : INT32_MAX;
    if (width <= most && height <= most) return "";
    return std::string(format == picture_format::png ? "a PNG" : "a JPEG") + " may be at most " +
           std::to_string(most) + " pixels wide and high, not " + std::to_string(width) + "x" +
           std::to_string(height) + " (name it .ppm or .pgm)";
}

picture grey_of(const picture &p) {
    if (p.channels == 1) return p;
    picture g;
    g.width = p.width;
    g.height = p.height;
    g.channels = 1;
    const size_t n = size_t(p.width) * size_t(p.height);
    g.pixels.resize(n);
    luma_row(p.pixels.data(), n, g.pixels.data());
    return g;
}

picture load_picture_bytes(const uint8_t *bytes, size_t size, const std::string &name) {
    return into_picture([&](const target &to) { return load_bytes(bytes, size, to); }, name);
}

namespace {
std::atomic<int32_t> huge_failures{0};
}  // namespace

void fail_huge_buffers(int32_t n) {
    huge_failures.store(n, std::memory_order_relaxed);
}

huge_buffer allocate_in_huge_pages(size_t size) {
    if (huge_failures.load(std::memory_order_relaxed) > 0 &&
        huge_failures.fetch_sub(1, std::memory_order_relaxed) > 0) {
        return {};
    }
    constexpr size_t kHuge = size_t(2) << 20;
    if (size < kHuge) {
        void *block = std::malloc(std::max<size_t>(size, 1));
        return {block, static_cast<uint8_t *>(block)};
    }
    // A huge page more than asked for, of which the part before the first boundary stays
    // untouched: a request of the same size each time, which the heap can meet again with the
    // same block, where an aligned allocation would map new memory every time.
    if (size > SIZE_MAX - kHuge) return {};
    void *block = std::malloc(size + kHuge);
    if (block == nullptr) return {};
    auto *data = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(block) + kHuge - 1) &
                                             ~uintptr_t(kHuge - 1));
    (void)madvise(data, size / kHuge * kHuge, MADV_HUGEPAGE);
    return {block, data};
}

picture_info load_picture_bytes_into(const uint8_t *bytes, size_t size, const std::string &name,
                                     int32_t channels, const pixel_place &place) {
    return load_bytes(bytes, size, target{name, channels, place});
}

picture load_picture(const std::string &path) {
    return into_picture(
        [&](const target &to) { return load_picture_into(path, to.channels, to.place); },
        path == "-" ? "standard input" : path);
}

picture_info load_picture_into(const std::string &path, int32_t channels,
                               const pixel_place &place) {
    const bool from_stdin = path == "-";
    const std::string name = from_stdin ? "standard input" : path;
    if (from_stdin && isatty(STDIN_FILENO) != 0)
        throw failure{"standard input is a terminal: pipe a picture in"};
    file_ptr owned(from_stdin ? nullptr : std::fopen(path.c_str(), "rb"));
    if (!from_stdin && owned == nullptr) throw failure{path + ": " + std::strerror(errno)};
    FILE *f = from_stdin ? stdin : owned.get();
    const target to{name, channels, place};
    struct stat st {};
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) throw failure{name + ": is a directory"};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A pipe or FIFO cannot go back to the start after the signature: it is read whole
        // first, and the picture read from memory.
        const std::vector<uint8_t> bytes = read_all(f, name);
        return load_bytes(bytes.data(), bytes.size(), to);
    }
    unsigned char head[3] = {};
    const size_t got = std::fread(head, 1, sizeof head, f);
    std::rewind(f);
    if (is_jpeg(head, got)) {
        // The decoder takes the whole file from memory: read at once, into a buffer of its size.
        const std::vector<uint8_t> bytes = read_file(f, st, name);
        return load_jpeg(bytes.data(), bytes.size(), to);
    }
    if (got == 0) throw failure{name + ": not a PNM, PAM, PNG or JPEG file (it is empty)"};
    return load_stream(f, to);
}

bool write_picture(FILE *f, const picture &p, picture_format format, int32_t quality) {
    return write_picture(f, p.view(), format, quality);
}

bool write_picture(FILE *f, const picture_view &p, picture_format format, int32_t quality) {
    const std::string large = too_large_for(format, p.width, p.height);
    if (!large.empty()) throw failure{large};
    if (quality < 1 || quality > 100) throw failure{"JPEG quality must lie in 1..100"};
    if (format == picture_format::png) return write_png(f, p, fast_png());
    if (format == picture_format::jpeg) return write_jpeg(f, p, quality);
    if (format == picture_format::pam) return write_pam(f, p);
    return write_pnm(
        f, p, format == picture_format::ppm || (format == picture_format::pnm && p.channels == 3));
}

std::string write_beside(const std::string &path, const picture &p) {
    return write_beside(path, p, format_for(path), kDefaultJpegQuality);
}

std::string write_beside(const std::string &path, const picture &p, picture_format format,
                         int32_t quality) {
    if (p.pixels.size() != size_t(p.width) * size_t(p.height) * size_t(p.channels))
        throw failure{path + ": nothing to write (empty picture)"};
    return write_beside(path, p.view(), format, quality);
}

std::string write_beside(const std::string &path, const picture_view &p, picture_format format,
                         int32_t quality) {
    if (p.width < 1 || p.height < 1 || (p.channels != 1 && p.channels != 3) ||
        p.pixels == nullptr) {
        throw failure{path + ": nothing to write (empty picture)"};
    }
    const std::string large = too_large_for(format, p.width, p.height);
    if (!large.empty()) throw failure{path + ": " + large};
    if (quality < 1 || quality > 100) throw failure{path + ": JPEG quality must lie in 1..100"};
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A FIFO or a device is written into, not replaced.
        if (S_ISDIR(st.st_mode)) throw failure{path + ": is a directory"};
        file_ptr f(std::fopen(path.c_str(), "wb"));
        if (f == nullptr) throw cannot_write(path, errno);
        errno = 0;
        bool ok = write_picture(f.get(), p, format, quality);
        ok = std::fflush(f.get()) == 0 && ok;
        if (!ok) throw cannot_write(path, errno);
        return "";
    }
    // Written beside the target, then renamed over it: a failure never leaves half a file.
    std::string temporary = path + ".part" + std::to_string(getpid());
    file_ptr f(std::fopen(temporary.c_str(), "wb"));
    if (f == nullptr) throw cannot_write(path, errno);
    errno = 0;
    bool ok = write_picture(f.get(), p, format, quality);
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

void save_picture(const std::string &path, const picture &p, picture_format format,
                  int32_t quality) {
    put_in_place(write_beside(path, p, format, quality), path);
}

void save_picture(const std::string &path, const picture_view &p, picture_format format,
                  int32_t quality) {
    put_in_place(write_beside(path, p, format, quality), path);
}

}  // namespace tamsa::tools
