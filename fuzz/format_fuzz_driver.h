#pragma once
// The shared body of the format plug-ins' fuzz targets: the input (less its last byte) is
// written to a file that the plug-in loads through the test host. The last byte chooses the
// options: bit 0 saves a decoded picture and loads it back, bit 1 sets a time limit that has
// already run out, bits 2 and up are the target's own (its `before_save` reads them); a target
// that reads 16 bits names one of them `deep_bit`: the load then asks for the deep picture too;
// one that decodes drafts names `draft_bit`: the host then accepts a draft of a third of each
// side.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/deep_image.h"
#include "tests/support/plugin_harness.h"

extern "C" {
std::int32_t flt_LoadImage(FilterCall* call) noexcept;
std::int32_t flt_SaveImage(FilterCall* call) noexcept;
}

namespace vt::fuzz {

// Far below the fuzzer's memory budget; the plug-in's own limits are tested elsewhere.
inline constexpr std::uint64_t kMaxPixels = 1u << 22;

// `lossless`: a picture saved and loaded back must have the same pixels (else only its size).
// A deep picture must stand for frame 0: its size, and its samples rounded to 8 bits within
// `tolerance` of the frame's pixels (0: the very pixels).
inline bool deep_stands_for(const vt::test::DeepFrame& d, const vt::test::Frame& f, int tolerance) {
    if (d.width != f.width || d.height != f.height || (d.channels != 2 && d.channels != 4) ||
        d.samples.size() != std::size_t{d.width} * d.height * d.channels)
        return false;
    const std::vector<std::uint16_t> rgba = vt::test::deep_rgba(d);
    for (std::size_t i = 0; i < f.pixels.size(); ++i) {
        const std::uint32_t p = f.pixels[i];
        const int have[4] = {static_cast<int>(p >> 16 & 0xFF), static_cast<int>(p >> 8 & 0xFF),
                             static_cast<int>(p & 0xFF), 255 - static_cast<int>(p >> 24)};
        for (int c = 0; c < 4; ++c)
            if (std::abs(have[c] - vt::image::to_8bit(rgba[i * 4 + static_cast<std::size_t>(c)])) >
                tolerance)
                return false;
    }
    return true;
}

// The host's "load.draft_size" answer: a third of each side.
inline std::int32_t draft_query(const char* key, void* buffer, std::int32_t capacity) {
    if (key == nullptr || std::string(key) != "load.draft_size" || capacity < 8)
        return 0;
    std::uint32_t size[2];
    std::memcpy(size, buffer, sizeof size);
    for (std::uint32_t& side : size)
        side = side / 3 > 0 ? side / 3 : 1;
    std::memcpy(buffer, size, sizeof size);
    return 8;
}

inline const pi_BasicQuery kDraftQuery = {1, 0, nullptr, draft_query, nullptr};

// `adds_sizes`: a save writes its own set of sizes (an icon's), so only a load back is checked.
inline int fuzz_format_plugin(const std::uint8_t* data, std::size_t size, const char* extension,
                              bool lossless, void (*before_save)(std::uint8_t options) = nullptr,
                              bool adds_sizes = false, std::uint8_t deep_bit = 0,
                              int deep_tolerance = 0, std::uint8_t draft_bit = 0) {
    if (size < 1)
        return 0;
    const std::uint8_t options = data[size - 1];
    const std::string base = "/dev/shm/vt-format-fuzz-" + std::to_string(::getpid());
    const std::string input = base + extension;
    std::FILE* file = std::fopen(input.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size - 1, file);
    std::fclose(file);

    vt::test::PluginApi api;
    api.load = flt_LoadImage;
    api.save = flt_SaveImage;
    vt::test::LoadOptions load_options;
    load_options.max_pixels = kMaxPixels;
    if ((options & 2) != 0) {
        load_options.time_limit_ms = 1;
        load_options.elapsed_ms = 1000;
    }
    load_options.want_deep = (options & deep_bit) != 0;
    if ((options & draft_bit) != 0)
        vt::test::HarnessServices::basic_query() = &kDraftQuery;
    const vt::test::LoadResult loaded = vt::test::load_with(api, input, load_options);
    vt::test::HarnessServices::basic_query() = nullptr;
    if (loaded.result == VT_OK && loaded.frames.empty())
        std::abort();
    if (!loaded.deep.empty() &&
        (loaded.result != VT_OK || !deep_stands_for(loaded.deep, loaded.frames[0], deep_tolerance)))
        std::abort();
    if (loaded.result == VT_OK && (options & 1) != 0) {
        const std::string output = base + "-out" + extension;
        if (before_save)
            before_save(options);
        const vt::test::DeepFrame* offer = loaded.deep.empty() ? nullptr : &loaded.deep;
        if (vt::test::save_with(api, output, {loaded.frames[0]}, 0, offer).result == VT_OK) {
            vt::test::LoadOptions again_options;
            again_options.want_deep = offer != nullptr;
            const vt::test::LoadResult again = vt::test::load_with(api, output, again_options);
            // A deep picture written comes back sample for sample.
            if (offer != nullptr && lossless &&
                vt::test::deep_rgba(again.deep) != vt::test::deep_rgba(*offer))
                std::abort();
            if (again.result != VT_OK || again.frames.empty())
                std::abort();
            if (!adds_sizes &&
                (again.frames.size() != 1 || again.frames[0].width != loaded.frames[0].width ||
                 again.frames[0].height != loaded.frames[0].height ||
                 (lossless && again.frames[0].pixels != loaded.frames[0].pixels)))
                std::abort();
        }
        std::remove(output.c_str());
    }
    std::remove(input.c_str());
    return 0;
}

} // namespace vt::fuzz
