// Helpers shared by the files of the graphics library and reached by its tests by name. Not
// installed.
#ifndef TAMSA_GFX_GFX_H
#define TAMSA_GFX_GFX_H

#include <cstdint>

#include "tamsa/tamsa.h"

namespace tamsa {

// Palette pen lookup through the graphics library's FindColor.
uint32_t pen_lookup(uint32_t graphics_base, uint32_t colourmap, uint32_t red, uint32_t green,
                    uint32_t blue, int32_t limit);

// Shear helpers.
int32_t maxval(int32_t a, int32_t b);
int32_t interpol(int32_t a, int32_t b, int32_t percent);

// Rotation steps.
void CalculateBoundary(int32_t *out_width, int32_t *out_height, int32_t width, int32_t height,
                       float angle);
int32_t CreateFrame(kv_bitmap *bitmap, int32_t red, int32_t green, int32_t blue,
                    int32_t target_width, int32_t target_height, float angle);
void CalculateImage(const kv_bitmap *source, kv_bitmap *destination, float angle);

}  // namespace tamsa

#endif
