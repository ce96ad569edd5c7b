/* A stand-in for the suite core library that shows what the host hands it: each call appends
 * a line to the file named by VT_FAKE_CORE_LOG ("load <path> <exists>", "save <path>"). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sdk/vt_core.h"

#define EXPORT __attribute__((visibility("default")))

static void utf8_path(const uint16_t* path, char* out, size_t capacity) {
    size_t n = 0;
    for (; path != NULL && path[n] != 0 && n + 1 < capacity; ++n)
        out[n] = (char)path[n]; /* the tests use ASCII paths */
    out[n] = 0;
}

static void log_line(const char* what, const char* path, int exists) {
    const char* name = getenv("VT_FAKE_CORE_LOG");
    FILE* f = name != NULL ? fopen(name, "a") : NULL;
    if (f == NULL)
        return;
    fprintf(f, "%s %s %d\n", what, path, exists);
    fclose(f);
}

EXPORT int32_t core_LoadImage(VtCoreImage* image, const uint16_t* path, VtCoreRequest* request) {
    char name[4096];
    utf8_path(path, name, sizeof(name));
    log_line("load", name, access(name, F_OK) == 0);
    if (request->version != VT_CORE_REQUEST_VERSION)
        return 0;
    request->extra1 = 7;
    request->extra2 = 9;
    request->answer = (uint8_t)(request->option + 1);
    if (request->flags == 0xBAD)
        return 0;
    image->width = 2;
    image->height = 1;
    image->stride = 3; /* a padded row: the host must copy by rows */
    image->pixels = (uint32_t*)calloc(3, 4);
    if (image->pixels == NULL)
        return 0;
    image->pixels[0] = 0x00112233u;
    image->pixels[1] = 0xFF445566u;
    return 2;
}

EXPORT int32_t core_SaveImage(const VtCoreImage* image, const uint16_t* path,
                              VtCoreRequest* request) {
    char name[4096];
    utf8_path(path, name, sizeof(name));
    log_line("save", name, 0);
    request->answer = (uint8_t)(image->width + image->height);
    return request->extra1 == 42 && image->pixels != NULL ? 5 : 0;
}

EXPORT int32_t core_MarkupToEXIF(const char* markup, void* out, uint32_t capacity) {
    const size_t n = strlen(markup);
    if (n > capacity)
        return -(int32_t)n;
    memcpy(out, markup, n);
    return (int32_t)n;
}

EXPORT int32_t core_MarkupFromEXIF(char* out, uint32_t capacity, const void* exif, uint32_t size) {
    (void)exif;
    if (capacity != VT_CORE_MARKUP_CAPACITY)
        return 0;
    snprintf(out, capacity, "\r\nexif.fake=%u;", size);
    return 1;
}
