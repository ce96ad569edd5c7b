#ifndef VT_FORMATS_PNG_PNG_GLUE_H
#define VT_FORMATS_PNG_PNG_GLUE_H
/* The libpng side of fmx_PNG: plain C, because libpng reports errors with longjmp and no C++
 * object may be alive across one. The entry file owns the records and the file; this file owns
 * every libpng structure and frees it before returning. Results are plug-in result codes.
 * Thread: any; every call uses only its own structures. */

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "sdk/vt_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The largest picture a frame may hold. */
#define VT_PNG_MAX_SIDE 65536u
#define VT_PNG_MAX_PIXELS 250000000ull

typedef struct VtPngHeader {
    uint32_t width;
    uint32_t height;
    uint32_t bits_per_pixel; /* of the file: bit depth times channels */
    int interlaced;
    uint32_t bit_depth; /* of the file's channels: 1, 2, 4, 8 or 16 */
} VtPngHeader;

/* Where the decoded rows go: 32-bit pixels B, G, R, transparency (255 - alpha), top-down. */
typedef struct VtPngTarget {
    uint32_t* pixels;
    uint32_t stride; /* pixels between rows */
} VtPngTarget;

/* What the file carries besides its pixels; pointers are null when absent and valid only during
 * the callback. */
typedef struct VtPngMetadata {
    const uint8_t* exif; /* the eXIf payload */
    uint32_t exif_size;
    const char* xmp; /* the iTXt "XML:com.adobe.xmp" packet */
    size_t xmp_size;
    const uint8_t* icc; /* the iCCP profile, inflated */
    uint32_t icc_size;
    uint32_t ppm_x; /* pHYs pixels per metre; 0 when the file states none (or an aspect only) */
    uint32_t ppm_y;
} VtPngMetadata;

/* Called back by vt_png_read. Neither may throw or call libpng. */
typedef struct VtPngReadSink {
    void* context;
    /* The header is known and checked: fill `target` and return 1, or return the result code
     * that ends the load. */
    int32_t (*begin)(void* context, const VtPngHeader* header, VtPngTarget* target);
    /* After the last row. */
    void (*metadata)(void* context, const VtPngMetadata* metadata);
} VtPngReadSink;

/* What a save writes beside the pixels; null pointers are left out. */
typedef struct VtPngWriteMetadata {
    const uint8_t* exif; /* TIFF-structured, for the eXIf chunk */
    uint32_t exif_size;
    const uint8_t* icc; /* for the iCCP chunk */
    uint32_t icc_size;
    uint32_t ppm_x; /* for the pHYs chunk, pixels per metre; 0: none */
    uint32_t ppm_y;
} VtPngWriteMetadata;

/* Decodes a whole PNG file held in memory. -1 not a PNG, -13 a size beyond the limits, -42 the
 * data ends early, -44 invalid data, -20 out of memory, 1 done; or what `begin` returned. */
int32_t vt_png_read(const uint8_t* data, size_t size, const VtPngReadSink* sink);

/* Writes 8-bit RGB, or RGBA when `with_alpha`, at zlib level `level` (0-9) to an open file,
 * with the metadata when given. 1 done, -43 write failure, -20 out of memory. The caller closes
 * the file. */
int32_t vt_png_write(FILE* file, const uint32_t* pixels, uint32_t width, uint32_t height,
                     uint32_t stride, int with_alpha, int level, const VtPngWriteMetadata* meta);

/* The 16-bit picture of a PNG file of 16 bits per channel (deep pictures, sdk/vt_plugin.h):
 * RGBA or grey + alpha, native byte order, straight alpha (65535 opaque; added when the file has
 * none). 1 with `out` filled (samples from malloc, the caller's), 0 when the file has at most 8
 * bits per channel (nothing allocated), or the result codes of vt_png_read. */
int32_t vt_png_read_deep(const uint8_t* data, size_t size, VtDeepImage* out);

/* Writes a deep picture as 16-bit RGB(A) or grey(+alpha) (alpha only when `with_alpha`), at zlib
 * level `level`, with the metadata when given. Results as vt_png_write. */
int32_t vt_png_write_deep(FILE* file, const VtDeepImage* image, int with_alpha, int level,
                          const VtPngWriteMetadata* meta);

#ifdef __cplusplus
}
#endif

#endif /* VT_FORMATS_PNG_PNG_GLUE_H */
