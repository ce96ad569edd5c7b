#pragma once
// The drawing half of pi_BasicImage (the engine's resize, turns, fills, copies, compositing,
// look-up tables, convolution and masked copies, on the plug-ins' image handles) and
// pi_BasicColor, the engine's colour models.
// Rectangles are inclusive unless a call's flags say otherwise; every call clips to the images.
// Results: nonzero success, 0 failure. Thread: any (each call uses the caller's engine slot).

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::plugins::detail {

// Width, height, stride and pixels of the handle from its host record.
void refresh_image(VtImage* image) noexcept;

std::int32_t image_resize(VtImage* image, std::uint32_t width, std::uint32_t height);
std::int32_t image_mirror(VtImage* image, std::int32_t vertical);
std::int32_t image_rotate(VtImage* image, std::int32_t quarter_turns);

// flags: bits 0-3 shape (1 ellipse, 2 rounded rectangle with corner radii param1 x param2,
// else rectangle); bit 4 outline only; bit 5 a gradient (colour 1 at the top to colour 2 at the
// bottom, with bit 4 the four corners 1 top-left, 2 top-right, 3 bottom-left, 4 bottom-right);
// bits 16-23 the blend code.
std::int32_t image_fill(VtImage* image, std::int32_t left, std::int32_t top, std::int32_t right,
                        std::int32_t bottom, std::uint32_t colour1, std::uint32_t colour2,
                        std::uint32_t colour3, std::uint32_t colour4, std::uint32_t flags,
                        std::int32_t param1, std::int32_t param2);
std::int32_t image_blit(VtImage* image, std::int32_t left, std::int32_t top, std::int32_t right,
                        std::int32_t bottom, const VtImage* source, std::int32_t src_left,
                        std::int32_t src_top, std::int32_t src_right, std::int32_t src_bottom,
                        std::uint32_t flags, std::uint32_t blend);
std::int32_t image_stretch_blit(VtImage* image, const std::int32_t* destination,
                                const VtImage* source, const std::int32_t* source_rect,
                                std::uint32_t flags, std::uint32_t blend);
std::int32_t image_composite(VtImage* image, std::int32_t left, std::int32_t top,
                             std::int32_t right, std::int32_t bottom, const VtImage* source,
                             std::uint32_t mode, std::uint32_t transparency);
std::int32_t image_apply_tables(VtImage* image, std::int32_t left, std::int32_t top,
                                std::int32_t right, std::int32_t bottom, const std::uint8_t* table1,
                                const std::uint8_t* table2, const std::uint8_t* table3,
                                const std::uint8_t* table4, std::uint32_t value);
std::int32_t image_convolve(VtImage* image, std::int32_t left, std::int32_t top, std::int32_t right,
                            std::int32_t bottom, const VtImage* source, const double* kernel,
                            std::int32_t kernel_width, std::int32_t kernel_height,
                            std::uint32_t flags);
std::int32_t image_masked_copy(VtImage* image, std::int32_t left, std::int32_t top,
                               std::int32_t right, std::int32_t bottom, const VtImage* source,
                               std::int32_t src_x, std::int32_t src_y, std::uint32_t flags);

// Colour representation codes, low 4 bits: 1 plain B, G, R; 2 inverted; 3 packed YCbCr (Y in
// bits 16-23, Cb 8-15, Cr 0-7); 4 packed HSV; 5 packed HSL; 6 grey (luma in all three; reading
// from it is plain). Anything else: no conversion on that side. Bit 0x1000: that side's channel
// order is swapped (first and third bytes; for 3, 6 and 7 the second and third).
std::int32_t colour_convert_pixels(std::uint32_t* pixels, std::int32_t count, std::uint32_t from,
                                   std::uint32_t to);
// Rows between a plug-in's layout and the engine's pixels. format: bytes per outside pixel (1
// grey, 3 colour, 4 colour and transparency); flags bit 0: from engine pixels to the layout,
// else the other way; bits 1-2 = 1: the layout is R, G, B rather than B, G, R. Answers the count,
// 0 for an unknown format.
std::int32_t colour_convert_row(void* destination, const void* source, std::int32_t count,
                                std::uint32_t format, std::uint32_t flags);
// One colour from one representation to another: parameters point at the two codes (from, to).
std::int32_t colour_convert_colour(std::uint32_t* colour, const void* parameters);

} // namespace vt::plugins::detail
