#ifndef VT_FORMATS_JPEG_JPEG_GLUE_H
#define VT_FORMATS_JPEG_JPEG_GLUE_H
/* The libjpeg side of fmx_JPEG: plain C, because libjpeg reports errors with longjmp and no C++
 * object may be alive across one. The entry file owns the records and the file; this file owns
 * every libjpeg structure and frees it before returning. Results are plug-in result codes.
 * Thread: any; every call uses only its own structures. */

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest picture a frame may hold. */
#define VT_JPEG_MAX_SIDE 65536u
#define VT_JPEG_MAX_PIXELS 250000000ull
/* The largest picture a JPEG file can describe. */
#define VT_JPEG_MAX_SAVE_SIDE 65500u

typedef struct VtJpegHeader {
    uint32_t width;
    uint32_t height;
    uint32_t bits_per_pixel; /* of the file: precision times components */
    int progressive;
} VtJpegHeader;

/* Where the decoded rows go: 32-bit pixels B, G, R, transparency (always 0), top-down. */
typedef struct VtJpegTarget {
    uint32_t* pixels;
    uint32_t stride; /* pixels between rows */
    /* 1..7: a draft at that many eighths of the size in the DCT domain (each side rounded up, as
     * vt_jpeg_scaled_side says); 8: a draft at the full size, chroma doubled without smoothing;
     * 0: the full size, exactly. */
    uint32_t scale_eighths;
} VtJpegTarget;

/* A side of the picture decoded at `eighths` eighths of its size. */
uint32_t vt_jpeg_scaled_side(uint32_t side, uint32_t eighths);

/* What the file carries besides its pixels; every pointer is null when absent and valid only
 * during the callback. */
typedef struct VtJpegMetadata {
    const uint8_t* exif; /* the APP1 payload after "Exif\0\0", from the TIFF byte order on */
    uint32_t exif_size;
    const char* xmp;    /* the XMP packet, NUL-terminated */
    const uint8_t* icc; /* the ICC profile, its APP2 pieces joined in sequence order */
    uint32_t icc_size;
    int damaged;        /* libjpeg recovered from corrupt data: some pixels may be wrong */
    int cut;            /* the data ended before the picture did */
    uint32_t rows;      /* rows of the picture put out */
    uint32_t rows_read; /* with `cut`: the rows read whole (all of a progressive file's rows,
                         * which hold the scans that arrived) */
    /* The JFIF header's density: unit 1 dots per inch, 2 per centimetre; 0 when there is no
     * JFIF header or it gives an aspect ratio only. */
    int density_unit;
    uint32_t x_density;
    uint32_t y_density;
} VtJpegMetadata;

/* Called back by vt_jpeg_read. Neither may throw or call libjpeg. */
typedef struct VtJpegReadSink {
    void* context;
    /* The header is known and checked: fill `target` and return 1, or return the result code
     * that ends the load. */
    int32_t (*begin)(void* context, const VtJpegHeader* header, VtJpegTarget* target);
    /* After the last row, while the frame is still the current one. */
    void (*metadata)(void* context, const VtJpegMetadata* metadata);
    /* Optional: why a file answered -2, in words for the user ("12-bit JPEG is not
     * supported ..."). */
    void (*refused)(void* context, const char* reason);
} VtJpegReadSink;

/* Decodes a whole JPEG file held in memory. -1 not a JPEG, -2 a JPEG process libjpeg-turbo does
 * not decode (lossless, 12-bit: this build's libjpeg-turbo holds 8-bit samples only, and a
 * 12-bit picture is refused rather than squeezed into them), with its reason told to `refused`, -13
 * a size beyond the limits, -42 the data ends before any row is complete, -44 invalid data, -20 out
 * of memory, 1 done (a file cut after some rows is done too, with `cut` in its metadata); or what
 * `begin` returned. */
int32_t vt_jpeg_read(const uint8_t* data, size_t size, const VtJpegReadSink* sink);
/* The same, read from `file` in chunks as the decoder needs them; `size` is the file's length. */
int32_t vt_jpeg_read_file(FILE* file, size_t size, const VtJpegReadSink* sink);

typedef struct VtJpegWriteOptions {
    int quality;     /* 1-100 */
    int progressive; /* 0 or 1 */
    int subsample;   /* 1: chroma 4:2:0, 0: 4:4:4 */
    const uint8_t* icc;
    uint32_t icc_size;
    const uint8_t* exif; /* from the TIFF byte order on, or with a leading "Exif\0\0" */
    uint32_t exif_size;
    int opaque; /* 1: no pixel has transparency, so rows go to libjpeg as they are */
    /* The JFIF density as above (1-65535 each); unit 0 leaves libjpeg's 1:1 aspect ratio. */
    int density_unit;
    uint32_t x_density;
    uint32_t y_density;
} VtJpegWriteOptions;

/* Writes a YCbCr JPEG to an open file; transparency is flattened over white. An EXIF block too
 * large for one marker is left out. 1 done, -43 write failure, -20 out of memory. The caller
 * closes the file. */
int32_t vt_jpeg_write(FILE* file, const uint32_t* pixels, uint32_t width, uint32_t height,
                      uint32_t stride, const VtJpegWriteOptions* options);

#ifdef __cplusplus
}
#endif

#endif /* VT_FORMATS_JPEG_JPEG_GLUE_H */
