// Files the command's tests feed it: Y4M clips of a chosen layout, PNGs with transparency, and
// JPEGs in forms the command reads or refuses.
#ifndef TAMSA_TESTS_TOOLS_FIXTURES_H
#define TAMSA_TESTS_TOOLS_FIXTURES_H

#include <png.h>
#include <turbojpeg.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/readers/clip.h"

namespace tamsa_test {

// A frame of the layout with every byte made from its index and the seed.
inline tamsa::tools::yuv_frame pattern_frame(
    int32_t w, int32_t h, uint8_t seed, tamsa::tools::chroma layout = tamsa::tools::chroma::c411) {
    tamsa::tools::yuv_frame f;
    f.width = w;
    f.height = h;
    f.layout = layout;
    f.y.resize(size_t(w) * size_t(h));
    const size_t c = size_t(tamsa::tools::chroma_width(layout, w)) *
                     size_t(tamsa::tools::chroma_height(layout, h));
    f.u.resize(c);
    f.v.resize(c);
    for (size_t i = 0; i < f.y.size(); ++i) f.y[i] = uint8_t(i * 7 + seed);
    for (size_t i = 0; i < f.u.size(); ++i) f.u[i] = uint8_t(i * 3 + seed + 1);
    for (size_t i = 0; i < f.v.size(); ++i) f.v[i] = uint8_t(i * 5 + seed + 2);
    return f;
}

// Writes a Y4M clip; tail is appended after the frames (a cut-off frame, say).
inline void write_clip(const std::string &path, const std::vector<tamsa::tools::yuv_frame> &frames,
                       const std::string &extra_tags = "", const std::string &tail = "") {
    FILE *f = std::fopen(path.c_str(), "wb");
    tamsa::tools::write_y4m(f, frames, extra_tags);
    std::fwrite(tail.data(), 1, tail.size(), f);
    std::fclose(f);
}

// A 16-bit RGBA PNG one row high, made with libpng as other programs write them.
inline void write_rgba16_png(const std::string &path, const std::vector<uint16_t> &samples) {
    FILE *f = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(samples.size() / 4), 1, 16, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row;
    for (uint16_t v : samples) {
        row.push_back(uint8_t(v >> 8));
        row.push_back(uint8_t(v));
    }
    png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// A JPEG of a w x h picture made from its pixels' indexes: colour (3 channels), grey (1), or
// CMYK (4, written as YCCK); progressive when asked.
inline std::string test_jpeg(int32_t w, int32_t h, int32_t channels, bool progressive = false,
                             int quality = 90) {
    std::vector<uint8_t> pixels(size_t(w) * size_t(h) * size_t(channels));
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i / size_t(channels) * 5 + i);
    tjhandle tj = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    const int format = channels == 1 ? TJPF_GRAY : channels == 3 ? TJPF_RGB : TJPF_CMYK;
    tjCompress2(tj, pixels.data(), w, 0, h, format, &out, &size,
                channels == 1 ? TJSAMP_GRAY : TJSAMP_420, quality,
                progressive ? TJFLAG_PROGRESSIVE : 0);
    std::string bytes(reinterpret_cast<const char *>(out), size);
    tjFree(out);
    tjDestroy(tj);
    return bytes;
}

// The JPEG with an EXIF block (APP1) after its start marker that gives this orientation, in
// either byte order.
inline std::string with_exif(const std::string &jpeg, int orientation, bool little = false) {
    const auto u16 = [little](int v) {
        const char hi = char(v >> 8), lo = char(v & 255);
        return little ? std::string{lo, hi} : std::string{hi, lo};
    };
    const std::string tiff =
        (little ? std::string("II") : std::string("MM")) + u16(42) +
        (little ? std::string("\x08\0\0\0", 4) : std::string("\0\0\0\x08", 4)) + u16(1) +
        u16(0x0112) + u16(3) +
        (little ? std::string("\x01\0\0\0", 4) : std::string("\0\0\0\x01", 4)) + u16(orientation) +
        std::string(2, '\0') + std::string(4, '\0');
    const std::string body = std::string("Exif\0\0", 6) + tiff;
    const size_t length = body.size() + 2;
    const std::string segment =
        std::string("\xff\xe1", 2) + char(length >> 8) + char(length & 255) + body;
    return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

}  // namespace tamsa_test

#endif
