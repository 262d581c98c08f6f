/* The yardstick for whole-command JPEG timings where libjpeg-turbo's own programs are missing:
 * what they do for a binary PPM, row by row through libjpeg's API, with their defaults (4:2:0,
 * no optimised tables, JFIF header; the accurate DCT for decoding).
 *
 *   jpeg_yardstick encode IN.ppm OUT.jpg QUALITY   as `cjpeg -quality Q -dct fast`
 *   jpeg_yardstick decode IN.jpg OUT.ppm           as `djpeg -ppm` (-pnm for grey)
 *
 * Not a benchmark program itself: farm-bench --vs times it beside `tamsa image`. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>

static int fail(const char *what) {
    fprintf(stderr, "jpeg_yardstick: %s\n", what);
    return 1;
}

/* A binary PPM's header: width, height (maxval 255 only). */
static int read_ppm_header(FILE *f, int *width, int *height) {
    int maxval = 0;
    if (fscanf(f, "P6 %d %d %d", width, height, &maxval) != 3 || maxval != 255) return 0;
    return fgetc(f) != EOF && *width > 0 && *height > 0;
}

static int encode(FILE *in, FILE *out, int quality) {
    int width = 0, height = 0;
    if (!read_ppm_header(in, &width, &height)) return fail("not an 8-bit binary PPM");
    struct jpeg_compress_struct c;
    struct jpeg_error_mgr errors;
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, out);
    c.image_width = (JDIMENSION)width;
    c.image_height = (JDIMENSION)height;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.dct_method = JDCT_IFAST;
    jpeg_start_compress(&c, TRUE);
    JSAMPLE *row = malloc((size_t)width * 3);
    if (row == NULL) return fail("out of memory");
    while (c.next_scanline < c.image_height) {
        if (fread(row, 3, (size_t)width, in) != (size_t)width) return fail("PPM cut short");
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    free(row);
    return 0;
}

static int decode(FILE *in, FILE *out) {
    struct jpeg_decompress_struct d;
    struct jpeg_error_mgr errors;
    d.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, in);
    jpeg_read_header(&d, TRUE);
    jpeg_start_decompress(&d);
    const size_t stride = (size_t)d.output_width * (size_t)d.output_components;
    fprintf(out, "P%c\n%u %u\n255\n", d.output_components == 1 ? '5' : '6', d.output_width,
            d.output_height);
    /* A strip of rows at a time, as the decoder hands them out. */
    const int rows = d.rec_outbuf_height;
    JSAMPLE *strip = malloc(stride * (size_t)rows);
    JSAMPROW at[16];
    if (strip == NULL || rows > 16) return fail("out of memory");
    for (int i = 0; i < rows; ++i) at[i] = strip + stride * (size_t)i;
    while (d.output_scanline < d.output_height) {
        const JDIMENSION got = jpeg_read_scanlines(&d, at, (JDIMENSION)rows);
        if (fwrite(strip, stride, got, out) != got) return fail("cannot write");
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    free(strip);
    return 0;
}

int main(int argc, char **argv) {
    const int encoding = argc == 5 && strcmp(argv[1], "encode") == 0;
    if (!encoding && !(argc == 4 && strcmp(argv[1], "decode") == 0))
        return fail("usage: encode IN.ppm OUT.jpg QUALITY | decode IN.jpg OUT.ppm");
    FILE *in = fopen(argv[2], "rb");
    FILE *out = fopen(argv[3], "wb");
    if (in == NULL || out == NULL) return fail("cannot open a file");
    const int status = encoding ? encode(in, out, atoi(argv[4])) : decode(in, out);
    fclose(in);
    return fclose(out) != 0 ? fail("cannot write") : status;
}
