#pragma once
// The poppler side of fmx_PDF, run only in a child process (pdf_entry.cpp forks it): poppler
// may fault or take very long on a hostile document, and a child that does costs the picture,
// never the program. What the child says travels over a pipe:
//
//   child -> parent  DocHead, then DocHead.selected PageSize (the sizes the pages will have)
//   then per page, while the parent wants more:
//   parent -> child  uint32 1: draw the next page (anything else, or nothing: stop)
//   child -> parent  PageHead, then PageHead.height rows of PageHead.width pixels
//                    (B, G, R, transparency: 0 opaque, as a Bitmap holds them)
//
// Pages are drawn on white paper, as a viewer shows them: every pixel is opaque.
// Thread: the child's one thread.

#include <cstdint>
#include <span>

namespace vt::formats::pdf {

struct RenderRequest {
    double dpi = 150;
    std::uint32_t page = 1; // 1-based; 0: every page
};

struct DocHead {
    std::int32_t result = 0; // 1, or the result code the load ends with
    std::uint32_t pages = 0; // in the document
    std::uint32_t selected = 0;
    std::uint32_t reason = 0; // what a refusal was for: a Reason
};

enum Reason : std::uint32_t { kNoReason, kLocked, kNoSuchPage };

struct PageSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct PageHead {
    std::int32_t result = 0; // 1, or the result code: the page could not be drawn
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The page sizes at `dpi` the renderer makes from a page's crop box in points and its turn by
// quarters: the size rounded to whole pixels, sides swapped for a quarter or three-quarter turn.
[[nodiscard]] PageSize page_size(double width_pt, double height_pt, double dpi,
                                 bool quarter_turn) noexcept;

// In the child: loads `file`, answers on `out` and renders what `in` asks for. Never returns an
// error: whatever fails is said on the pipe or ends the child.
void render_to(int out, int in, std::span<const std::uint8_t> file,
               const RenderRequest& request) noexcept;

} // namespace vt::formats::pdf
