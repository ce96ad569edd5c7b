#pragma once
// The rules of the notification bubble that hold without a window: its text, its warning
// style, where it stands beside the pointer and how it fades.
// Thread: plain values.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt::session {

inline constexpr std::size_t kBubbleTextCapacity = 512;

// The text cut at its capacity and split at its first line feed; no line feed: all title.
struct BubbleText {
    std::u16string title;
    std::u16string body;
};
[[nodiscard]] BubbleText split_bubble_text(std::u16string_view text);

// True when the text holds, ignoring case, "error", "warning", "failed", "failure" or
// "out of memory".
[[nodiscard]] bool is_warning_text(std::u16string_view text);

struct BubblePoint {
    int x = 0, y = 0;
    friend bool operator==(const BubblePoint&, const BubblePoint&) = default;
};
struct BubbleArea {
    int left = 0, top = 0, right = 0, bottom = 0; // right and bottom exclusive
};
// Gaps between pointer and bubble, already scaled for the screen.
struct BubbleGaps {
    int corner = 30; // the bubble's bottom-right corner, above and to the left of the pointer
    int right = 28;  // to the right of the pointer, when the left side leaves the work area
    int below = 24;  // below the pointer, when the top leaves the work area
};
// The bubble's top-left corner for a bubble of `width` x `height` beside `pointer` on a
// monitor whose work area is `work`.
[[nodiscard]] BubblePoint place_bubble(BubblePoint pointer, int width, int height,
                                       const BubbleArea& work, const BubbleGaps& gaps = {});

// The bubble after it has been shown for `shown_ms` with the pointer still over its window:
// opaque up to 2000 ms (next tick in 249 ms), fading linearly to nothing at 5000 ms (ticks of
// 25 ms), hidden from then on (ticks of 999 ms).
struct BubbleFade {
    int opacity = 255; // 0..255
    int next_ms = 249;
    bool visible = true;
};
[[nodiscard]] BubbleFade bubble_fade(std::uint32_t shown_ms);
inline constexpr int kBubbleFirstTickMs = 25;

} // namespace vt::session
