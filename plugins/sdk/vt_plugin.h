/*
 * Vantrel Converter plug-in interface: the records a format plug-in shares with the host.
 * C only; the host's C++ code uses these very records.
 *
 * Every record keeps the field order and integer widths of the original 32-bit interface;
 * pointers and handles are pointer-sized and every field is naturally aligned, so a 64-bit
 * build has the same fields at the offsets asserted below. The 32-bit offsets are asserted
 * too when the header is compiled for a 32-bit target.
 *
 * Records are zero-filled before use; reserved bytes stay zero.
 */
#ifndef VT_PLUGINS_SDK_VT_PLUGIN_H
#define VT_PLUGINS_SDK_VT_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VT_SDK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define VT_SDK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Bitmap: a 32-bit pixel buffer of the imaging engine.
 * Pixels are one uint32_t each: blue bits 0-7, green 8-15, red 16-23, transparency 24-31
 * (0 opaque, 255 fully transparent). Rows run top-down; `stride` counts pixels, not bytes.
 *
 *   32-bit  64-bit  field
 *        0       0  width          pixels per row as last refreshed
 *        4       4  height         rows
 *        8       8  stride         pixels between rows
 *       12      16  pixels         first pixel of the top row
 *       16      24  signature      154 in every live record
 *       17      25  kind           1 display memory, 2 engine memory, 3 caller memory, 4 view
 *       18      26  state          bit 0: being destroyed
 *       19      27  reserved
 *       20      28  lock_count     outstanding locks (atomic)
 *       24      32  owner_thread   thread id of the exclusive owner, 0 if none (atomic)
 *       28      40  handle         kinds 1, 2: pixel block; 3: caller pixels; 4: parent Bitmap
 *       32      48  aux1           kinds 1-3: width; 4: view left (bits 0-15), top (16-31)
 *       36      56  aux2           kinds 1-3: height; 4: view right, bottom (inclusive)
 *       40      64  aux_stride     kinds 1-3: row stride in pixels
 *       44      72  (size)
 * Plug-ins read width, height, stride and pixels; everything else belongs to the host.
 */
typedef struct Bitmap {
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t* pixels;
    uint8_t signature;
    uint8_t kind;
    uint8_t state;
    uint8_t reserved;
    int32_t lock_count;
    uint32_t owner_thread;
    uintptr_t handle;
    uintptr_t aux1;
    uintptr_t aux2;
    uint32_t aux_stride;
} Bitmap;

/* Layer: one layer or frame of a picture; plug-ins receive an array of them.
 *
 *   32-bit  64-bit  field
 *        0       0  x, y           position on the canvas, pixels (int32 each)
 *        8       8  bitmap         the layer's Bitmap
 *       52      80  name           UTF-16, NUL-terminated, at most 31 characters
 *      116     144  mode           bits 0-7 blend mode, bit 8 hidden, bit 10 on request,
 *                                  bit 13 second flattening pass
 *      118     146  mode2          frame delay of an animation frame
 *      120     148  attr           carried unchanged
 *      121     149  transparency   0 fully visible to 255 invisible
 *      122     150  reserved[2]
 *      124     152  meta_size      bytes of the metadata block (0: none)
 *      128     160  meta           the metadata block (malloc heap, owned by the layer), or NULL
 *      132     168  (size)
 */
typedef struct Layer {
    int32_t x;
    int32_t y;
    Bitmap bitmap;
    uint16_t name[32];
    uint16_t mode;
    uint16_t mode2;
    uint8_t attr;
    uint8_t transparency;
    uint8_t reserved[2];
    uint32_t meta_size;
    void* meta;
} Layer;

/* MarkupBuffer: the growable metadata text behind pi_MetaMarkup. The plug-in provides the
 * record; the host allocates, grows and frees `buffer`. After every host call `text` equals
 * `buffer` and `size` is the text length + 1 (0 when the text is empty).
 *
 *   32-bit  64-bit  field
 *        0       0  text
 *        4       8  size
 *        8      16  buffer
 *       12      24  capacity       bytes in buffer
 *       16      32  (size)
 */
typedef struct MarkupBuffer {
    char* text;
    uint32_t size;
    char* buffer;
    uint32_t capacity;
} MarkupBuffer;

#define VT_SDK_OFFSET(rec, field, off32, off64)                                                    \
    VT_SDK_STATIC_ASSERT(offsetof(rec, field) == (sizeof(void*) == 8 ? (off64) : (off32)),         \
                         #rec "." #field " offset")

#if UINTPTR_MAX == 0xFFFFFFFFu || UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
VT_SDK_OFFSET(Bitmap, width, 0, 0);
VT_SDK_OFFSET(Bitmap, height, 4, 4);
VT_SDK_OFFSET(Bitmap, stride, 8, 8);
VT_SDK_OFFSET(Bitmap, pixels, 12, 16);
VT_SDK_OFFSET(Bitmap, signature, 16, 24);
VT_SDK_OFFSET(Bitmap, kind, 17, 25);
VT_SDK_OFFSET(Bitmap, state, 18, 26);
VT_SDK_OFFSET(Bitmap, reserved, 19, 27);
VT_SDK_OFFSET(Bitmap, lock_count, 20, 28);
VT_SDK_OFFSET(Bitmap, owner_thread, 24, 32);
VT_SDK_OFFSET(Bitmap, handle, 28, 40);
VT_SDK_OFFSET(Bitmap, aux1, 32, 48);
VT_SDK_OFFSET(Bitmap, aux2, 36, 56);
VT_SDK_OFFSET(Bitmap, aux_stride, 40, 64);
VT_SDK_STATIC_ASSERT(sizeof(Bitmap) == (sizeof(void*) == 8 ? 72 : 44), "Bitmap size");

VT_SDK_OFFSET(Layer, x, 0, 0);
VT_SDK_OFFSET(Layer, y, 4, 4);
VT_SDK_OFFSET(Layer, bitmap, 8, 8);
VT_SDK_OFFSET(Layer, name, 52, 80);
VT_SDK_OFFSET(Layer, mode, 116, 144);
VT_SDK_OFFSET(Layer, mode2, 118, 146);
VT_SDK_OFFSET(Layer, attr, 120, 148);
VT_SDK_OFFSET(Layer, transparency, 121, 149);
VT_SDK_OFFSET(Layer, reserved, 122, 150);
VT_SDK_OFFSET(Layer, meta_size, 124, 152);
VT_SDK_OFFSET(Layer, meta, 128, 160);
VT_SDK_STATIC_ASSERT(sizeof(Layer) == (sizeof(void*) == 8 ? 168 : 132), "Layer size");

VT_SDK_OFFSET(MarkupBuffer, text, 0, 0);
VT_SDK_OFFSET(MarkupBuffer, size, 4, 8);
VT_SDK_OFFSET(MarkupBuffer, buffer, 8, 16);
VT_SDK_OFFSET(MarkupBuffer, capacity, 12, 24);
VT_SDK_STATIC_ASSERT(sizeof(MarkupBuffer) == (sizeof(void*) == 8 ? 32 : 16), "MarkupBuffer size");
#else
#error "The plug-in records are defined for 32-bit and 64-bit targets only"
#endif

#undef VT_SDK_OFFSET

#ifdef __cplusplus
}
#endif

#endif /* VT_PLUGINS_SDK_VT_PLUGIN_H */
