#pragma once
// Flattening: the layers of a picture turned into one Bitmap by document kind. Kind 0 is a
// layered picture (composed), 1 a set of frames (one chosen frame), 2 a frame animation (one
// frame centred on the largest frame size), 3 timed layers (composed at one point in time).
// Thread: the caller owns the layers and the destination; any thread.

#include <cstdint>

#include "sdk/vt_plugin.h"

namespace vt::gfx {

inline constexpr std::uint8_t kDocLayered = 0;
inline constexpr std::uint8_t kDocFrames = 1;
inline constexpr std::uint8_t kDocFrameAnimation = 2;
inline constexpr std::uint8_t kDocTimedLayers = 3;

// The leading fields of the load/save status record that flattening reads and writes, in the
// record's order.
struct FlattenRequest {
    std::uint32_t width = 0; // out: size of the flattened picture
    std::uint32_t height = 0;
    std::uint8_t doc_kind = 0;
    std::uint8_t kind_param = 0;
    std::uint8_t draw_on_request = 0; // also draw layers whose mode has bit 10 set
    std::uint8_t silent = 0;
    std::uint32_t size_limit = 0; // longest side of the result, when at least 16 and on
    std::uint8_t size_limit_on = 0;
};

// Size of the flattened picture: kind 1 the selected frame (default: with more than two frames
// the largest by area, the later on a tie; else frame 0), kind 2 the largest width and height,
// kind 3 layer 0 divided by its SPRT grid, else layer 0. An active size limit scales both sides
// by limit / longer side (each at least 1). Writes the size to the request and to `out_width`,
// `out_height` when given; returns 1, or 0 when there is no usable layer.
[[nodiscard]] int FlattenedSize(std::uint32_t* out_width, std::uint32_t* out_height,
                                std::int32_t index, const Layer* layers, std::uint32_t count,
                                FlattenRequest* request) noexcept;

// Flattens into `dst` (recreated when its size differs). `index_or_time`: the frame (kinds 1, 2)
// or the time in ms (kind 3); below 0 the default (kind 2: count / 5; kind 3:
// AnimationLength / 5). Kinds 0 and 3 start from a cleared canvas (white, fully transparent),
// draw pass 0 (mode bit 13 clear) then pass 1, skip hidden layers and on-request layers unless
// asked, draw layer 0 at (0, 0) as a plain copy and every other layer at its position with its
// mode and transparency; they return the number of layers handled (skipped or drawn). Kinds 1
// and 2 return 1. 0 on failure.
[[nodiscard]] int FlattenLayers(Bitmap* dst, std::int32_t index_or_time, Layer* layers,
                                std::uint32_t count, FlattenRequest* request) noexcept;

// Kind 1: the sum of the frame delays (mode2); kind 3: the longest layer animation (ANIM steps,
// or SPRT frames x frame time, 100 ms when 0); else 0.
[[nodiscard]] std::int64_t AnimationLength(const Layer* layers, std::uint32_t count,
                                           const FlattenRequest* request) noexcept;

// Evaluation of one layer's ANIM chunk data.
struct AnimState {
    double x;
    double y;
    int transparency;
};
// Length in ms of an ANIM chunk (0 when it is not a valid version 3 chunk).
[[nodiscard]] std::int64_t anim_length(const std::uint8_t* data, std::uint32_t size) noexcept;
// The position and transparency at time `t` starting from `in`; false (and `out` = `in`) when
// the data is not a valid version 3 chunk.
[[nodiscard]] bool evaluate_anim(const std::uint8_t* data, std::uint32_t size, std::int64_t t,
                                 const AnimState& in, AnimState& out) noexcept;
// The easing curves 0..6 of an animation step (above 6: linear).
[[nodiscard]] double ease(int easing, double p) noexcept;

} // namespace vt::gfx
