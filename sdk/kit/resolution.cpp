// Print resolution units and the "PHYS" chunk of the plug-in kit.

#include "sdk/kit/resolution.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sdk/kit/markup.h"

namespace vt::kit {
namespace {

bool usable(double value, double max) {
    return std::isfinite(value) && value >= 0.5 && value <= max;
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Reads the numbers of a TIFF structure in its byte order.
struct TiffView {
    std::span<const std::uint8_t> b;
    bool big = false;

    [[nodiscard]] bool has(std::uint64_t at, std::uint64_t n) const { return at + n <= b.size(); }
    [[nodiscard]] std::uint32_t u16(std::size_t at) const {
        const std::uint32_t first = b[at], second = b[at + 1];
        return big ? (first << 8) | second : first | (second << 8);
    }
    [[nodiscard]] std::uint32_t u32(std::size_t at) const {
        return big ? (u16(at) << 16) | u16(at + 2) : u16(at) | (u16(at + 2) << 16);
    }
};

constexpr std::uint32_t kTagXResolution = 282;
constexpr std::uint32_t kTagYResolution = 283;
constexpr std::uint32_t kTagResolutionUnit = 296;
constexpr std::uint32_t kTypeShort = 3;
constexpr std::uint32_t kTypeRational = 5;

// One count-1 RATIONAL entry's value; 0 when it is not one or lies outside the block.
double rational_entry(const TiffView& t, std::size_t entry) {
    if (t.u16(entry + 2) != kTypeRational || t.u32(entry + 4) != 1)
        return 0;
    const std::uint32_t at = t.u32(entry + 8);
    if (!t.has(at, 8))
        return 0;
    const std::uint32_t den = t.u32(at + 4);
    return den == 0 ? 0 : static_cast<double>(t.u32(at)) / den;
}

// "x y", "x" or "x x y" with any blanks, commas or an "x" between.
bool parse_pair(const char* text, double& x, double& y) {
    char* end = nullptr;
    x = std::strtod(text, &end);
    if (end == text)
        return false;
    const char* p = end;
    while (*p == ' ' || *p == 'x' || *p == 'X' || *p == ',' || *p == '\t')
        ++p;
    y = std::strtod(p, &end);
    if (end == p)
        y = x;
    return true;
}

} // namespace

PrintResolution resolution_per_unit(double x, double y, bool per_cm) noexcept {
    const double max = per_cm ? kMaxPixelsPerInch / 2.54 : kMaxPixelsPerInch;
    if (!usable(x, max) || !usable(y, max))
        return {};
    return {static_cast<std::uint32_t>(x + 0.5), static_cast<std::uint32_t>(y + 0.5), per_cm};
}

PrintResolution resolution_per_metre(double x, double y) noexcept {
    return resolution_per_unit(x / kInchesPerMetre, y / kInchesPerMetre, false);
}

std::uint32_t whole_per_metre(double per_metre) noexcept {
    return usable(per_metre, kMaxPixelsPerInch * kInchesPerMetre)
               ? static_cast<std::uint32_t>(per_metre + 0.5)
               : 0;
}

Rational rational_of(double value, std::uint32_t limit) noexcept {
    if (!std::isfinite(value) || value <= 0 || limit == 0 || value > limit)
        return {0, 1};
    // Continued fractions: the last convergent whose parts stay within the limit.
    std::uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double rest = value;
    for (int step = 0; step < 32; ++step) {
        const double whole = std::floor(rest);
        if (whole > limit)
            break;
        const auto a = static_cast<std::uint64_t>(whole);
        const std::uint64_t p2 = a * p1 + p0, q2 = a * q1 + q0;
        if (p2 > limit || q2 > limit)
            break;
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const double fraction = rest - whole;
        if (fraction < 1e-9 ||
            std::fabs(static_cast<double>(p1) / static_cast<double>(q1) - value) < 1e-12 * value)
            break;
        rest = 1 / fraction;
    }
    if (q1 == 0 || p1 == 0)
        return {0, 1};
    return {static_cast<std::uint32_t>(p1), static_cast<std::uint32_t>(q1)};
}

PrintResolution resolution_from_exif(std::span<const std::uint8_t> tiff) noexcept {
    if (tiff.size() < 8)
        return {};
    TiffView t{tiff, tiff[0] == 'M'};
    if (!((tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M')) ||
        t.u16(2) != 42)
        return {};
    const std::uint32_t ifd = t.u32(4);
    if (!t.has(ifd, 2))
        return {};
    const std::uint32_t count = t.u16(ifd);
    double x = 0, y = 0;
    std::uint32_t unit = 2;
    for (std::uint32_t i = 0; i < count && t.has(ifd + 2 + 12ull * i, 12); ++i) {
        const std::size_t entry = ifd + 2 + 12 * static_cast<std::size_t>(i);
        const std::uint32_t tag = t.u16(entry);
        if (tag == kTagXResolution)
            x = rational_entry(t, entry);
        else if (tag == kTagYResolution)
            y = rational_entry(t, entry);
        else if (tag == kTagResolutionUnit && t.u16(entry + 2) == kTypeShort)
            unit = t.u16(entry + 8);
    }
    if (unit != 2 && unit != 3)
        return {};
    return resolution_per_unit(x, y, unit == 3);
}

void set_exif_resolution(std::span<std::uint8_t> tiff, const PrintResolution& resolution) noexcept {
    if (!resolution.known() || resolution_from_exif(tiff).x == 0)
        return; // not a block with a usable IFD0 resolution
    const TiffView t{tiff, tiff[0] == 'M'};
    const auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            tiff[at + static_cast<std::size_t>(t.big ? bytes - 1 - i : i)] =
                static_cast<std::uint8_t>(v >> (8 * i));
    };
    const std::uint32_t ifd = t.u32(4);
    for (std::uint32_t i = 0; i < t.u16(ifd) && t.has(ifd + 2 + 12ull * i, 12); ++i) {
        const std::size_t entry = ifd + 2 + 12 * static_cast<std::size_t>(i);
        const std::uint32_t tag = t.u16(entry);
        const std::uint32_t at = t.u32(entry + 8);
        if ((tag == kTagXResolution || tag == kTagYResolution) &&
            t.u16(entry + 2) == kTypeRational && t.u32(entry + 4) == 1 && t.has(at, 8)) {
            put(at, tag == kTagXResolution ? resolution.x : resolution.y, 4);
            put(at + 4, 1, 4);
        } else if (tag == kTagResolutionUnit && t.u16(entry + 2) == kTypeShort) {
            put(entry + 8, resolution.per_cm ? 3 : 2, 2);
        }
    }
}

void store_phys(const PrintResolution& resolution, std::uint8_t (&chunk)[kPhysSize]) noexcept {
    std::memset(chunk, 0, sizeof(chunk));
    chunk[0] = 1;
    put32(chunk + 4, resolution.x);
    put32(chunk + 8, resolution.y);
    chunk[12] = resolution.per_cm ? 1 : 0;
}

PrintResolution read_phys(std::span<const std::uint8_t> chunk) noexcept {
    if (chunk.size() < 13)
        return {};
    const bool per_cm = chunk[12] == 1;
    return resolution_per_unit(le32(&chunk[4]), le32(&chunk[8]), per_cm);
}

void deliver_resolution(FilterCall* call, const PrintResolution& resolution) noexcept {
    if (!resolution.known())
        return;
    std::uint8_t chunk[kPhysSize];
    store_phys(resolution, chunk);
    add_frame_chunk(call, kTagPhys, chunk, kPhysSize);
}

PrintResolution frame_resolution(FilterCall* call) noexcept {
    const ChunkView phys = frame_chunk(call, kTagPhys);
    if (phys.data != nullptr)
        return read_phys({phys.data, phys.size});
    MarkupBuffer mb{};
    if (!open_frame_markup(call, mb))
        return {};
    const pi_MetaMarkup* markup = call->meta_markup;
    PrintResolution found;
    char value[64] = {};
    double x = 0, y = 0;
    if (markup->get_value != nullptr) {
        if (markup->get_value(&mb, "image.ppi", value, sizeof(value)) != 0 &&
            parse_pair(value, x, y))
            found = resolution_per_unit(x, y, false);
        else if (markup->get_value(&mb, "image.ppcm", value, sizeof(value)) != 0 &&
                 parse_pair(value, x, y))
            found = resolution_per_unit(x, y, true);
    }
    markup->free_buffer(&mb);
    return found;
}

} // namespace vt::kit
