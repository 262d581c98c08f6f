// Pictures in files, for the command: PPM (P5, P6) and PNG, read into host memory with the
// channels in red, green, blue order, and written whole or not at all.
#ifndef TAMSA_TOOLS_PICTURE_H
#define TAMSA_TOOLS_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace tamsa::tools {

struct picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;  // 3: red, green, blue; 1: grey
    std::vector<uint8_t> pixels;
};

// Reads a PPM or PNG file (told apart by their first bytes). Throws cli::usage_error with a
// one-line reason when the file cannot be read or is not a picture this reads.
picture load_picture(const std::string &path);
// Writes PNG when the name ends in .png, binary PPM otherwise. The file appears only once it is
// complete. Throws cli::usage_error on failure.
void save_picture(const std::string &path, const picture &p);

}  // namespace tamsa::tools

#endif
