#include "sdk/kit/frame_changes.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sdk/kit/calls.h"

namespace vt::kit {

ChangeBox changed_box(const std::uint32_t* now, std::size_t stride, const std::uint32_t* was,
                      std::uint32_t width, std::uint32_t height) noexcept {
    ChangeBox box{width, height, 0, 0};
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t* a = now + y * stride;
        const std::uint32_t* b = was + static_cast<std::size_t>(y) * width;
        if (std::memcmp(a, b, width * sizeof(std::uint32_t)) == 0)
            continue;
        std::uint32_t x0 = 0, x1 = width - 1;
        while (a[x0] == b[x0])
            ++x0;
        while (a[x1] == b[x1])
            --x1;
        box.left = std::min(box.left, x0);
        box.right = std::max(box.right, x1);
        box.top = std::min(box.top, y);
        box.bottom = y;
    }
    return box;
}

void ChangedFrames::keep_first(const std::uint32_t* pixels, std::uint32_t width,
                               std::uint32_t height, std::size_t stride) noexcept {
    m_previous.clear();
    if (width == 0 || height == 0 || width > kMaxOffset || height > kMaxOffset)
        return;
    try {
        m_previous.resize(static_cast<std::size_t>(width) * height);
    } catch (const std::bad_alloc&) {
        return; // whole frames then, as the host may still hold them
    }
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(m_previous.data() + static_cast<std::size_t>(y) * width, pixels + y * stride,
                    width * sizeof(std::uint32_t));
    m_width = width;
    m_height = height;
}

std::int32_t ChangedFrames::deliver(const std::uint32_t* pixels, std::size_t stride) noexcept {
    ChangeBox box = changed_box(pixels, stride, m_previous.data(), m_width, m_height);
    if (box.left > box.right) // nothing changed: one pixel as it was
        box = {0, 0, 0, 0};
    const std::uint32_t w = box.right - box.left + 1, h = box.bottom - box.top + 1;
    m_call->x = static_cast<std::int16_t>(box.left);
    m_call->y = static_cast<std::int16_t>(box.top);
    const std::int32_t r = request_frame(m_call, w, h);
    m_call->x = m_call->y = 0;
    if (r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint32_t* from = pixels + (box.top + y) * stride + box.left;
        std::memcpy(m_call->pixels + static_cast<std::size_t>(y) * m_call->stride, from,
                    w * sizeof(std::uint32_t));
        std::memcpy(m_previous.data() + static_cast<std::size_t>(box.top + y) * m_width + box.left,
                    from, w * sizeof(std::uint32_t));
    }
    m_call->doc_kind = 2;
    m_call->kind_param = static_cast<std::uint8_t>(m_call->kind_param | kFrameChangesOnly);
    return VT_OK;
}

} // namespace vt::kit
