#pragma once
// The job's progress on the desktop's taskbar or launcher, where the desktop offers it: the
// launcher entry of desktops that listen for com.canonical.Unity.LauncherEntry on the session
// bus. Without a session bus nothing is shown.
// Thread: UI only.

#include <optional>

#include "session/progress_display.h"

namespace vt::app {

class TaskbarEntry {
public:
    TaskbarEntry() = default;
    // Removes a progress still shown.
    ~TaskbarEntry();
    TaskbarEntry(const TaskbarEntry&) = delete;
    TaskbarEntry& operator=(const TaskbarEntry&) = delete;

    // Shows done of total, or removes the progress for nothing; tells the desktop only when
    // what it shows changes.
    void show(const std::optional<session::TaskbarProgress>& progress);

private:
    std::optional<session::TaskbarProgress> m_shown;
};

} // namespace vt::app
