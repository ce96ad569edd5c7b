/* A format plug-in for the host's tests, built once per behaviour (VT_TEST_KIND):
 *   GOOD      reads and writes ".tst" files: "TST1", frame count, then per frame
 *             width, height, mode2 (u32 each) and width x height pixels; has two options
 *   CLAIMALL  says it can read anything, even the impossible probe
 *   CRASH     claims ".tst" first and crashes inside the load and when asked its options
 *   SLEEP     claims ".tst" first and takes longer than the host's time limit
 *   FAILSAVE  claims ".tst" saves first, writes half a file and reports a write error
 *   FLAT      saves ".flt" files like GOOD but wants a single layer
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "sdk/vt_plugin.h"

#define KIND_GOOD 1
#define KIND_CLAIMALL 2
#define KIND_CRASH 3
#define KIND_SLEEP 4
#define KIND_FAILSAVE 5
#define KIND_FLAT 6

static int ext_is(const uint16_t* ext, const char* want) {
    size_t i = 0;
    for (; want[i]; ++i)
        if (ext[i] != (uint16_t)want[i])
            return 0;
    return ext[i] == 0;
}

static FILE* open_utf16(const uint16_t* path, const char* mode) {
    char name[4096];
    size_t i = 0;
    for (; path[i] && i + 1 < sizeof name; ++i)
        name[i] = (char)path[i]; /* test paths are ASCII */
    name[i] = 0;
    return fopen(name, mode);
}

static int read_u32(FILE* f, uint32_t* v) {
    return fread(v, 4, 1, f) == 1;
}

static int32_t load_tst(FilterCall* c) {
    FILE* f = open_utf16(c->path, "rb");
    char magic[4];
    uint32_t frames = 0;
    int32_t result = VT_OK;
    if (!f)
        return VT_ERR_OPEN_READ;
    if (fread(magic, 1, 4, f) != 4 || memcmp(magic, "TST1", 4) != 0 || !read_u32(f, &frames) ||
        frames == 0 || frames > 64)
        result = VT_ERR_CORRUPT_OR_UNSUPPORTED;
    for (uint32_t i = 0; result == VT_OK && i < frames; ++i) {
        uint32_t w = 0, h = 0, delay = 0;
        if (!read_u32(f, &w) || !read_u32(f, &h) || !read_u32(f, &delay) || w == 0 || h == 0 ||
            w > 4096 || h > 4096) {
            result = VT_ERR_INVALID_DATA;
            break;
        }
        c->width = w;
        c->height = h;
        c->mode2 = (uint16_t)delay;
        if (c->frame_cb.add_frame(c) == 0)
            result = c->status;
        for (uint32_t y = 0; result == VT_OK && y < h; ++y)
            if (fread(c->pixels + (size_t)y * c->stride, 4, w, f) != w)
                result = VT_ERR_READ;
    }
    fclose(f);
    return result;
}

static int32_t save_tst(FilterCall* c) {
    FILE* f = open_utf16(c->path, "wb");
    if (!f)
        return VT_ERR_OPEN_WRITE;
    fwrite("TST1", 1, 4, f);
    fwrite(&c->frame_count, 4, 1, f);
    for (uint32_t i = 0; i < c->frame_count; ++i) {
        if (!c->frame_cb.select_frame(c, (int32_t)i)) {
            fclose(f);
            return c->status ? c->status : VT_ERR_INTERNAL;
        }
        uint32_t delay = c->mode2;
        fwrite(&c->width, 4, 1, f);
        fwrite(&c->height, 4, 1, f);
        fwrite(&delay, 4, 1, f);
        for (uint32_t y = 0; y < c->height; ++y)
            fwrite(c->pixels + (size_t)y * c->stride, 4, c->width, f);
    }
    return fclose(f) == 0 ? VT_OK : VT_ERR_WRITE;
}

VT_PLUGIN_EXPORT int32_t flt_CheckLoad(FilterCheck* check) {
#if VT_TEST_KIND == KIND_CLAIMALL
    check->level = 5;
    check->flags = 3;
    return 1;
#else
    if (!ext_is(check->extension, ".tst") && !ext_is(check->extension, ".flt"))
        return 1;
#if VT_TEST_KIND == KIND_GOOD || VT_TEST_KIND == KIND_FLAT
    check->level = 10;
#else
    check->level = 200; /* ahead of the good one */
#endif
    return 1;
#endif
}

VT_PLUGIN_EXPORT int32_t flt_LoadImage(FilterCall* call) {
#if VT_TEST_KIND == KIND_CRASH
    volatile int* volatile nowhere = NULL;
    return *nowhere;
#elif VT_TEST_KIND == KIND_SLEEP
    struct timespec pause = {0, 300 * 1000000L};
    nanosleep(&pause, NULL);
    return load_tst(call);
#elif VT_TEST_KIND == KIND_CLAIMALL
    (void)call;
    return VT_ERR_CORRUPT_OR_UNSUPPORTED;
#else
    return load_tst(call);
#endif
}

#if VT_TEST_KIND == KIND_GOOD || VT_TEST_KIND == KIND_FAILSAVE || VT_TEST_KIND == KIND_FLAT
VT_PLUGIN_EXPORT int32_t flt_CheckSave(FilterCheck* check) {
#if VT_TEST_KIND == KIND_FLAT
    if (ext_is(check->extension, ".flt"))
        check->level = 10;
#else
    if (ext_is(check->extension, ".tst"))
        check->level = VT_TEST_KIND == KIND_FAILSAVE ? 200 : 10;
#endif
    return 1;
}

VT_PLUGIN_EXPORT int32_t flt_SaveImage(FilterCall* call) {
#if VT_TEST_KIND == KIND_FAILSAVE
    FILE* f = open_utf16(call->path, "wb");
    if (f) {
        fwrite("TST1 half", 1, 9, f);
        fclose(f);
    }
    return VT_ERR_WRITE;
#elif VT_TEST_KIND == KIND_FLAT
    if (call->frame_count > 1)
        return VT_ERR_NEEDS_FLATTENING;
    return save_tst(call);
#else
    return save_tst(call);
#endif
}
#endif

#if VT_TEST_KIND == KIND_GOOD || VT_TEST_KIND == KIND_CRASH
VT_PLUGIN_EXPORT const VtStateEntry* plg_StateEntries(void) {
    static const VtStateEntry kEntries[] = {{"fmx_TestGOOD.level", "3", "0 to 9: effort"},
                                            {"fmx_TestGOOD.note", NULL, NULL},
                                            {NULL, NULL, NULL}};
#if VT_TEST_KIND == KIND_CRASH
    volatile int* volatile nowhere = NULL;
    return kEntries + *nowhere;
#else
    return kEntries;
#endif
}
#endif
