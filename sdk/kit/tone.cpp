#include "sdk/kit/tone.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vt::kit {
namespace {

// The linear values at which the 16-bit display value steps up (the inverse curve at each
// half step): a value's encoding, rounded to nearest, is how many of them lie at or below it. A
// search of this table costs a fraction of the curve's power function per sample.
const std::array<float, 65535>& steps() {
    static const std::array<float, 65535> table = [] {
        std::array<float, 65535> t{};
        for (std::size_t v = 1; v <= t.size(); ++v) {
            const double s = (static_cast<double>(v) - 0.5) / 65535.0;
            t[v - 1] =
                static_cast<float>(s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4));
        }
        return t;
    }();
    return table;
}

} // namespace

std::uint16_t encode_linear(float linear) noexcept {
    if (!(linear > 0.0f))
        return 0;
    if (linear >= 1.0f)
        return 65535;
    const std::array<float, 65535>& t = steps();
    return static_cast<std::uint16_t>(std::upper_bound(t.begin(), t.end(), linear) - t.begin());
}

float decode_to_linear(std::uint16_t display) noexcept {
    const double s = display / 65535.0;
    return static_cast<float>(s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4));
}

} // namespace vt::kit
