#include "gfx/flatten.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <vector>

#include "gfx/compose.h"
#include "gfx/resample.h"
#include "gfxcore/runtime.h"
#include "gfxcore/thread_slot.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/meta_block.h"

namespace vt::gfx {

namespace {

// ANIM chunk layout.
constexpr std::uint32_t kAnimStepsOffset = 256;
constexpr std::uint32_t kAnimStepSize = 24;
constexpr std::uint16_t kAnimVersion = 3;
constexpr std::uint16_t kStepLength = 256;
constexpr std::uint16_t kStepHorizontal = 272;
constexpr std::uint16_t kStepVertical = 273;
constexpr std::uint16_t kStepTransparency = 274;
constexpr std::int64_t kLengthCap = 86400000; // a day

// SPRT chunk layout.
constexpr std::uint32_t kSpriteSize = 18;

constexpr std::uint32_t kClearCanvas = 0xFFFFFFFFu;

std::uint16_t le16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct Step {
    std::int64_t end;
    std::uint16_t kind;
    std::uint8_t easing;
    bool additive;
    std::int32_t amount;
};

bool anim_valid(const std::uint8_t* data, std::uint32_t size) noexcept {
    if (data == nullptr || size < kAnimStepsOffset)
        return false;
    if (data[0] != 'A' || data[1] != 'n' || data[2] != 'i' || data[3] != 'm' ||
        le16(data + 4) != kAnimVersion)
        return false;
    const std::uint64_t steps = le16(data + 6);
    return kAnimStepsOffset + steps * kAnimStepSize <= size;
}

Step step_at(const std::uint8_t* data, std::uint32_t i) noexcept {
    const std::uint8_t* p = data + kAnimStepsOffset + static_cast<std::size_t>(i) * kAnimStepSize;
    return {le32(p), le16(p + 4), p[6], (p[8] & 1) != 0, static_cast<std::int32_t>(le32(p + 16))};
}

struct Size {
    std::uint32_t w = 0;
    std::uint32_t h = 0;
};

Size size_of(const Layer& layer) noexcept {
    auto* bmp = const_cast<Bitmap*>(&layer.bitmap);
    if (image::RefreshBitmapInfo(bmp) == 0)
        return {};
    return {bmp->width, bmp->height};
}

struct SpriteGrid {
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    std::uint32_t used = 0;
    std::uint32_t frame_time = 0;
};

bool sprite_grid(const Layer& layer, SpriteGrid& grid) noexcept {
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, image::kTagSprt, chunk) || chunk.size < kSpriteSize ||
        le16(chunk.data) != 1)
        return false;
    grid = {le32(chunk.data + 4), le32(chunk.data + 8), le32(chunk.data + 12),
            le16(chunk.data + 16)};
    return true;
}

std::span<const std::uint8_t> chunk_data(const Layer& layer, std::uint32_t tag) noexcept {
    image::MetaChunk chunk{};
    if (!image::find_layer_chunk(layer, tag, chunk))
        return {};
    return {chunk.data, chunk.size};
}

std::uint32_t selected_frame(std::int32_t index, const Layer* layers,
                             std::uint32_t count) noexcept {
    if (index >= 0)
        return std::min(static_cast<std::uint32_t>(index), count - 1);
    if (count <= 2)
        return 0;
    std::uint32_t best = 0;
    std::uint64_t best_area = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Size s = size_of(layers[i]);
        const std::uint64_t area = static_cast<std::uint64_t>(s.w) * s.h;
        if (area >= best_area) {
            best_area = area;
            best = i;
        }
    }
    return best;
}

bool limit_active(const FlattenRequest& r) noexcept {
    return r.size_limit_on != 0 && r.size_limit >= 16;
}

std::uint32_t scale_side(std::uint32_t side, double f) noexcept {
    return static_cast<std::uint32_t>(
        std::max(1.0, std::trunc(static_cast<double>(side) * f + 0.5)));
}

// The size before the limit.
Size natural_size(std::int32_t index, const Layer* layers, std::uint32_t count,
                  std::uint8_t kind) noexcept {
    switch (kind) {
    case kDocFrames:
        return size_of(layers[selected_frame(index, layers, count)]);
    case kDocFrameAnimation: {
        Size most{};
        for (std::uint32_t i = 0; i < count; ++i) {
            const Size s = size_of(layers[i]);
            most.w = std::max(most.w, s.w);
            most.h = std::max(most.h, s.h);
        }
        return most;
    }
    case kDocTimedLayers: {
        Size s = size_of(layers[0]);
        SpriteGrid grid;
        if (s.w != 0 && sprite_grid(layers[0], grid)) {
            s.w = std::max(1u, s.w / std::max(grid.columns, 1u));
            s.h = std::max(1u, s.h / std::max(grid.rows, 1u));
        }
        return s;
    }
    default:
        return size_of(layers[0]);
    }
}

// Factor of the size limit, 1 when it does not apply.
double limit_factor(const Size& s, const FlattenRequest& r) noexcept {
    const std::uint32_t longer = std::max(s.w, s.h);
    if (!limit_active(r) || longer <= r.size_limit)
        return 1.0;
    return static_cast<double>(r.size_limit) / static_cast<double>(longer);
}

bool prepare_canvas(Bitmap* dst, std::uint32_t w, std::uint32_t h) noexcept {
    if (image::IsBitmapValid(dst) != 0 && image::RefreshBitmapInfo(dst) != 0 && dst->width == w &&
        dst->height == h)
        return true;
    return image::CreateBitmap(dst, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h),
                               image::kCreateStrict) != 0;
}

// Draws `src` fully into the rectangle at (x, y) of size w x h: 1:1 as it is, else scaled.
int place(Bitmap* dst, std::int64_t x, std::int64_t y, std::uint32_t w, std::uint32_t h,
          Bitmap* src, const Size& from) noexcept {
    const auto r = static_cast<std::int32_t>(x + w - 1);
    const auto b = static_cast<std::int32_t>(y + h - 1);
    const auto sr = static_cast<std::int32_t>(from.w) - 1;
    const auto sb = static_cast<std::int32_t>(from.h) - 1;
    if (w == from.w && h == from.h)
        return NearestCopy(dst, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), r, b,
                           src, 0, 0, sr, sb, 0);
    return StretchCopy(dst, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), r, b, src,
                       0, 0, sr, sb, kCopyHighQuality);
}

} // namespace

double ease(int easing, double p) noexcept {
    using std::numbers::pi;
    switch (easing) {
    case 0:
        return std::trunc(p + 0.000000000001);
    case 2:
        return std::sin(p * pi / 2.0);
    case 3:
        return 1.0 - std::sin((1.0 - p) * pi / 2.0);
    case 4:
        return (p + std::sin(p * pi / 2.0)) / 2.0;
    case 5:
        return (p + 1.0 - std::sin((1.0 - p) * pi / 2.0)) / 2.0;
    case 6:
        return (std::sin(p * pi - pi / 2.0) + 1.0) / 2.0;
    default:
        return p;
    }
}

std::int64_t anim_length(const std::uint8_t* data, std::uint32_t size) noexcept {
    if (!anim_valid(data, size))
        return 0;
    std::int64_t length = 0;
    const std::uint32_t steps = le16(data + 6);
    for (std::uint32_t i = 0; i < steps; ++i) {
        const Step s = step_at(data, i);
        const bool counts =
            s.kind == kStepLength || (s.kind >= kStepHorizontal && s.kind <= kStepTransparency);
        if (counts && length <= kLengthCap && s.end > length)
            length = s.end;
    }
    return length;
}

bool evaluate_anim(const std::uint8_t* data, std::uint32_t size, std::int64_t t,
                   const AnimState& in, AnimState& out) noexcept {
    out = in;
    if (!anim_valid(data, size))
        return false;
    const std::uint32_t count = le16(data + 6);
    std::vector<Step> steps;
    try {
        steps.reserve(count);
    } catch (...) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i)
        steps.push_back(step_at(data, i));
    std::stable_sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) {
        return a.end != b.end ? a.end < b.end : a.kind < b.kind;
    });

    const std::int64_t length = anim_length(data, size);
    std::int64_t u = 0;
    if (length == 0) {
        u = t < 0 ? -t : t;
    } else {
        const std::int64_t start = static_cast<std::int32_t>(le32(data + 16));
        const std::int64_t period = length + 1;
        u = (t - start) % period;
        if (u < 0)
            u += period;
    }

    double x = 0.0;
    double y = 0.0;
    double a = 0.0;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const Step& s = steps[k];
        std::int64_t e0 = 0;
        for (std::size_t j = k; j-- > 0;)
            if (steps[j].kind == s.kind) {
                e0 = steps[j].end;
                break;
            }
        const std::int64_t e1 = s.end;
        double p = 0.0;
        if (u >= e1)
            p = 1.0;
        else if (u > e0)
            p = std::clamp(static_cast<double>(u - e0) / static_cast<double>(e1 - e0), 0.0, 1.0);
        else
            continue;
        p = ease(s.easing, p);
        const double amount = s.amount;
        switch (s.kind) {
        case kStepHorizontal:
            x = s.additive ? x + amount * p : (1.0 - p) * x + amount * p;
            break;
        case kStepVertical:
            y = s.additive ? y + amount * p : (1.0 - p) * y + amount * p;
            break;
        case kStepTransparency:
            a = std::round(s.additive ? a + amount * p : (1.0 - p) * a + amount * p);
            a = std::clamp(a, 0.0, 255.0);
            break;
        default:
            break;
        }
    }
    const int alpha = static_cast<int>(std::clamp(a, 0.0, 255.0));
    const int t0 = std::clamp(in.transparency, 0, 255);
    if ((data[12] & 1) != 0) {
        out = {x, y, alpha};
    } else {
        out = {in.x + x, in.y + y, 255 - ((255 - alpha) * (255 - t0) + 127) / 255};
    }
    out.transparency = std::clamp(out.transparency, 0, 255);
    return true;
}

std::int64_t AnimationLength(const Layer* layers, std::uint32_t count,
                             const FlattenRequest* request) noexcept {
    if (layers == nullptr || request == nullptr)
        return 0;
    if (request->doc_kind == kDocFrames) {
        std::int64_t sum = 0;
        for (std::uint32_t i = 0; i < count; ++i)
            sum += layers[i].mode2;
        return sum;
    }
    if (request->doc_kind != kDocTimedLayers)
        return 0;
    std::int64_t longest = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::span<const std::uint8_t> anim = chunk_data(layers[i], image::kTagAnim);
        std::int64_t length = 0;
        SpriteGrid grid;
        if (anim_valid(anim.data(), static_cast<std::uint32_t>(anim.size()))) {
            length = anim_length(anim.data(), static_cast<std::uint32_t>(anim.size()));
        } else if (sprite_grid(layers[i], grid)) {
            const std::int64_t frames =
                grid.used != 0 ? grid.used : static_cast<std::int64_t>(grid.columns) * grid.rows;
            length = frames * (grid.frame_time != 0 ? grid.frame_time : 100);
        }
        longest = std::max(longest, length);
    }
    return longest;
}

int FlattenedSize(std::uint32_t* out_width, std::uint32_t* out_height, std::int32_t index,
                  const Layer* layers, std::uint32_t count, FlattenRequest* request) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (layers == nullptr || count == 0 || request == nullptr)
        return finish(slot, kErrorArgument, 0);
    Size s = natural_size(index, layers, count, request->doc_kind);
    if (s.w == 0 || s.h == 0)
        return finish(slot, kErrorInvalid, 0);
    const double f = limit_factor(s, *request);
    if (f != 1.0)
        s = {scale_side(s.w, f), scale_side(s.h, f)};
    request->width = s.w;
    request->height = s.h;
    if (out_width != nullptr)
        *out_width = s.w;
    if (out_height != nullptr)
        *out_height = s.h;
    return finish(slot, kErrorNone, 1);
}

int FlattenLayers(Bitmap* dst, std::int32_t index_or_time, Layer* layers, std::uint32_t count,
                  FlattenRequest* request) noexcept {
    EngineThreadSlot* slot = GetThreadSlot();
    if (slot == nullptr)
        return 0;
    if (dst == nullptr || layers == nullptr || count == 0 || request == nullptr)
        return finish(slot, kErrorArgument, 0);
    const std::uint8_t kind = request->doc_kind;
    const Size natural = natural_size(index_or_time, layers, count, kind);
    if (natural.w == 0 || natural.h == 0)
        return finish(slot, kErrorInvalid, 0);
    const double f = limit_factor(natural, *request);
    const Size canvas =
        f != 1.0 ? Size{scale_side(natural.w, f), scale_side(natural.h, f)} : natural;
    request->width = canvas.w;
    request->height = canvas.h;
    if (!prepare_canvas(dst, canvas.w, canvas.h))
        return 0;

    if (kind == kDocFrames) {
        Layer& frame = layers[selected_frame(index_or_time, layers, count)];
        if (f == 1.0)
            return image::CopyBitmap(dst, &frame.bitmap) != 0 ? 1 : 0;
        return place(dst, 0, 0, canvas.w, canvas.h, &frame.bitmap, natural) != 0 ? 1 : 0;
    }
    if (kind == kDocFrameAnimation) {
        const std::uint32_t i = index_or_time >= 0
                                    ? std::min(static_cast<std::uint32_t>(index_or_time), count - 1)
                                    : std::min(count / 5, count - 1);
        const Size s = size_of(layers[i]);
        if (s.w == 0 ||
            FillRect(dst, 0, 0, static_cast<std::int32_t>(canvas.w) - 1,
                     static_cast<std::int32_t>(canvas.h) - 1, kClearCanvas, kOpNormal, 0) == 0)
            return 0;
        const Size drawn = f != 1.0 ? Size{scale_side(s.w, f), scale_side(s.h, f)} : s;
        const std::int64_t left = (static_cast<std::int64_t>(canvas.w) - drawn.w) / 2;
        const std::int64_t top = (static_cast<std::int64_t>(canvas.h) - drawn.h) / 2;
        return place(dst, left, top, drawn.w, drawn.h, &layers[i].bitmap, s) != 0 ? 1 : 0;
    }

    // Layered pictures and timed layers: a cleared canvas, then two passes.
    if (FillRect(dst, 0, 0, static_cast<std::int32_t>(canvas.w) - 1,
                 static_cast<std::int32_t>(canvas.h) - 1, kClearCanvas, kOpNormal, 0) == 0)
        return 0;
    const std::int64_t time =
        index_or_time >= 0 ? index_or_time : AnimationLength(layers, count, request) / 5;
    int handled = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t i = 0; i < count; ++i) {
            Layer& layer = layers[i];
            const bool second = (layer.mode & image::kModeSecondPass) != 0;
            if (second != (pass == 1))
                continue;
            if ((layer.mode & image::kModeHidden) != 0 ||
                ((layer.mode & image::kModeOnRequest) != 0 && request->draw_on_request == 0)) {
                ++handled;
                continue;
            }
            const Size s = size_of(layer);
            if (s.w == 0 || s.h == 0)
                continue;
            AnimState state{i == 0 ? 0.0 : static_cast<double>(layer.x),
                            i == 0 ? 0.0 : static_cast<double>(layer.y), layer.transparency};
            if (kind == kDocTimedLayers && i != 0) {
                const std::span<const std::uint8_t> anim = chunk_data(layer, image::kTagAnim);
                AnimState moved{};
                if (evaluate_anim(anim.data(), static_cast<std::uint32_t>(anim.size()), time, state,
                                  moved))
                    state = moved;
            }
            // Positions in 1/256 pixel: the whole part places the layer, the rest is the offset.
            const auto fixed_x = static_cast<std::int64_t>(std::llround(state.x * f * 256.0));
            const auto fixed_y = static_cast<std::int64_t>(std::llround(state.y * f * 256.0));
            const std::int64_t x = fixed_x >> 8;
            const std::int64_t y = fixed_y >> 8;
            const Size drawn = f != 1.0 ? Size{scale_side(s.w, f), scale_side(s.h, f)} : s;
            // Far outside the canvas nothing shows; this keeps the coordinates in range.
            if (x > static_cast<std::int64_t>(canvas.w) ||
                y > static_cast<std::int64_t>(canvas.h) || x + drawn.w < 0 || y + drawn.h < 0) {
                ++handled;
                continue;
            }
            const int mode = i == 0 ? kLayerModeCopy : (layer.mode & image::kModeBlendMask);
            const std::span<const std::uint8_t> pattern = mode == kLayerModePattern
                                                              ? chunk_data(layer, image::kTagBlnd)
                                                              : std::span<const std::uint8_t>{};
            const std::span<const std::uint8_t> adjustment =
                i == 0 ? std::span<const std::uint8_t>{} : chunk_data(layer, image::kTagAdju);
            if (BlendLayer(dst, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                           static_cast<std::int32_t>(x + drawn.w - 1),
                           static_cast<std::int32_t>(y + drawn.h - 1),
                           static_cast<std::int32_t>(fixed_x & 255),
                           static_cast<std::int32_t>(fixed_y & 255), &layer.bitmap,
                           static_cast<std::int32_t>(s.w) - 1, static_cast<std::int32_t>(s.h) - 1,
                           mode, state.transparency, f != 1.0, pattern, adjustment) != 0)
                ++handled;
        }
    }
    return finish(slot, kErrorNone, handled);
}

} // namespace vt::gfx
