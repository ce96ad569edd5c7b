#include "plugins/frame_changes.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/bitmap.h"
#include "plugins/frame_budget.h"

namespace vt::plugins {
namespace {

// Copies `from` (locked) over `canvas` (locked) at (x, y), clipped to the canvas.
void paste(Bitmap& canvas, const Bitmap& from, std::int32_t x, std::int32_t y) noexcept {
    const std::int64_t left = std::max<std::int64_t>(x, 0), top = std::max<std::int64_t>(y, 0);
    const std::int64_t right = std::min<std::int64_t>(std::int64_t{x} + from.width, canvas.width);
    const std::int64_t bottom =
        std::min<std::int64_t>(std::int64_t{y} + from.height, canvas.height);
    for (std::int64_t row = top; row < bottom; ++row)
        std::memcpy(canvas.pixels + row * canvas.stride + left,
                    from.pixels + (row - y) * from.stride + (left - x),
                    static_cast<std::size_t>(std::max<std::int64_t>(right - left, 0)) * 4);
}

// Pastes a frame's change over the locked `canvas`.
bool paste_frame(Bitmap& canvas, const Layer& frame) noexcept {
    auto& bitmap = const_cast<Bitmap&>(frame.bitmap);
    if (!image::LockBitmap(&bitmap, 0))
        return false;
    paste(canvas, bitmap, frame.x, frame.y);
    image::UnlockBitmap(&bitmap, 0);
    return true;
}

} // namespace

int compose_frame(Bitmap* out, const Layer* layers, std::uint32_t count,
                  std::int32_t index) noexcept {
    if (count == 0 || out == nullptr)
        return 0;
    const auto last = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(index, 0, static_cast<std::int64_t>(count) - 1));
    if (!image::CopyBitmap(out, const_cast<Bitmap*>(&layers[0].bitmap)))
        return 0;
    return advance_frame(out, layers, 0, static_cast<std::int32_t>(last));
}

int advance_frame(Bitmap* canvas, const Layer* layers, std::int32_t from,
                  std::int32_t to) noexcept {
    if (canvas == nullptr || from < 0 || to < from || !image::LockBitmap(canvas, 0))
        return 0;
    bool pasted = true;
    for (std::int32_t k = from + 1; k <= to && pasted; ++k)
        pasted = paste_frame(*canvas, layers[k]);
    image::UnlockBitmap(canvas, 0);
    return pasted ? 1 : 0;
}

bool expand_frame_changes(Layer* layers, std::uint32_t count, image::LoadStatus& status) noexcept {
    if (count == 0 || !holds_frame_changes(status.doc_kind, status.kind_param))
        return true;
    const Bitmap& canvas = layers[0].bitmap;
    const std::uint64_t bytes = std::uint64_t{canvas.width} * canvas.height * 4;
    if (!frame_fits(0, bytes * count))
        return false;
    // The frames are built beside the old ones and put in place only when all are made.
    std::vector<Bitmap> whole(count, Bitmap{});
    bool made = true;
    for (std::uint32_t k = 1; k < count && made; ++k) {
        // Frame k is frame k - 1 with its change.
        Bitmap* before = k == 1 ? const_cast<Bitmap*>(&canvas) : &whole[k - 1];
        made = image::CopyBitmap(&whole[k], before) != 0 && image::LockBitmap(&whole[k], 0) != 0;
        if (made) {
            made = paste_frame(whole[k], layers[k]);
            image::UnlockBitmap(&whole[k], 0);
        }
    }
    if (made)
        for (std::uint32_t k = 1; k < count; ++k) {
            made = made && image::SwapBitmaps(&layers[k].bitmap, &whole[k]) != 0;
            layers[k].x = layers[k].y = 0;
        }
    for (Bitmap& b : whole)
        image::FreeBitmap(&b);
    if (made)
        status.kind_param = static_cast<std::uint8_t>(status.kind_param & ~kFrameChangesOnly);
    return made;
}

} // namespace vt::plugins
