#pragma once
// File type names from the system's shared MIME database (/usr/share/mime).
// Thread: any; nothing is cached.

#include <string>
#include <string_view>

namespace vt::platform {

// The name the shared MIME database gives files with this extension (".png" -> "PNG image"),
// or the extension's upper-case name without the dot when it knows none.
[[nodiscard]] std::u16string file_type_name(std::u16string_view extension);

} // namespace vt::platform
