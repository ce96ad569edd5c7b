/* The reference decode in plain C: libpng reports errors with longjmp. */

#include "tests/formats/png_reference.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <png.h>

static void quiet(png_structp png, png_const_charp message) {
    (void)png;
    (void)message;
}

int reference_png_rgba(const char* path, uint32_t* width, uint32_t* height, uint8_t** rgba) {
    FILE* file = fopen(path, "rb");
    if (file == NULL)
        return 0;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, quiet);
    png_infop info = png ? png_create_info_struct(png) : NULL;
    uint8_t* volatile pixels = NULL;
    if (png == NULL || info == NULL || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, NULL);
        free(pixels);
        fclose(file);
        return 0;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const uint32_t w = png_get_image_width(png, info);
    const uint32_t h = png_get_image_height(png, info);
    pixels = (uint8_t*)calloc((size_t)w * h, 4);
    if (pixels == NULL)
        png_error(png, "out of memory");
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = 0; y < h; ++y)
            png_read_row(png, pixels + (size_t)y * w * 4, NULL);
    png_read_end(png, NULL);
    png_destroy_read_struct(&png, &info, NULL);
    fclose(file);
    *width = w;
    *height = h;
    *rgba = pixels;
    return 1;
}
