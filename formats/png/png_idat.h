#ifndef VT_FORMATS_PNG_IDAT_H
#define VT_FORMATS_PNG_IDAT_H
/* The image data of a PNG made in one piece: every row filtered, then one zlib stream. libpng
 * compresses row by row with zlib; libdeflate on the whole buffer is several times faster and
 * packs a little tighter, at the cost of holding the filtered picture in memory. */

#include <stddef.h>
#include <stdint.h>

#include "sdk/vt_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Filtered data beyond this many bytes is left to libpng's streaming writer. */
#define VT_PNG_WHOLE_LIMIT ((size_t)256 << 20)

/* The zlib stream of the picture's rows as 8-bit RGB, or RGBA when `with_alpha` (the pixels'
 * transparency byte inverted into opacity), each row preceded by the filter that leaves the
 * smallest sum of magnitudes. `level` 1-9 as zlib's. A malloc'ed buffer the caller frees, with
 * its size in `size`; NULL when out of memory, beyond VT_PNG_WHOLE_LIMIT or `level` outside
 * 1-9. */
uint8_t* vt_png_idat(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                     int with_alpha, int level, size_t* size);

/* The same for a deep picture (sdk/vt_plugin.h) as 16-bit RGB(A), or grey(+alpha) for two
 * channels; alpha only when `with_alpha`. */
uint8_t* vt_png_idat_deep(const VtDeepImage* image, int with_alpha, int level, size_t* size);

#ifdef __cplusplus
}
#endif

#endif
