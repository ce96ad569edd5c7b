// Encode and decode throughput of each VT5 block codec, and of the block stream in both modes,
// on a synthesised photo: three 1024 x 768 colour planes with smooth gradients, soft edges and
// sensor-like grain, as the writer hands them over; the codecs also on a flat graphic (set 1:
// the same planes cut to a few levels, as a screenshot). Throughput is in bytes of the uncoded
// stream; decoding counts only the blocks the codec did not give up on ("coded" is their share).
// "ratio" is coded size / uncoded size, a block given up counted at its own size.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "vt5/codec/block_stream.h"
#include "vt5/codec/codecs.h"

namespace {

using namespace vt::vt5::codec;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWidth = 1024, kHeight = 768;

const Bytes& photo_planes() {
    static const Bytes planes = [] {
        Bytes p(static_cast<std::size_t>(3) * kWidth * kHeight);
        std::mt19937 rng(5);
        std::normal_distribution<double> grain(0.0, 2.5);
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x) {
                    // Sky-to-ground gradient, a few soft blobs, grain.
                    double v = 60 + 120.0 * y / kHeight + 20 * c;
                    v += 40 * std::sin(x * 0.013 + c) * std::cos(y * 0.021);
                    if ((x - 600) * (x - 600) + (y - 300) * (y - 300) < 150 * 150)
                        v = 200 - 30 * c + 0.05 * (x - 600);
                    v += grain(rng);
                    const std::size_t at = (static_cast<std::size_t>(c) * kHeight + y) * kWidth + x;
                    p[at] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
                }
        return p;
    }();
    return planes;
}

const Bytes& flat_planes() {
    static const Bytes planes = [] {
        Bytes p = photo_planes();
        for (auto& b : p)
            b = static_cast<std::uint8_t>(b / 64 * 64);
        return p;
    }();
    return planes;
}

// One codec over the planes in blocks of kMaxBlockLength.
template <typename Encode, std::uint8_t Id>
void codec_bench(benchmark::State& state, Encode encode) {
    const Bytes& src = state.range(1) != 0 ? flat_planes() : photo_planes();
    const bool decode = state.range(0) != 0;
    std::vector<Bytes> coded;
    std::size_t coded_bytes = 0, decodable = 0;
    Bytes out(kEncodeCapacity);
    for (std::size_t at = 0; at < src.size(); at += kMaxBlockLength) {
        const std::span<const std::uint8_t> block(src.data() + at,
                                                  std::min(kMaxBlockLength, src.size() - at));
        const std::size_t n = encode(out, block);
        coded.emplace_back(out.begin(), out.begin() + static_cast<long>(n));
        coded_bytes += n == 0 ? block.size() : n;
        decodable += n == 0 ? 0 : block.size();
    }
    Bytes back(kMaxBlockLength * 2);
    for (auto _ : state) {
        for (std::size_t b = 0; b < coded.size(); ++b) {
            if (decode) {
                if (!coded[b].empty())
                    benchmark::DoNotOptimize(decode_step(Id, back, coded[b]));
            } else {
                const std::span<const std::uint8_t> block(
                    src.data() + b * kMaxBlockLength,
                    std::min(kMaxBlockLength, src.size() - b * kMaxBlockLength));
                benchmark::DoNotOptimize(encode(out, block));
            }
        }
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * (decode ? decodable : src.size())));
    state.counters["ratio"] = static_cast<double>(coded_bytes) / static_cast<double>(src.size());
    state.counters["coded"] = static_cast<double>(decodable) / static_cast<double>(src.size());
}

void BM_RunLength(benchmark::State& state) {
    codec_bench<decltype(&RunLength::encode), kCodecRunLength>(state, &RunLength::encode);
}
void BM_DeltaNibble(benchmark::State& state) {
    codec_bench<decltype(&DeltaNibble::encode), kCodecDeltaNibble>(state, &DeltaNibble::encode);
}
void BM_ModeMask(benchmark::State& state) {
    codec_bench<decltype(&ModeMask::encode), kCodecModeMask>(state, &ModeMask::encode);
}
void BM_RankPack4(benchmark::State& state) {
    auto encode = [](std::span<std::uint8_t> out, std::span<const std::uint8_t> in) {
        return RankPack::encode(out, in, 4);
    };
    codec_bench<decltype(encode), kCodecRankPack>(state, encode);
}

// The whole block stream: the codec choice loop when writing, the chains when reading.
void BM_BlockStream(benchmark::State& state) {
    const Bytes& src = photo_planes();
    const bool thorough = state.range(0) != 0;
    const bool read = state.range(1) != 0;
    Bytes file;
    VectorSink sink(file);
    if (!write_block_stream(src, sink, thorough).ok())
        state.SkipWithError("write failed");
    Bytes back(src.size());
    for (auto _ : state) {
        if (read) {
            SpanSource source(file);
            benchmark::DoNotOptimize(read_block_stream(back, back.size(), source));
        } else {
            Bytes again;
            again.reserve(file.size());
            VectorSink again_sink(again);
            benchmark::DoNotOptimize(write_block_stream(src, again_sink, thorough));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
    state.counters["ratio"] = static_cast<double>(file.size()) / static_cast<double>(src.size());
}

} // namespace

BENCHMARK(BM_RunLength)
    ->ArgNames({"decode", "set"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeltaNibble)
    ->ArgNames({"decode", "set"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModeMask)
    ->ArgNames({"decode", "set"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RankPack4)
    ->ArgNames({"decode", "set"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlockStream)
    ->ArgNames({"thorough", "read"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
