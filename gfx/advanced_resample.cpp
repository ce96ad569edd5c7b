#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "gfx/advanced_rows_p.h"
#include "gfx/advanced_weights_p.h"
#include "gfx/resample.h"
#include "gfx/resample_testing.h"
#include "gfx/scaled_copy_p.h"
#include "gfx/vector_paths.h"
#include "gfxcore/row_claim.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"

namespace vt::gfx {

namespace {

using std::numbers::pi;

std::atomic<ResampleRowHook> g_row_hook{nullptr};

// Rows below which another thread costs more than it saves.
constexpr std::uint32_t kRowsPerHelper = 16;

// Modified Bessel function of order 0 by its power series, terms up to x^20.
double bessel_i0(double x) noexcept {
    const double q = x * x / 4.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 10; ++k) {
        term *= q / (static_cast<double>(k) * static_cast<double>(k));
        sum += term;
    }
    return sum;
}

// Counts a power only where its base is positive.
double positive_cube(double base) noexcept {
    return base > 0.0 ? base * base * base : 0.0;
}

// The work of one advanced resample: the shared row counter, the done flag, the private copy of
// the source and the destination.
struct AdvancedWork {
    std::atomic<std::uint32_t>* next_row;
    std::atomic<bool>* done;
    Bitmap* source;
    Bitmap* destination;
};

// Per destination column (or row): the clamped source indices of its taps and their weights
// divided by the weight sum.
struct AxisWeights {
    std::int32_t taps = 0;
    std::vector<std::int32_t> index;
    std::vector<float> weight;
};

bool build_weights(AxisWeights& out, int filter, int window, const TapRange& range,
                   std::int32_t src, std::int32_t dst) noexcept {
    detail::AdvancedAxis axis;
    if (!detail::build_advanced_axis(axis, filter, window, range, src, dst))
        return false;
    try {
        out.weight.assign(axis.weight.size(), 0.0f);
    } catch (...) {
        return false;
    }
    for (std::size_t i = 0; i < axis.weight.size(); ++i)
        out.weight[i] = static_cast<float>(axis.weight[i]);
    out.taps = axis.taps;
    out.index = std::move(axis.index);
    return true;
}

} // namespace

namespace detail {

bool build_advanced_axis(AdvancedAxis& out, int filter, int window, const TapRange& range,
                         std::int32_t src, std::int32_t dst) noexcept {
    try {
        out.taps = range.count;
        out.index.assign(static_cast<std::size_t>(dst) * static_cast<std::size_t>(range.count), 0);
        out.weight.assign(out.index.size(), 0.0);
    } catch (...) {
        return false;
    }
    std::array<double, kMaxSincTaps> w{};
    for (std::int32_t x = 0; x < dst; ++x) {
        // Corner pixels map onto corner pixels.
        const double u = dst == 1 ? 0.0
                                  : static_cast<double>(x) * static_cast<double>(src - 1) /
                                        static_cast<double>(dst - 1);
        const double i = std::trunc(u);
        const double f = u - i;
        const auto base = static_cast<std::int32_t>(i);
        double sum = 0.0;
        for (int m = 0; m < range.count; ++m) {
            const int offset = range.first + m;
            w[static_cast<std::size_t>(m)] =
                filter == kFilterNearest ? 1.0
                                         : resample_kernel(filter, window, range.count, f - offset);
            sum += w[static_cast<std::size_t>(m)];
        }
        const std::size_t row = static_cast<std::size_t>(x) * static_cast<std::size_t>(range.count);
        if (std::fabs(sum) < 1e-12) {
            // Every tap weighs nothing (an unknown window): take the pixel at the position.
            w.fill(0.0);
            w[static_cast<std::size_t>(-range.first)] = 1.0;
            sum = 1.0;
        }
        for (int m = 0; m < range.count; ++m) {
            out.index[row + static_cast<std::size_t>(m)] =
                std::clamp(base + range.first + m, 0, src - 1);
            out.weight[row + static_cast<std::size_t>(m)] = w[static_cast<std::size_t>(m)] / sum;
        }
    }
    return true;
}

} // namespace detail

void set_resample_row_hook(ResampleRowHook hook) noexcept {
    g_row_hook.store(hook, std::memory_order_relaxed);
}

TapRange filter_taps(int filter, int size) noexcept {
    switch (filter) {
    case kFilterNearest:
        return {0, 1};
    case kFilterBilinear:
        return {0, 2};
    case kFilterCardinal:
    case kFilterBSpline:
    case kFilterMitchell:
        return {-1, 4};
    default: {
        const int n = std::max(size, 3);
        return {-((n - 1) / 2), n};
    }
    }
}

double sinc_window(int window, double taps, double t) noexcept {
    const double r = taps;
    const double a = std::fabs(t);
    if (t == 0.0)
        return 1.0;
    if (a >= r)
        return 0.0;
    switch (window) {
    case kWindowBartlett:
        return 1.0 - a / r;
    case kWindowBlackman:
        return 0.42 + 0.5 * std::cos(pi * t / r) + 0.08 * std::cos(2.0 * pi * t / r);
    case kWindowBlackmanHarris:
        return 0.42323 + 0.49755 * std::cos(pi * t / r) + 0.07922 * std::cos(2.0 * pi * t / r);
    case kWindowBohman: {
        const double u = a / r;
        return (1.0 - u) * std::cos(pi * u) + std::sin(pi * u) / pi;
    }
    case kWindowCosine:
        return std::cos(pi * t / (2.0 * r));
    case kWindowGauss:
        return std::pow(2.0, -0.1 * kGaussParameter * t * t);
    case kWindowHamming:
        return 0.54 + 0.46 * std::cos(pi * t / r);
    case kWindowHann:
        return 0.5 + 0.5 * std::cos(pi * t / r);
    case kWindowKaiser:
        return bessel_i0(kKaiserParameter * std::sqrt(1.0 - t * t / (r * r))) /
               bessel_i0(kKaiserParameter);
    case kWindowLanczos: {
        const double x = pi * t / r;
        return std::sin(x) / x;
    }
    case kWindowParzen:
        if (a < 1.0)
            return (4.0 - 6.0 * t * t + 3.0 * a * a * a) / 4.0;
        if (a < 2.0)
            return (2.0 - a) * (2.0 - a) * (2.0 - a) / 4.0;
        return 0.0;
    case kWindowRectangular:
        return 1.0;
    case kWindowWelch:
        return 1.0 - t * t / (r * r);
    default:
        return 0.0;
    }
}

double resample_kernel(int filter, int window, int taps, double t) noexcept {
    const double a = std::fabs(t);
    switch (filter) {
    case kFilterBilinear:
        return std::max(0.0, 1.0 - a);
    case kFilterCardinal: {
        constexpr double k = -0.5;
        if (a < 1.0)
            return (k + 2.0) * a * a * a - (k + 3.0) * a * a + 1.0;
        if (a < 2.0)
            return k * a * a * a - 5.0 * k * a * a + 8.0 * k * a - 4.0 * k;
        return 0.0;
    }
    case kFilterBSpline:
        if (t >= 2.0)
            return 0.0;
        return (positive_cube(t + 2.0) - 4.0 * positive_cube(t + 1.0) + 6.0 * positive_cube(t) -
                4.0 * positive_cube(t - 1.0)) /
               6.0;
    case kFilterMitchell: {
        constexpr double b = 1.0 / 3.0;
        constexpr double c = 1.0 / 3.0;
        if (a < 1.0)
            return ((12.0 - 9.0 * b - 6.0 * c) * a * a * a + (-18.0 + 12.0 * b + 6.0 * c) * a * a +
                    (6.0 - 2.0 * b)) /
                   6.0;
        if (a < 2.0)
            return ((-b - 6.0 * c) * a * a * a + (6.0 * b + 30.0 * c) * a * a +
                    (-12.0 * b - 48.0 * c) * a + (8.0 * b + 24.0 * c)) /
                   6.0;
        return 0.0;
    }
    case kFilterSinc: {
        if (t == 0.0)
            return 1.0;
        const double x = pi * t;
        return std::sin(x) / x * sinc_window(window, static_cast<double>(std::max(taps, 3)), t);
    }
    default:
        return 0.0;
    }
}

int AdvancedResample(Bitmap* bmp, std::int32_t width, std::int32_t height, int filter, int window,
                     int size) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    const TapRange range = filter_taps(filter, size);
    if (width < 1 || height < 1 || filter < kFilterNearest || filter > kFilterSinc ||
        range.count > kMaxSincTaps)
        return finish(slot, kErrorArgument, 0);
    if (image::IsBitmapValid(bmp) == 0)
        return 0;

    Bitmap source{};
    if (image::CopyBitmap(&source, bmp) == 0)
        return 0;
    if (ResizeBitmap(bmp, width, height, kResizeBlank) == 0) {
        const std::uint32_t code = last_engine_error();
        image::FreeBitmap(&source);
        return finish(slot, code, 0);
    }

    std::atomic<std::uint32_t> next_row{0};
    std::atomic<bool> done{false};
    AdvancedWork work{&next_row, &done, &source, bmp};
    std::uint32_t code = kErrorNone;
    bool complete = false;
    {
        image::ScopedBitmapLock source_lock(work.source, 0);
        image::ScopedBitmapLock target_lock(work.destination, 0);
        if (!source_lock.locked() || !target_lock.locked()) {
            code = kErrorInvalid;
        } else {
            const Bitmap& src = *work.source;
            const Bitmap& dst = *work.destination;
            const auto sw = static_cast<std::int32_t>(src.width);
            const auto sh = static_cast<std::int32_t>(src.height);
            const auto dw = static_cast<std::int32_t>(dst.width);
            const auto dh = static_cast<std::int32_t>(dst.height);
            AxisWeights cols;
            AxisWeights rows;
            auto sums = detail::try_alloc<float>(static_cast<std::size_t>(sw) * 4);
            if (!sums || !build_weights(cols, filter, window, range, sw, dw) ||
                !build_weights(rows, filter, window, range, sh, dh)) {
                code = kErrorScratch;
            } else {
                resample_abort.store(false, std::memory_order_relaxed);
                const ResampleRowHook hook = g_row_hook.load(std::memory_order_relaxed);
                const bool avx2 = detail::avx2_enabled();
                const bool sse2 = detail::vector_paths_enabled();
                const auto compute_row = [&](std::uint32_t y, float* acc) {
                    // Down the taps first into one float row, then across. Taps that weigh
                    // nothing are left out.
                    const std::uint32_t* lines[kMaxSincTaps];
                    float line_weight[kMaxSincTaps];
                    int used = 0;
                    const std::size_t ry =
                        static_cast<std::size_t>(y) * static_cast<std::size_t>(rows.taps);
                    for (int n = 0; n < rows.taps; ++n) {
                        const float w = rows.weight[ry + static_cast<std::size_t>(n)];
                        if (w == 0.0f)
                            continue;
                        lines[used] =
                            src.pixels +
                            static_cast<std::size_t>(rows.index[ry + static_cast<std::size_t>(n)]) *
                                src.stride;
                        line_weight[used++] = w;
                    }
                    std::uint32_t* out = dst.pixels + static_cast<std::size_t>(y) * dst.stride;
                    if (avx2) {
                        detail::advanced_down_avx2(lines, line_weight, used, sw, acc);
                        detail::advanced_across_avx2(acc, cols.index.data(), cols.weight.data(),
                                                     cols.taps, dw, out);
                    } else if (sse2) {
                        detail::advanced_down_sse2(lines, line_weight, used, sw, acc);
                        detail::advanced_across_sse2(acc, cols.index.data(), cols.weight.data(),
                                                     cols.taps, dw, out);
                    } else {
                        detail::advanced_down_portable(lines, line_weight, used, 0, sw, acc);
                        detail::advanced_across_portable(acc, cols.index.data(), cols.weight.data(),
                                                         cols.taps, 0, dw, out);
                    }
                    if (hook != nullptr)
                        hook(y);
                };
                // Rows are independent: the job's idle workers may take some of them, each
                // with its own float row.
                std::atomic<std::uint32_t> computed{0};
                const auto out_rows = static_cast<std::uint32_t>(dh);
                const auto rows_of = [&](float* acc) {
                    computed.fetch_add(run_claimed_rows(
                                           *work.next_row, out_rows,
                                           [&](std::uint32_t y) { compute_row(y, acc); },
                                           work.done),
                                       std::memory_order_relaxed);
                };
                const std::uint32_t helpers =
                    out_rows >= kRowsPerHelper * 2
                        ? std::min(row_helpers(), out_rows / kRowsPerHelper - 1)
                        : 0;
                run_with_helpers(helpers, [&](bool helper) {
                    if (!helper) {
                        rows_of(sums.get());
                        return;
                    }
                    const auto own = detail::try_alloc<float>(static_cast<std::size_t>(sw) * 4);
                    if (own)
                        rows_of(own.get());
                });
                complete = computed.load() == out_rows;
            }
        }
    }
    image::FreeBitmap(&source);
    return finish(slot, code, code == kErrorNone && complete ? 1 : 0);
}

} // namespace vt::gfx
