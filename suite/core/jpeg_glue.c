#include "suite/core/jpeg_glue.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jerror.h>
#include <jpeglib.h>

typedef struct JpegError {
    struct jpeg_error_mgr manager;
    jmp_buf jump;
} JpegError;

static void on_error(j_common_ptr info) {
    JpegError* error = (JpegError*)info->err;
    longjmp(error->jump, 1);
}

/* Warnings are ignored, except that the data ended early: a truncated file is refused. */
static void on_message(j_common_ptr info, int level) {
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        longjmp(((JpegError*)info->err)->jump, 1);
}

static void on_output(j_common_ptr info) {
    (void)info;
}

static void init_error(JpegError* error) {
    jpeg_std_error(&error->manager);
    error->manager.error_exit = on_error;
    error->manager.emit_message = on_message;
    error->manager.output_message = on_output;
}

/* CMYK as Adobe writes it (inverted) or as stored plainly, to B,G,R. */
static uint32_t cmyk_pixel(const JSAMPLE* p, int inverted) {
    unsigned c = p[0], m = p[1], y = p[2], k = p[3];
    if (!inverted) {
        c = 255 - c;
        m = 255 - m;
        y = 255 - y;
        k = 255 - k;
    }
    const unsigned r = c * k / 255, g = m * k / 255, b = y * k / 255;
    return (uint32_t)b | ((uint32_t)g << 8) | ((uint32_t)r << 16);
}

int vt_core_jpeg_decode(const uint8_t* data, size_t size, uint32_t max_side, uint64_t max_pixels,
                        uint32_t** pixels, uint32_t* width, uint32_t* height) {
    struct jpeg_decompress_struct info;
    JpegError error;
    uint32_t* volatile block = NULL;
    JSAMPLE* volatile row = NULL;
    *pixels = NULL;
    if (size == 0 || size > 0x7FFFFFFFu)
        return 0;
    memset(&info, 0, sizeof(info));
    init_error(&error);
    info.err = &error.manager;
    if (setjmp(error.jump)) {
        free(block);
        free(row);
        jpeg_destroy_decompress(&info);
        return 0;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, (unsigned long)size);
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK)
        longjmp(error.jump, 1);
    if (info.image_width == 0 || info.image_height == 0 || info.image_width > max_side ||
        info.image_height > max_side || (uint64_t)info.image_width * info.image_height > max_pixels)
        longjmp(error.jump, 1);
    const int cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_start_decompress(&info);
    const size_t w = info.output_width, h = info.output_height;
    block = (uint32_t*)malloc(w * h * 4);
    if (block == NULL)
        longjmp(error.jump, 1);
    if (cmyk) {
        row = (JSAMPLE*)malloc(w * 4);
        if (row == NULL)
            longjmp(error.jump, 1);
    }
    while (info.output_scanline < info.output_height) {
        uint32_t* out = block + (size_t)info.output_scanline * w;
        JSAMPROW target = cmyk ? row : (JSAMPROW)out;
        if (jpeg_read_scanlines(&info, &target, 1) != 1)
            longjmp(error.jump, 1);
        for (size_t x = 0; x < w; ++x)
            out[x] = cmyk ? cmyk_pixel(row + 4 * x, info.saw_Adobe_marker) : out[x] & 0xFFFFFFu;
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    free(row);
    *pixels = block;
    *width = (uint32_t)w;
    *height = (uint32_t)h;
    return 1;
}

/* A growing malloc'd output block; it lives on the heap so that its fields are sound after a
 * longjmp. */
typedef struct JpegSink {
    struct jpeg_destination_mgr manager;
    uint8_t* data;
    size_t capacity;
    size_t size;
} JpegSink;

static void sink_init(j_compress_ptr info) {
    JpegSink* sink = (JpegSink*)info->dest;
    sink->capacity = 1 << 16;
    sink->data = (uint8_t*)malloc(sink->capacity);
    if (sink->data == NULL)
        ERREXIT(info, JERR_OUT_OF_MEMORY);
    sink->manager.next_output_byte = sink->data;
    sink->manager.free_in_buffer = sink->capacity;
}

static boolean sink_empty(j_compress_ptr info) {
    JpegSink* sink = (JpegSink*)info->dest;
    const size_t used = sink->capacity;
    uint8_t* grown = (uint8_t*)realloc(sink->data, sink->capacity * 2);
    if (grown == NULL)
        ERREXIT(info, JERR_OUT_OF_MEMORY);
    sink->data = grown;
    sink->capacity *= 2;
    sink->manager.next_output_byte = grown + used;
    sink->manager.free_in_buffer = sink->capacity - used;
    return TRUE;
}

static void sink_term(j_compress_ptr info) {
    JpegSink* sink = (JpegSink*)info->dest;
    sink->size = sink->capacity - sink->manager.free_in_buffer;
}

int vt_core_jpeg_encode(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                        int quality, uint8_t** out, unsigned long* out_size) {
    struct jpeg_compress_struct info;
    JpegError error;
    JpegSink* sink = (JpegSink*)calloc(1, sizeof(JpegSink));
    if (sink == NULL)
        return 0;
    memset(&info, 0, sizeof(info));
    init_error(&error);
    info.err = &error.manager;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        free(sink->data);
        free(sink);
        return 0;
    }
    jpeg_create_compress(&info);
    sink->manager.init_destination = sink_init;
    sink->manager.empty_output_buffer = sink_empty;
    sink->manager.term_destination = sink_term;
    info.dest = &sink->manager;
    info.image_width = width;
    info.image_height = height;
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = (JSAMPROW)(pixels + (size_t)info.next_scanline * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    *out = sink->data;
    *out_size = (unsigned long)sink->size;
    free(sink);
    return 1;
}
