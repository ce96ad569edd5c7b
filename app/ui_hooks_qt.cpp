#include "app/ui_hooks_qt.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QThread>
#include <QUrl>

#include "platform/ui_hooks.h"

namespace vt::app {
namespace {

bool on_ui_thread() {
    return qApp && QThread::currentThread() == qApp->thread();
}

QString to_q(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

platform::MessageAnswer message_box(std::u16string_view text, std::u16string_view title,
                                    platform::MessageButtons buttons, platform::MessageIcon icon) {
    if (!on_ui_thread())
        return platform::default_answer(buttons);
    using B = QMessageBox::StandardButton;
    QMessageBox::StandardButtons set;
    switch (buttons) {
    case platform::MessageButtons::ok:
        set = B::Ok;
        break;
    case platform::MessageButtons::ok_cancel:
        set = B::Ok | B::Cancel;
        break;
    case platform::MessageButtons::yes_no:
        set = B::Yes | B::No;
        break;
    case platform::MessageButtons::yes_no_cancel:
        set = B::Yes | B::No | B::Cancel;
        break;
    case platform::MessageButtons::retry_cancel:
        set = B::Retry | B::Cancel;
        break;
    }
    const QMessageBox::Icon shown = icon == platform::MessageIcon::information
                                        ? QMessageBox::Information
                                    : icon == platform::MessageIcon::warning ? QMessageBox::Warning
                                    : icon == platform::MessageIcon::error   ? QMessageBox::Critical
                                                                             : QMessageBox::NoIcon;
    QMessageBox box(shown, to_q(title), to_q(text), set, QApplication::activeWindow());
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    switch (box.exec()) {
    case B::Ok:
        return platform::MessageAnswer::ok;
    case B::Yes:
        return platform::MessageAnswer::yes;
    case B::No:
        return platform::MessageAnswer::no;
    case B::Retry:
        return platform::MessageAnswer::retry;
    default:
        return platform::default_answer(buttons);
    }
}

void begin_busy() {
    if (on_ui_thread())
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

void end_busy() {
    if (on_ui_thread())
        QApplication::restoreOverrideCursor();
}

bool open_folder(std::u16string_view folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(to_q(folder)));
}

} // namespace

void install_qt_ui_hooks() {
    platform::UiHooks hooks;
    hooks.message_box = message_box;
    hooks.begin_busy = begin_busy;
    hooks.end_busy = end_busy;
    hooks.open_folder = open_folder;
    platform::set_ui_hooks(hooks);
}

} // namespace vt::app
