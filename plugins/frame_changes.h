#pragma once
// Animations whose frames after the first hold only what changed: frame 0 is the whole canvas,
// every later frame a rectangle of the canvas (its position is the layer's x, y) that is copied
// over the frame before it. A loader marks such a document with kFrameChangesOnly in the kind
// parameter of an animation (doc_kind 2), so a small change on a large canvas costs memory in
// proportion to the change. Whole frames are composed from it where they are needed: the
// flattened picture, a frame a save plug-in selects, and (expand_frame_changes) before the
// transforms or a writer that stores the layers as they are.
// Thread: any; every call works on the caller's layers only.

#include <cstdint>

#include "image/image_doc.h"
#include "image/load_status.h"
#include "sdk/kit/frame_changes.h"

namespace vt::plugins {

// The mark itself is the plug-ins' kit constant, so loaders and host cannot disagree on it.
using kit::kFrameChangesOnly;

[[nodiscard]] constexpr bool holds_frame_changes(int doc_kind, int kind_param) noexcept {
    return doc_kind == 2 && (kind_param & kFrameChangesOnly) != 0;
}

// Frame `index` (clamped to the frames there are) as a whole canvas in `out`: 1, or 0.
[[nodiscard]] int compose_frame(Bitmap* out, const Layer* layers, std::uint32_t count,
                                std::int32_t index) noexcept;
// Takes `canvas`, frame `from` as a whole canvas, on to frame `to` (from <= to, both frames of
// `layers`): 1, or 0.
[[nodiscard]] int advance_frame(Bitmap* canvas, const Layer* layers, std::int32_t from,
                                std::int32_t to) noexcept;

// Turns every frame into the whole canvas it shows, at (0, 0), and clears the mark. Checked
// against the frame budget first (frame_budget.h): false when the whole frames do not fit or a
// bitmap cannot be made; the frames are then as they were.
[[nodiscard]] bool expand_frame_changes(Layer* layers, std::uint32_t count,
                                        image::LoadStatus& status) noexcept;

} // namespace vt::plugins
