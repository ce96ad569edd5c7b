#pragma once
// The notification bubble, the program's tooltip: a small translucent window beside the
// pointer with a title line and a body, fully visible for two seconds, then fading out over
// three, and hidden as soon as the pointer leaves the widget it belongs to (or moves onto the
// bubble). At most one in the process; it belongs to its owner's window and goes with it.
// Thread: UI only.

#include <QString>

class QWidget;

namespace vt::app {

enum BubbleFlag : unsigned {
    kBubbleNoWarning = 1, // never the warning style, whatever the words
};

// Shows `text` (a title line, a line feed, then the body; translated here) beside the pointer
// for `owner`. An empty text hides the bubble. The same text with the pointer where it was
// changes nothing; otherwise the bubble starts its two seconds again.
void show_bubble(const QString& text, QWidget* owner, unsigned flags = 0);
// Destroys the bubble, if any.
void remove_bubble();
// The bubble's window while one exists, else null. Its accessible name and description are
// the title and body shown; its property "warning" tells the style.
[[nodiscard]] QWidget* bubble_window();

} // namespace vt::app
