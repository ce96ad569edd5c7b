// Resampling speed on one thread, in source megapixels per processor second (the machines
// that run this are shared, so wall time says little): every ResizeBitmap method, every
// advanced filter and the area shrink that follows a draft decode, shrinking a 6000 x 4000 and a
// 3000 x 2000 photo-like picture and enlarging a 1000 x 667 one.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "gfx/resample.h"
#include "gfx/resample_testing.h"
#include "gfxcore/row_claim.h"
#include "image/bitmap.h"

namespace {

// Smooth gradients and edges with a little noise, like a photograph.
void paint(Bitmap* bmp) {
    const std::uint32_t w = bmp->width;
    const std::uint32_t h = bmp->height;
    std::uint32_t seed = 12345;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double fx = static_cast<double>(x) / w;
            const double fy = static_cast<double>(y) / h;
            const double wave = std::sin(fx * 40.0) * std::cos(fy * 25.0);
            const auto noise = static_cast<int>(seed >> 28) - 8;
            const auto r =
                static_cast<std::uint32_t>(std::clamp(128 + 100 * wave + noise, 0.0, 255.0));
            const auto g = static_cast<std::uint32_t>(std::clamp(255 * fx + noise, 0.0, 255.0));
            const auto b = static_cast<std::uint32_t>(((x / 97 + y / 61) % 2) * 200 + 20);
            bmp->pixels[static_cast<std::size_t>(y) * bmp->stride + x] = (r << 16) | (g << 8) | b;
        }
}

struct Source {
    Bitmap bmp{};
    Source(std::int32_t w, std::int32_t h) {
        (void)vt::image::CreateBitmap(&bmp, w, h, vt::image::kCreateMemory);
        paint(&bmp);
    }
    ~Source() { vt::image::FreeBitmap(&bmp); }
};

Source& source(std::int32_t w) {
    static Source big(6000, 4000);
    static Source medium(3000, 2000);
    static Source half(1500, 1000);
    static Source small(1000, 667);
    return w == 6000 ? big : (w == 3000 ? medium : (w == 1500 ? half : small));
}

// args: source width, source height, target width, target height, method (0..3 ResizeBitmap,
// 10 + filter for AdvancedResample with the Lanczos window of size 4, 20 AreaResample).
void BM_Resize(benchmark::State& state) {
    const auto sw = static_cast<std::int32_t>(state.range(0));
    const auto sh = static_cast<std::int32_t>(state.range(1));
    const auto dw = static_cast<std::int32_t>(state.range(2));
    const auto dh = static_cast<std::int32_t>(state.range(3));
    const auto method = static_cast<int>(state.range(4));
    Source& src = source(sw);
    Bitmap work{};
    for (auto _ : state) {
        state.PauseTiming();
        if (vt::image::CopyBitmap(&work, &src.bmp) == 0) {
            state.SkipWithError("copy failed");
            break;
        }
        state.ResumeTiming();
        const int ok = method == 20   ? vt::gfx::AreaResample(&work, dw, dh)
                       : method >= 10 ? vt::gfx::AdvancedResample(&work, dw, dh, method - 10,
                                                                  vt::gfx::kWindowLanczos, 4)
                                      : vt::gfx::ResizeBitmap(&work, dw, dh, method);
        if (ok == 0) {
            state.SkipWithError("resample failed");
            break;
        }
        benchmark::DoNotOptimize(work.pixels);
    }
    vt::image::FreeBitmap(&work);
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(sw) * sh / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["out MP/s"] = benchmark::Counter(static_cast<double>(dw) * dh / 1e6,
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

void all_methods(benchmark::internal::Benchmark* b, std::int64_t sw, std::int64_t sh,
                 std::int64_t dw, std::int64_t dh) {
    for (std::int64_t method : {0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 20})
        if (method != 20 || dw < sw)
            b->Args({sw, sh, dw, dh, method});
}

BENCHMARK(BM_Resize)
    ->Apply([](benchmark::internal::Benchmark* b) {
        all_methods(b, 6000, 4000, 1500, 1000);
        all_methods(b, 3000, 2000, 800, 533);
        all_methods(b, 1000, 667, 3000, 2000);
    })
    ->ArgNames({"sw", "sh", "dw", "dh", "method"})
    ->Unit(benchmark::kMillisecond);

// The shrinks a fast decode leaves: a full-size 6 MP draft into 1920 (cubic), its half-size
// draft into 800 (cubic) and its quarter-size one into 600 (area mean).
BENCHMARK(BM_Resize)
    ->Args({3000, 2000, 1920, 1280, 20})
    ->Args({1500, 1000, 800, 533, 20})
    ->Args({1500, 1000, 600, 400, 20})
    ->ArgNames({"sw", "sh", "dw", "dh", "method"})
    ->Unit(benchmark::kMillisecond);

// The advanced resampler's windowed sinc, 3000x2000 to half size, by its widest kernels (0 the
// portable loop, 1 SSE2, 2 AVX2) and with helper threads beside the calling one (wall time: on
// a shared machine the helpers gain only what the other programs leave free).
void BM_AdvancedPaths(benchmark::State& state) {
    vt::gfx::set_vector_limit(static_cast<int>(state.range(0)));
    const std::atomic<std::uint32_t> idle{static_cast<std::uint32_t>(state.range(1))};
    vt::gfx::set_row_helpers(&idle);
    Source& src = source(3000);
    Bitmap work{};
    for (auto _ : state) {
        state.PauseTiming();
        if (vt::image::CopyBitmap(&work, &src.bmp) == 0) {
            state.SkipWithError("copy failed");
            break;
        }
        state.ResumeTiming();
        if (vt::gfx::AdvancedResample(&work, 1500, 1000, vt::gfx::kFilterSinc,
                                      vt::gfx::kWindowLanczos, 4) == 0) {
            state.SkipWithError("resample failed");
            break;
        }
        benchmark::DoNotOptimize(work.pixels);
    }
    vt::gfx::set_row_helpers(nullptr);
    vt::gfx::set_vector_paths(true);
    vt::image::FreeBitmap(&work);
}

BENCHMARK(BM_AdvancedPaths)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({2, 1})
    ->ArgNames({"vector", "helpers"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
