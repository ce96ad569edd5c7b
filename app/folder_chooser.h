#pragma once
// The file and folder choosers: the desktop's own where it has one, else Qt's, which is sized so
// that its size, type and date columns show whole in the longer words of other languages.
// Thread: UI only.

#include <QString>

class QFileDialog;
class QWidget;

namespace vt::app {

// Sizes Qt's own dialog and fits its columns to what they hold; nothing for a native one.
void fit_file_dialog(QFileDialog& dialog);

// The folder the user chose, starting at `start`; empty when cancelled.
[[nodiscard]] QString choose_folder(QWidget* parent, const QString& title, const QString& start);

} // namespace vt::app
