// VT5 writer and reader throughput on a synthesised 3000 x 2000 photo-like layer (gradients,
// soft shapes, sensor-like grain) and on a 20-frame 640 x 480 animation (a moving object on a
// still background, so repeat and difference frames occur). Throughput counts the layers'
// 32-bit pixels; "ratio" is file size / (3 bytes per pixel), "ratio32" file size / (4 bytes).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "vt5/vt5.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Layers {
    std::vector<Layer> layers;
    std::uint64_t pixels = 0;
    ~Layers() {
        for (Layer& l : layers)
            vt::image::release_layer(l);
    }
};

void fill(Layer& l, int w, int h, auto pixel) {
    (void)vt::image::CreateBitmap(&l.bitmap, w, h, vt::image::kCreateStrict);
    vt::image::ScopedBitmapLock lock(&l.bitmap, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            l.bitmap.pixels[static_cast<std::size_t>(y) * l.bitmap.stride + x] = pixel(x, y);
}

std::uint32_t channel(double v) {
    return static_cast<std::uint32_t>(std::clamp(v, 0.0, 255.0));
}

Layers& photo() {
    static Layers doc = [] {
        Layers d;
        d.layers.resize(1);
        std::mt19937 rng(3);
        std::normal_distribution<double> grain(0.0, 2.5);
        fill(d.layers[0], 3000, 2000, [&](int x, int y) {
            std::uint32_t p = 0;
            for (int c = 0; c < 3; ++c) {
                double v = 60 + 120.0 * y / 2000 + 20 * c;
                v += 40 * std::sin(x * 0.004 + c) * std::cos(y * 0.006);
                if ((x - 1800) * (x - 1800) + (y - 800) * (y - 800) < 400 * 400)
                    v = 200 - 30 * c + 0.02 * (x - 1800);
                p |= channel(v + grain(rng)) << (8 * c);
            }
            return p;
        });
        d.pixels = 3000ull * 2000;
        return d;
    }();
    return doc;
}

Layers& animation() {
    static Layers doc = [] {
        Layers d;
        d.layers.resize(20);
        for (int f = 0; f < 20; ++f) {
            // The object moves; frames 10 and 11 repeat frame 9.
            const int g = (f == 10 || f == 11) ? 9 : f;
            const int gx = 40 + 25 * g, gy = 200 + (g % 5) * 8;
            fill(d.layers[f], 640, 480, [&](int x, int y) {
                if ((x - gx) * (x - gx) + (y - gy) * (y - gy) < 40 * 40)
                    return 0x00E03020u;
                return channel(100 + 80.0 * y / 480) << 16 | channel(140 - 60.0 * x / 640) << 8 |
                       channel(180.0 * (x ^ y) / 1024 + 40);
            });
            d.layers[f].mode2 = 80;
        }
        d.pixels = 20ull * 640 * 480;
        return d;
    }();
    return doc;
}

Bytes write(Layers& d, bool thorough) {
    Bytes out;
    vt::image::LoadStatus status{};
    status.doc_kind = d.layers.size() > 1 ? 2 : 0;
    vt::vt5::WriteOptions options;
    options.thorough = thorough;
    const auto count = static_cast<std::uint32_t>(d.layers.size());
    if (vt::vt5::Vt5Write(d.layers.data(), count, status, out, options) != count)
        out.clear();
    return out;
}

void report(benchmark::State& state, const Layers& d, const Bytes& file) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d.pixels * 4));
    state.counters["ratio"] =
        static_cast<double>(file.size()) / (3.0 * static_cast<double>(d.pixels));
    state.counters["ratio32"] =
        static_cast<double>(file.size()) / (4.0 * static_cast<double>(d.pixels));
    state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
}

void BM_Write(benchmark::State& state, Layers& (*doc)(), bool thorough) {
    Layers& d = doc();
    Bytes file;
    for (auto _ : state) {
        file = write(d, thorough);
        benchmark::DoNotOptimize(file.data());
    }
    if (file.empty())
        state.SkipWithError("write failed");
    report(state, d, file);
}

void BM_Read(benchmark::State& state, Layers& (*doc)(), bool thorough) {
    Layers& d = doc();
    const Bytes file = write(d, thorough);
    std::vector<Layer> out(d.layers.size());
    for (auto _ : state) {
        vt::image::LoadStatus status{};
        status.silent = 1;
        const auto n = vt::vt5::Vt5Read(out.data(), static_cast<std::uint32_t>(out.size()), status,
                                        file, u"bench.vt5");
        if (n != d.layers.size())
            state.SkipWithError("read failed");
        for (Layer& l : out)
            vt::image::release_layer(l);
    }
    report(state, d, file);
}

BENCHMARK_CAPTURE(BM_Write, photo, photo, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, photo_thorough, photo, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, photo, photo, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, animation, animation, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, animation_thorough, animation, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, animation, animation, false)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
