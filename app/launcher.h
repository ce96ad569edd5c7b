#pragma once
// Starting the suite's other programs from the suite program folder (their names without
// ".exe"), with the messages the suite shows when one is missing or will not start.
// Thread: UI only.

#include <functional>

#include <QString>
#include <QStringList>

class QWidget;

namespace vt::app {

// Starts `name` with `arguments`. With a wait of 1 ms or more the window is disabled and titled
// "Waiting for "name" to exit ..." while events keep flowing, until the program ends, the wait
// has passed or `stop_waiting` says so; then the title comes back and the window is raised.
// True when the program was started.
bool launch_suite_program(QWidget* window, const QString& name, const QStringList& arguments,
                          int wait_ms, const std::function<bool()>& stop_waiting = {});

// Whether the suite program folder holds `name`.
[[nodiscard]] bool suite_program_exists(const QString& name);

} // namespace vt::app
