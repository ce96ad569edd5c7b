// fmx_PDF: PDF pages, read only, drawn by poppler at the resolution "fmx_PDF.dpi" (36-1200,
// default 150) on white paper: page "fmx_PDF.page" (default 1), or with "all" every page as the
// pages of one document. The drawing runs in a child process (pdf_render.cpp), which the load
// ends when it faults, hangs past its time or sends what it should not. A document without its
// end-of-file marker (cut short) is drawn as far as poppler can, flagged as data lost. The page
// sizes come
// first, so a page over the picture limits, and pages the host would refuse as a decompression
// bomb, are refused before anything is drawn.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "formats/pdf/pdf_render.h"
#include "sdk/kit/child.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
namespace pdf = vt::formats::pdf;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr int kDefaultDpi = 150;
constexpr std::uint8_t kDocPages = 1;
// How long the drawing child may take at least before it is taken for hung.
constexpr std::uint32_t kDefaultRenderMs = 120000;
constexpr std::uint32_t kMaxPages = 65535;

// A line for the host's message (ASCII text).
void say(FilterCall* call, const std::string& text) noexcept {
    if (call->set_message == nullptr)
        return;
    try {
        const std::u16string wide(text.begin(), text.end());
        (void)call->set_message(call, reinterpret_cast<const std::uint16_t*>(wide.c_str()));
    } catch (...) {
        // The result code alone still tells the host.
    }
}

// "fmx_PDF.page": a page number from 1, or "all" (also 0) for every page.
std::uint32_t page_option(const FilterCall* call) {
    const pi_StateStore* store = call->state_store;
    if (store != nullptr && store->state_get != nullptr) {
        std::uint8_t value[8] = {};
        const std::int32_t n = store->state_get(
            reinterpret_cast<const std::uint16_t*>(u"fmx_PDF.page"), value, sizeof value - 1);
        if (n >= 3 && (value[0] | 32) == 'a' && (value[1] | 32) == 'l' && (value[2] | 32) == 'l' &&
            (n == 3 || value[3] == 0))
            return 0;
    }
    return static_cast<std::uint32_t>(state_option(call, u"fmx_PDF.page", 1, 0, kMaxPages));
}

bool fits(const pdf::PageSize& s) {
    return s.width >= 1 && s.height >= 1 && s.width <= kMaxSide && s.height <= kMaxSide &&
           std::uint64_t{s.width} * s.height <= kMaxPixels;
}

void paint_white(FilterCall* call) {
    for (std::uint32_t y = 0; y < call->height; ++y)
        std::fill_n(call->pixels + static_cast<std::size_t>(y) * call->stride, call->width,
                    0x00FFFFFFu);
}

// In the parent: the child's pages into host frames.
std::int32_t receive(FilterCall* call, int from, const pdf::RenderRequest& request,
                     std::chrono::steady_clock::time_point until) {
    pdf::DocHead head;
    if (!read_all(from, &head, sizeof head, until))
        return VT_ERR_INVALID_DATA;
    if (head.result != VT_OK) {
        if (head.reason == pdf::kLocked)
            say(call, "the PDF is protected by a password");
        else if (head.reason == pdf::kNoSuchPage)
            say(call, "the PDF has " + std::to_string(head.pages) + " page" +
                          (head.pages == 1 ? "" : "s") +
                          ": fmx_PDF.page=" + std::to_string(request.page) + " is beyond them");
        return head.result < 0 ? head.result : VT_ERR_INVALID_DATA;
    }
    if (head.selected < 1 || head.selected > kMaxPages || head.selected > head.pages)
        return VT_ERR_INVALID_DATA;
    std::vector<pdf::PageSize> sizes(head.selected);
    if (!read_all(from, sizes.data(), sizes.size() * sizeof(pdf::PageSize), until))
        return VT_ERR_INVALID_DATA;
    // Pages beyond what the host holds are not drawn.
    const std::uint32_t take = static_cast<std::uint32_t>(
        std::min<std::int64_t>(head.selected, std::int64_t{call->max_frame} + 1));
    const int dpi = static_cast<int>(request.dpi);
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < std::max(take, 1u); ++i) {
        if (!fits(sizes[i])) {
            say(call, "page " + std::to_string(i + 1) + " at " + std::to_string(dpi) +
                          " dpi would be " + std::to_string(sizes[i].width) + " x " +
                          std::to_string(sizes[i].height) +
                          " pixels, beyond the 250,000,000 pixels and 65536 a side a picture "
                          "may have: choose a lower fmx_PDF.dpi");
            return VT_ERR_DIMENSIONS;
        }
        bytes += std::uint64_t{sizes[i].width} * sizes[i].height * 4;
    }
    if (const std::int32_t r = announce_frame_bytes(call, bytes); r != VT_OK)
        return r;
    std::vector<std::uint32_t> row;
    for (std::uint32_t i = 0; i < take; ++i) {
        // The host gets its say (limits, memory, time) before the page is drawn.
        if (const std::int32_t r = request_frame(call, sizes[i].width, sizes[i].height); r != VT_OK)
            return r;
        paint_white(call);
        if (i > 0)
            call->doc_kind = kDocPages;
        deliver_markup(call, {.bits_per_pixel = 24});
        deliver_resolution(call, resolution_per_unit(dpi, dpi, false));
        const std::uint32_t go = 1;
        // A child that has stopped reading must not end this process with SIGPIPE.
        const bool asked = ::send(from, &go, sizeof go, MSG_NOSIGNAL) == sizeof go;
        pdf::PageHead page;
        const bool sent = asked && read_all(from, &page, sizeof page, until);
        if (!sent || page.result != VT_OK || !fits({page.width, page.height})) {
            if (i == 0)
                return sent && page.result < 0 ? page.result : VT_ERR_INVALID_DATA;
            // The pages before it are kept; this one stays white.
            call->warnings |= VT_WARN_DATA_LOST;
            say(call, "page " + std::to_string(i + 1) + " could not be drawn");
            return VT_OK;
        }
        // The drawing has the size foretold; should it not, what overlaps is kept.
        row.resize(page.width);
        for (std::uint32_t y = 0; y < page.height; ++y) {
            if (!read_all(from, row.data(), row.size() * 4, until))
                return i == 0 ? VT_ERR_INVALID_DATA : VT_OK;
            if (y < call->height)
                std::memcpy(call->pixels + static_cast<std::size_t>(y) * call->stride, row.data(),
                            std::min(page.width, call->width) * 4u);
        }
    }
    if (take < head.selected)
        call->warnings |= VT_WARN_LAYERS_DROPPED;
    return VT_OK;
}

std::int32_t render(FilterCall* call, const std::vector<std::uint8_t>& bytes) {
    const int dpi = state_option(call, u"fmx_PDF.dpi", kDefaultDpi, 36, 1200);
    const pdf::RenderRequest request{static_cast<double>(dpi), page_option(call)};
    int ends[2]; // the parent's, the child's
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return VT_ERR_SYSTEM_REQUIREMENTS;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
        default_fault_actions();
        pdf::render_to(ends[1], ends[1], bytes, request);
        ::_exit(0);
    }
    ::close(ends[1]);
    if (child < 0) {
        ::close(ends[0]);
        return VT_ERR_SYSTEM_REQUIREMENTS;
    }
    // The host holds the time limit at the frame request; this only ends a child that hangs.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(std::max(call->time_limit_ms, kDefaultRenderMs));
    const std::int32_t result = receive(call, ends[0], request, until);
    ::close(ends[0]);
    end_child(child);
    return result;
}

bool pdf_signature(const FilterCheck& check) {
    return check.head_size >= 5 && std::memcmp(check.head, "%PDF-", 5) == 0;
}

bool pdf_extension(const FilterCheck& check) {
    return extension_is(check, u".pdf");
}

// A whole PDF ends with its end-of-file marker in its last 1024 bytes; poppler still draws one
// that was cut or damaged, by rebuilding its cross-reference table from what is there.
bool ends_whole(const std::vector<std::uint8_t>& bytes) {
    const std::size_t from = bytes.size() > 1024 ? bytes.size() - 1024 : 0;
    const std::string_view tail(reinterpret_cast<const char*>(bytes.data()) + from,
                                bytes.size() - from);
    return tail.find("%%EOF") != std::string_view::npos;
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (bytes.size() < 5 || std::memcmp(bytes.data(), "%PDF-", 5) != 0)
        return bytes.size() < 5 && !bytes.empty() ? VT_ERR_READ : VT_ERR_CORRUPT_OR_UNSUPPORTED;
    const std::int32_t result = render(call, bytes);
    if (result == VT_OK && !ends_whole(bytes)) {
        call->warnings |= VT_WARN_DATA_LOST;
        say(call, "the PDF is cut short or damaged: its pages are drawn as far as they could be "
                  "read");
    }
    return result;
}

std::int32_t save_image(FilterCall* /*call*/) {
    return VT_ERR_NOT_IMPLEMENTED;
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(90, pdf_signature, pdf_extension, ::vt::kit::writes_nothing,
                                    load_image, save_image)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_PDF.dpi", "150", "36 to 1200: dots per inch the pages are drawn at"},
    {"fmx_PDF.page", "1", "the page to draw, from 1; all: every page, as the pages of one picture"})
