#pragma once
// An animation's frames after the first handed to the host as the rectangle that changed since
// the frame before, at its position (the record's x, y), with the document marked so the host
// composes whole frames where they are needed. A small change on a large canvas then costs
// memory in proportion to the change, whatever the codec composes internally.
// Thread: any; one object per load.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::kit {

// The host's mark, in the kind parameter of an animation, for later frames that hold only
// their change.
inline constexpr std::uint8_t kFrameChangesOnly = 0x40;

// The rectangle where two pictures of width x height differ, inclusive; left > right when
// nothing does. `now` has `stride` pixels a row, `was` exactly `width`.
struct ChangeBox {
    std::uint32_t left, top, right, bottom;
};
[[nodiscard]] ChangeBox changed_box(const std::uint32_t* now, std::size_t stride,
                                    const std::uint32_t* was, std::uint32_t width,
                                    std::uint32_t height) noexcept;

class ChangedFrames {
public:
    explicit ChangedFrames(FilterCall* call) noexcept : m_call(call) {}

    // Keeps a copy of frame 0, whole, as the host got it. Without it (a canvas beyond the
    // record's 16-bit positions, or no memory) `ready` stays false and frames go whole.
    void keep_first(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                    std::size_t stride) noexcept;
    [[nodiscard]] bool ready() const noexcept { return !m_previous.empty(); }

    // Hands the whole composed frame `pixels` (the first frame's size) to the host as what
    // changed: VT_OK, or the host's result code.
    std::int32_t deliver(const std::uint32_t* pixels, std::size_t stride) noexcept;

private:
    static constexpr std::uint32_t kMaxOffset = 32767;

    FilterCall* m_call;
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
    std::vector<std::uint32_t> m_previous; // the last frame handed over, whole
};

} // namespace vt::kit
