/*
 * The suite core library's interface (vtl_Core.so): what the host calls by name to load and
 * save pictures on a plug-in's behalf and to turn markup into EXIF and back. C only.
 *
 * The host opens the library for each call and closes it afterwards, so the library keeps no
 * state between calls. Pixel blocks it returns come from malloc; the host frees them.
 */
#ifndef VT_PLUGINS_SDK_VT_CORE_H
#define VT_PLUGINS_SDK_VT_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VT_CORE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define VT_CORE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define VT_CORE_LIBRARY_NAME "vtl_Core.so"
#define VT_CORE_REQUEST_VERSION 0x00050321u
/* The text capacity the host gives core_MarkupFromEXIF. */
#define VT_CORE_MARKUP_CAPACITY 65536u

/* A picture: 32-bit pixels (blue, green, red, transparency; 0 opaque), rows top-down, the
 * stride in pixels.
 *   32-bit 64-bit
 *        0      0  width, height, stride
 *       12     16  pixels            (24 bytes on 64-bit, 16 on 32-bit)
 */
typedef struct VtCoreImage {
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t* pixels;
} VtCoreImage;

/* The request block of a load or save, zero-filled by the host. The two extra words travel
 * unchanged between plug-in and library; they are pointer-sized so that a block can ride in
 * them on 64-bit.
 *   32-bit 64-bit
 *        0      0  version (VT_CORE_REQUEST_VERSION)
 *        4      4  flags, from the plug-in's request
 *        8      8  extra word 1
 *       12     16  extra word 2
 *       16     24  option byte (load only)
 *       17     25  answer byte, returned to the plug-in
 *       48     48  (size)
 */
typedef struct VtCoreRequest {
    uint32_t version;
    uint32_t flags;
    uintptr_t extra1;
    uintptr_t extra2;
    uint8_t option;
    uint8_t answer;
    uint8_t reserved[sizeof(void*) == 8 ? 22 : 30];
} VtCoreRequest;

VT_CORE_STATIC_ASSERT(sizeof(VtCoreRequest) == 48, "VtCoreRequest is 48 bytes");
VT_CORE_STATIC_ASSERT(offsetof(VtCoreRequest, option) == (sizeof(void*) == 8 ? 24 : 16),
                      "option byte offset");

/* Reads the file at `path` (UTF-16) into a new malloc'd pixel block described in `image`.
 * Nonzero on success; on failure nothing is allocated. */
typedef int32_t (*VtCoreLoadImageFn)(VtCoreImage* image, const uint16_t* path,
                                     VtCoreRequest* request);
/* Writes the picture to `path` (UTF-16) in the format its extension names. Nonzero on success;
 * a failed save leaves no file behind. */
typedef int32_t (*VtCoreSaveImageFn)(const VtCoreImage* image, const uint16_t* path,
                                     VtCoreRequest* request);
/* Builds an EXIF block (TIFF-structured, without the "Exif\0\0" marker prefix) from the
 * markup's exif.* entries into `out`. The block's size; 0 when there is nothing to write or
 * on failure; minus the needed size when `capacity` is too small. */
typedef int32_t (*VtCoreMarkupToExifFn)(const char* markup, void* out, uint32_t capacity);
/* Writes markup entries ("\r\nkey=value;") for every tag of the EXIF block (with or without
 * the "Exif\0\0" prefix) into `out`, NUL-terminated, cut at `capacity`. Nonzero when text was
 * produced. */
typedef int32_t (*VtCoreMarkupFromExifFn)(char* out, uint32_t capacity, const void* exif,
                                          uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
