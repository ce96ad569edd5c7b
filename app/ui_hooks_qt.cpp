#include "app/ui_hooks_qt.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "app/translate.h"
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

// The password field takes at most this many units, as the reader's buffer.
constexpr int kPasswordUnits = 256;
// The prompt text shows at most this many units.
constexpr qsizetype kPromptUnits = 1023;

// A small modal dialog: the caption and prompt from `prompt`, a masked, centred field, OK and
// Cancel. Texts go through the translator like every dialog's.
bool ask_password(std::u16string_view prompt, char16_t* answer, std::size_t capacity) {
    if (!on_ui_thread())
        return false;
    const platform::PasswordPrompt parts = platform::split_password_prompt(prompt);
    QDialog dialog(QApplication::activeWindow());
    dialog.setWindowTitle(xlat(to_q(parts.caption)));
    auto* text = new QLabel(xlat(to_q(parts.text).left(kPromptUnits)), &dialog);
    text->setWordWrap(true);
    auto* field = new QLineEdit(&dialog);
    field->setEchoMode(QLineEdit::Password);
    field->setAlignment(Qt::AlignCenter);
    field->setMaxLength(kPasswordUnits);
    auto* ok = new QPushButton(xlat(u"OK"), &dialog);
    auto* cancel = new QPushButton(xlat(u"Cancel"), &dialog);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(text);
    layout->addWidget(field);
    layout->addLayout(buttons);
    field->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QString typed = field->text();
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(typed.size()), capacity - 1);
    std::copy_n(reinterpret_cast<const char16_t*>(typed.utf16()), n, answer);
    answer[n] = 0;
    return true;
}

} // namespace

void install_qt_ui_hooks() {
    platform::UiHooks hooks;
    hooks.message_box = message_box;
    hooks.begin_busy = begin_busy;
    hooks.end_busy = end_busy;
    hooks.open_folder = open_folder;
    hooks.ask_password = ask_password;
    platform::set_ui_hooks(hooks);
}

} // namespace vt::app
