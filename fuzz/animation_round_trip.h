#pragma once
// For the targets of formats that save animations: bit 6 of the options byte saves an animation
// that loaded (several frames with delays) as an animation and loads it back. It must save, and
// come back with as many frames, each with its delay (none saved as 100 ms).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/format_fuzz_driver.h"

namespace vt::fuzz {

inline void fuzz_animation_round_trip(const std::uint8_t* data, std::size_t size,
                                      const char* extension) {
    if (size < 1 || (data[size - 1] & 0x40) == 0)
        return;
    const std::string base = "/dev/shm/vt-animation-fuzz-" + std::to_string(::getpid());
    const std::string input = base + extension;
    const std::string output = base + "-out" + extension;
    std::FILE* file = std::fopen(input.c_str(), "wb");
    if (file == nullptr)
        return;
    std::fwrite(data, 1, size - 1, file);
    std::fclose(file);
    vt::test::PluginApi api;
    api.load = flt_LoadImage;
    api.save = flt_SaveImage;
    vt::test::LoadOptions options;
    options.max_pixels = kMaxPixels;
    const vt::test::LoadResult loaded = vt::test::load_with(api, input, options);
    if (loaded.result == VT_OK && loaded.doc_kind == 2 && loaded.frames.size() > 1) {
        if (vt::test::save_with(api, output, loaded.frames, 2).result != VT_OK)
            std::abort();
        options.max_frames = static_cast<std::uint32_t>(loaded.frames.size());
        const vt::test::LoadResult again = vt::test::load_with(api, output, options);
        if (again.result != VT_OK || again.frames.size() != loaded.frames.size())
            std::abort();
        for (std::size_t i = 0; i < again.frames.size(); ++i)
            if (again.frames[i].delay !=
                (loaded.frames[i].delay != 0 ? loaded.frames[i].delay : 100))
                std::abort();
    }
    std::remove(output.c_str());
    std::remove(input.c_str());
}

} // namespace vt::fuzz
