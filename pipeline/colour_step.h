#pragma once
// Colour management: pictures that carry a colour profile converted to sRGB with Little CMS,
// the profile dropped afterwards, so that viewers and formats that ignore profiles show the
// colours the profile meant. Grey profiles are applied to the grey level; CMYK profiles are
// left to the plug-ins, which convert CMYK pixels through them while decoding.
// Thread: any; every call builds its own transform.

#include <cstdint>
#include <string_view>

#include "image/deep_image.h"
#include "sdk/vt_plugin.h"

namespace vt::pipeline {

// The job's choice (ConversionJob::toSrgb).
enum SrgbChoice : std::int32_t {
    kSrgbForPlainTargets = 0, // perceptual, only for targets that cannot carry a profile
    kSrgbPerceptual = 1,
    kSrgbRelative = 2,
    kSrgbNever = 3,
};

// Rendering intents as Little CMS numbers them.
inline constexpr int kIntentPerceptual = 0;
inline constexpr int kIntentRelative = 1;
inline constexpr int kNoConversion = -1;

// Whether a target format stores a colour profile with the picture, as the writer says in
// `keeps` (its save answer, VT_KEEPS_*); a writer that does not say (0) is judged by the
// formats known to drop the profile.
[[nodiscard]] bool target_carries_profile(std::u16string_view extension,
                                          std::uint16_t keeps) noexcept;
// The same, asking the plug-in that would write the target.
[[nodiscard]] bool target_carries_profile(std::u16string_view extension) noexcept;

// The intent a job converts with for its target, or kNoConversion.
[[nodiscard]] int srgb_intent(std::int32_t choice, std::u16string_view extension) noexcept;

// Every layer with an RGB or grey profile converted to sRGB with `intent`, its profile dropped.
// The transparency byte is kept. Returns 1 when a layer changed, -1 when none carried a usable
// profile (an unreadable profile is left as it is), 0 when a transform could not be made.
[[nodiscard]] int ConvertToSrgb(Layer* layers, std::uint32_t count, int intent) noexcept;

// The deep (16-bit) picture standing for `layer` converted to sRGB with `intent` through the
// layer's profile, before ConvertToSrgb drops it: RGBA with an RGB profile, the green channel of
// RGBA or the grey of grey + alpha with a grey profile (a grey picture stays grey). Alpha is
// kept. Returns 1 when converted, -1 when the layer carries no usable profile (nor will the
// 8-bit picture be converted), 0 when the picture cannot follow (a grey picture with an RGB
// profile, no memory).
[[nodiscard]] int ConvertDeepToSrgb(const Layer& layer, image::DeepImage& deep,
                                    int intent) noexcept;

} // namespace vt::pipeline
