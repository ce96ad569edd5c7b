#pragma once
// Motion JPEG 2000 (.mj2) for fmx_JP2K: an animation of JPEG 2000 codestreams in the boxes of
// the ISO base media file format.
// Thread: any, each call with its own record.

#include <cstdint>
#include <span>

#include "sdk/vt_plugin.h"

namespace vt::formats::jp2k {

// The file's first boxes name it Motion JPEG 2000: the JPEG 2000 signature box (optional) and a
// file type box whose brands include "mjp2" or "mj2s".
[[nodiscard]] bool is_mj2(std::span<const std::uint8_t> file) noexcept;

// The host's path ends in ".mj2", in any case.
[[nodiscard]] bool is_mj2_path(const std::uint16_t* path) noexcept;

// Every sample of the first Motion JPEG 2000 track as a frame, its duration in `mode2`.
[[nodiscard]] std::int32_t load_mj2(FilterCall* call, std::span<const std::uint8_t> file);

// An animation (document kind 2) as one sample per frame, anything else as one sample of the
// host's composite; "fmx_JP2K.rate" as for the still files.
[[nodiscard]] std::int32_t save_mj2(FilterCall* call);

} // namespace vt::formats::jp2k
