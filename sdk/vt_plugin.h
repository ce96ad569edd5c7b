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

/* ---------------------------------------------------------------------------------------------
 * The format plug-in interface.
 *
 * A plug-in is a shared library ("fmx_NAME.so") that exports some of:
 *     int32_t flt_CheckLoad(FilterCheck*);   nonzero: the answer fields are valid
 *     int32_t flt_LoadImage(FilterCall*);    a result code
 *     int32_t flt_CheckSave(FilterCheck*);   nonzero: the answer fields are valid
 *     int32_t flt_SaveImage(FilterCall*);    a result code
 *     int32_t plg_ShowDialog(FilterDialog*); returned to the caller unchanged
 *     const VtStateEntry* plg_StateEntries(void); optional: its options (below)
 *     const char* plg_Version(void);          optional: its version, UTF-8, shown to the user
 *                                             (the kit's macros answer the program's version)
 * Build it with -fvisibility=hidden and mark these with VT_PLUGIN_EXPORT. Memory that crosses
 * the boundary (metadata blocks, markup text) comes from malloc and is freed with free.
 * Several threads may call a plug-in at once, each with its own records.
 * ------------------------------------------------------------------------------------------- */

#if defined(__GNUC__)
#define VT_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define VT_PLUGIN_EXPORT
#endif

/* Result codes. 1 success, 2 and above success for that many items. */
enum {
    VT_OK = 1,
    VT_ERR_UNKNOWN = 0,
    VT_ERR_CORRUPT_OR_UNSUPPORTED = -1,
    VT_ERR_NOT_IMPLEMENTED = -2,
    VT_ERR_NO_IMAGE_DATA = -3,
    VT_ERR_COMPONENT_MISSING = -4,
    VT_ERR_COMPONENT_FAILED = -5,
    VT_ERR_SYSTEM_REQUIREMENTS = -6,
    VT_ERR_IO_DEVICE = -7,
    VT_ERR_HOST_SERVICES = -10,
    VT_ERR_PARAMETER_RANGE = -11,
    VT_ERR_IMAGE_REQUIREMENTS = -12,
    VT_ERR_DIMENSIONS = -13,
    VT_ERR_IMAGE_MODE = -14,
    VT_ERR_NEEDS_FLATTENING = -15,
    VT_ERR_OUT_OF_MEMORY = -20,
    VT_ERR_BITMAP_REQUEST = -25,
    VT_ERR_BITMAP_SIZE_ZERO = -26,
    VT_ERR_BITMAP_TOO_BIG = -27,
    VT_ERR_INTERNAL = -30, /* -30 to -34 */
    VT_ERR_OPEN_READ = -40,
    VT_ERR_OPEN_WRITE = -41,
    VT_ERR_READ = -42,
    VT_ERR_WRITE = -43,
    VT_ERR_INVALID_DATA = -44,
    VT_ERR_TIMEOUT = -98,
    VT_ERR_CANCELLED = -99
};

/* Warnings a load reports at FilterCall.warnings. */
enum {
    VT_WARN_LAYERS_DROPPED = 0x0001,
    VT_WARN_LAYER_TYPES = 0x0002,
    VT_WARN_BLEND_MODES = 0x0004,
    VT_WARN_DATA_LOST = 0x0008,
    VT_WARN_TRANSPARENCY_REMOVED = 0x0010,
    VT_WARN_THUMBNAIL_ONLY = 0x0020,
    VT_WARN_NONSTANDARD_EXTENSION = 0x0080,
    VT_WARN_TIMEOUT = 0x0100
};

/* FilterCall.flags */
enum {
    VT_CALL_MAY_REDUCE = 0x0001,    /* plug-in: an oversized frame may be reduced; host: it was */
    VT_CALL_RESTART_CLOCK = 0x0004, /* plug-in: restart the time limit at the next add frame */
    VT_CALL_REQUEST_1 = 0x0100,     /* host: the caller's three request flags */
    VT_CALL_REQUEST_2 = 0x0200,
    VT_CALL_REQUEST_3 = 0x0400
};

/* FilterCheck: 128 bytes, the same on every platform.
 *     0  64  extension, UTF-16 lower case with its dot; empty for ".tmp" and ".temp" files
 *    64  32  load: the first bytes of the file
 *    96   4  load: how many of them (4 to 32)
 *   100   1  save answer, optional: the most bits per channel the plug-in writes from a deep
 *              picture (16), 0 = 8-bit pictures only
 *   101   1  zero
 *   102   2  save answer, optional: what the writer keeps of a picture for this extension
 *              (VT_KEEPS_*); 0 = not said, and the host assumes what it always did
 *   104  20  zero
 *   124   1  answer: level of support, 0 = cannot
 *   125   1  answer: bonus 1
 *   126   1  answer: bonus 2
 *   127   1  answer: flags; bits 0 and 1 each mark a restriction
 */
typedef struct FilterCheck {
    uint16_t extension[32];
    uint8_t head[32];
    uint32_t head_size;
    uint8_t deep_bits;
    uint8_t reserved[1];
    uint16_t keeps;
    uint8_t reserved2[20];
    uint8_t level;
    uint8_t bonus1;
    uint8_t bonus2;
    uint8_t flags;
} FilterCheck;

/* FilterCheck.keeps: what a save writes besides the pixels, so that the host can tell, before
 * it converts a picture, what the target will hold. A plug-in that answers sets
 * VT_KEEPS_DECLARED with the flags of everything its writer stores for the extension asked
 * about, with its default options, and reads back:
 *   PROFILE     the picture's colour profile ("ICCP" chunk)
 *   ALPHA       transparency of every level, not just on and off
 *   RESOLUTION  the print resolution ("PHYS" chunk)
 *   EXIF        the camera data of the markup
 *   XMP         an XMP packet
 *   PAGES       every frame of a frame set, each as a page
 *   LAYERS      every layer of a layered picture, with its position
 *   ANIMATION   every frame of an animation with its delay */
enum {
    VT_KEEPS_PROFILE = 0x0001,
    VT_KEEPS_ALPHA = 0x0002,
    VT_KEEPS_RESOLUTION = 0x0004,
    VT_KEEPS_EXIF = 0x0008,
    VT_KEEPS_XMP = 0x0010,
    VT_KEEPS_PAGES = 0x0020,
    VT_KEEPS_LAYERS = 0x0040,
    VT_KEEPS_ANIMATION = 0x0080,
    VT_KEEPS_DECLARED = 0x8000
};

/* ---------------------------------------------------------------------------------------------
 * Deep pictures (optional, VT_DEEP_VERSION 1): 16 bits per channel beside the 8-bit frame.
 *
 * A plug-in that knows nothing of them keeps working unchanged: FilterCall.deep is then
 * ignored, and the host uses the 8-bit frames as ever.
 *
 * Load: when FilterCall.deep is not null and its `flags` have VT_DEEP_WANTED, a plug-in that
 * reads more than 8 bits per channel still delivers every frame exactly as an 8-bit load does,
 * and in addition fills `image` with frame 0 at full depth (samples from malloc, which the host
 * frees) and sets `answer` to VT_DEEP_DELIVERED. It leaves `image` empty for an 8-bit source.
 *
 * Save: when FilterCall.deep is not null and its `flags` have VT_DEEP_OFFERED, `image` is the
 * picture to write at full depth (the host's memory, read only; the same size as the 8-bit
 * picture, which it stands for). A plug-in that writes it sets `answer` to VT_DEEP_WRITTEN,
 * and `bits_written` to the bits per channel the file holds when fewer than 16 (9-15; 0 counts
 * as 16); one that writes the 8-bit picture instead leaves `answer` at 0.
 *
 * Samples: unsigned 16-bit, native byte order, every channel scaled to the full range 0-65535
 * (a 12-bit source's 4095 becomes 65535). `channels` is 4 (red, green, blue, alpha) or 2 (grey,
 * alpha). Alpha is straight (colours are not multiplied by it) and counts the usual way: 0 fully
 * transparent, 65535 opaque. Rows run top-down; `stride` counts samples between rows.
 *
 *   32-bit 64-bit  VtDeepImage
 *        0      0  width, height, channels, stride (uint32 each)
 *       16     16  samples
 *       20     24  bits           significant bits per channel of the source, 9-16
 *       24     28  reserved
 *       28     32  (size)
 *
 *   32-bit 64-bit  VtDeepCall
 *        0      0  version        host: VT_DEEP_VERSION
 *        4      4  flags          host: VT_DEEP_WANTED (load), VT_DEEP_OFFERED (save)
 *        8      8  answer         plug-in: VT_DEEP_DELIVERED (load), VT_DEEP_WRITTEN (save)
 *       12     12  bits_written   plug-in (save): 9-15, or 0 for 16
 *       16     16  image
 *       44     48  (size)
 * ------------------------------------------------------------------------------------------- */

#define VT_DEEP_VERSION 1u

enum {
    VT_DEEP_WANTED = 0x0001,
    VT_DEEP_OFFERED = 0x0002,
    VT_DEEP_DELIVERED = 0x0001,
    VT_DEEP_WRITTEN = 0x0002,
    VT_DEEP_GREY_ALPHA = 2,
    VT_DEEP_RGBA = 4
};

typedef struct VtDeepImage {
    uint32_t width;
    uint32_t height;
    uint32_t channels;
    uint32_t stride;
    uint16_t* samples;
    uint32_t bits;
    uint32_t reserved;
} VtDeepImage;

typedef struct VtDeepCall {
    uint32_t version;
    uint32_t flags;
    uint32_t answer;
    uint32_t bits_written;
    VtDeepImage image;
} VtDeepCall;

struct FilterCall;

typedef int32_t (*VtAddFrameFn)(struct FilterCall* call);
typedef int32_t (*VtSelectFrameFn)(struct FilterCall* call, int32_t index);
typedef int32_t (*VtAddMetaChunkFn)(struct FilterCall* call, uint32_t tag, uint32_t size);
typedef int32_t (*VtGetMetaChunkFn)(struct FilterCall* call, uint32_t tag);
typedef int32_t (*VtSetMessageFn)(struct FilterCall* call, const uint16_t* text);

/* Chunk tags are four characters, first character in the lowest byte. */
#define VT_TAG(a, b, c, d)                                                                         \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) |     \
     ((uint32_t)(uint8_t)(d) << 24))

struct pi_StateStore;
struct pi_MetaMarkup;
struct pi_BasicQuery;
struct pi_BasicImage;
struct pi_BasicColor;
struct pi_BasicUtils;

/* FilterCall: one load or save. The host hands out a zero-filled 1024-byte record.
 *   32-bit 64-bit
 *        0      0  current frame: width, height, stride, pixels (load: the plug-in writes the
 *                  wanted width and height before add_frame)
 *       16     24  path: the source (load) or target (save) file, UTF-16
 *       20     32  parent window for the plug-in's own messages; 0 when the caller is silent
 *       24     40  callback: add_frame (load) / select_frame (save)
 *       28     48  flags (VT_CALL_*)
 *       30     50  save: document kind 0-3        31  51  save: kind parameter
 *       32     52  load: frames added so far; save: frames of the document
 *       36     56  frame x, y (int16 each)
 *       40     60  frame name, UTF-16, at most 31 characters
 *      104    124  frame mode, mode2 (uint16 each); 108 128 attr; 109 129 transparency
 *      128    152  metadata pointer
 *      132    160  callback: add_meta_chunk (load) / get_meta_chunk (save)
 *      136    168  host, optional: the deep picture of the call (VtDeepCall), or null
 *      240    272  status: result of the host's last callback
 *      246    278  warnings (VT_WARN_*)
 *      248    280  callback: set_message
 *      252    288  load: time limit in milliseconds, 0 = none
 *      256    296  service tables: state store, markup, query, image, colour, utilities
 *      280    344  host: frames in use
 *      284    348  host: current frame, -1 = none
 *      288    352  load, host: highest frame index allowed
 *      292    356  load, host: a frame was reduced
 *      296    360  load, host: smallest non-zero mode2 of the frames added
 *      300    368  host: the Layer array
 *      304    376  save, host: the composite Bitmap built by select_frame(-1)
 *      348    448  host: message buffer (UTF-16)   352 456  its capacity in characters (256)
 *      360    464  load, host: start time of the call
 *     1024   1024  (size)
 */
typedef struct FilterCall {
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t* pixels;
    const uint16_t* path;
    uintptr_t parent_window;
    union {
        VtAddFrameFn add_frame;
        VtSelectFrameFn select_frame;
    } frame_cb;
    uint16_t flags;
    uint8_t doc_kind;
    uint8_t kind_param;
    uint32_t frame_count;
    int16_t x;
    int16_t y;
    uint16_t name[32];
    uint16_t mode;
    uint16_t mode2;
    uint8_t attr;
    uint8_t transparency;
    uint8_t reserved1[18];
    void* meta;
    union {
        VtAddMetaChunkFn add_meta_chunk;
        VtGetMetaChunkFn get_meta_chunk;
    } meta_cb;
    VtDeepCall* deep;
    uint8_t reserved2[104 - sizeof(void*)];
    int32_t status;
    uint8_t reserved3[2];
    uint16_t warnings;
    VtSetMessageFn set_message;
    uint32_t time_limit_ms;
    const struct pi_StateStore* state_store;
    const struct pi_MetaMarkup* meta_markup;
    const struct pi_BasicQuery* basic_query;
    const struct pi_BasicImage* basic_image;
    const struct pi_BasicColor* basic_color;
    const struct pi_BasicUtils* basic_utils;
    uint32_t frames_in_use;
    int32_t current_frame;
    int32_t max_frame;
    uint8_t reduced;
    uint8_t reserved4[3];
    uint32_t min_mode2;
    Layer* layers;
    Bitmap composite;
    uint16_t* message;
    uint32_t message_capacity;
    uint8_t reserved5[4];
    uint64_t start_time;
    uint8_t reserved_end[sizeof(void*) == 8 ? 552 : 656];
} FilterCall;

/* FilterDialog: the plug-in's options dialog. A zero-filled 1024-byte record.
 *   32-bit 64-bit
 *        0      0  parent window
 *        4      8  the value 1
 *      256    264  service tables as in FilterCall
 */
typedef struct FilterDialog {
    uintptr_t parent_window;
    uint32_t one;
    uint32_t zero1;
    uint32_t zero2;
    uint8_t reserved[240];
    const struct pi_StateStore* state_store;
    const struct pi_MetaMarkup* meta_markup;
    const struct pi_BasicQuery* basic_query;
    const struct pi_BasicImage* basic_image;
    const struct pi_BasicColor* basic_color;
    const struct pi_BasicUtils* basic_utils;
    uint8_t reserved_end[sizeof(void*) == 8 ? 712 : 744];
} FilterDialog;

typedef int32_t (*VtCheckFn)(FilterCheck* check);
typedef int32_t (*VtCallFn)(FilterCall* call);
typedef int32_t (*VtDialogFn)(FilterDialog* dialog);

/* Optional export "plg_StateEntries": the options the plug-in reads from the state store, for
 * front ends to list (vtconvert --list-formats); users set them with vtconvert --set. An array
 * ended by a record whose name is NULL; the texts are static, 8-bit, English. */
typedef struct VtStateEntry {
    const char* name;          /* the state name, e.g. "fmx_JPEG.quality" */
    const char* default_value; /* the value used when the entry is absent */
    const char* meaning;       /* one line: the values and what they do */
} VtStateEntry;
typedef const VtStateEntry* (*VtStateEntriesFn)(void);

/* ---------------------------------------------------------------------------------------------
 * Service tables: a version word, a zero word, then the functions in slot order. Reserved slots
 * are null. Text is UTF-16 (uint16_t) unless said otherwise; markup text is 8-bit.
 * ------------------------------------------------------------------------------------------- */

#define VT_STATE_STORE_VERSION 0x00020001u
#define VT_META_MARKUP_VERSION 0x00010003u
#define VT_BASIC_QUERY_VERSION 0x00010002u
#define VT_BASIC_IMAGE_VERSION 0x00010011u
#define VT_BASIC_COLOR_VERSION 0x00010004u
#define VT_BASIC_UTILS_VERSION 0x00010001u
#define VT_BASIC_VIDEO_VERSION 0x00010000u

/* Small persistent state: memory entries (at most 1024 of at most 65,536 bytes, names of at
 * most 31 characters) and state files "<name>.bin" (at most 262,144 bytes; names with "/" or
 * "\" are refused). A size below 1 deletes. */
typedef struct pi_StateStore {
    uint32_t version;
    uint32_t zero;
    int32_t (*state_get)(const uint16_t* name, void* buffer, int32_t capacity);
    int32_t (*state_set)(const uint16_t* name, const void* data, int32_t size);
    int32_t (*state_size)(const uint16_t* name);
    int32_t (*file_read)(const uint16_t* name, void* buffer, int32_t capacity);
    int32_t (*file_write)(const uint16_t* name, const void* data, int32_t size);
    int32_t (*file_size)(const uint16_t* name);
} pi_StateStore;

/* The picture's metadata as "key=value" lines (8-bit), in a MarkupBuffer the plug-in owns and
 * the host grows. A plug-in delivers it as a "MARK" chunk of the frame's metadata. */
typedef struct pi_MetaMarkup {
    uint32_t version;
    uint32_t zero;
    int32_t (*create)(MarkupBuffer* mb);
    int32_t (*create_from)(MarkupBuffer* mb, const void* data, uint32_t count);
    void (*free_buffer)(MarkupBuffer* mb);
    int32_t (*append_text)(MarkupBuffer* mb, const char* text);
    int32_t (*get_value)(const MarkupBuffer* mb, const char* key, char* value, uint32_t capacity);
    int32_t (*set_value)(MarkupBuffer* mb, const char* key, const char* value);
    int32_t (*get_bit_depth)(const MarkupBuffer* mb, uint32_t* depth);
    int32_t (*set_bit_depth)(MarkupBuffer* mb, int32_t depth);
    int32_t (*export_exif)(const MarkupBuffer* mb, void* out, uint32_t capacity);
    int32_t (*import_exif)(MarkupBuffer* mb, const void* exif, uint32_t size);
    int32_t (*import_xmp)(MarkupBuffer* mb, const char* xmp);
} pi_MetaMarkup;

/* Tables by name, and host values: "host.name", "host.version", "host.temp_path".
 * Load hints (a plug-in that never asks loads as always; an older host answers 0):
 *   "load.draft_size"  buffer: the full width and height (two uint32); answer 8 with the
 *                      smallest size the host can use, or 0 for the full size.
 *   "load.frame_bytes" buffer: the bytes every frame of the file together will take as
 *                      whole frames (one uint64), asked before the first frame; answer 8 to
 *                      go on, or VT_ERR_OUT_OF_MEMORY (-20): the host refuses the picture as a
 *                      decompression bomb, so return that.
 *   "job.spare_threads" buffer: one uint32; answer 4 with the number of the job's workers
 *                      that have no picture left, whose processors an encoder may use now
 *                      (0 outside a job). */
typedef struct pi_BasicQuery {
    uint32_t version;
    uint32_t zero;
    const void* (*get_interface)(const uint16_t* name);
    int32_t (*query)(const char* key, void* buffer, int32_t capacity);
    int32_t (*set)(const char* key, const void* value, int32_t size);
} pi_BasicQuery;

/* An image handle owned by the plug-in.
 *   32-bit 64-bit
 *        0      0  width, height, stride (pixels), zero
 *       16     16  pixels
 *       20     24  the host's Bitmap (null when empty)
 */
typedef struct VtImage {
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t zero;
    uint32_t* pixels;
    Bitmap* bitmap;
} VtImage;

/* A load or save through the suite's core library (pi_BasicImage load and save).
 *   32-bit 64-bit
 *        0      0  flags, passed to the core library
 *        4      8  file path (UTF-16), or null to load from memory
 *        8     16  load from memory: the data
 *       12     24  load from memory: its size (at least 4)
 *       16     32  load from memory: a file name whose extension names the format, or null
 *       20     40  load: option byte for the core library
 *       24     48  extra word 1 (load: filled by the core library; save: passed to it)
 *       28     56  extra word 2 (the same)
 *       32     64  answer byte from the core library
 *       33     65  set to 1 when the core library or its function is missing
 *       36     72  (size)
 */
typedef struct VtImageRequest {
    uint32_t flags;
    const uint16_t* path;
    const void* data;
    uint32_t size;
    const uint16_t* name;
    uint8_t option;
    uintptr_t extra1;
    uintptr_t extra2;
    uint8_t answer;
    uint8_t core_missing;
} VtImageRequest;

typedef struct pi_BasicImage {
    uint32_t version;
    uint32_t zero;
    int32_t (*create)(VtImage* image, uint32_t width, uint32_t height);
    int32_t (*wrap)(VtImage* image, uint32_t width, uint32_t height, uint32_t stride,
                    uint32_t* pixels);
    int32_t (*free_image)(VtImage* image);
    int32_t (*resize)(VtImage* image, uint32_t width, uint32_t height);
    int32_t (*lock)(VtImage* image);
    int32_t (*unlock)(VtImage* image);
    uintptr_t (*get_dc)(VtImage* image);
    int32_t (*release_dc)(VtImage* image, uintptr_t dc);
    uintptr_t (*detach)(VtImage* image);
    void* reserved10;
    int32_t (*load)(VtImage* image, VtImageRequest* request);
    int32_t (*save)(VtImage* image, VtImageRequest* request);
    void* reserved13;
    void* reserved14;
    int32_t (*mirror)(VtImage* image, int32_t vertical);
    int32_t (*rotate)(VtImage* image, int32_t quarter_turns);
    void* reserved17;
    void* reserved18;
    int32_t (*fill)(VtImage* image, int32_t left, int32_t top, int32_t right, int32_t bottom,
                    uint32_t colour1, uint32_t colour2, uint32_t colour3, uint32_t colour4,
                    uint32_t flags, int32_t param1, int32_t param2);
    int32_t (*blit)(VtImage* image, int32_t left, int32_t top, int32_t right, int32_t bottom,
                    const VtImage* source, int32_t src_left, int32_t src_top, int32_t src_right,
                    int32_t src_bottom, uint32_t flags, uint32_t blend);
    int32_t (*stretch_blit)(VtImage* image, const int32_t* destination /* 8 values */,
                            const VtImage* source, const int32_t* source_rect /* 4 values */,
                            uint32_t flags, uint32_t blend);
    int32_t (*composite)(VtImage* image, int32_t left, int32_t top, int32_t right, int32_t bottom,
                         const VtImage* source, uint32_t mode, uint32_t transparency);
    int32_t (*apply_tables)(VtImage* image, int32_t left, int32_t top, int32_t right,
                            int32_t bottom, const uint8_t* table1, const uint8_t* table2,
                            const uint8_t* table3, const uint8_t* table4, uint32_t value);
    int32_t (*convolve)(VtImage* image, int32_t left, int32_t top, int32_t right, int32_t bottom,
                        const VtImage* source, const double* kernel, int32_t kernel_width,
                        int32_t kernel_height, uint32_t flags);
    int32_t (*difference_rect)(const VtImage* image, const VtImage* other, int32_t* rect_out);
    void* reserved26;
    int32_t (*masked_copy)(VtImage* image, int32_t left, int32_t top, int32_t right, int32_t bottom,
                           const VtImage* source, int32_t src_x, int32_t src_y, uint32_t flags);
} pi_BasicImage;

typedef struct pi_BasicColor {
    uint32_t version;
    uint32_t zero;
    int32_t (*convert_pixels)(uint32_t* pixels, int32_t count, uint32_t from_code,
                              uint32_t to_code);
    int32_t (*convert_row)(void* destination, const void* source, int32_t count, uint32_t format,
                           uint32_t flags);
    int32_t (*convert_colour)(uint32_t* colour, const void* parameters);
} pi_BasicColor;

typedef struct pi_BasicUtils {
    uint32_t version;
    uint32_t zero;
    int32_t (*translate_text)(const uint16_t* text, uint16_t* out, int32_t capacity);
    int32_t (*set_window_text)(uintptr_t window, const uint16_t* text);
    int32_t (*translate_window)(uintptr_t window);
} pi_BasicUtils;

/* A video frame as the host keeps it in a video session: width x height 32-bit pixels (blue,
 * green, red, transparency), rows top-down without padding. Valid until the next call on the
 * session. */
typedef struct VtVideoFrame {
    uint32_t width;
    uint32_t height;
    const uint32_t* pixels;
} VtVideoFrame;

/* Video frames read by the suite's video helper, one helper process per session. Results are
 * 1 for success or a negative result code; every call waits at most the session's time-out. */
typedef struct pi_BasicVideo {
    uint32_t version;
    uint32_t zero;
    /* file path, session time-out in ms, out result code -> session, or null */
    void* (*open)(const uint16_t* path, int32_t timeout_ms, int32_t* result);
    int32_t (*close)(void* session);
    /* -> the frame in the session's buffer, or null (the session keeps the result code) */
    const VtVideoFrame* (*read_frame)(void* session, int64_t frame);
    int32_t (*keep_alive)(void* session);
    int32_t (*set_timeout)(void* session, int32_t timeout_ms);
    int32_t (*query_time)(void* session, int64_t* milliseconds);
    int32_t (*query_count)(void* session, int64_t* count);
    int32_t (*query_value4)(void* session, double* value);
} pi_BasicVideo;

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

VT_SDK_OFFSET(VtImageRequest, flags, 0, 0);
VT_SDK_OFFSET(VtImageRequest, path, 4, 8);
VT_SDK_OFFSET(VtImageRequest, data, 8, 16);
VT_SDK_OFFSET(VtImageRequest, size, 12, 24);
VT_SDK_OFFSET(VtImageRequest, name, 16, 32);
VT_SDK_OFFSET(VtImageRequest, option, 20, 40);
VT_SDK_OFFSET(VtImageRequest, extra1, 24, 48);
VT_SDK_OFFSET(VtImageRequest, extra2, 28, 56);
VT_SDK_OFFSET(VtImageRequest, answer, 32, 64);
VT_SDK_OFFSET(VtImageRequest, core_missing, 33, 65);
VT_SDK_STATIC_ASSERT(sizeof(VtImageRequest) == (sizeof(void*) == 8 ? 72 : 36),
                     "VtImageRequest size");

VT_SDK_OFFSET(FilterCheck, extension, 0, 0);
VT_SDK_OFFSET(FilterCheck, head, 64, 64);
VT_SDK_OFFSET(FilterCheck, head_size, 96, 96);
VT_SDK_OFFSET(FilterCheck, deep_bits, 100, 100);
VT_SDK_OFFSET(FilterCheck, keeps, 102, 102);
VT_SDK_OFFSET(FilterCheck, level, 124, 124);
VT_SDK_OFFSET(FilterCheck, bonus1, 125, 125);
VT_SDK_OFFSET(FilterCheck, bonus2, 126, 126);
VT_SDK_OFFSET(FilterCheck, flags, 127, 127);
VT_SDK_STATIC_ASSERT(sizeof(FilterCheck) == 128, "FilterCheck size");

VT_SDK_OFFSET(FilterCall, width, 0, 0);
VT_SDK_OFFSET(FilterCall, pixels, 12, 16);
VT_SDK_OFFSET(FilterCall, path, 16, 24);
VT_SDK_OFFSET(FilterCall, parent_window, 20, 32);
VT_SDK_OFFSET(FilterCall, frame_cb, 24, 40);
VT_SDK_OFFSET(FilterCall, flags, 28, 48);
VT_SDK_OFFSET(FilterCall, doc_kind, 30, 50);
VT_SDK_OFFSET(FilterCall, kind_param, 31, 51);
VT_SDK_OFFSET(FilterCall, frame_count, 32, 52);
VT_SDK_OFFSET(FilterCall, x, 36, 56);
VT_SDK_OFFSET(FilterCall, y, 38, 58);
VT_SDK_OFFSET(FilterCall, name, 40, 60);
VT_SDK_OFFSET(FilterCall, mode, 104, 124);
VT_SDK_OFFSET(FilterCall, mode2, 106, 126);
VT_SDK_OFFSET(FilterCall, attr, 108, 128);
VT_SDK_OFFSET(FilterCall, transparency, 109, 129);
VT_SDK_OFFSET(FilterCall, meta, 128, 152);
VT_SDK_OFFSET(FilterCall, meta_cb, 132, 160);
VT_SDK_OFFSET(FilterCall, deep, 136, 168);
VT_SDK_OFFSET(FilterCall, status, 240, 272);
VT_SDK_OFFSET(FilterCall, warnings, 246, 278);
VT_SDK_OFFSET(FilterCall, set_message, 248, 280);
VT_SDK_OFFSET(FilterCall, time_limit_ms, 252, 288);
VT_SDK_OFFSET(FilterCall, state_store, 256, 296);
VT_SDK_OFFSET(FilterCall, meta_markup, 260, 304);
VT_SDK_OFFSET(FilterCall, basic_query, 264, 312);
VT_SDK_OFFSET(FilterCall, basic_image, 268, 320);
VT_SDK_OFFSET(FilterCall, basic_color, 272, 328);
VT_SDK_OFFSET(FilterCall, basic_utils, 276, 336);
VT_SDK_OFFSET(FilterCall, frames_in_use, 280, 344);
VT_SDK_OFFSET(FilterCall, current_frame, 284, 348);
VT_SDK_OFFSET(FilterCall, max_frame, 288, 352);
VT_SDK_OFFSET(FilterCall, reduced, 292, 356);
VT_SDK_OFFSET(FilterCall, min_mode2, 296, 360);
VT_SDK_OFFSET(FilterCall, layers, 300, 368);
VT_SDK_OFFSET(FilterCall, composite, 304, 376);
VT_SDK_OFFSET(FilterCall, message, 348, 448);
VT_SDK_OFFSET(FilterCall, message_capacity, 352, 456);
VT_SDK_OFFSET(FilterCall, start_time, 360, 464);
VT_SDK_STATIC_ASSERT(sizeof(FilterCall) == 1024, "FilterCall size");

VT_SDK_OFFSET(VtDeepImage, samples, 16, 16);
VT_SDK_OFFSET(VtDeepImage, bits, 20, 24);
VT_SDK_STATIC_ASSERT(sizeof(VtDeepImage) == (sizeof(void*) == 8 ? 32 : 28), "VtDeepImage size");
VT_SDK_OFFSET(VtDeepCall, image, 16, 16);
VT_SDK_STATIC_ASSERT(sizeof(VtDeepCall) == (sizeof(void*) == 8 ? 48 : 44), "VtDeepCall size");

VT_SDK_OFFSET(FilterDialog, parent_window, 0, 0);
VT_SDK_OFFSET(FilterDialog, one, 4, 8);
VT_SDK_OFFSET(FilterDialog, state_store, 256, 264);
VT_SDK_OFFSET(FilterDialog, basic_utils, 276, 304);
VT_SDK_STATIC_ASSERT(sizeof(FilterDialog) == 1024, "FilterDialog size");

VT_SDK_OFFSET(VtImage, pixels, 16, 16);
VT_SDK_OFFSET(VtImage, bitmap, 20, 24);
VT_SDK_OFFSET(pi_StateStore, state_get, 8, 8);
VT_SDK_OFFSET(pi_MetaMarkup, import_xmp, 48, 88);
VT_SDK_OFFSET(pi_BasicImage, masked_copy, 112, 216);
VT_SDK_OFFSET(pi_BasicUtils, translate_window, 16, 24);
VT_SDK_OFFSET(pi_BasicVideo, open, 8, 8);
VT_SDK_OFFSET(pi_BasicVideo, close, 12, 16);
VT_SDK_OFFSET(pi_BasicVideo, read_frame, 16, 24);
VT_SDK_OFFSET(pi_BasicVideo, keep_alive, 20, 32);
VT_SDK_OFFSET(pi_BasicVideo, set_timeout, 24, 40);
VT_SDK_OFFSET(pi_BasicVideo, query_time, 28, 48);
VT_SDK_OFFSET(pi_BasicVideo, query_count, 32, 56);
VT_SDK_OFFSET(pi_BasicVideo, query_value4, 36, 64);
VT_SDK_STATIC_ASSERT(sizeof(pi_BasicVideo) == (sizeof(void*) == 8 ? 72 : 40), "pi_BasicVideo size");
VT_SDK_OFFSET(VtVideoFrame, pixels, 8, 8);
VT_SDK_STATIC_ASSERT(sizeof(VtVideoFrame) == (sizeof(void*) == 8 ? 16 : 12), "VtVideoFrame size");
#else
#error "The plug-in records are defined for 32-bit and 64-bit targets only"
#endif

#undef VT_SDK_OFFSET

#ifdef __cplusplus
}
#endif

#endif /* VT_PLUGINS_SDK_VT_PLUGIN_H */
