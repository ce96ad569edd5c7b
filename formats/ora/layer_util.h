#pragma once
// What the layered formats (OpenRaster, Krita, XCF) share around the call record: layer names
// between UTF-8 and the record's UTF-16, a layer's fields handed to the host before its frame,
// the print resolution as a "PHYS" chunk, and the rule for the canvas layer.
//
// The host draws layer 0 at (0, 0) as a plain copy and takes its size as the canvas, so a file
// whose bottom layer is not a whole, fully shown, normal layer at the origin gets an empty
// canvas-sized layer 0 in front of its own; a save leaves out such a layer 0 (fully transparent,
// normal, at the origin) again when other layers follow.
// Thread: any, each call with its own record.

#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/vt_plugin.h"

namespace vt::formats {

inline constexpr std::uint16_t kModeHidden = 0x100; // the layer mode word's hidden bit
inline constexpr std::uint32_t kTagPhys = VT_TAG('P', 'H', 'Y', 'S');

// What a layered file says of one layer, ready for the call record.
struct LayerFields {
    std::string name; // UTF-8
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint8_t blend = 0; // layer blend mode, bits 0-7 of the mode word
    bool visible = true;
    std::uint8_t transparency = 0; // 0 fully shown .. 255 invisible
};

// The opacity 0..1 as the record's transparency, and back.
[[nodiscard]] std::uint8_t transparency_of(double opacity) noexcept;
[[nodiscard]] double opacity_of(std::uint8_t transparency) noexcept;

// Puts the layer's name, position, mode and transparency into the record for the next frame.
// A position beyond the record's 16 bits is clamped; the answer says whether it fitted.
bool set_layer_fields(FilterCall* call, const LayerFields& layer) noexcept;
// The selected frame's fields from the record.
[[nodiscard]] LayerFields layer_fields(const FilterCall* call);

// The name as UTF-16 in at most 31 characters (malformed bytes become U+FFFD), and back.
void name_to_record(std::string_view utf8, std::uint16_t (&name)[32]) noexcept;
[[nodiscard]] std::string name_from_record(const std::uint16_t (&name)[32]);

// The layer that starts the canvas must be whole: the canvas's size, at the origin, normal and
// fully shown (it may be hidden).
[[nodiscard]] bool fits_as_canvas(const LayerFields& layer, std::uint32_t layer_width,
                                  std::uint32_t layer_height, std::uint32_t canvas_width,
                                  std::uint32_t canvas_height) noexcept;
// The selected frame is an empty canvas layer a save leaves out.
[[nodiscard]] bool is_blank_canvas(const FilterCall* call) noexcept;

// Asks for a fully transparent canvas frame: VT_OK or the result code.
[[nodiscard]] std::int32_t add_blank_canvas(FilterCall* call, std::uint32_t width,
                                            std::uint32_t height);

// The print resolution in pixels per inch: delivered to the current frame, read from the
// selected one (0 when it has none; per centimetre converted).
void deliver_resolution(FilterCall* call, double x_ppi, double y_ppi) noexcept;
bool frame_resolution(FilterCall* call, double& x_ppi, double& y_ppi);

// XML text with its five special characters escaped.
[[nodiscard]] std::string xml_escaped(std::string_view text);

} // namespace vt::formats
