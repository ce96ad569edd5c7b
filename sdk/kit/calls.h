#pragma once
// The call record's services a plug-in uses around its codec: options from the state store,
// the frame a load asks for, the picture a save selects.
// Thread: any, each call with its own record.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "sdk/kit/paths.h"
#include "sdk/vt_plugin.h"

namespace vt::kit {

// The job's workers that have no picture left (the host's "job.spare_threads"), at most 63:
// threads an encoder may add to its own now; 0 outside a job or from an older host.
inline std::uint32_t spare_threads(const FilterCall* call) noexcept {
    const pi_BasicQuery* query = call->basic_query;
    std::uint32_t spare = 0;
    if (query == nullptr || query->query == nullptr ||
        query->query("job.spare_threads", &spare, sizeof spare) != sizeof spare)
        return 0;
    return spare > 63 ? 63 : spare;
}

// An option from the state store as decimal text or a 32-bit number; `fallback` when absent or
// unreadable, else clamped to [low, high].
inline int state_option(const FilterCall* call, const char16_t* name, int fallback, int low,
                        int high) noexcept {
    const pi_StateStore* store = call->state_store;
    if (store == nullptr || store->state_get == nullptr)
        return fallback;
    std::uint8_t value[16] = {};
    const std::int32_t n =
        store->state_get(reinterpret_cast<const std::uint16_t*>(name), value, sizeof(value) - 1);
    if (n < 1)
        return fallback;
    long number = 0;
    bool text = true;
    int digits = 0;
    for (std::int32_t i = 0; i < n && value[i] != 0; ++i, ++digits) {
        if (value[i] < '0' || value[i] > '9') {
            text = false;
            break;
        }
        if (number < 1000000)
            number = number * 10 + (value[i] - '0');
    }
    if (!text || digits == 0) {
        if (n != 4)
            return fallback;
        std::int32_t binary = 0;
        std::memcpy(&binary, value, 4);
        number = binary;
    }
    return number < low ? low : number > high ? high : static_cast<int>(number);
}

// Tells the host, before the first frame, what all of the file's frames together will take
// (from its headers): VT_OK to go on, or the result code to end the load with. A host that does
// not know the question lets the load go on.
inline std::int32_t announce_frame_bytes(const FilterCall* call, std::uint64_t bytes) noexcept {
    const pi_BasicQuery* query = call->basic_query;
    if (query == nullptr || query->query == nullptr)
        return VT_OK;
    std::uint64_t value = bytes;
    const std::int32_t answer = query->query("load.frame_bytes", &value, sizeof value);
    return answer == VT_ERR_OUT_OF_MEMORY ? VT_ERR_OUT_OF_MEMORY : VT_OK;
}

// Asks the host for a frame of width x height, never reduced, and checks what it gave: VT_OK
// with the record's pixels and stride describing it, or the result code.
inline std::int32_t request_frame(FilterCall* call, std::uint32_t width,
                                  std::uint32_t height) noexcept {
    call->width = width;
    call->height = height;
    call->flags = static_cast<std::uint16_t>(call->flags & ~VT_CALL_MAY_REDUCE);
    if (call->frame_cb.add_frame(call) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->pixels == nullptr || call->width != width || call->height != height ||
        call->stride < width)
        return VT_ERR_BITMAP_REQUEST;
    return VT_OK;
}

// Selects frame `index` (-1: the composite of every frame): VT_OK with the record describing
// it, or the result code.
inline std::int32_t select_frame_at(FilterCall* call, std::int32_t index) noexcept {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (call->frame_cb.select_frame(call, index) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    if (call->width < 1 || call->height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (call->pixels == nullptr || call->stride < call->width)
        return VT_ERR_BITMAP_REQUEST;
    return VT_OK;
}

// Selects the composite of every frame (the one frame itself when there is one), as layered
// formats store it beside their layers. The composite carries no metadata.
inline std::int32_t select_composite(FilterCall* call) noexcept {
    return select_frame_at(call, call->frame_count > 1 ? -1 : 0);
}

// Selects the picture a one-picture format saves. A document of several layers is refused with
// VT_ERR_NEEDS_FLATTENING: the host then flattens it and calls again with one layer that holds
// the layers' merged metadata (profile, print resolution, EXIF), which a composite lacks.
// Frame sets and animations give their composite.
inline std::int32_t select_picture(FilterCall* call) noexcept {
    if (call->frame_count > 1 && call->doc_kind == 0)
        return VT_ERR_NEEDS_FLATTENING;
    return select_composite(call);
}

// Whether any pixel of the selected picture is not fully opaque.
inline bool any_transparent(const FilterCall* call) noexcept {
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::uint32_t* row = call->pixels + static_cast<std::size_t>(y) * call->stride;
        // A whole row at a time, which the compiler vectorises; most pictures are opaque.
        std::uint32_t seen = 0;
        for (std::uint32_t x = 0; x < call->width; ++x)
            seen |= row[x];
        if ((seen >> 24) != 0)
            return true;
    }
    return false;
}

// Deep pictures (sdk/vt_plugin.h): whether the host asks this load for one.
inline bool deep_wanted(const FilterCall* call) noexcept {
    return call->deep != nullptr && call->deep->version >= VT_DEEP_VERSION &&
           (call->deep->flags & VT_DEEP_WANTED) != 0;
}

// Hands the host frame 0 at full depth (samples from malloc, now the host's). Without a request
// the samples are freed.
inline void deliver_deep(FilterCall* call, const VtDeepImage& image) noexcept {
    if (!deep_wanted(call) || call->deep->answer != 0) {
        std::free(image.samples);
        return;
    }
    call->deep->image = image;
    call->deep->answer = VT_DEEP_DELIVERED;
}

// The deep picture this save may write, or null; it stands for the selected 8-bit picture and
// is used only when it has the same size.
inline const VtDeepImage* deep_offered(const FilterCall* call) noexcept {
    if (call->deep == nullptr || call->deep->version < VT_DEEP_VERSION ||
        (call->deep->flags & VT_DEEP_OFFERED) == 0)
        return nullptr;
    const VtDeepImage& d = call->deep->image;
    if (d.samples == nullptr || d.width != call->width || d.height != call->height ||
        (d.channels != VT_DEEP_RGBA && d.channels != VT_DEEP_GREY_ALPHA) ||
        static_cast<std::uint64_t>(d.stride) < static_cast<std::uint64_t>(d.width) * d.channels)
        return nullptr;
    return &d;
}

// Tells the host that the save wrote the deep picture, at `bits` per channel (9 to 16).
inline void deep_written(FilterCall* call, std::uint32_t bits = 16) noexcept {
    if (call->deep == nullptr)
        return;
    call->deep->answer = VT_DEEP_WRITTEN;
    call->deep->bits_written = bits >= 9 && bits < 16 ? bits : 0;
}

// Whether any sample of the deep picture's alpha is below opaque.
inline bool deep_transparent(const VtDeepImage& d) noexcept {
    for (std::uint32_t y = 0; y < d.height; ++y) {
        const std::uint16_t* row = d.samples + static_cast<std::size_t>(y) * d.stride;
        for (std::uint32_t x = 0; x < d.width; ++x)
            if (row[std::size_t{x} * d.channels + d.channels - 1] != 0xFFFF)
                return true;
    }
    return false;
}

// The load of a one-picture format whose file is read whole: `read_header(file, header)`, the
// frame of the header's width x height, then `decode(file, header, pixels, stride)`. VT_OK with
// `header` filled for the caller's markup, or the first result code.
template <typename Header, typename ReadHeader, typename Decode>
std::int32_t load_one_picture(FilterCall* call, Header& header, ReadHeader read_header,
                              Decode decode) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> file(bytes);
    if (const std::int32_t r = read_header(file, header); r != VT_OK)
        return r;
    if (const std::int32_t r = request_frame(call, header.width, header.height); r != VT_OK)
        return r;
    return decode(file, header, call->pixels, call->stride);
}

} // namespace vt::kit
