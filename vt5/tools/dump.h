#pragma once
// The inspection dump of a VT5 file: its header, every element as stored, and every layer as
// the reader delivers it (with a SHA-256 of its pixels), then the reader's status.
// Thread: any.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::vt5 {

struct DumpResult {
    std::string text;         // the dump, plain text or JSON
    std::uint32_t layers = 0; // what the reader returned
    // One PAM file (RGB_ALPHA, alpha = 255 - transparency) per layer read, when asked for.
    std::vector<std::string> pam_files;
};

// How the dump reads the file. A silent read tries `passwords` on a protected file; a loud one
// answers the password dialogs with them in order (none left: Cancel) and the boxes with OK, or
// with Retry / OK while answers remain; the dump then lists the boxes as [title, text, icon,
// answer] and the dialogs' prompt texts.
struct DumpRead {
    bool loud = false;
    std::vector<std::u16string> passwords;
};

// `name` is the file name the reader is told (its extension matters to it).
[[nodiscard]] DumpResult dump_vt5(std::span<const std::uint8_t> bytes, std::u16string_view name,
                                  bool json, bool with_pixels, const DumpRead& read = {});

// SHA-256 (hex) of the bitmap's pixels as bytes B, G, R, T, row by row.
[[nodiscard]] std::string pixel_hash(const Bitmap& bitmap);

// The bitmap as a PAM file of depth 4 (R, G, B, alpha).
[[nodiscard]] std::string pam_image(const Bitmap& bitmap);

} // namespace vt::vt5
