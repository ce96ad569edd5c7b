#pragma once
// The window manager's close of the main window while a modal box (a message, a file chooser,
// plug-in options) blocks it: Qt drops that request, and the user's click on the close button
// would be lost. Seen among the X server's events, it closes the window the usual way, which
// ends the box first.
// Thread: the GUI thread.

#include <memory>

class QWidget;

namespace vt::app {

class WindowManagerCloseWatch;

// Watches `window` for as long as the returned object lives; null when the platform is not X11
// (Wayland compositors do not block a modal box's parent the same way).
[[nodiscard]] std::shared_ptr<WindowManagerCloseWatch> watch_window_manager_close(QWidget& window);

} // namespace vt::app
