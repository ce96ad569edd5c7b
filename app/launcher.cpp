#include "app/launcher.h"

#include <csignal>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QWidget>

#include "app/translate.h"
#include "lang/xlat.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace vt::app {
namespace {

constexpr int kWaitStepMs = 50;

QString program_path(const QString& name) {
    const std::u16string folder = platform::suite_program_folder();
    if (folder.empty())
        return {};
    return QString::fromStdU16String(platform::join_path(folder, name.toStdU16String()));
}

platform::MessageAnswer ask(const QString& text, const char16_t* title,
                            platform::MessageButtons buttons = platform::MessageButtons::ok) {
    return lang::XlatMessageBox(text.toStdU16String(), title, buttons,
                                platform::MessageIcon::error);
}

} // namespace

bool suite_program_exists(const QString& name) {
    const QString path = program_path(name);
    return !path.isEmpty() && platform::is_file(path.toStdU16String());
}

bool launch_suite_program(QWidget* window, const QString& name, const QStringList& arguments,
                          int wait_ms, const std::function<bool()>& stop_waiting) {
    const QString path = program_path(name);
    if (path.isEmpty()) {
        ask(QStringLiteral("Invalid installation configuration"), u"Application Error");
        return false;
    }
    if (!platform::is_file(path.toStdU16String())) {
        ask(QStringLiteral("Could not find \"%1\"").arg(name), u"Missing File");
        return false;
    }
    qint64 pid = 0;
    for (;;) {
        QProcess process;
        process.setProgram(path);
        process.setArguments(arguments);
        if (process.startDetached(&pid))
            break;
        const QString why = process.errorString();
        const QString text = QStringLiteral("Could not run \"%1\".\n%2")
                                 .arg(QString::fromStdU16String(std::u16string(
                                          platform::file_name_of(path.toStdU16String()))),
                                      why);
        if (ask(text, u"Application Error", platform::MessageButtons::retry_cancel) !=
            platform::MessageAnswer::retry)
            return false;
    }
    if (wait_ms < 1 || !window)
        return true;

    const QString title = window->windowTitle();
    const QString stem =
        QString::fromStdU16String(std::u16string(platform::stem_of(path.toStdU16String())));
    window->setEnabled(false);
    window->setWindowTitle(
        xlat(u"Waiting for \"%s\" to exit ...").replace(QStringLiteral("%s"), stem));
    QElapsedTimer waited;
    waited.start();
    // The started program was detached: it is nobody's child here, so it is gone once no
    // signal can reach it.
    while (waited.elapsed() < wait_ms && ::kill(static_cast<pid_t>(pid), 0) == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, kWaitStepMs);
        if (stop_waiting && stop_waiting())
            break;
        QThread::msleep(kWaitStepMs);
    }
    window->setEnabled(true);
    window->setWindowTitle(title);
    window->raise();
    window->activateWindow();
    return true;
}

} // namespace vt::app
