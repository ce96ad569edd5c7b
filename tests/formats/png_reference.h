#pragma once
// libpng's own decode of a PNG file to 8-bit RGBA (16-bit samples scaled, gamma untouched): the
// reference the PNG plug-in is compared with.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 and a malloc'd width x height x 4 buffer (R, G, B, A per pixel, rows top-down), or 0. */
int reference_png_rgba(const char* path, uint32_t* width, uint32_t* height, uint8_t** rgba);

#ifdef __cplusplus
}
#endif
