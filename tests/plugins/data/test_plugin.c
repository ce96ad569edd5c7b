/* A format plug-in for the host's tests, built once per behaviour (VT_TEST_KIND):
 *   GOOD      reads and writes ".tst" files: "TST1", frame count, then per frame
 *             width, height, mode2 (u32 each) and width x height pixels; has two options
 *   CLAIMALL  says it can read anything, even the impossible probe
 *   CRASH     claims ".tst" first and crashes inside the load and when asked its options
 *   SLEEP     claims ".tst" first and takes longer than the host's time limit
 *   FAILSAVE  claims ".tst" saves first, writes half a file and reports a write error
 *   FLAT      saves ".flt" files like GOOD but wants a single layer
 *   DEEP      reads ".dpt" files like GOOD and hands a 16-bit picture beside frame 0, chosen by
 *             the digit before the extension: 0 sound (every sample 0x1234), 1 another width,
 *             2 three channels, 3 a stride shorter than a row, 4 no samples; saves ".dpt" like
 *             GOOD, followed by "DEEP" and the samples of a deep picture it was offered
 * GOOD also draws: a file "DRW1" loads as the frames of a script of drawing calls made through
 * the host's image services, then a frame of the calls' results.
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
#define KIND_DEEP 7

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

#if VT_TEST_KIND == KIND_GOOD
#define RED 0x00FF0000u
#define GREEN 0x0000FF00u
#define BLUE 0x000000FFu
#define CLEAR 0xFF000000u

/* Hands the image out as the next frame. */
static int32_t emit(FilterCall* c, const VtImage* image) {
    c->width = image->width;
    c->height = image->height;
    c->mode2 = 0;
    if (c->frame_cb.add_frame(c) == 0)
        return c->status;
    for (uint32_t y = 0; y < image->height; ++y)
        memcpy(c->pixels + (size_t)y * c->stride, image->pixels + (size_t)y * image->stride,
               4u * image->width);
    return VT_OK;
}

static void fill_with(const pi_BasicImage* b, VtImage* image, uint32_t colour) {
    b->fill(image, 0, 0, (int32_t)image->width - 1, (int32_t)image->height - 1, colour, 0, 0, 0, 0,
            0, 0);
}

static int32_t load_drawing(FilterCall* c) {
    const pi_BasicImage* b = c->basic_image;
    VtImage canvas = {0}, small = {0}, grid = {0}, results = {0};
    int32_t r[16], n = 0, result = VT_OK;
    uint8_t invert[256];
    const double box[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    const int32_t slanted[8] = {0, 0, 3, 1, 3, 3, 0, 3}, square[8] = {0, 0, 3, 0, 3, 3, 0, 3};
    const int32_t whole[4] = {0, 0, 1, 1};
    for (int i = 0; i < 256; ++i)
        invert[i] = (uint8_t)(255 - i);
    b->create(&canvas, 8, 8);
    b->create(&small, 2, 2);
    b->create(&grid, 3, 3);
    fill_with(b, &small, BLUE);
    /* 0: a red square with a green disc */
    r[n++] = b->fill(&canvas, 0, 0, 7, 7, RED, 0, 0, 0, 0, 0, 0);
    r[n++] = b->fill(&canvas, 7, 7, 0, 0, GREEN, 0, 0, 0, 1, 0, 0);
    result = emit(c, &canvas);
    /* 1: a blue corner copied in; 2: mirrored; 3: red inverted; 4: turned clockwise */
    r[n++] = b->blit(&canvas, 6, 6, 7, 7, &small, 0, 0, 1, 1, 0, 0);
    if (result == VT_OK)
        result = emit(c, &canvas);
    r[n++] = b->mirror(&canvas, 0);
    if (result == VT_OK)
        result = emit(c, &canvas);
    r[n++] = b->apply_tables(&canvas, 0, 0, 7, 7, NULL, NULL, invert, NULL, 0);
    if (result == VT_OK)
        result = emit(c, &canvas);
    r[n++] = b->rotate(&canvas, 1);
    if (result == VT_OK)
        result = emit(c, &canvas);
    /* 5: what is invisible in the source is left out of a masked copy */
    small.pixels[0] = CLEAR;
    r[n++] = b->masked_copy(&canvas, 0, 0, 1, 1, &small, 0, 0, 1);
    if (result == VT_OK)
        result = emit(c, &canvas);
    small.pixels[0] = BLUE;
    /* 6: a white dot blurred over its 3 x 3 neighbourhood */
    grid.pixels[grid.stride + 1] = 0x00FFFFFFu;
    r[n++] = b->convolve(&grid, 0, 0, 2, 2, &grid, box, 3, 3, 0);
    if (result == VT_OK)
        result = emit(c, &grid);
    /* 7: blue stretched over a 4 x 4 picture, then a green layer at half strength on top */
    r[n++] = b->create(&canvas, 4, 4);
    r[n++] = b->stretch_blit(&canvas, square, &small, whole, 0, 0);
    fill_with(b, &grid, GREEN);
    r[n++] = b->composite(&canvas, 0, 0, 3, 3, &grid, 0, 128);
    if (result == VT_OK)
        result = emit(c, &canvas);
    /* 8: resized to 6 x 2 */
    r[n++] = b->resize(&canvas, 6, 2);
    if (result == VT_OK)
        result = emit(c, &canvas);
    /* refused: a slanted target, a kernel of one column, nothing to draw on */
    r[n++] = b->stretch_blit(&canvas, slanted, &small, whole, 0, 0);
    r[n++] = b->convolve(&canvas, 0, 0, 1, 1, &grid, box, 1, 9, 0);
    r[n++] = b->fill(&results, 0, 0, 1, 1, RED, 0, 0, 0, 0, 0, 0);
    /* 9: the results */
    b->create(&results, (uint32_t)n, 1);
    for (int i = 0; i < n; ++i)
        results.pixels[i] = (uint32_t)r[i];
    if (result == VT_OK)
        result = emit(c, &results);
    b->free_image(&canvas);
    b->free_image(&small);
    b->free_image(&grid);
    b->free_image(&results);
    return result;
}
#endif

static int32_t load_tst(FilterCall* c) {
    FILE* f = open_utf16(c->path, "rb");
    char magic[4];
    uint32_t frames = 0;
    int32_t result = VT_OK;
    if (!f)
        return VT_ERR_OPEN_READ;
#if VT_TEST_KIND == KIND_GOOD
    if (fread(magic, 1, 4, f) == 4 && memcmp(magic, "DRW1", 4) == 0) {
        fclose(f);
        return load_drawing(c);
    }
    rewind(f);
#endif
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

#if VT_TEST_KIND == KIND_DEEP
/* The digit before the file name's extension. */
static int deep_mode(const uint16_t* path) {
    size_t n = 0, dot = 0;
    for (; path[n]; ++n)
        if (path[n] == '.')
            dot = n;
    return dot > 0 ? (int)path[dot - 1] - '0' : -1;
}

static void hand_deep(FilterCall* c) {
    if (c->deep == NULL || (c->deep->flags & VT_DEEP_WANTED) == 0)
        return;
    const int mode = deep_mode(c->path);
    VtDeepImage d = {c->width, c->height, 4, c->width * 4, NULL, 16, 0};
    const size_t count = (size_t)c->width * c->height * 4;
    if (mode != 4) {
        d.samples = (uint16_t*)malloc(count * 2);
        if (d.samples == NULL)
            return;
        for (size_t i = 0; i < count; ++i)
            d.samples[i] = 0x1234;
    }
    if (mode == 1)
        d.width += 1;
    if (mode == 2)
        d.channels = 3;
    if (mode == 3)
        d.stride -= 1;
    c->deep->image = d;
    c->deep->answer = VT_DEEP_DELIVERED;
}
#endif

VT_PLUGIN_EXPORT int32_t flt_CheckLoad(FilterCheck* check) {
#if VT_TEST_KIND == KIND_CLAIMALL
    check->level = 5;
    check->flags = 3;
    return 1;
#elif VT_TEST_KIND == KIND_DEEP
    if (ext_is(check->extension, ".dpt"))
        check->level = 10;
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
#elif VT_TEST_KIND == KIND_DEEP
    const int32_t result = load_tst(call);
    if (result == VT_OK)
        hand_deep(call);
    return result;
#else
    return load_tst(call);
#endif
}

#if VT_TEST_KIND == KIND_GOOD || VT_TEST_KIND == KIND_FAILSAVE || VT_TEST_KIND == KIND_FLAT ||     \
    VT_TEST_KIND == KIND_DEEP
VT_PLUGIN_EXPORT int32_t flt_CheckSave(FilterCheck* check) {
#if VT_TEST_KIND == KIND_DEEP
    if (ext_is(check->extension, ".dpt")) {
        check->level = 10;
        check->deep_bits = 16;
    }
#elif VT_TEST_KIND == KIND_FLAT
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
#elif VT_TEST_KIND == KIND_DEEP
    const int32_t result = save_tst(call);
    if (result != VT_OK || call->deep == NULL || (call->deep->flags & VT_DEEP_OFFERED) == 0)
        return result;
    const VtDeepImage* d = &call->deep->image;
    FILE* f = open_utf16(call->path, "ab");
    if (!f)
        return VT_ERR_OPEN_WRITE;
    fwrite("DEEP", 1, 4, f);
    for (uint32_t y = 0; y < d->height; ++y)
        fwrite(d->samples + (size_t)y * d->stride, 2, (size_t)d->width * d->channels, f);
    if (fclose(f) != 0)
        return VT_ERR_WRITE;
    call->deep->answer = VT_DEEP_WRITTEN;
    return VT_OK;
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
