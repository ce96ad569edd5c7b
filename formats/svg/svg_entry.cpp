// fmx_SVG: SVG documents rendered by librsvg on a transparent background, at the document's
// size, or scaled by "fmx_SVG.scale" (percent) or to the pixel width "fmx_SVG.width". Load only.

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr double kMaxSide = 65536;
constexpr double kMaxPixels = 250000000;
// The size of a document that states none (only a view box of no size, or nothing at all).
constexpr double kDefaultSide = 512;

struct ObjectUnref {
    void operator()(void* object) const noexcept { g_object_unref(object); }
};
struct SurfaceFree {
    void operator()(cairo_surface_t* s) const noexcept { cairo_surface_destroy(s); }
};
struct CairoFree {
    void operator()(cairo_t* c) const noexcept { cairo_destroy(c); }
};

// The document's own size in pixels: its width and height, else its view box.
void document_size(RsvgHandle* handle, double& width, double& height) {
    if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &width, &height) && width > 0 &&
        height > 0)
        return;
    gboolean has_width = FALSE;
    gboolean has_height = FALSE;
    gboolean has_viewbox = FALSE;
    RsvgLength w{};
    RsvgLength h{};
    RsvgRectangle viewbox{};
    rsvg_handle_get_intrinsic_dimensions(handle, &has_width, &w, &has_height, &h, &has_viewbox,
                                         &viewbox);
    if (has_viewbox && viewbox.width > 0 && viewbox.height > 0) {
        width = viewbox.width;
        height = viewbox.height;
    } else {
        width = height = kDefaultSide;
    }
}

// Cairo's premultiplied pixels, in place, as the engine's: colour divided out, transparency
// the inverse of alpha.
void from_premultiplied(FilterCall* call) {
    for (std::uint32_t y = 0; y < call->height; ++y) {
        std::uint32_t* row = call->pixels + std::size_t{y} * call->stride;
        for (std::uint32_t x = 0; x < call->width; ++x) {
            const std::uint32_t p = row[x];
            const std::uint32_t a = p >> 24;
            if (a == 0) {
                row[x] = 0xFF000000u;
                continue;
            }
            std::uint32_t out = (255 - a) << 24;
            for (int shift = 0; shift < 24; shift += 8) {
                const std::uint32_t c = (p >> shift) & 0xFF;
                out |= std::min<std::uint32_t>(255, (c * 255 + a / 2) / a) << shift;
            }
            row[x] = out;
        }
    }
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (bytes.empty())
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    GError* error = nullptr;
    // Without a base file, references to other files are not followed.
    const std::unique_ptr<RsvgHandle, ObjectUnref> handle(
        rsvg_handle_new_from_data(bytes.data(), bytes.size(), &error));
    if (error != nullptr)
        g_error_free(error);
    if (!handle)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    // CSS's 96 pixels to the inch, as browsers and rsvg-convert take physical units.
    rsvg_handle_set_dpi(handle.get(), 96.0);
    double width = 0;
    double height = 0;
    document_size(handle.get(), width, height);
    const int wanted_width = state_option(call, u"fmx_SVG.width", 0, 0, 65536);
    const double scale = wanted_width > 0
                             ? wanted_width / width
                             : state_option(call, u"fmx_SVG.scale", 100, 1, 10000) / 100.0;
    width = std::ceil(width * scale - 1e-6);
    height = std::ceil(height * scale - 1e-6);
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1 || height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    if (const std::int32_t r = request_frame(call, w, h); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < h; ++y)
        std::memset(call->pixels + std::size_t{y} * call->stride, 0, std::size_t{w} * 4);
    const std::unique_ptr<cairo_surface_t, SurfaceFree> surface(cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(call->pixels), CAIRO_FORMAT_ARGB32, static_cast<int>(w),
        static_cast<int>(h), static_cast<int>(call->stride * 4)));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return VT_ERR_COMPONENT_FAILED;
    const std::unique_ptr<cairo_t, CairoFree> cairo(cairo_create(surface.get()));
    const RsvgRectangle viewport{0, 0, width, height};
    const bool drawn = rsvg_handle_render_document(handle.get(), cairo.get(), &viewport, &error);
    if (error != nullptr)
        g_error_free(error);
    cairo_surface_flush(surface.get());
    if (!drawn)
        return VT_ERR_INVALID_DATA;
    from_premultiplied(call);
    deliver_markup(call, {32, nullptr, 0, nullptr, nullptr, nullptr});
    return VT_OK;
}

std::int32_t save_image(FilterCall* /*call*/) {
    return VT_ERR_NOT_IMPLEMENTED;
}

bool svg_signature(const FilterCheck& check) {
    const std::uint32_t have = std::min<std::uint32_t>(check.head_size, 32);
    const std::string_view head(reinterpret_cast<const char*>(check.head), have);
    return head.find("<svg") != std::string_view::npos || head.starts_with("<?xml");
}

bool svg_extension(const FilterCheck& check) {
    return extension_is(check, u".svg");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(80, svg_signature, svg_extension, ::vt::kit::writes_nothing,
                                    load_image, save_image)

VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_SVG.scale", "100",
                                "percent of the document's size, 1 to 10000"},
                               {"fmx_SVG.width", "0",
                                "the width in pixels (the height follows); 0: by the scale"})
