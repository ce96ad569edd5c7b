#pragma once
// The notification bubble: at most one in the process.
// Thread: UI only.

#include <QString>

class QWidget;

namespace vt::app {

// Shows `text` (a title line, a line feed, then the body) beside the pointer for `owner`.
void show_bubble(const QString& text, QWidget* owner);
// Removes the bubble, if any.
void remove_bubble();

} // namespace vt::app
