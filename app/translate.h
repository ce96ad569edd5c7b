#pragma once
// Every text the user sees passes through the translator once, where it is shown.
// Thread: any (the translator is).

#include <QString>

namespace vt::app {

// The text through the active translator; unchanged when no language is loaded.
[[nodiscard]] QString xlat(const QString& text);
[[nodiscard]] QString xlat(const char16_t* text);

} // namespace vt::app
