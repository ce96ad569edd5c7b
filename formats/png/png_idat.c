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

uint8_t* vt_png_idat(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                     int with_alpha, int level, size_t* size) {
    *size = 0;
    if (level < 1 || level > 9 || width == 0 || height == 0)
        return NULL;
    const size_t bpp = with_alpha ? 4 : 3;
    const size_t n = (size_t)width * bpp;
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
        pack_row(pixels + (size_t)y * stride, width, with_alpha, cur);
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
