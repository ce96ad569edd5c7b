// Each transform at 8 and at 16 bits per channel on one thread, in milliseconds for a 3000 x 2000
// photo-like picture: the deep form of a step should cost at most about twice the 8-bit step.
// Argument: 0 the 8-bit picture, 1 the deep one.

#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "gfx/deep_denoise.h"
#include "gfx/deep_levels.h"
#include "gfx/deep_resize.h"
#include "gfx/denoise.h"
#include "gfx/levels.h"
#include "gfx/resample.h"
#include "gfxcore/runtime.h"
#include "image/bitmap.h"
#include "image/deep_image.h"
#include "image/image_doc.h"
#include "image/meta_block.h"
#include "pipeline/colour_step.h"

namespace {

constexpr std::uint32_t kWidth = 3000;
constexpr std::uint32_t kHeight = 2000;

// Smooth gradients and edges with a little noise, like a scan, with alpha opaque.
void photo(vt::image::DeepImage& deep) {
    (void)deep.create(kWidth, kHeight, 4);
    std::uint32_t seed = 12345;
    for (std::uint32_t y = 0; y < kHeight; ++y)
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double fx = static_cast<double>(x) / kWidth,
                         fy = static_cast<double>(y) / kHeight;
            const double noise = static_cast<double>(seed >> 20) - 2048.0;
            const double wave = std::sin(fx * 40.0) * std::cos(fy * 25.0);
            const double rgb[3] = {25000 + 20000 * wave + noise, 10000 + 44000 * fx + noise,
                                   ((x / 97 + y / 61) % 2) * 38000 + 10000 + noise / 2};
            std::uint16_t* p = deep.row(y) + std::size_t{x} * 4;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint16_t>(std::clamp(rgb[c], 0.0, 65535.0));
            p[3] = 65535;
        }
}

struct Pictures {
    vt::image::DeepImage deep;
    std::vector<std::uint32_t> eight;
    Pictures() {
        char16_t why[128];
        (void)vt::gfx::EngineStartup(why, 128);
        photo(deep);
        eight.resize(std::size_t{kWidth} * kHeight);
        vt::image::deep_to_pixels(deep, eight.data(), kWidth);
    }
};

const Pictures& pictures() {
    static const Pictures p;
    return p;
}

// Runs `eight` on a fresh 8-bit copy or `deep` on a fresh deep copy; the copies are not timed.
void run(benchmark::State& state, const std::function<void(Bitmap*)>& eight,
         const std::function<void(vt::image::DeepImage&)>& deep) {
    const Pictures& p = pictures();
    for (auto _ : state) {
        state.PauseTiming();
        Bitmap bmp{};
        vt::image::DeepImage copy;
        if (state.range(0) == 0) {
            (void)vt::image::CreateBitmap(&bmp, kWidth, kHeight, vt::image::kCreateMemory);
            for (std::uint32_t y = 0; y < kHeight; ++y)
                std::memcpy(bmp.pixels + std::size_t{y} * bmp.stride,
                            p.eight.data() + std::size_t{y} * kWidth, kWidth * 4);
        } else {
            (void)copy.create(kWidth, kHeight, 4);
            std::memcpy(copy.record().samples, p.deep.record().samples,
                        std::size_t{kWidth} * kHeight * 8);
        }
        state.ResumeTiming();
        if (state.range(0) == 0)
            eight(&bmp);
        else
            deep(copy);
        benchmark::ClobberMemory();
        state.PauseTiming();
        vt::image::FreeBitmap(&bmp);
        copy.reset(); // returning the memory is not the step's work
        state.ResumeTiming();
    }
}

// A resize to the share `percent` of each side by the algorithm (and advanced filter).
void resize(benchmark::State& state, int algorithm, int filter, std::uint32_t percent) {
    const std::uint32_t w = kWidth * percent / 100, h = kHeight * percent / 100;
    vt::gfx::ResizeOptions o;
    o.resizeAlgorithm = algorithm;
    o.scalingFilter = filter;
    o.sincWindow = vt::gfx::kWindowLanczos;
    o.sincSize = 3;
    run(
        state,
        [&](Bitmap* bmp) {
            const auto sw = static_cast<std::int32_t>(w), sh = static_cast<std::int32_t>(h);
            const int method = algorithm == 0   ? vt::gfx::kResizeNearest
                               : algorithm == 1 ? vt::gfx::kResizeBalanced
                                                : vt::gfx::kResizeHighQuality;
            benchmark::DoNotOptimize(
                algorithm == 3 ? vt::gfx::AdvancedResample(bmp, sw, sh, filter, o.sincWindow, 3)
                               : vt::gfx::ResizeBitmap(bmp, sw, sh, method));
        },
        [&](vt::image::DeepImage& deep) {
            benchmark::DoNotOptimize(vt::gfx::resize_deep(deep, w, h, o));
        });
}

void BM_HalfHighQuality(benchmark::State& s) {
    resize(s, 2, 0, 50);
}
void BM_ShrinkHighQuality(benchmark::State& s) {
    resize(s, 2, 0, 75);
}
void BM_EnlargeHighQuality(benchmark::State& s) {
    resize(s, 2, 0, 130);
}
void BM_ShrinkBalanced(benchmark::State& s) {
    resize(s, 1, 0, 75);
}
void BM_ShrinkNearest(benchmark::State& s) {
    resize(s, 0, 0, 75);
}
void BM_ShrinkMitchell(benchmark::State& s) {
    resize(s, 3, vt::gfx::kFilterMitchell, 75);
}
void BM_ShrinkLanczos3(benchmark::State& s) {
    resize(s, 3, vt::gfx::kFilterSinc, 75);
}

void BM_AutoLevels(benchmark::State& state) {
    // The deep step starts from the estimates of the 8-bit picture, which it finds again.
    static Bitmap eight = [] {
        Bitmap bmp{};
        (void)vt::image::CreateBitmap(&bmp, kWidth, kHeight, vt::image::kCreateMemory);
        vt::image::deep_to_pixels(pictures().deep, bmp.pixels, bmp.stride);
        return bmp;
    }();
    run(
        state, [](Bitmap* bmp) { vt::gfx::AutoLevels(bmp); },
        [](vt::image::DeepImage& deep) {
            vt::gfx::LevelEstimate e;
            (void)vt::gfx::estimate_levels(&eight, e);
            benchmark::DoNotOptimize(vt::gfx::deep_levels(deep, e));
        });
}

void BM_Denoise(benchmark::State& state) {
    const auto radius = static_cast<std::int32_t>(state.range(1));
    run(
        state, [&](Bitmap* bmp) { benchmark::DoNotOptimize(vt::gfx::MedianDenoise(bmp, radius)); },
        [&](vt::image::DeepImage& deep) {
            benchmark::DoNotOptimize(vt::gfx::deep_denoise(deep, radius));
        });
}

// Conversion to sRGB from a wide-gamut RGB profile with a gamma of 2.2.
void BM_ColourToSrgb(benchmark::State& state) {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<std::uint8_t> icc(size);
    cmsSaveProfileToMem(profile, icc.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    Layer layer{};
    (void)vt::image::replace_layer_chunk(layer, vt::image::meta_tag("ICCP"), size, icc.data());
    run(
        state,
        [&](Bitmap* bmp) {
            // The 8-bit step drops the profile: each run converts a layer of its own.
            Layer own{};
            own.bitmap = *bmp;
            (void)vt::image::replace_layer_chunk(own, vt::image::meta_tag("ICCP"), size,
                                                 icc.data());
            benchmark::DoNotOptimize(vt::pipeline::ConvertToSrgb(&own, 1, 0));
            *bmp = own.bitmap;
            own.bitmap = Bitmap{};
            vt::image::release_layer(own);
        },
        [&](vt::image::DeepImage& deep) {
            benchmark::DoNotOptimize(vt::pipeline::ConvertDeepToSrgb(layer, deep, 0));
        });
    vt::image::release_layer(layer);
}

BENCHMARK(BM_HalfHighQuality)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShrinkHighQuality)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnlargeHighQuality)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShrinkBalanced)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShrinkNearest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShrinkMitchell)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShrinkLanczos3)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AutoLevels)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourToSrgb)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Denoise)
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 3})
    ->Args({1, 3})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
