// PDF pages drawn by poppler's C++ interface, in the decoding child.

#include "formats/pdf/pdf_render.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "sdk/kit/child.h"
#include "sdk/vt_plugin.h"

namespace vt::formats::pdf {
namespace {

using kit::read_all;
using kit::write_all;

void quiet(const std::string& /*message*/, void* /*closure*/) {}

PageSize size_of(const poppler::page& page, double dpi) {
    const poppler::rectf box = page.page_rect(poppler::crop_box);
    const poppler::page::orientation_enum turn = page.orientation();
    return page_size(box.width(), box.height(), dpi,
                     turn == poppler::page::landscape || turn == poppler::page::seascape);
}

// One page, drawn and sent; false when the parent stopped listening.
bool send_page(int out, const poppler::document& doc, std::uint32_t index, double dpi) {
    PageHead head;
    head.result = VT_ERR_INVALID_DATA;
    const std::unique_ptr<poppler::page> page(doc.create_page(static_cast<int>(index)));
    if (!page)
        return write_all(out, &head, sizeof head);
    poppler::page_renderer renderer;
    renderer.set_render_hints(poppler::page_renderer::antialiasing |
                              poppler::page_renderer::text_antialiasing);
    renderer.set_image_format(poppler::image::format_argb32);
    renderer.set_paper_color(0xFFFFFFFFu);
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    if (!image.is_valid() || image.format() != poppler::image::format_argb32 || image.width() < 1 ||
        image.height() < 1 || image.bytes_per_row() < 4 * image.width())
        return write_all(out, &head, sizeof head);
    head = {VT_OK, static_cast<std::uint32_t>(image.width()),
            static_cast<std::uint32_t>(image.height())};
    if (!write_all(out, &head, sizeof head))
        return false;
    std::vector<std::uint32_t> row(head.width);
    for (std::uint32_t y = 0; y < head.height; ++y) {
        std::memcpy(row.data(), image.const_data() + std::size_t{y} * image.bytes_per_row(),
                    row.size() * 4);
        // Alpha to transparency.
        for (std::uint32_t& p : row)
            p ^= 0xFF000000u;
        if (!write_all(out, row.data(), row.size() * 4))
            return false;
    }
    return true;
}

} // namespace

PageSize page_size(double width_pt, double height_pt, double dpi, bool quarter_turn) noexcept {
    auto pixels = [dpi](double points) {
        const double v = std::floor(std::fabs(points) * dpi / 72.0 + 0.5);
        return v < 1 ? 1u : v > 4e9 ? 4000000000u : static_cast<std::uint32_t>(v);
    };
    PageSize size{pixels(width_pt), pixels(height_pt)};
    if (quarter_turn)
        std::swap(size.width, size.height);
    return size;
}

void render_to(int out, int in, std::span<const std::uint8_t> file,
               const RenderRequest& request) noexcept {
    try {
        poppler::set_debug_error_function(quiet, nullptr);
        DocHead head;
        head.result = VT_ERR_INVALID_DATA;
        const std::unique_ptr<poppler::document> doc(poppler::document::load_from_raw_data(
            reinterpret_cast<const char*>(file.data()), static_cast<int>(file.size())));
        if (!doc) {
            (void)write_all(out, &head, sizeof head);
            return;
        }
        if (doc->is_locked()) {
            head = {VT_ERR_NOT_IMPLEMENTED, 0, 0, kLocked};
            (void)write_all(out, &head, sizeof head);
            return;
        }
        const int pages = doc->pages();
        head.pages = pages > 0 ? static_cast<std::uint32_t>(pages) : 0;
        if (head.pages == 0) {
            head.result = VT_ERR_NO_IMAGE_DATA;
            (void)write_all(out, &head, sizeof head);
            return;
        }
        if (request.page > head.pages) {
            head.result = VT_ERR_PARAMETER_RANGE;
            head.reason = kNoSuchPage;
            (void)write_all(out, &head, sizeof head);
            return;
        }
        const std::uint32_t first = request.page == 0 ? 0 : request.page - 1;
        head.selected = request.page == 0 ? head.pages : 1;
        head.result = VT_OK;
        std::vector<PageSize> sizes(head.selected);
        for (std::uint32_t i = 0; i < head.selected; ++i) {
            const std::unique_ptr<poppler::page> page(
                doc->create_page(static_cast<int>(first + i)));
            sizes[i] = page ? size_of(*page, request.dpi) : PageSize{1, 1};
        }
        if (!write_all(out, &head, sizeof head) ||
            !write_all(out, sizes.data(), sizes.size() * sizeof(PageSize)))
            return;
        for (std::uint32_t i = 0; i < head.selected; ++i) {
            std::uint32_t go = 0;
            if (!read_all(in, &go, sizeof go) || go != 1 ||
                !send_page(out, *doc, first + i, request.dpi))
                return;
        }
    } catch (...) {
        // The parent sees the answer end early.
    }
}

} // namespace vt::formats::pdf
