#pragma once
// The print resolution across the plug-in edge: a load hands the host the file's resolution as
// the frame's "PHYS" chunk, a save reads it back from the selected frame, so the host's resize
// can keep the print size ("Change DPI") whatever the formats on both sides. The unit
// conversions every format needs (pixels per inch, per centimetre, per metre, rationals) live
// here once.
//
// "PHYS" chunk, 16 bytes, little-endian:
//   0  u16  1
//   4  u32  x resolution (pixels per unit)
//   8  u32  y resolution
//  12  u8   unit: 0 per inch, 1 per centimetre (older files also hold 2, read as per inch)
//  13  3    zero
// Thread: any, each call with its own record.

#include <cstdint>
#include <span>

#include "sdk/vt_plugin.h"

namespace vt::kit {

inline constexpr std::uint32_t kTagPhys = VT_TAG('P', 'H', 'Y', 'S');
inline constexpr std::uint32_t kPhysSize = 16;
inline constexpr double kInchesPerMetre = 1 / 0.0254;
// Far beyond any printer or scanner; larger values are garbage in a file.
inline constexpr double kMaxPixelsPerInch = 1000000;

// Whole pixels per inch, or per centimetre; unknown while either value is 0.
struct PrintResolution {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    bool per_cm = false;

    [[nodiscard]] bool known() const noexcept { return x > 0 && y > 0; }
    // Pixels per inch or per metre, whatever the unit; 0 when unknown.
    [[nodiscard]] double x_dpi() const noexcept { return per_cm ? x * 2.54 : x; }
    [[nodiscard]] double y_dpi() const noexcept { return per_cm ? y * 2.54 : y; }
    [[nodiscard]] double x_per_metre() const noexcept {
        return per_cm ? x * 100.0 : x * kInchesPerMetre;
    }
    [[nodiscard]] double y_per_metre() const noexcept {
        return per_cm ? y * 100.0 : y * kInchesPerMetre;
    }
};

// A resolution from the file's numbers in its unit (rounded to whole pixels); unknown unless
// both are positive, finite and at most kMaxPixelsPerInch's worth.
[[nodiscard]] PrintResolution resolution_per_unit(double x, double y, bool per_cm) noexcept;
// From pixels per metre (PNG, BMP, JPEG 2000): per inch, the unit people set and read, so that
// 11811 per metre is 300 per inch and goes back to 11811.
[[nodiscard]] PrintResolution resolution_per_metre(double x, double y) noexcept;
// Pixels per metre rounded to a whole number, as PNG and BMP store them.
[[nodiscard]] std::uint32_t whole_per_metre(double per_metre) noexcept;

// A fraction num / den close to `value` (> 0) with both parts at most `limit`; {0, 1} for
// values that do not fit.
struct Rational {
    std::uint32_t num = 0;
    std::uint32_t den = 1;
};
[[nodiscard]] Rational rational_of(double value, std::uint32_t limit) noexcept;

// The resolution IFD0 of a TIFF-structured block (EXIF from its byte order on, or a whole TIFF
// file) states: XResolution, YResolution and ResolutionUnit (inch when absent; "none" gives
// unknown). Unknown when the block says nothing usable.
[[nodiscard]] PrintResolution resolution_from_exif(std::span<const std::uint8_t> tiff) noexcept;

// Rewrites in place the resolution an IFD0 of a TIFF-structured block states (EXIF exported from
// the markup), so that it agrees with `resolution`: count-1 RATIONAL XResolution/YResolution and
// a SHORT ResolutionUnit. Entries the block lacks stay absent; nothing for an unknown resolution.
void set_exif_resolution(std::span<std::uint8_t> tiff, const PrintResolution& resolution) noexcept;

// The 16-byte "PHYS" chunk of a resolution, and back (unknown for a chunk too short).
void store_phys(const PrintResolution& resolution, std::uint8_t (&chunk)[kPhysSize]) noexcept;
[[nodiscard]] PrintResolution read_phys(std::span<const std::uint8_t> chunk) noexcept;

// Adds the current frame's "PHYS" chunk; nothing for an unknown resolution.
void deliver_resolution(FilterCall* call, const PrintResolution& resolution) noexcept;
// The selected frame's resolution: its "PHYS" chunk, else the markup's "image.ppi" or
// "image.ppcm" ("x y", or one number for both); unknown when it has none.
[[nodiscard]] PrintResolution frame_resolution(FilterCall* call) noexcept;

} // namespace vt::kit
