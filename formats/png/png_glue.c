/* libpng glue of fmx_PNG. Every libpng structure lives in this file between a setjmp and the
 * destroy call that follows it; the only callbacks into the entry file run between libpng
 * calls, never inside one. */

#include "formats/png/png_glue.h"
#include "formats/png/png_idat.h"

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include <png.h>

/* Deflate never packs more than 1032 bytes into one; a file smaller than its picture's raw
 * size over that cannot hold the picture. */
#define VT_PNG_DEFLATE_RATIO 1032u

typedef struct ReadState {
    const uint8_t* data;
    size_t size;
    size_t pos;
    int truncated;
    int out_of_memory;
} ReadState;

static void on_error(png_structp png, png_const_charp message) {
    (void)message;
    png_longjmp(png, 1);
}

static void on_warning(png_structp png, png_const_charp message) {
    (void)png;
    (void)message;
}

static png_voidp on_malloc(png_structp png, png_alloc_size_t size) {
    void* p = malloc(size);
    if (p == NULL) {
        int* out_of_memory = (int*)png_get_mem_ptr(png);
        if (out_of_memory != NULL)
            *out_of_memory = 1;
    }
    return p;
}

static void on_free(png_structp png, png_voidp p) {
    (void)png;
    free(p);
}

static void on_read(png_structp png, png_bytep out, png_size_t count) {
    ReadState* state = (ReadState*)png_get_io_ptr(png);
    if (count > state->size - state->pos) {
        state->truncated = 1;
        png_error(png, "unexpected end of file");
    }
    memcpy(out, state->data + state->pos, count);
    state->pos += count;
}

static int32_t check_header(png_structp png, png_infop info, size_t file_size,
                            VtPngHeader* header) {
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const unsigned depth = png_get_bit_depth(png, info);
    const unsigned channels = png_get_channels(png, info);
    if (width < 1 || height < 1 || width > VT_PNG_MAX_SIDE || height > VT_PNG_MAX_SIDE ||
        (uint64_t)width * height > VT_PNG_MAX_PIXELS)
        return -13;
    const uint64_t row_bytes = ((uint64_t)width * depth * channels + 7) / 8 + 1;
    if (row_bytes * height / VT_PNG_DEFLATE_RATIO > file_size)
        return -42;
    header->width = width;
    header->height = height;
    header->bits_per_pixel = depth * channels;
    header->interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    header->bit_depth = depth;
    return 1;
}

/* Turns every colour type into 8-bit B, G, R, transparency. Gamma stays as stored. */
static void set_transforms(png_structp png, png_infop info) {
    const int colour = png_get_color_type(png, info);
    const int alpha =
        (colour & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_expand(png);
    png_set_scale_16(png);
    if ((colour & PNG_COLOR_MASK_COLOR) == 0)
        png_set_gray_to_rgb(png);
    png_set_bgr(png);
    if (alpha)
        png_set_invert_alpha(png);
    else
        png_set_filler(png, 0, PNG_FILLER_AFTER);
}

static void deliver_metadata(png_structp png, png_infop info, const VtPngReadSink* sink) {
    VtPngMetadata meta;
    memset(&meta, 0, sizeof(meta));
    png_uint_32 ppm_x = 0, ppm_y = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    if (png_get_pHYs(png, info, &ppm_x, &ppm_y, &unit) != 0 && unit == PNG_RESOLUTION_METER) {
        meta.ppm_x = ppm_x;
        meta.ppm_y = ppm_y;
    }
    png_bytep exif = NULL;
    png_uint_32 exif_size = 0;
    if (png_get_valid(png, info, PNG_INFO_eXIf) &&
        png_get_eXIf_1(png, info, &exif_size, &exif) == 0)
        exif = NULL;
    const char* xmp = NULL;
    size_t xmp_size = 0;
    png_textp texts = NULL;
    const int count = png_get_text(png, info, &texts, NULL);
    for (int i = 0; i < count; ++i) {
        if (texts[i].compression >= PNG_ITXT_COMPRESSION_NONE && texts[i].key != NULL &&
            strcmp(texts[i].key, "XML:com.adobe.xmp") == 0 && texts[i].text != NULL) {
            xmp = texts[i].text;
            xmp_size = texts[i].itxt_length;
            break;
        }
    }
    if (exif_size == 0)
        exif = NULL;
    png_charp icc_name = NULL;
    int icc_compression = 0;
    png_bytep icc = NULL;
    png_uint_32 icc_size = 0;
    if (!png_get_valid(png, info, PNG_INFO_iCCP) ||
        png_get_iCCP(png, info, &icc_name, &icc_compression, &icc, &icc_size) == 0 || icc_size == 0)
        icc = NULL;
    meta.exif = exif;
    meta.exif_size = exif != NULL ? exif_size : 0;
    meta.xmp = xmp;
    meta.xmp_size = xmp_size;
    meta.icc = icc;
    meta.icc_size = icc != NULL ? icc_size : 0;
    sink->metadata(sink->context, &meta);
}

/* libpng refuses a profile whose header contradicts its size; such a profile is left out
 * rather than failing the save. */
static int usable_profile(const uint8_t* icc, uint32_t size) {
    return icc != NULL && size >= 132 &&
           (((uint32_t)icc[0] << 24) | ((uint32_t)icc[1] << 16) | ((uint32_t)icc[2] << 8) |
            icc[3]) == size;
}

static void set_metadata(png_structp png, png_infop info, const VtPngWriteMetadata* meta) {
    if (meta == NULL)
        return;
    if (meta->exif != NULL && meta->exif_size > 0)
        png_set_eXIf_1(png, info, meta->exif_size, (png_bytep)meta->exif);
    if (usable_profile(meta->icc, meta->icc_size))
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, meta->icc,
                     meta->icc_size);
    if (meta->ppm_x > 0 && meta->ppm_y > 0)
        png_set_pHYs(png, info, meta->ppm_x, meta->ppm_y, PNG_RESOLUTION_METER);
}

/* The file is in memory: a chunk that claims more bytes than follow it is where the file ends
 * for libpng, which would otherwise allocate for the claim before finding the bytes missing. */
static size_t usable_size(const uint8_t* data, size_t size) {
    size_t pos = 8;
    /* The last chunk's header may stand without its CRC: its claim still counts. */
    while (pos + 8 <= size) {
        const uint32_t length = ((uint32_t)data[pos] << 24) | ((uint32_t)data[pos + 1] << 16) |
                                ((uint32_t)data[pos + 2] << 8) | (uint32_t)data[pos + 3];
        if (length > size - pos - 8)
            return pos;
        pos += 12 + (size_t)length;
    }
    return size;
}

/* How far ancillary chunks (XMP, profiles) may inflate beyond the file's own size. */
#define VT_PNG_INFLATE_LIMIT (16u * 1024u * 1024u)

int32_t vt_png_read(const uint8_t* data, size_t size, const VtPngReadSink* sink) {
    if (size < 8 || png_sig_cmp((png_const_bytep)data, 0, 8) != 0)
        return -1;
    ReadState state = {data, usable_size(data, size), 0, 0, 0};
    png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, NULL, on_error, on_warning,
                                               &state.out_of_memory, on_malloc, on_free);
    if (png == NULL)
        return -20;
    png_infop info = png_create_info_struct(png);
    if (info == NULL) {
        png_destroy_read_struct(&png, NULL, NULL);
        return -20;
    }
    volatile int32_t result = 1;
    if (setjmp(png_jmpbuf(png))) {
        if (result == 1)
            result = state.out_of_memory ? -20 : state.truncated ? -42 : -44;
        png_destroy_read_struct(&png, &info, NULL);
        return result;
    }
    /* A chunk cannot be longer than the file, and text and profiles that inflate beyond a few
     * megabytes are bombs: no ancillary allocation may exceed that. */
    png_set_chunk_malloc_max(png, (png_alloc_size_t)size + VT_PNG_INFLATE_LIMIT);
    png_set_read_fn(png, &state, on_read);
    png_read_info(png, info);

    VtPngHeader header;
    result = check_header(png, info, size, &header);
    if (result == 1) {
        set_transforms(png, info);
        const int passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
        if (png_get_rowbytes(png, info) != (size_t)header.width * 4)
            result = -44;
        VtPngTarget target = {NULL, 0};
        if (result == 1)
            result = sink->begin(sink->context, &header, &target);
        if (result == 1 && (target.pixels == NULL || target.stride < header.width))
            result = -25;
        for (int pass = 0; result == 1 && pass < passes; ++pass) {
            for (uint32_t y = 0; y < header.height; ++y)
                png_read_row(png, (png_bytep)(target.pixels + (size_t)y * target.stride), NULL);
        }
        if (result == 1) {
            png_read_end(png, info);
            deliver_metadata(png, info, sink);
        }
    }
    png_destroy_read_struct(&png, &info, NULL);
    return result;
}

/* Hands the whole image data to libpng as IDAT chunks of this size. */
#define VT_PNG_IDAT_CHUNK ((size_t)1 << 20)

/* The image data made beforehand, as IDAT chunks, and the end of the file. */
static void write_idat(png_structp png, const uint8_t* idat, size_t idat_size) {
    for (size_t at = 0; at < idat_size; at += VT_PNG_IDAT_CHUNK) {
        const size_t n = idat_size - at < VT_PNG_IDAT_CHUNK ? idat_size - at : VT_PNG_IDAT_CHUNK;
        png_write_chunk(png, (png_const_bytep) "IDAT", idat + at, n);
    }
    png_write_chunk(png, (png_const_bytep) "IEND", NULL, 0);
}

int32_t vt_png_write(FILE* file, const uint32_t* pixels, uint32_t width, uint32_t height,
                     uint32_t stride, int with_alpha, int level, const VtPngWriteMetadata* meta) {
    /* Made before libpng starts, so that nothing needs freeing in between; without it (level 0,
     * a picture too large, no memory) libpng compresses row by row. */
    size_t idat_size = 0;
    uint8_t* const idat = vt_png_idat(pixels, width, height, stride, with_alpha, level, &idat_size);
    int out_of_memory = 0;
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, NULL, on_error, on_warning,
                                                &out_of_memory, on_malloc, on_free);
    if (png == NULL) {
        free(idat);
        return -20;
    }
    png_infop info = png_create_info_struct(png);
    if (info == NULL) {
        png_destroy_write_struct(&png, NULL);
        free(idat);
        return -20;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        free(idat);
        return out_of_memory ? -20 : -43;
    }
    png_init_io(png, file);
    png_set_compression_level(png, level);
    png_set_IHDR(png, info, width, height, 8,
                 with_alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    /* A profile libpng finds fault with is a warning, never a lost picture. */
    png_set_benign_errors(png, 1);
    set_metadata(png, info, meta);
    png_write_info(png, info);
    if (idat != NULL) {
        write_idat(png, idat, idat_size);
    } else {
        png_set_bgr(png);
        if (with_alpha)
            png_set_invert_alpha(png);
        else
            png_set_filler(png, 0, PNG_FILLER_AFTER);
        /* libpng copies each row before transforming it, so the caller's pixels stay untouched. */
        for (uint32_t y = 0; y < height; ++y)
            png_write_row(png, (png_const_bytep)(pixels + (size_t)y * stride));
        png_write_end(png, info);
    }
    png_destroy_write_struct(&png, &info);
    free(idat);
    return 1;
}

/* Native order of 16-bit samples: PNG stores them big-endian. */
static int little_endian(void) {
    const uint16_t one = 1;
    return *(const uint8_t*)&one == 1;
}

int32_t vt_png_read_deep(const uint8_t* data, size_t size, VtDeepImage* out) {
    memset(out, 0, sizeof(*out));
    if (size < 8 || png_sig_cmp((png_const_bytep)data, 0, 8) != 0)
        return -1;
    ReadState state = {data, usable_size(data, size), 0, 0, 0};
    png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, NULL, on_error, on_warning,
                                               &state.out_of_memory, on_malloc, on_free);
    if (png == NULL)
        return -20;
    png_infop info = png_create_info_struct(png);
    if (info == NULL) {
        png_destroy_read_struct(&png, NULL, NULL);
        return -20;
    }
    uint16_t* volatile samples = NULL;
    volatile int32_t result = 1;
    if (setjmp(png_jmpbuf(png))) {
        if (result == 1)
            result = state.out_of_memory ? -20 : state.truncated ? -42 : -44;
        png_destroy_read_struct(&png, &info, NULL);
        free(samples);
        return result;
    }
    png_set_chunk_malloc_max(png, (png_alloc_size_t)size + VT_PNG_INFLATE_LIMIT);
    png_set_read_fn(png, &state, on_read);
    png_read_info(png, info);
    VtPngHeader header;
    result = check_header(png, info, size, &header);
    if (result != 1 || png_get_bit_depth(png, info) != 16) {
        png_destroy_read_struct(&png, &info, NULL);
        return result == 1 ? 0 : result;
    }
    const int colour = png_get_color_type(png, info);
    const uint32_t channels = (colour & PNG_COLOR_MASK_COLOR) != 0 ? 4u : 2u;
    png_set_expand(png); /* a tRNS colour becomes an alpha channel */
    png_set_filler(png, 0xFFFF, PNG_FILLER_AFTER);
    if (little_endian())
        png_set_swap(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != (size_t)header.width * channels * 2) {
        result = -44;
    } else {
        samples = (uint16_t*)malloc((size_t)header.width * header.height * channels * 2);
        if (samples == NULL)
            result = -20;
    }
    for (int pass = 0; result == 1 && pass < passes; ++pass)
        for (uint32_t y = 0; y < header.height; ++y)
            png_read_row(png, (png_bytep)(samples + (size_t)y * header.width * channels), NULL);
    png_destroy_read_struct(&png, &info, NULL);
    if (result != 1) {
        free(samples);
        return result;
    }
    out->width = header.width;
    out->height = header.height;
    out->channels = channels;
    out->stride = header.width * channels;
    out->samples = samples;
    out->bits = 16;
    return 1;
}

int32_t vt_png_write_deep(FILE* file, const VtDeepImage* image, int with_alpha, int level,
                          const VtPngWriteMetadata* meta) {
    /* As vt_png_write: the image data in one piece when it can be had, else row by row. */
    size_t idat_size = 0;
    uint8_t* const idat = vt_png_idat_deep(image, with_alpha, level, &idat_size);
    int out_of_memory = 0;
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, NULL, on_error, on_warning,
                                                &out_of_memory, on_malloc, on_free);
    if (png == NULL) {
        free(idat);
        return -20;
    }
    png_infop info = png_create_info_struct(png);
    if (info == NULL) {
        png_destroy_write_struct(&png, NULL);
        free(idat);
        return -20;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        free(idat);
        return out_of_memory ? -20 : -43;
    }
    const int grey = image->channels == VT_DEEP_GREY_ALPHA;
    const int type = grey ? (with_alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY)
                          : (with_alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB);
    png_init_io(png, file);
    png_set_compression_level(png, level);
    png_set_IHDR(png, info, image->width, image->height, 16, type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_benign_errors(png, 1);
    set_metadata(png, info, meta);
    png_write_info(png, info);
    if (idat != NULL) {
        write_idat(png, idat, idat_size);
    } else {
        if (!with_alpha)
            png_set_filler(png, 0, PNG_FILLER_AFTER);
        if (little_endian())
            png_set_swap(png);
        /* libpng copies each row before transforming it: the caller's samples stay untouched. */
        for (uint32_t y = 0; y < image->height; ++y)
            png_write_row(png, (png_const_bytep)(image->samples + (size_t)y * image->stride));
        png_write_end(png, info);
    }
    png_destroy_write_struct(&png, &info);
    free(idat);
    return 1;
}
