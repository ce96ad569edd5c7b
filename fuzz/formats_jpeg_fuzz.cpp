// The JPEG plug-in's decoder over arbitrary files, through the test host. The input's last byte
// chooses the options: bit 0 saves a decoded picture and loads it back (lossy, so it must come
// back at the same size), bit 1 sets a time limit that has already run out, bit 2 saves
// progressive, bit 3 at the lowest quality.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/plugin_harness.h"

extern "C" {
std::int32_t flt_LoadImage(FilterCall* call) noexcept;
std::int32_t flt_SaveImage(FilterCall* call) noexcept;
}

namespace {

// Far below the fuzzer's memory budget; the plug-in's own limits are tested elsewhere.
constexpr std::uint64_t kMaxPixels = 1u << 22;

std::string scratch(const char* what) {
    return "/dev/shm/vt-formats-jpeg-fuzz-" + std::to_string(::getpid()) + what;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t options = data[size - 1];
    const std::string input = scratch(".jpg");
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
    const vt::test::LoadResult loaded = vt::test::load_with(api, input, load_options);
    if (loaded.result == VT_OK && loaded.frames.empty())
        std::abort();
    if (loaded.result == VT_OK && (options & 1) != 0) {
        const std::string output = scratch("-out.jpg");
        vt::test::HarnessServices::set_state(u"fmx_JPEG.progressive",
                                             (options & 4) != 0 ? "1" : "0");
        vt::test::HarnessServices::set_state(u"fmx_JPEG.quality", (options & 8) != 0 ? "1" : "90");
        if (vt::test::save_with(api, output, {loaded.frames[0]}).result == VT_OK) {
            const vt::test::LoadResult again = vt::test::load_with(api, output);
            if (again.result != VT_OK || again.frames.size() != 1 ||
                again.frames[0].width != loaded.frames[0].width ||
                again.frames[0].height != loaded.frames[0].height)
                std::abort();
        }
        std::remove(output.c_str());
    }
    std::remove(input.c_str());
    return 0;
}
