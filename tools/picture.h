// Pictures in files, for the command: PNM (PPM, PGM; binary or plain, 8 or 16 bits) and PNG,
// read into host memory with the channels in red, green, blue order, 8 bits each, and written
// whole or not at all.
#ifndef TAMSA_TOOLS_PICTURE_H
#define TAMSA_TOOLS_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tamsa::tools {

struct picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;  // 3: red, green, blue; 1: grey
    std::vector<uint8_t> pixels;
    bool dropped_alpha = false;  // set by load_picture when the file had transparency
};

// What a file name asks for, by its extension in any case.
enum class picture_format {
    ppm,  // .ppm: binary colour PPM (grey pictures are written as colour)
    pgm,  // .pgm: binary PGM (grey pictures only)
    pnm,  // .pnm: PGM for grey pictures, PPM for colour ones
    png,  // .png: grey or colour, as the picture is
};

// The widest and tallest PNG written.
inline constexpr int32_t kMostPngSide = 1000000;

// The format of a file name; throws cli::usage_error naming the extensions known.
picture_format format_for(const std::string &path);

// Reads a PNM or PNG file (told apart by their first bytes); "-" reads standard input. Pipes and
// FIFOs are read whole first. Throws cli::failure with a one-line reason when the file cannot
// be read or is not a picture this reads.
picture load_picture(const std::string &path);
// Writes the picture in the format its name asks for. The file appears only once it is
// complete (a FIFO or device there is written into instead). Throws cli::failure on failure
// (cli::usage_error for an unknown extension).
void save_picture(const std::string &path, const picture &p);
// save_picture in two steps, so that pictures can be written side by side and still appear in
// order: write_beside() writes the whole file beside path and returns its name (or "" when it
// wrote into a FIFO or device there), put_in_place() renames it over path. Both throw as
// save_picture does, and leave no file beside path when they do.
std::string write_beside(const std::string &path, const picture &p);
void put_in_place(const std::string &temporary, const std::string &path);
// Writes the picture to an open stream, such as standard output; false when writing failed.
// Throws cli::failure when the picture cannot be written in that format.
bool write_picture(FILE *f, const picture &p, picture_format format);

// Colour-cube indexes (0..215) spread to their colours: index c holds the levels c / 36,
// c / 6 % 6 and c % 6 of the first, second and third channel, each level 51 apart. The
// indexes may be the last third of rgb's bytes: each is read before its pixel is written.
void cube_colours(const uint8_t *indexes, size_t count, uint8_t *rgb);

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

}  // namespace tamsa::tools

#endif
