// The ranges and named choices of the library's settings that the `tamsa` command and the
// Python module take from people, in one place so that their checks and help say the same.
// Not installed.
#ifndef TAMSA_INTERNAL_SETTINGS_H
#define TAMSA_INTERNAL_SETTINGS_H

#include <cstdint>

#include "tamsa/tamsa.h"

namespace tamsa::settings {

struct range {
    int32_t low, high;
    constexpr bool holds(int64_t v) const { return v >= low && v <= high; }
};

// Correction: contrast in percent around mid-grey (100 keeps), then brightness added.
inline constexpr range kContrast{-100000, 100000};
inline constexpr int32_t kContrastKept = 100;
inline constexpr range kBrightness{-255, 255};
// Blits: transparency in percent (0 covers).
inline constexpr range kTransparency{0, 100};

// The threshold matrices of ordered dithering, by kv_dither's type: name for Python, words for
// the command's help, and the library's own cells.
struct dither_matrix {
    int32_t type;
    const char *name;
    const char *words;
    const uint8_t *cells;
    int32_t size;
};

inline constexpr dither_matrix kDitherMatrices[] = {
    {1, "classical_screen", "classical screen", &ClassicalScreen[0][0], 8},
    {2, "rectangular", "rectangular", &Rectangular[0][0], 3},
    {3, "halftone", "halftone", &Halftone[0][0], 6},
    {4, "bayer4", "Bayer", &Bayer4[0][0], 4},
    {5, "bayer16", "Bayer", &Bayer16[0][0], 16},
    {6, "four_stars", "four stars", &FourStars[0][0], 5},
    {7, "box", "box", &BoxDither[0][0], 5},
};
inline constexpr range kDitherType{1, int32_t(sizeof kDitherMatrices / sizeof kDitherMatrices[0])};

}  // namespace tamsa::settings

#endif
