#include "formats/png/png_idat.h"

#include <libdeflate.h>
#include <stdlib.h>
#include <string.h>

enum { kNone, kSub, kUp, kAverage, kPaeth, kFilters };

/* A row of B, G, R, T pixels as PNG bytes. */
static void pack_row(const uint32_t* in, uint32_t width, int with_alpha, uint8_t* out) {
    if (with_alpha) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t p = in[x];
            out[4 * x] = (uint8_t)(p >> 16);
            out[4 * x + 1] = (uint8_t)(p >> 8);
            out[4 * x + 2] = (uint8_t)p;
            out[4 * x + 3] = (uint8_t)(255 - (p >> 24));
        }
    } else {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t p = in[x];
            out[3 * x] = (uint8_t)(p >> 16);
            out[3 * x + 1] = (uint8_t)(p >> 8);
            out[3 * x + 2] = (uint8_t)p;
        }
    }
}

/* Sum of the bytes read as signed magnitudes: small when the filter predicted well. */
static uint64_t magnitude(const uint8_t* restrict row, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += row[i] < 128 ? row[i] : 256u - row[i];
    return sum;
}

static uint8_t paeth(int a, int b, int c) {
    const int pa = abs(b - c);
    const int pb = abs(a - c);
    const int pc = abs(a + b - 2 * c);
    return (uint8_t)(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

/* The five filtered forms of `cur` (the row above is `up`, zeros for the first row) into
 * out[filter * n]. */
static void filter_row(const uint8_t* cur, const uint8_t* up, size_t n, size_t bpp, uint8_t* out) {
    uint8_t* restrict none = out;
    uint8_t* restrict sub = out + n;
    uint8_t* restrict upf = out + 2 * n;
    uint8_t* restrict avg = out + 3 * n;
    uint8_t* restrict pth = out + 4 * n;
    memcpy(none, cur, n);
    for (size_t i = 0; i < bpp && i < n; ++i) {
        sub[i] = cur[i];
        upf[i] = (uint8_t)(cur[i] - up[i]);
        avg[i] = (uint8_t)(cur[i] - (up[i] >> 1));
        pth[i] = (uint8_t)(cur[i] - up[i]);
    }
    for (size_t i = bpp; i < n; ++i) {
        sub[i] = (uint8_t)(cur[i] - cur[i - bpp]);
        upf[i] = (uint8_t)(cur[i] - up[i]);
        avg[i] = (uint8_t)(cur[i] - ((cur[i - bpp] + up[i]) >> 1));
        pth[i] = (uint8_t)(cur[i] - paeth(cur[i - bpp], up[i], up[i - bpp]));
    }
}

/* Packs row `y` of the picture as PNG bytes into `out`. */
typedef void (*PackRow)(const void* picture, uint32_t y, uint8_t* out);

/* The filtered rows of n bytes (bpp bytes a pixel), compressed in one piece. */
static uint8_t* idat_of(const void* picture, PackRow pack, size_t n, size_t bpp, uint32_t height,
                        int level, size_t* size) {
    *size = 0;
    if (level < 1 || level > 9 || n == 0 || height == 0)
        return NULL;
    if ((n + 1) > VT_PNG_WHOLE_LIMIT / height)
        return NULL;
    const size_t filtered_size = (n + 1) * height;
    uint8_t* filtered = malloc(filtered_size);
    uint8_t* rows = calloc(2 * n, 1); /* this row and the one above (zeros at first) */
    uint8_t* forms = malloc(kFilters * n);
    uint8_t* out = NULL;
    struct libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (filtered == NULL || rows == NULL || forms == NULL || compressor == NULL)
        goto done;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* cur = rows + (y & 1) * n;
        const uint8_t* up = rows + ((y + 1) & 1) * n;
        pack(picture, y, cur);
        filter_row(cur, up, n, bpp, forms);
        int best = kNone;
        uint64_t best_sum = magnitude(forms, n);
        for (int f = kSub; f < kFilters; ++f) {
            const uint64_t sum = magnitude(forms + (size_t)f * n, n);
            if (sum < best_sum) {
                best_sum = sum;
                best = f;
            }
        }
        uint8_t* line = filtered + (size_t)y * (n + 1);
        line[0] = (uint8_t)best;
        memcpy(line + 1, forms + (size_t)best * n, n);
    }
    const size_t bound = libdeflate_zlib_compress_bound(compressor, filtered_size);
    out = malloc(bound);
    if (out == NULL)
        goto done;
    *size = libdeflate_zlib_compress(compressor, filtered, filtered_size, out, bound);
    if (*size == 0) {
        free(out);
        out = NULL;
    }
done:
    libdeflate_free_compressor(compressor);
    free(forms);
    free(rows);
    free(filtered);
    return out;
}

typedef struct EightBit {
    const uint32_t* pixels;
    uint32_t width;
    uint32_t stride;
    int with_alpha;
} EightBit;

static void pack_eight(const void* picture, uint32_t y, uint8_t* out) {
    const EightBit* p = (const EightBit*)picture;
    pack_row(p->pixels + (size_t)y * p->stride, p->width, p->with_alpha, out);
}

uint8_t* vt_png_idat(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                     int with_alpha, int level, size_t* size) {
    const EightBit picture = {pixels, width, stride, with_alpha};
    const size_t bpp = with_alpha ? 4 : 3;
    return idat_of(&picture, pack_eight, (size_t)width * bpp, bpp, height, level, size);
}

typedef struct Deep {
    const VtDeepImage* image;
    int with_alpha;
} Deep;

/* A row of 16-bit samples as PNG's big-endian RGB(A) or grey(+alpha). */
static void pack_deep(const void* picture, uint32_t y, uint8_t* out) {
    const Deep* p = (const Deep*)picture;
    const VtDeepImage* d = p->image;
    const uint16_t* row = d->samples + (size_t)y * d->stride;
    const uint32_t keep = p->with_alpha ? d->channels : d->channels - 1;
    for (uint32_t x = 0; x < d->width; ++x, row += d->channels)
        for (uint32_t c = 0; c < keep; ++c) {
            *out++ = (uint8_t)(row[c] >> 8);
            *out++ = (uint8_t)row[c];
        }
}

uint8_t* vt_png_idat_deep(const VtDeepImage* image, int with_alpha, int level, size_t* size) {
    const Deep picture = {image, with_alpha};
    const size_t bpp = 2 * (with_alpha ? image->channels : image->channels - 1);
    return idat_of(&picture, pack_deep, (size_t)image->width * bpp, bpp, image->height, level,
                   size);
}
