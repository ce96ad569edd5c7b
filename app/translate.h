#pragma once
// Every text the user sees passes through the translator once, where it is shown.
// Thread: any (the translator is).

#include <QString>

namespace vt::app {

// The text through the active translator; unchanged when no language is loaded.
[[nodiscard]] QString xlat(const QString& text);
[[nodiscard]] QString xlat(const char16_t* text);

// Qt's own texts (its file and folder dialogs, standard buttons, context menus) in the language
// of the loaded language file, from Qt's translations for the file's language code; none when
// no language is loaded. Call after the language is loaded or unloaded; UI thread only.
void use_qt_translations();

} // namespace vt::app
