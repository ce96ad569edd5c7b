#ifndef VT_FORMATS_AVI_AVI_JPEG_H
#define VT_FORMATS_AVI_AVI_JPEG_H
/* One frame of a Motion-JPEG AVI as a baseline JPEG, by libjpeg-turbo. Plain C: libjpeg reports
 * errors with longjmp and no C++ object may be alive across one.
 * Thread: any; every call uses only its own structures. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Compresses width x height pixels (B, G, R, transparency; `stride` pixels between rows) at
 * `quality` into a malloc'd block that the caller frees. 1, or -20 out of memory, -30 failed. */
int32_t vt_avi_jpeg_encode(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                           int quality, uint8_t** out, size_t* out_size);

#ifdef __cplusplus
}
#endif

#endif
