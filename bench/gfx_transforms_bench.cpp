// Picture transforms on one thread, in megapixels per second of a 3000 x 2000 photo-like
// picture: the median filter (sliding histograms against the direct per-pixel selection and
// against ImageMagick's median of the same window when `convert` is installed), auto levels and
// quarter turns against a plain copy of the picture.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gfx/denoise.h"
#include "gfx/levels.h"
#include "gfx/orientation.h"
#include "gfx/resample_testing.h"
#include "image/bitmap.h"
#include "tests/gfx_transforms/median_reference.h"

namespace {

constexpr std::int32_t kWidth = 3000;
constexpr std::int32_t kHeight = 2000;

// Smooth gradients and edges with a little noise, like a photograph.
std::vector<std::uint32_t> photo() {
    std::vector<std::uint32_t> out(static_cast<std::size_t>(kWidth) * kHeight);
    std::uint32_t seed = 12345;
    for (std::int32_t y = 0; y < kHeight; ++y)
        for (std::int32_t x = 0; x < kWidth; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double fx = static_cast<double>(x) / kWidth;
            const double fy = static_cast<double>(y) / kHeight;
            const double wave = std::sin(fx * 40.0) * std::cos(fy * 25.0);
            const auto noise = static_cast<int>(seed >> 27) - 16;
            const auto r =
                static_cast<std::uint32_t>(std::clamp(100 + 80 * wave + noise, 0.0, 255.0));
            const auto g =
                static_cast<std::uint32_t>(std::clamp(40 + 170 * fx + noise, 0.0, 255.0));
            const auto b =
                static_cast<std::uint32_t>(((x / 97 + y / 61) % 2) * 150 + 40 + noise / 2);
            out[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)] =
                (r << 16) | (g << 8) | b;
        }
    return out;
}

const std::vector<std::uint32_t>& source() {
    static const std::vector<std::uint32_t> pixels = photo();
    return pixels;
}

struct Work {
    Bitmap bmp{};
    Work() {
        (void)vt::image::CreateBitmap(&bmp, kWidth, kHeight, vt::image::kCreateMemory);
        reset();
    }
    ~Work() { vt::image::FreeBitmap(&bmp); }
    void reset() { std::memcpy(bmp.pixels, source().data(), source().size() * 4); }
};

void count_pixels(benchmark::State& state) {
    state.counters["MP/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6,
                           benchmark::Counter::kIsRate);
}

void BM_Copy(benchmark::State& state) {
    Work work;
    std::vector<std::uint32_t> dst(source().size());
    for (auto _ : state) {
        std::memcpy(dst.data(), work.bmp.pixels, dst.size() * 4);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}

// Argument: the widest vector kernels allowed (3 AVX-512, 2 AVX2, 0 the portable code).
void BM_AutoLevels(benchmark::State& state) {
    Work work;
    vt::gfx::set_vector_limit(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        work.reset();
        state.ResumeTiming();
        vt::gfx::AutoLevels(&work.bmp);
        benchmark::ClobberMemory();
    }
    vt::gfx::set_vector_paths(true);
    count_pixels(state);
}

// The first of the two passes of auto levels alone.
void BM_LevelEstimate(benchmark::State& state) {
    Work work;
    vt::gfx::set_vector_limit(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vt::gfx::LevelEstimate estimate;
        benchmark::DoNotOptimize(vt::gfx::estimate_levels(&work.bmp, estimate));
    }
    vt::gfx::set_vector_paths(true);
    count_pixels(state);
}

void BM_RotateQuarter(benchmark::State& state) {
    Work work;
    const auto quarters = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        if (vt::gfx::RotateBitmapQuarter(&work.bmp, quarters) == 0)
            state.SkipWithError("rotation failed");
    }
    count_pixels(state);
}

void BM_MedianFast(benchmark::State& state) {
    Work work;
    const auto radius = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        work.reset();
        state.ResumeTiming();
        if (vt::gfx::MedianDenoise(&work.bmp, radius) == 0)
            state.SkipWithError("median failed");
    }
    count_pixels(state);
}

void BM_MedianDirect(benchmark::State& state) {
    const auto radius = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::uint32_t> pixels = source();
        state.ResumeTiming();
        vt::gfx::reference::median_filter(pixels, kWidth, kHeight, radius);
        benchmark::DoNotOptimize(pixels.data());
    }
    count_pixels(state);
}

// ImageMagick's median of the same (2r + 1) x (2r + 1) window on the same picture, one thread,
// timed around the whole command (reading and writing a raw PPM is a small part of it).
void BM_MedianImageMagick(benchmark::State& state) {
    const auto radius = static_cast<int>(state.range(0));
    if (std::system("command -v convert > /dev/null 2>&1") != 0) {
        state.SkipWithError("convert is not installed");
        return;
    }
    const std::string in = "/tmp/vt_median_bench_in.ppm";
    const std::string out = "/tmp/vt_median_bench_out.ppm";
    if (FILE* f = std::fopen(in.c_str(), "wb")) {
        std::fprintf(f, "P6\n%d %d\n255\n", kWidth, kHeight);
        std::vector<unsigned char> rgb;
        rgb.reserve(source().size() * 3);
        for (const std::uint32_t p : source()) {
            rgb.push_back(static_cast<unsigned char>(p >> 16));
            rgb.push_back(static_cast<unsigned char>(p >> 8));
            rgb.push_back(static_cast<unsigned char>(p));
        }
        std::fwrite(rgb.data(), 1, rgb.size(), f);
        std::fclose(f);
    }
    const int side = 2 * radius + 1;
    const std::string command = "MAGICK_THREAD_LIMIT=1 convert " + in + " -statistic Median " +
                                std::to_string(side) + "x" + std::to_string(side) + " " + out;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("convert failed");
            break;
        }
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    count_pixels(state);
}

BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AutoLevels)->Arg(3)->Arg(2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LevelEstimate)->Arg(3)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RotateQuarter)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MedianFast)->Arg(1)->Arg(3)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MedianDirect)->Arg(1)->Arg(3)->Arg(9)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MedianImageMagick)
    ->Arg(1)
    ->Arg(3)
    ->Arg(9)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
