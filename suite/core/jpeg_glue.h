#ifndef VT_SUITE_CORE_JPEG_GLUE_H
#define VT_SUITE_CORE_JPEG_GLUE_H
/* libjpeg behind plain C calls: its errors longjmp, so no C++ object may live in these frames. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Decodes into a new malloc'd block of width * height B,G,R,T pixels (T 0). Sides above
 * max_side or more than max_pixels pixels are refused before the block is allocated.
 * 1 on success, 0 on failure (nothing allocated). */
int vt_core_jpeg_decode(const uint8_t* data, size_t size, uint32_t max_side, uint64_t max_pixels,
                        uint32_t** pixels, uint32_t* width, uint32_t* height);

/* Encodes B,G,R,T pixels (T ignored) into a new malloc'd block (*out, *out_size), which the
 * caller frees. 1 on success, 0 on failure. */
int vt_core_jpeg_encode(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                        int quality, uint8_t** out, unsigned long* out_size);

#ifdef __cplusplus
}
#endif

#endif
