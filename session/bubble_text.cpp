#include "session/bubble_text.h"

#include <algorithm>

#include "base/fixed_text.h"

namespace vt::session {

BubbleText split_bubble_text(std::u16string_view text) {
    // The capacity counts the terminator, as the bubble's own text buffer does.
    text = text.substr(0, base::cut_length(text, kBubbleTextCapacity - 1));
    const std::size_t lf = text.find(u'\n');
    if (lf == std::u16string_view::npos)
        return {std::u16string(text), {}};
    return {std::u16string(text.substr(0, lf)), std::u16string(text.substr(lf + 1))};
}

bool is_warning_text(std::u16string_view text) {
    static constexpr std::u16string_view kWords[] = {u"error", u"warning", u"failed", u"failure",
                                                     u"out of memory"};
    std::u16string lower(text);
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return std::any_of(std::begin(kWords), std::end(kWords), [&](std::u16string_view word) {
        return lower.find(word) != std::u16string::npos;
    });
}

BubblePoint place_bubble(BubblePoint pointer, int width, int height, const BubbleArea& work,
                         const BubbleGaps& gaps) {
    BubblePoint at{pointer.x - gaps.corner - width, pointer.y - gaps.corner - height};
    if (at.x < work.left)
        at.x = pointer.x + gaps.right;
    if (at.y < work.top)
        at.y = pointer.y + gaps.below;
    return at;
}

BubbleFade bubble_fade(std::uint32_t shown_ms) {
    if (shown_ms <= 2000)
        return {255, 249, true};
    if (shown_ms < 5000)
        return {static_cast<int>((5000 - shown_ms) * 255 / 3000), 25, true};
    return {0, 999, false};
}

} // namespace vt::session
