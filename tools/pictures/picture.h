// Pictures in files, for the command and the Python module: PNM (PPM, PGM; binary or plain, 8 or
// 16 bits), PAM, PNG and JPEG, read into host memory with the channels in red, green, blue order,
// 8 bits each, and written whole or not at all. This prints nothing: what it dropped or did not
// apply is in the picture it returns, for the caller to say.
#ifndef TAMSA_TOOLS_PICTURES_PICTURE_H
#define TAMSA_TOOLS_PICTURES_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tamsa::tools {

// Pixels where they already are (a bitmap of the library, an array of the Python module's
// caller), as the writers read them: rows of width * channels bytes, one after the other.
struct picture_view {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;
    const uint8_t *pixels = nullptr;
    size_t size() const { return size_t(width) * size_t(height) * size_t(channels); }
};

struct picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;  // 3: red, green, blue; 1: grey
    std::vector<uint8_t> pixels;
    bool dropped_alpha = false;  // set by load_picture when the file had transparency
    int32_t orientation = 1;     // a JPEG's EXIF orientation (1..8), not applied: 1 is upright
    picture_view view() const { return {width, height, channels, pixels.data()}; }
};

// What a file name asks for, by its extension in any case.
enum class picture_format {
    ppm,   // .ppm: binary colour PPM (grey pictures are written as colour)
    pgm,   // .pgm: binary PGM (grey pictures only)
    pnm,   // .pnm: PGM for grey pictures, PPM for colour ones
    png,   // .png: grey or colour, as the picture is
    pam,   // .pam: PAM (P7), GRAYSCALE or RGB, as the picture is
    jpeg,  // .jpg, .jpeg: baseline JPEG, grey or colour (4:2:0), as the picture is
};

// The widest and tallest JPEG the format holds.
inline constexpr int32_t kMostJpegSide = 65535;
// JPEG quality, 1..100, and what the command writes by default.
inline constexpr int32_t kDefaultJpegQuality = 90;

// The widest and tallest PNG written.
inline constexpr int32_t kMostPngSide = 1000000;

// The format of a file name; throws cli::usage_error naming the extensions known.
picture_format format_for(const std::string &path);
// The format a name such as "png" or "JPEG" asks for (--format, Python's format=); throws
// cli::usage_error naming the formats known.
picture_format format_named(const std::string &name);
// Why a picture of this size cannot be written in this format, or "" when it can.
std::string too_large_for(picture_format format, int32_t width, int32_t height);
// A colour picture's BT.601 luma, rounded: what PGM gets of a colour picture.
picture grey_of(const picture &p);

// What a file held, beside its pixels.
struct picture_info {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;  // as the file has them: 3 colour, 1 grey
    bool dropped_alpha = false;
    int32_t orientation = 1;
};

// A buffer of 2 MiB or more starts on a huge page, and its whole huge pages come as such where
// the system gives them on request: fresh, they take a fault per 2 MiB instead of per 4 KiB when
// first touched. The heap hands the block out again as it would any other. Uncleared; null
// data when there is no memory. Free the block with std::free.
struct huge_buffer {
    void *block = nullptr;
    uint8_t *data = nullptr;
};
huge_buffer allocate_in_huge_pages(size_t size);
// For tests: the next n calls of allocate_in_huge_pages find no memory, as on a full heap.
void fail_huge_buffers(int32_t n);

// Memory for a picture's pixels, asked for once its size is known: width * height * channels
// bytes, rows one after the other. Null when there is none.
using pixel_place = std::function<uint8_t *(int32_t width, int32_t height, int32_t channels)>;

// Reads a PNM, PAM, PNG or JPEG file (told apart by their first bytes); "-" reads standard
// input. Pipes and FIFOs are read whole first. Throws cli::failure with a one-line reason when
// the file cannot be read or is not a picture this reads.
picture load_picture(const std::string &path);
// The same from bytes in memory; name is what the messages call them.
picture load_picture_bytes(const uint8_t *bytes, size_t size, const std::string &name);
// load_picture decoding straight into memory of the caller's, which place gives: with channels
// 3 a grey picture comes as colour (each level three times), with 0 as the file has it. Beyond
// that memory, only what the format needs is held (a JPEG file's bytes, a row or two). Throws
// as load_picture does (out of memory when place gives null); place may have been asked then.
picture_info load_picture_into(const std::string &path, int32_t channels, const pixel_place &place);
// The same from bytes in memory; name is what the messages call them.
picture_info load_picture_bytes_into(const uint8_t *bytes, size_t size, const std::string &name,
                                     int32_t channels, const pixel_place &place);
// Writes the picture in the format its name asks for. The file appears only once it is
// complete (a FIFO or device there is written into instead). Throws cli::failure on failure
// (cli::usage_error for an unknown extension). A colour picture written as PGM is made grey.
void save_picture(const std::string &path, const picture &p);
// The same in the format given, JPEG at the quality given (1..100).
void save_picture(const std::string &path, const picture &p, picture_format format,
                  int32_t quality);
void save_picture(const std::string &path, const picture_view &p, picture_format format,
                  int32_t quality);
// save_picture in two steps, so that pictures can be written side by side and still appear in
// order: write_beside() writes the whole file beside path and returns its name (or "" when it
// wrote into a FIFO or device there), put_in_place() renames it over path. Both throw as
// save_picture does, and leave no file beside path when they do.
std::string write_beside(const std::string &path, const picture &p);
std::string write_beside(const std::string &path, const picture &p, picture_format format,
                         int32_t quality);
std::string write_beside(const std::string &path, const picture_view &p, picture_format format,
                         int32_t quality);
void put_in_place(const std::string &temporary, const std::string &path);
// Writes the picture to an open stream, such as standard output; false when writing failed.
// Throws cli::failure when the picture cannot be written in that format.
bool write_picture(FILE *f, const picture &p, picture_format format,
                   int32_t quality = kDefaultJpegQuality);
bool write_picture(FILE *f, const picture_view &p, picture_format format, int32_t quality);

// Colour-cube indexes (0..215) spread to their colours: index c holds the levels c / 36,
// c / 6 % 6 and c % 6 of the first, second and third channel, each level 51 apart. The
// indexes may be the last third of rgb's bytes: each is read before its pixel is written.
void cube_colours(const uint8_t *indexes, size_t count, uint8_t *rgb);

// A colour picture whose every pixel is grey, as a grey picture into grey; false, with grey
// untouched, for any other picture.
bool grey_of(const picture_view &p, picture &grey);

// Pictures turned and mirrored by moving pixels, none made anew, for any bytes per pixel (bpp).
// turn_pixels writes into out the picture turned counter-clockwise by quarters (1 to 3) quarter
// turns: height x width for 1 and 3, width x height for 2. flip_pixels mirrors in place: across
// exchanges left and right, otherwise top and bottom.
void turn_pixels(const uint8_t *in, int32_t width, int32_t height, int32_t bpp, int32_t quarters,
                 uint8_t *out);
void flip_pixels(uint8_t *pixels, int32_t width, int32_t height, int32_t bpp, bool across);

// How PNG files are compressed: zlib level and strategy, and the row filters libpng may use.
struct png_settings {
    int level;
    int strategy;
    int filters;
};
// The settings the command writes with, chosen by measurement (see bench/png_bench.cpp).
png_settings fast_png();
// libpng's own defaults, for comparison.
png_settings default_png();
bool write_png(FILE *f, const picture &p, const png_settings &settings);
bool write_png(FILE *f, const picture_view &p, const png_settings &settings);

}  // namespace tamsa::tools

#endif
