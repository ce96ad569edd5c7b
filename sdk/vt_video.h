/*
 * The video helper's messages (bin/vtl_Video): what the host and the helper say to each other
 * over the session's Unix domain socket. C only, little-endian, the same on every platform.
 *
 * A message is a 32-byte header followed by `payload_size` bytes.
 *    0  4  code: the command on requests; 0x80000000 + command on replies
 *    4  4  request: time-out in milliseconds
 *    8  8  request: argument (command 3: the frame number, signed)
 *          reply: status word at 8 (0 = success), second word at 12
 *   16  8  reply: a double (commands 4 and 6)
 *   24  4  zero
 *   28  4  payload size
 *
 * Commands: 0 keep-alive, 1 close (no reply), 2 open (payload: the path, UTF-16 with its
 * terminator), 3 read frame (reply payload: u32 width, u32 height, width x height pixels),
 * 4 frame rate (frames per second), 5 frame count (at 8, 64-bit), 6 duration (seconds).
 */
#ifndef VT_PLUGINS_SDK_VT_VIDEO_H
#define VT_PLUGINS_SDK_VT_VIDEO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VT_VIDEO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define VT_VIDEO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define VT_VIDEO_HELPER_NAME "vtl_Video"
#define VT_VIDEO_REPLY 0x80000000u
#define VT_VIDEO_HEADER_SIZE 32u
/* Requests carry at most a path; larger request payloads are refused unread. */
#define VT_VIDEO_MAX_REQUEST_PAYLOAD 65536u
/* A frame is at most this many pixels (8192 x 8192): the reply is refused beyond it. */
#define VT_VIDEO_MAX_FRAME_PIXELS (8192u * 8192u)

enum {
    VT_VIDEO_KEEP_ALIVE = 0,
    VT_VIDEO_CLOSE = 1,
    VT_VIDEO_OPEN = 2,
    VT_VIDEO_READ_FRAME = 3,
    VT_VIDEO_QUERY_VALUE4 = 4,
    VT_VIDEO_QUERY_COUNT = 5,
    VT_VIDEO_QUERY_TIME = 6
};

/* Helper status words. */
enum {
    VT_VIDEO_OK = 0,
    VT_VIDEO_BAD_ARGUMENT = 1, /* no such frame, a request that makes no sense */
    VT_VIDEO_CANNOT_OPEN = 2,  /* the file cannot be opened */
    VT_VIDEO_NO_VIDEO = 3,     /* the file holds no video stream */
    VT_VIDEO_BAD_DATA = 4,     /* no container FFmpeg knows, or the stream does not decode */
    VT_VIDEO_UNSUPPORTED = 5,  /* an unknown command, a codec without a decoder */
    VT_VIDEO_NOT_OPEN = 6,     /* a frame or value asked before a file was opened */
    VT_VIDEO_TIMED_OUT = 7,    /* the request's time-out passed inside the helper */
    VT_VIDEO_OUT_OF_MEMORY = 8 /* the frame is too large or memory ran out */
};

typedef struct VtVideoMessage {
    uint32_t code;
    uint32_t timeout_ms;
    union {
        int64_t argument;
        struct {
            int32_t status;
            int32_t second;
        } reply;
    } u;
    double value;
    uint32_t zero;
    uint32_t payload_size;
} VtVideoMessage;

VT_VIDEO_STATIC_ASSERT(offsetof(VtVideoMessage, timeout_ms) == 4, "VtVideoMessage.timeout_ms");
VT_VIDEO_STATIC_ASSERT(offsetof(VtVideoMessage, u) == 8, "VtVideoMessage.u");
VT_VIDEO_STATIC_ASSERT(offsetof(VtVideoMessage, value) == 16, "VtVideoMessage.value");
VT_VIDEO_STATIC_ASSERT(offsetof(VtVideoMessage, zero) == 24, "VtVideoMessage.zero");
VT_VIDEO_STATIC_ASSERT(offsetof(VtVideoMessage, payload_size) == 28, "VtVideoMessage.payload_size");
VT_VIDEO_STATIC_ASSERT(sizeof(VtVideoMessage) == VT_VIDEO_HEADER_SIZE, "VtVideoMessage size");

#ifdef __cplusplus
}
#endif

#endif
