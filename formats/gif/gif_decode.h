#pragma once
// The reading side of fmx_GIF: giflib's record-level decoder over a file held in memory, and
// the composition of its images into whole frames on the logical screen. giflib reports errors
// by return value (no longjmp), so this is C++ with RAII around the giflib handle.
// Thread: any; every call uses only its own structures.

#include <cstdint>
#include <span>

namespace vt::formats::gif {

// The largest frame the host can hold.
inline constexpr std::uint64_t kMaxPixels = 250000000;
// A pixel the logical screen shows nothing at: white, fully transparent, as the engine fills.
inline constexpr std::uint32_t kClear = 0xFFFFFFFFu;
// What FrameSink::frame answers when no further frame is wanted; the load still succeeds.
inline constexpr std::int32_t kStopLoading = 2;

// One composed frame: the whole logical screen, 32-bit B, G, R, transparency pixels, rows
// packed. Valid during the call only.
struct ComposedFrame {
    const std::uint32_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t index = 0;           // 0 for the first frame
    std::uint32_t delay_cs = 0;        // how long it shows, 1/100 s
    const char* xmp = nullptr;         // the XMP packet read so far, NUL-terminated; null when none
    std::span<const std::uint8_t> icc; // the ICC profile read so far; empty when none
    std::int32_t plays = -1;           // how often the animation runs, 0 endlessly; -1 for a still
};

// Where decode_gif delivers. Neither function may throw.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Before anything is decoded: the pixels every frame together covers as the block
    // structure tells (the whole screen once, then each later image's area on it). VT_OK, or
    // the result code that ends the load.
    virtual std::int32_t plan(std::uint64_t frame_pixels) noexcept = 0;
    // The logical screen is within the limits and the file holds at least one image (or none
    // at all, which shows an empty screen). Called once, before the screen's memory is taken,
    // with the first frame's delay: VT_OK, or the result code that ends the load.
    virtual std::int32_t begin(std::uint32_t width, std::uint32_t height,
                               std::uint32_t first_delay_cs) noexcept = 0;
    // A frame: VT_OK to go on, kStopLoading to end the load with success, or a result code.
    virtual std::int32_t frame(const ComposedFrame& frame) noexcept = 0;
};

struct DecodeReport {
    std::uint32_t frames = 0; // frames delivered
    bool data_lost = false;   // the file broke off or went wrong after a complete frame
};

// Decodes a GIF file: every frame composed with the disposal methods and transparency.
// Images with no delay are shown together with the images that follow, up to the next image
// that has a delay; a file that asks to loop but gives no delay at all shows each image as a
// frame. VT_OK with the frames delivered; a file that goes wrong after a complete frame keeps
// its frames and sets `data_lost`. Else -1 not a GIF, -13 a screen beyond the limits, -42 data
// that ends before any image is complete, -44 invalid data, -20 out of memory, or what the
// sink answered.
[[nodiscard]] std::int32_t decode_gif(std::span<const std::uint8_t> bytes, FrameSink& sink,
                                      DecodeReport& report);

} // namespace vt::formats::gif
