#include "formats/avi/avi_jpeg.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <jpeglib.h>

typedef struct Failure {
    struct jpeg_error_mgr manager;
    jmp_buf jump;
} Failure;

static void fail(j_common_ptr info) {
    longjmp(((Failure*)info->err)->jump, 1);
}

int32_t vt_avi_jpeg_encode(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride,
                           int quality, uint8_t** out, size_t* out_size) {
    struct jpeg_compress_struct info;
    Failure failure;
    unsigned char* volatile buffer = NULL;
    unsigned long size = 0;
    *out = NULL;
    *out_size = 0;
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = fail;
    if (setjmp(failure.jump)) {
        jpeg_destroy_compress(&info);
        free(buffer);
        return -30;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, (unsigned char**)&buffer, &size);
    info.image_width = width;
    info.image_height = height;
    /* Our pixels are B, G, R, transparency in memory: libjpeg-turbo's BGRX reads them as is. */
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    /* Full colour resolution: a frame comes back as close as the quality allows. */
    for (int i = 0; i < info.num_components; ++i)
        info.comp_info[i].h_samp_factor = info.comp_info[i].v_samp_factor = 1;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = (JSAMPROW)(pixels + (size_t)info.next_scanline * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    *out = buffer;
    *out_size = size;
    return 1;
}
