/* Tamsa: the image-processing server of a video recorder and its chunky-bitmap library.
 *
 * One header for C and C++. Every function has C linkage and never throws.
 *
 * Conventions of this header: a function that can fail answers 1 for success and 0 for
 * failure, or a pointer that is null on failure; functions that answer nothing report nothing
 * and, given arguments they cannot use, do nothing. Sizes below 0, depths other than 1 or 3
 * where a depth is needed, and buffer sizes that do not fit in 31 bits are rejected with
 * nothing allocated or written; a size of 0 is a valid empty image.
 *
 * Ownership: every block the library hands out comes from PPCAllocVec. A kv_bitmap it returns
 * is the caller's, freed with kv_freebitmap; a palette with kv_freepalette; a block from
 * PPCAllocVec with PPCFreeVec. Operations that rebuild a bitmap in place free its old pixel
 * buffer themselves. The library keeps no reference to anything it returns.
 *
 * Threads: the functions may run in several threads at once on different buffers.
 */
#ifndef TAMSA_TAMSA_H
#define TAMSA_TAMSA_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TAMSA_API __attribute__((visibility("default")))
#else
#define TAMSA_API
#endif

/* The version of this header; tamsa_version() gives that of the library linked. */
#define TAMSA_VERSION_MAJOR 0
#define TAMSA_VERSION_MINOR 1
#define TAMSA_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version as major * 10000 + minor * 100 + patch. */
TAMSA_API int32_t tamsa_version(void);

/* ---- the CPU the kernels run on --------------------------------------------------------- */

/* The operations run vector kernels for the best level of the CPU. The environment variable
 * TAMSA_CPU, read once before the first kernel is picked, holds them to a lower level: plain
 * (no vector kernels, as a build without them), sse4, avx2, avx512, avx512vbmi on x86-64, neon,
 * sve, sve2 on aarch64. A name the library does not know, or a level this CPU or build does not
 * offer, changes nothing; the library says nothing about it, tamsa_cpu_setting() does. */
#define TAMSA_CPU_UNSET 0    /* TAMSA_CPU is not set, or empty */
#define TAMSA_CPU_HONOURED 1 /* the kernels are held to the level it names */
#define TAMSA_CPU_IGNORED 2  /* an unknown name, or a level not offered: the best level runs */
TAMSA_API int32_t tamsa_cpu_setting(void);
/* The levels this CPU and build offer, least first, separated by spaces ("plain sse4 avx2"). */
TAMSA_API const char *tamsa_cpu_levels(void);
/* The level the kernels run at. */
TAMSA_API const char *tamsa_cpu_level(void);

/* ---- threads ---------------------------------------------------------------------------- */

/* Operations on big pictures run in horizontal bands on several threads at once: the calling
 * thread and workers of a pool the library starts on first need (they take no signals, and the
 * process ends around them). The bytes are those of one thread. The number of threads is the
 * number of CPUs this process may run on, unless the environment variable TAMSA_THREADS, read
 * once, holds another from 1 (every operation on the calling thread alone) to 256; a value that
 * is not such a number changes nothing; the library says nothing about it,
 * tamsa_threads_setting() does. Callers on several threads at once share the pool: workers help
 * only while fewer threads than the number run bands, the callers counted. */
#define TAMSA_THREADS_UNSET 0    /* TAMSA_THREADS is not set, or empty */
#define TAMSA_THREADS_HONOURED 1 /* the number it holds is used */
#define TAMSA_THREADS_IGNORED 2  /* not a number from 1 to 256: the machine's number is used */
TAMSA_API int32_t tamsa_threads_setting(void);
/* The number of threads operations run on. */
TAMSA_API int32_t tamsa_threads(void);
/* Sets that number, 1 to 256, for operations that start from now on; 0 goes back to
 * TAMSA_THREADS or the machine's number. 1 when set, 0 with nothing changed for other numbers. */
TAMSA_API int32_t tamsa_set_threads(int32_t threads);

/* ---- records ---------------------------------------------------------------------------- */

/* A chunky bitmap: rows top first, no gap between rows; pixel (x, y) starts at byte
 * (y * width + x) * bytesperpixel. 3-byte pixels are red, green, blue unless an operation
 * says otherwise (the YUV conversions write blue first). */
typedef struct kv_bitmap {
    uint8_t *data;         /* pixel buffer, owned by the record */
    int32_t width;         /* pixels per row */
    int32_t height;        /* rows */
    int32_t bytesperpixel; /* 3 or 1 */
} kv_bitmap;

/* A palette is a 300-byte block whose first 216 bytes hold one pen per colour of the
 * 6 x 6 x 6 cube, indexed red level * 36 + green level * 6 + blue level. */

/* A colour map, as kv_allocpalette takes it, is a block of big-endian 32-bit words in the bus:
 * word 0 holds the number of pens n (at most 256), words 1 to n the colour of pens 0 to n-1
 * as 0x00RRGGBB. */

/* ---- memory and the bus ----------------------------------------------------------------- */

/* Every block the library allocates lies in the bus, one shared region whose bytes have
 * 32-bit addresses (0 is null). Records and buffers sent to the server must live there. */

#define TAMSA_MEMF_ANY 0x00000u   /* plain memory, contents undefined */
#define TAMSA_MEMF_CLEAR 0x10000u /* zero-filled memory */

/* Returns a block of at least size bytes (size 0 gives a valid block), or null. Free it with
 * PPCFreeVec. */
TAMSA_API void *PPCAllocVec(uint32_t size, uint32_t attributes);
/* Frees a block from PPCAllocVec; null and pointers that are not live blocks are ignored. */
TAMSA_API void PPCFreeVec(void *block);

/* Bus address of a native pointer into the bus, or 0 for null and pointers outside it. */
TAMSA_API uint32_t tamsa_bus_address(const void *pointer);
/* Native pointer of a bus address, or null for 0 and addresses outside the bus. */
TAMSA_API void *tamsa_bus_pointer(uint32_t address);
/* 1 when [address, address + length) lies wholly inside the bus and address is not 0. */
TAMSA_API int32_t tamsa_bus_contains(uint32_t address, uint64_t length);
/* 1 when [address, address + length) lies wholly inside one live allocator block. */
TAMSA_API int32_t tamsa_bus_contains_block(uint32_t address, uint64_t length);
/* Big-endian 32-bit load and store at a bus address; a load outside the bus gives 0 and a
 * store outside it does nothing. */
TAMSA_API uint32_t tamsa_bus_load32(uint32_t address);
TAMSA_API void tamsa_bus_store32(uint32_t address, uint32_t value);
/* Size of the bus in bytes (it is reserved on first use and costs no memory until touched).
 * Above it, up to 4 GiB, a `tamsa serve` process maps its client processes' pools; their
 * addresses are inside the bus, for the calls above, only while a pool is mapped there. */
TAMSA_API uint64_t tamsa_bus_size(void);

/* Live blocks and their bytes (either pointer may be null). */
TAMSA_API void tamsa_alloc_stats(uint64_t *blocks, uint64_t *bytes);

/* ---- bitmap life cycle ------------------------------------------------------------------ */

/* New bitmap with zeroed pixels, or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_allocbitmap(int32_t width, int32_t height, int32_t bytesperpixel);
/* New bitmap with undefined pixels, or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_allocrawbitmap(int32_t width, int32_t height, int32_t bytesperpixel);
/* Frees a bitmap and its pixels; null is ignored. */
TAMSA_API void kv_freebitmap(kv_bitmap *bitmap);
/* New bitmap holding a copy of the pixels, or null (also for a null or malformed source). Free it
 * with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_clonebitmap(const kv_bitmap *bitmap);
/* 1 when the pixels were copied, 0 when the records differ in size or depth. */
TAMSA_API int32_t kv_copybitmap(const kv_bitmap *source, kv_bitmap *destination);

/* ---- palettes (colourmap is the bus address of a colour map) ---------------------------- */

/* New 300-byte palette of pens for the colour cube, or null. Free it with kv_freepalette. */
TAMSA_API uint8_t *kv_allocpalette(uint32_t colourmap);
/* Frees a palette; null is ignored. */
TAMSA_API void kv_freepalette(uint8_t *palette);

/* ---- byte runs -------------------------------------------------------------------------- */

/* RGB pixels to colour-cube indexes (or pens through pen_table when it is not null). */
TAMSA_API void kv_remap24(const uint8_t *source, uint8_t *destination, const uint8_t *pen_table,
                          uint32_t count);
/* Every byte replaced by its entry in a 256-byte table. */
TAMSA_API void kv_remap8(uint8_t *buffer, const uint8_t *table, uint32_t count);
/* Every byte exclusive-ored with the low 8 bits of value. */
TAMSA_API void kv_xor(uint8_t *buffer, uint32_t count, int32_t value);
/* Every source byte written factor times. */
TAMSA_API void kv_multchunky(const uint8_t *source, uint8_t *destination, uint32_t count,
                             uint32_t factor);
/* Every step-th source byte copied; a step of 0 writes nothing. */
TAMSA_API void kv_divchunky(const uint8_t *source, uint8_t *destination, uint32_t count,
                            uint32_t step);

/* ---- scaling and cutting ---------------------------------------------------------------- */

/* Nearest-neighbour scaling of raw 3-byte and 1-byte pixel buffers. */
TAMSA_API void kv_scale24(const uint8_t *source, uint8_t *destination, uint32_t sw, uint32_t sh,
                          uint32_t dw, uint32_t dh);
TAMSA_API void kv_scale8(const uint8_t *source, uint8_t *destination, uint32_t sw, uint32_t sh,
                         uint32_t dw, uint32_t dh);
/* 1 when the bitmap was scaled in place, 0 with it unchanged. */
TAMSA_API int32_t kv_scalebitmap(kv_bitmap *bitmap, int32_t new_width, int32_t new_height);
/* New scaled copy at the source's depth, or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_scalecopybitmap(const kv_bitmap *bitmap, int32_t new_width,
                                        int32_t new_height);
/* New bitmap holding the rectangle with corners (x1, y1), (x2, y2) inclusive, black where it
 * leaves the source, or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_cutbitmap(const kv_bitmap *bitmap, int32_t x1, int32_t y1, int32_t x2,
                                  int32_t y2);

/* ---- video frames ----------------------------------------------------------------------- */

/* Planar YUV to blue, green, red bytes; count rounded up to whole groups of group pixels that
 * share one chroma sample; a group of 0 converts nothing. */
TAMSA_API void fx_yuvtorgb_ll(const uint8_t *y_plane, const uint8_t *v_plane,
                              const uint8_t *u_plane, uint8_t *rgb, uint32_t count, uint32_t group);
/* The same conversion computed per pixel in double precision. */
TAMSA_API void kv_yuv_to_rgb(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                             uint8_t *rgb, uint32_t count, uint32_t group);
/* kv_yuv_to_rgb with a group of 4. */
TAMSA_API void kv_yuvtorgb(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                           uint8_t *rgb, uint32_t count);
/* value clamped to low, then to high. */
TAMSA_API int32_t fx_minmax(int32_t value, int32_t low, int32_t high);
/* New blue-first 3-byte bitmap of a YUV frame converted and resized, or null. Free it with
 * kv_freebitmap. */
TAMSA_API kv_bitmap *fx_yuvscale_ll(const uint8_t *y_plane, const uint8_t *v_plane,
                                    const uint8_t *u_plane, int32_t src_width, int32_t src_height,
                                    int32_t dst_width, int32_t dst_height);
/* New 1-byte bitmap resized from a frame read as 1 byte per pixel, or null. Free it with
 * kv_freebitmap. */
TAMSA_API kv_bitmap *tamsa_scale_ll(const kv_bitmap *source, int32_t new_width, int32_t new_height);
/* Contrast (percent), brightness and inversion applied to every byte of the frame. */
TAMSA_API void tamsa_correct_ll(kv_bitmap *bitmap, int32_t contrast, int32_t brightness,
                                int16_t invert);
/* target = blend of first and second at level 0..255 over factor_a * factor_b * factor_c bytes;
 * a product of 0 or less, or beyond 32 bits, blends nothing. */
TAMSA_API void tamsa_fadeover_ll(const uint8_t *first, const uint8_t *second, uint8_t *target,
                                 int32_t level, int32_t factor_a, int32_t factor_b,
                                 int32_t factor_c);
/* Every even row copied over the odd row below it, rows at the record's own depth. */
TAMSA_API void tamsa_deinterlace_ll(kv_bitmap *frame);

/* ---- blits and drawing ------------------------------------------------------------------ */

/* Block of source_width x source_height pixels copied with its top-left at (x, y), clipped;
 * a 1-byte destination takes a 1-byte source. Bad records or sizes draw nothing. */
TAMSA_API void kv_chunkyblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                             const uint8_t *source, int32_t x, int32_t y);
/* The block blended over the destination, transparency 0 (opaque) to 100 (unchanged). */
TAMSA_API void kv_transchunkyblit(kv_bitmap *destination, int32_t source_width,
                                  int32_t source_height, const uint8_t *source, int32_t x,
                                  int32_t y, int32_t transparency);
/* The block blended by its own brightness, raised by transparency (100: unchanged). */
TAMSA_API void kv_transalphachunkyblit(kv_bitmap *destination, int32_t source_width,
                                       int32_t source_height, const uint8_t *source, int32_t x,
                                       int32_t y, int32_t transparency);
/* kv_chunkyblit of a source record; a 1-byte source under a 3-byte destination draws nothing. */
TAMSA_API void kv_blitbitmap(kv_bitmap *destination, const kv_bitmap *source, int32_t x, int32_t y);
/* kv_transchunkyblit of a source record, under the same rule. */
TAMSA_API void kv_blitbitmaptrans(kv_bitmap *destination, const kv_bitmap *source, int32_t x,
                                  int32_t y, int32_t transparency);
/* Block scaled by nearest neighbour to target_width x target_height at (x, y), clipped; only
 * 3-byte destinations are drawn. */
TAMSA_API void kv_scaledblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                             const uint8_t *source, int32_t x, int32_t y, int32_t target_width,
                             int32_t target_height);
/* The scaled blit of the pixels whose first byte exceeds threshold. */
TAMSA_API void kv_scaledmaskblit(kv_bitmap *destination, int32_t source_width,
                                 int32_t source_height, const uint8_t *source, int32_t x, int32_t y,
                                 int32_t target_width, int32_t target_height, int32_t threshold);
/* A 256 x 256 light map scaled, tinted by red, green, blue / 255 and added, saturating; draws
 * nothing when its tint tables cannot be allocated. */
TAMSA_API void kv_scaledlightblit(kv_bitmap *destination, const uint8_t *light_map, int32_t x,
                                  int32_t y, int32_t target_width, int32_t target_height,
                                  int32_t red, int32_t green, int32_t blue);
/* Line between two inclusive end points, row by row, clipped; 3-byte destinations only. */
TAMSA_API void kv_drawline(kv_bitmap *destination, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                           int32_t red, int32_t green, int32_t blue);
/* Filled box, or every step-th pixel of every step-th row from its clamped top-left corner;
 * a step below 1 draws nothing. */
TAMSA_API void kv_drawbox(kv_bitmap *destination, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                          int32_t red, int32_t green, int32_t blue, int32_t step);

/* ---- geometric transforms and dithering ------------------------------------------------- */

/* New bitmap of the source rotated by angle degrees (the source keeps a border of the fill
 * colour), or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_rotatebitmap(kv_bitmap *bitmap, int32_t red, int32_t green, int32_t blue,
                                     float angle);
/* 1 when the band was sheared in place, 0 with the bitmap unchanged. */
TAMSA_API int32_t kv_shearbitmap(kv_bitmap *bitmap, int32_t first_row, int32_t last_row,
                                 int32_t first_shift, int32_t last_shift, int32_t red,
                                 int32_t green, int32_t blue);
/* 1 when rows and columns were swapped in place, 0 with the bitmap unchanged. */
TAMSA_API int32_t kv_transposebitmap(kv_bitmap *bitmap);
/* 1 when the bitmap was smoothed in place, 0 with it unchanged. */
TAMSA_API int32_t kv_smoothbitmap(kv_bitmap *bitmap, int32_t passes);
/* New 8-colour bitmap dithered with matrix type 1..7, or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_dither(const kv_bitmap *bitmap, int32_t type);

TAMSA_API extern const uint8_t ClassicalScreen[8][8];
TAMSA_API extern const uint8_t Rectangular[3][3];
TAMSA_API extern const uint8_t Halftone[6][6];
TAMSA_API extern const uint8_t Bayer4[4][4];
TAMSA_API extern const uint8_t Bayer16[16][16];
TAMSA_API extern const uint8_t FourStars[5][5];
TAMSA_API extern const uint8_t BoxDither[5][5];

/* ---- PPM files -------------------------------------------------------------------------- */

/* 1 when the file was written, 0 when it could not be. */
TAMSA_API int32_t kv_savebitmapasppm(const kv_bitmap *bitmap, const char *filename);
/* New 3-byte bitmap read from a binary PPM file, or null. Free it with kv_freebitmap. */
TAMSA_API kv_bitmap *kv_loadppmasbitmap(const char *filename);

#ifdef __cplusplus
}
#endif

#endif /* TAMSA_TAMSA_H */
