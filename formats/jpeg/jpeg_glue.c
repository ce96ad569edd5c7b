/* libjpeg glue of fmx_JPEG. Every libjpeg structure lives in this file between a setjmp and the
 * destroy call that follows it; the callbacks into the entry file run between libjpeg calls,
 * never inside one. */

#include "formats/jpeg/jpeg_glue.h"

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include <jerror.h>
#include <jpeglib.h>
#include <lcms2.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

/* A progressive file needs a bit per 8x8 block for its first DC scan, so even a flat picture
 * takes a byte per 512 pixels; a file that holds far less cannot hold its picture. */
#define VT_JPEG_PIXELS_PER_BYTE 4096u
/* libjpeg's own working memory (progressive coefficients, buffers). */
#define VT_JPEG_MAX_WORK_MEMORY (1536L * 1024L * 1024L)

static const char kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};
static const char kXmpId[] = "http://ns.adobe.com/xap/1.0/";

typedef struct ErrorState {
    struct jpeg_error_mgr pub;
    jmp_buf jump;
    int warnings;
} ErrorState;

/* Bytes read from a file at a time: a camera file need not be held whole beside its picture. */
#define VT_JPEG_READ_CHUNK 65536u

typedef struct SourceState {
    struct jpeg_source_mgr pub;
    size_t size;   /* of the whole file */
    FILE* file;    /* null: the data is all in memory */
    JOCTET* chunk; /* VT_JPEG_READ_CHUNK bytes, with a file */
    int truncated;
    JDIMENSION rows_at_cut; /* rows put out when the data ran out */
} SourceState;

static void on_error_exit(j_common_ptr cinfo) {
    ErrorState* err = (ErrorState*)cinfo->err;
    longjmp(err->jump, 1);
}

/* Warnings are counted, never printed: recovered corrupt data marks the picture as damaged.
 * Stray bytes between markers are skipped without touching a pixel; many cameras and editors
 * leave some, so they are no damage. */
static void on_emit_message(j_common_ptr cinfo, int level) {
    if (level < 0 && cinfo->err->msg_code != JWRN_EXTRANEOUS_DATA)
        ((ErrorState*)cinfo->err)->warnings++;
}

static void on_output_message(j_common_ptr cinfo) {
    (void)cinfo;
}

static void on_init_source(j_decompress_ptr cinfo) {
    (void)cinfo;
}

/* The data ran out: libjpeg gets an end marker so it stops, and the load reports -42. */
static boolean on_fill_input(j_decompress_ptr cinfo) {
    static const JOCTET kEnd[2] = {0xFF, JPEG_EOI};
    SourceState* src = (SourceState*)cinfo->src;
    if (src->file != NULL) {
        const size_t n = fread(src->chunk, 1, VT_JPEG_READ_CHUNK, src->file);
        if (n > 0) {
            src->pub.next_input_byte = src->chunk;
            src->pub.bytes_in_buffer = n;
            return TRUE;
        }
    }
    if (!src->truncated)
        src->rows_at_cut = cinfo->output_scanline;
    src->truncated = 1;
    src->pub.next_input_byte = kEnd;
    src->pub.bytes_in_buffer = 2;
    return TRUE;
}

static void on_skip_input(j_decompress_ptr cinfo, long count) {
    SourceState* src = (SourceState*)cinfo->src;
    if (count <= 0)
        return;
    while ((size_t)count > src->pub.bytes_in_buffer) {
        count -= (long)src->pub.bytes_in_buffer;
        on_fill_input(cinfo);
    }
    src->pub.next_input_byte += count;
    src->pub.bytes_in_buffer -= (size_t)count;
}

static void on_term_source(j_decompress_ptr cinfo) {
    (void)cinfo;
}

typedef struct Decoder {
    struct jpeg_decompress_struct cinfo;
    ErrorState err;
    SourceState src;
    int32_t result;
    JOCTET* icc;
    char* xmp;
    cmsHTRANSFORM cmyk_to_srgb; /* CMYK through the file's own profile */
} Decoder;

static int32_t error_result(const Decoder* d) {
    switch (d->err.pub.msg_code) {
    case JERR_NO_SOI:
        return -1;
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:
        return -20;
    case JERR_IMAGE_TOO_BIG:
        return -13;
    default:
        break;
    }
    if (d->src.truncated)
        return -42;
    switch (d->err.pub.msg_code) {
    case JERR_BAD_PRECISION:
    case JERR_SOF_UNSUPPORTED:
    case JERR_ARITH_NOTIMPL:
    case JERR_NOT_COMPILED:
        return -2;
    default:
        return -44;
    }
}

/* Words for a file of a JPEG process this library does not decode. */
static void tell_refusal(const Decoder* d, const VtJpegReadSink* sink) {
    char text[96];
    switch (d->err.pub.msg_code) {
    case JERR_BAD_PRECISION:
        snprintf(text, sizeof text, "%d-bit JPEG is not supported: only 8-bit samples are read",
                 d->err.pub.msg_parm.i[0]);
        break;
    case JERR_SOF_UNSUPPORTED:
        snprintf(text, sizeof text, "%s JPEG is not supported",
                 d->err.pub.msg_parm.i[0] == 0xC3 || d->err.pub.msg_parm.i[0] == 0xC7 ||
                         d->err.pub.msg_parm.i[0] == 0xCB || d->err.pub.msg_parm.i[0] == 0xCF
                     ? "lossless"
                     : "hierarchical");
        break;
    default:
        snprintf(text, sizeof text, "this JPEG process is not supported");
        break;
    }
    if (sink->refused != NULL)
        sink->refused(sink->context, text);
}

static int32_t check_header(const Decoder* d, VtJpegHeader* header) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    if (c->image_width < 1 || c->image_height < 1)
        return -44;
    if (c->image_width > VT_JPEG_MAX_SIDE || c->image_height > VT_JPEG_MAX_SIDE ||
        (uint64_t)c->image_width * c->image_height > VT_JPEG_MAX_PIXELS)
        return -13;
    if ((uint64_t)c->image_width * c->image_height / VT_JPEG_PIXELS_PER_BYTE > d->src.size)
        return -42;
    header->width = c->image_width;
    header->height = c->image_height;
    header->bits_per_pixel = (uint32_t)(c->data_precision * c->num_components);
    header->progressive = c->progressive_mode ? 1 : 0;
    return 1;
}

/* CMYK and YCCK come out as C, M, Y, K bytes. Adobe's files store them inverted (255 = no
 * ink), which is what this formula expects; other files are turned around first. */
static void cmyk_row_to_bgr(uint32_t* row, uint32_t width, int inverted) {
    uint8_t* bytes = (uint8_t*)row;
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t c = bytes[x * 4], m = bytes[x * 4 + 1], y = bytes[x * 4 + 2], k = bytes[x * 4 + 3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        const uint32_t r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (y * k + 127) / 255;
        row[x] = b | (g << 8) | (r << 16);
    }
}

/* A CMYK file with a CMYK profile: its ink values go through the profile to sRGB, which the
 * naive inverse only approximates. The profile then no longer describes the pixels. */
static void prepare_cmyk_profile(Decoder* d) {
    unsigned int size = 0;
    if (!jpeg_read_icc_profile(&d->cinfo, &d->icc, &size) || d->icc == NULL)
        return;
    cmsHPROFILE from = cmsOpenProfileFromMem(d->icc, size);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (from != NULL && srgb != NULL && cmsGetColorSpace(from) == cmsSigCmykData) {
        /* Adobe's files store 255 for no ink, the others 0. */
        const cmsUInt32Number in = d->cinfo.saw_Adobe_marker ? TYPE_CMYK_8_REV : TYPE_CMYK_8;
        d->cmyk_to_srgb = cmsCreateTransform(from, in, srgb, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
    }
    if (srgb != NULL)
        cmsCloseProfile(srgb);
    if (from != NULL)
        cmsCloseProfile(from);
    if (d->cmyk_to_srgb == NULL) { /* the profile goes to the host as it is, as before */
        free(d->icc);
        d->icc = NULL;
    }
}

static void cmyk_row_through_profile(cmsHTRANSFORM transform, uint32_t* row, uint32_t width) {
    cmsDoTransform(transform, row, row, width);
    for (uint32_t x = 0; x < width; ++x)
        row[x] &= 0x00FFFFFFu;
}

static void find_markers(Decoder* d, VtJpegMetadata* meta) {
    for (jpeg_saved_marker_ptr m = d->cinfo.marker_list; m != NULL; m = m->next) {
        if (m->marker != JPEG_APP0 + 1)
            continue;
        if (meta->exif == NULL && m->data_length > sizeof(kExifId) &&
            memcmp(m->data, kExifId, sizeof(kExifId)) == 0) {
            meta->exif = m->data + sizeof(kExifId);
            meta->exif_size = m->data_length - (unsigned)sizeof(kExifId);
        } else if (d->xmp == NULL && m->data_length > sizeof(kXmpId) &&
                   memcmp(m->data, kXmpId, sizeof(kXmpId)) == 0) {
            const size_t n = m->data_length - sizeof(kXmpId);
            d->xmp = (char*)malloc(n + 1);
            if (d->xmp != NULL) {
                memcpy(d->xmp, m->data + sizeof(kXmpId), n);
                d->xmp[n] = 0;
            }
        }
    }
    meta->xmp = d->xmp;
}

uint32_t vt_jpeg_scaled_side(uint32_t side, uint32_t eighths) {
    if (eighths < 1 || eighths >= 8)
        return side;
    return (uint32_t)(((uint64_t)side * eighths + 7) / 8);
}

/* A reduced decode: libjpeg's scaled inverse DCT gives the smaller picture for a fraction of the
 * work; the header then describes the picture as it is delivered. */
static void apply_draft_scale(struct jpeg_decompress_struct* c, const VtJpegTarget* target,
                              VtJpegHeader* header) {
    if (target->scale_eighths < 1 || target->scale_eighths > 8)
        return;
    if (target->scale_eighths < 8) {
        c->scale_num = target->scale_eighths;
        c->scale_denom = 8;
    }
    /* The resampler smooths the draft anyway: chroma doubled by the merged colour conversion
     * costs a fraction of the fancy upsampler and makes no visible difference. */
    c->do_fancy_upsampling = FALSE;
    header->width = vt_jpeg_scaled_side(header->width, target->scale_eighths);
    header->height = vt_jpeg_scaled_side(header->height, target->scale_eighths);
}

/* libjpeg fills the fourth byte with 0xFF; in our pixels 0 there is opaque. The picture is
 * written past the cache: it is far larger, and read again only after the whole decode. */
static void copy_opaque(const uint32_t* from, uint32_t* row, uint32_t width) {
    uint32_t x = 0;
#if defined(__SSE2__)
    for (; x < width && ((uintptr_t)(row + x) & 15) != 0; ++x)
        row[x] = from[x] & 0x00FFFFFFu;
    const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
    for (; x + 4 <= width; x += 4)
        _mm_stream_si128((__m128i*)(row + x),
                         _mm_and_si128(_mm_loadu_si128((const __m128i*)(from + x)), colour));
#endif
    for (; x < width; ++x)
        row[x] = from[x] & 0x00FFFFFFu;
}

static void decode(Decoder* d, const VtJpegReadSink* sink) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    jpeg_save_markers(c, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(c, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(c, TRUE);
    VtJpegHeader header;
    d->result = check_header(d, &header);
    if (d->result != 1)
        return;
    const int cmyk = c->jpeg_color_space == JCS_CMYK || c->jpeg_color_space == JCS_YCCK;
    if (cmyk) {
        c->out_color_space = JCS_CMYK;
        prepare_cmyk_profile(d);
    } else if (c->jpeg_color_space == JCS_GRAYSCALE || c->jpeg_color_space == JCS_YCbCr ||
               c->jpeg_color_space == JCS_RGB) {
        c->out_color_space = JCS_EXT_BGRX;
    } else {
        d->result = -2;
        return;
    }
    VtJpegTarget target = {NULL, 0, 0};
    d->result = sink->begin(sink->context, &header, &target);
    apply_draft_scale(c, &target, &header);
    if (d->result == 1 && (target.pixels == NULL || target.stride < header.width))
        d->result = -25;
    if (d->result != 1)
        return;
    jpeg_start_decompress(c);
    if (c->output_components != 4 || c->output_width != header.width ||
        c->output_height != header.height) {
        d->result = -30;
        return;
    }
    /* As many rows a call as libjpeg makes at once (two with merged chroma): it then writes them
     * in place instead of keeping the second aside and copying it. */
    const JDIMENSION batch = c->rec_outbuf_height > 0 && c->rec_outbuf_height <= 4
                                 ? (JDIMENSION)c->rec_outbuf_height
                                 : 1;
    /* Colour rows arrive in a scratch row set and are copied out made opaque. Written into a
     * large aligned picture, libjpeg-turbo stores past the cache, and making them opaque there
     * would read every row back from memory. The scratch rows start off alignment so that they
     * stay in the cache. */
    const size_t scratch_stride = ((size_t)header.width * 4 + 63) / 64 * 64;
    uint8_t* scratch = NULL;
    if (!cmyk)
        scratch = (uint8_t*)(*c->mem->alloc_large)((j_common_ptr)c, JPOOL_IMAGE,
                                                   scratch_stride * batch + 16) +
                  4;
    while (c->output_scanline < c->output_height) {
        const JDIMENSION first = c->output_scanline;
        const JDIMENSION wanted =
            c->output_height - first < batch ? c->output_height - first : batch;
        JSAMPROW rows[4];
        for (JDIMENSION i = 0; i < wanted; ++i)
            rows[i] = scratch != NULL
                          ? (JSAMPROW)(scratch + i * scratch_stride)
                          : (JSAMPROW)(target.pixels + (size_t)(first + i) * target.stride);
        const JDIMENSION got = jpeg_read_scanlines(c, rows, wanted);
        for (JDIMENSION i = 0; i < got; ++i) {
            uint32_t* row = target.pixels + (size_t)(first + i) * target.stride;
            if (scratch != NULL) {
                copy_opaque((const uint32_t*)(const void*)rows[i], row, header.width);
            } else if (d->cmyk_to_srgb != NULL) {
                cmyk_row_through_profile(d->cmyk_to_srgb, row, header.width);
            } else {
                cmyk_row_to_bgr(row, header.width, c->saw_Adobe_marker);
            }
        }
        if (got != wanted)
            break;
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
    const int damaged = d->err.warnings > 0;

    /* Saved markers and the profile are libjpeg's until the decompression is finished. */
    VtJpegMetadata meta;
    memset(&meta, 0, sizeof(meta));
    meta.damaged = damaged;
    meta.rows = c->output_height;
    if (d->src.truncated) {
        /* A progressive file's scans are all taken in before the first row is put out: its
         * rows hold what arrived. A sequential file's rows after the cut are filler. */
        meta.cut = 1;
        meta.rows_read = c->progressive_mode ? c->output_height : d->src.rows_at_cut;
    }
    if (c->saw_JFIF_marker && (c->density_unit == 1 || c->density_unit == 2)) {
        meta.density_unit = c->density_unit;
        meta.x_density = c->X_density;
        meta.y_density = c->Y_density;
    }
    find_markers(d, &meta);
    unsigned int icc_size = 0;
    /* A profile with missing or repeated pieces is dropped; the pixels stay. */
    if (d->cmyk_to_srgb == NULL && jpeg_read_icc_profile(c, &d->icc, &icc_size) && d->icc != NULL) {
        meta.icc = d->icc;
        meta.icc_size = icc_size;
    }
    sink->metadata(sink->context, &meta);
    jpeg_finish_decompress(c);
    d->result = d->src.truncated && meta.rows_read == 0 ? -42 : 1;
}

static void set_source(Decoder* d, size_t size) {
    d->src.size = size;
    d->src.pub.init_source = on_init_source;
    d->src.pub.fill_input_buffer = on_fill_input;
    d->src.pub.skip_input_data = on_skip_input;
    d->src.pub.resync_to_restart = jpeg_resync_to_restart;
    d->src.pub.term_source = on_term_source;
}

static int starts_as_jpeg(const uint8_t* data, size_t size) {
    return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

/* Decodes from the source set in `d` and frees `d`. */
static int32_t run_decoder(Decoder* d, const VtJpegReadSink* sink) {
    d->result = 1;
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = on_error_exit;
    d->err.pub.emit_message = on_emit_message;
    d->err.pub.output_message = on_output_message;
    if (setjmp(d->err.jump) == 0) {
        jpeg_create_decompress(&d->cinfo);
        d->cinfo.mem->max_memory_to_use = VT_JPEG_MAX_WORK_MEMORY;
        d->cinfo.src = &d->src.pub;
        decode(d, sink);
    } else if (d->result == 1) {
        d->result = error_result(d);
        if (d->result == -2)
            tell_refusal(d, sink);
    }
    const int32_t result = d->result;
    if (d->cmyk_to_srgb != NULL)
        cmsDeleteTransform(d->cmyk_to_srgb);
    free(d->icc);
    free(d->xmp);
    jpeg_destroy_decompress(&d->cinfo);
    free(d->src.chunk);
    free(d);
    return result;
}

int32_t vt_jpeg_read(const uint8_t* data, size_t size, const VtJpegReadSink* sink) {
    if (!starts_as_jpeg(data, size))
        return -1;
    Decoder* d = (Decoder*)calloc(1, sizeof(Decoder));
    if (d == NULL)
        return -20;
    set_source(d, size);
    d->src.pub.next_input_byte = data;
    d->src.pub.bytes_in_buffer = size;
    return run_decoder(d, sink);
}

int32_t vt_jpeg_read_file(FILE* file, size_t size, const VtJpegReadSink* sink) {
    Decoder* d = (Decoder*)calloc(1, sizeof(Decoder));
    JOCTET* chunk = (JOCTET*)malloc(VT_JPEG_READ_CHUNK);
    if (d == NULL || chunk == NULL) {
        free(d);
        free(chunk);
        return -20;
    }
    const size_t n = fread(chunk, 1, VT_JPEG_READ_CHUNK, file);
    if (!starts_as_jpeg(chunk, n)) {
        free(chunk);
        free(d);
        return ferror(file) ? -42 : -1;
    }
    set_source(d, size);
    d->src.file = file;
    d->src.chunk = chunk;
    d->src.pub.next_input_byte = chunk;
    d->src.pub.bytes_in_buffer = n;
    return run_decoder(d, sink);
}

typedef struct Encoder {
    struct jpeg_compress_struct cinfo;
    ErrorState err;
    int32_t result;
} Encoder;

/* One white-flattened RGB row from B, G, R, transparency pixels. */
static void flatten_row(const uint32_t* in, JSAMPLE* out, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x) {
        const uint32_t p = in[x];
        const uint32_t t = p >> 24;
        const uint32_t a = 255 - t;
        const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        out[x * 3] = (JSAMPLE)((r * a + 255 * t + 127) / 255);
        out[x * 3 + 1] = (JSAMPLE)((g * a + 255 * t + 127) / 255);
        out[x * 3 + 2] = (JSAMPLE)((b * a + 255 * t + 127) / 255);
    }
}

static void write_exif(struct jpeg_compress_struct* c, const uint8_t* exif, uint32_t size) {
    const int has_id = size >= sizeof(kExifId) && memcmp(exif, kExifId, sizeof(kExifId)) == 0;
    const uint32_t total = size + (has_id ? 0u : (uint32_t)sizeof(kExifId));
    if (total > 65533u)
        return;
    jpeg_write_m_header(c, JPEG_APP0 + 1, total);
    if (!has_id)
        for (size_t i = 0; i < sizeof(kExifId); ++i)
            jpeg_write_m_byte(c, kExifId[i]);
    for (uint32_t i = 0; i < size; ++i)
        jpeg_write_m_byte(c, exif[i]);
}

static void encode(Encoder* e, FILE* file, const uint32_t* pixels, uint32_t width, uint32_t height,
                   uint32_t stride, const VtJpegWriteOptions* options) {
    struct jpeg_compress_struct* c = &e->cinfo;
    jpeg_stdio_dest(c, file);
    c->image_width = width;
    c->image_height = height;
    /* An opaque picture goes to libjpeg as it is (its colour conversion reads B, G, R and skips
     * the fourth byte); others are flattened over white row by row first. */
    const int opaque = options->opaque != 0;
    c->input_components = opaque ? 4 : 3;
    c->in_color_space = opaque ? JCS_EXT_BGRX : JCS_RGB;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, options->quality, TRUE);
    if ((options->density_unit == 1 || options->density_unit == 2) && options->x_density > 0 &&
        options->y_density > 0 && options->x_density <= 65535 && options->y_density <= 65535) {
        c->density_unit = (UINT8)options->density_unit;
        c->X_density = (UINT16)options->x_density;
        c->Y_density = (UINT16)options->y_density;
    }
    const int factor = options->subsample ? 2 : 1;
    c->comp_info[0].h_samp_factor = factor;
    c->comp_info[0].v_samp_factor = factor;
    for (int i = 1; i < c->num_components; ++i)
        c->comp_info[i].h_samp_factor = c->comp_info[i].v_samp_factor = 1;
    if (options->progressive)
        jpeg_simple_progression(c);
    jpeg_start_compress(c, TRUE);
    if (options->exif != NULL && options->exif_size > 0)
        write_exif(c, options->exif, options->exif_size);
    if (options->icc != NULL && options->icc_size > 0)
        jpeg_write_icc_profile(c, options->icc, options->icc_size);
    if (opaque) {
        /* libjpeg only reads the rows it is given. */
        JSAMPROW rows[16];
        for (uint32_t y = 0; y < height;) {
            const uint32_t n = height - y < 16 ? height - y : 16;
            for (uint32_t i = 0; i < n; ++i)
                rows[i] = (JSAMPROW)(uintptr_t)(pixels + (size_t)(y + i) * stride);
            const JDIMENSION done = jpeg_write_scanlines(c, rows, n);
            if (done == 0)
                break; /* finishing then reports the missing rows */
            y += done;
        }
    } else {
        JSAMPARRAY row = (*c->mem->alloc_sarray)((j_common_ptr)c, JPOOL_IMAGE, width * 3, 1);
        for (uint32_t y = 0; y < height; ++y) {
            flatten_row(pixels + (size_t)y * stride, row[0], width);
            jpeg_write_scanlines(c, row, 1);
        }
    }
    jpeg_finish_compress(c);
}

int32_t vt_jpeg_write(FILE* file, const uint32_t* pixels, uint32_t width, uint32_t height,
                      uint32_t stride, const VtJpegWriteOptions* options) {
    Encoder* e = (Encoder*)calloc(1, sizeof(Encoder));
    if (e == NULL)
        return -20;
    e->result = 1;
    e->cinfo.err = jpeg_std_error(&e->err.pub);
    e->err.pub.error_exit = on_error_exit;
    e->err.pub.emit_message = on_emit_message;
    e->err.pub.output_message = on_output_message;
    if (setjmp(e->err.jump) == 0) {
        jpeg_create_compress(&e->cinfo);
        encode(e, file, pixels, width, height, stride, options);
    } else {
        e->result = e->err.pub.msg_code == JERR_OUT_OF_MEMORY ? -20 : -43;
    }
    const int32_t result = e->result;
    jpeg_destroy_compress(&e->cinfo);
    free(e);
    return result;
}
