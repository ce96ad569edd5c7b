#pragma once
// Start-up and shutdown of the desktop program, in their order:
//   the invalid-parameter and fault reports, the folders, the settings sync, the graphics
//   engine, the language, the conversion engine with the filter registry and the core library
//   (Startup); the fonts; the main window; the command line; the resize box from the settings;
//   the updater when there is one; the event loop.
// Shutdown runs backwards: the window goes (cancelling a running job), the resize box goes back
// into the settings record and the settings are synced, then the session stops.
// Thread: UI only.

#include <memory>
#include <optional>

#include <QStringList>

#include "engine/conversion_job.h"
#include "engine/settings.h"
#include "session/session.h"

class QApplication;
class QIcon;

namespace vt::app {

class MainWindow;

class Startup {
public:
    // Shows the fatal messages of a failed step; started() then says false.
    Startup();
    ~Startup();
    Startup(const Startup&) = delete;
    Startup& operator=(const Startup&) = delete;

    [[nodiscard]] bool started() const noexcept { return m_started; }
    engine::ConversionJob& job() noexcept { return m_job; }
    engine::SettingsSync& settings() noexcept { return *m_settings; }

private:
    bool m_started = false;
    engine::ConversionJob m_job{};
    std::optional<engine::SettingsSync> m_settings;
    std::unique_ptr<session::Session> m_session;
};

// The first of the suite's font families that this desktop has, else its own UI font, at the
// base height of 12 design pixels (14 for Calibri).
void choose_ui_font(QApplication& app);

// The program's icon for every window (what the window manager shows, _NET_WM_ICON): the
// desktop theme's "vantrel-converter", else the sizes drawn for it beside the programs
// ("<program folder>/../share/icons/hicolor", as the build tree and an installation lay them
// out). Null when neither is there.
[[nodiscard]] QIcon program_icon();

// SIGTERM and SIGINT close `window` without asking, through the event loop.
void close_on_termination_signals(MainWindow& window);

// The whole program: `arguments` without the program's name. The exit status.
int run_desktop_program(QApplication& app, const QStringList& arguments);

} // namespace vt::app
