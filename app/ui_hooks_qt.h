#pragma once
// The UI hooks of the libraries below, answered with Qt: message boxes, the password dialog,
// the busy cursor and opening a folder with the desktop. Calls from other threads than the UI
// thread get the default answer (Cancel for a password) and no cursor (the engine's threads
// never show anything).
// Thread: install on the UI thread once the application object exists.

namespace vt::app {

void install_qt_ui_hooks();

} // namespace vt::app
