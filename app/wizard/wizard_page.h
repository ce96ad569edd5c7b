#pragma once
// What every page of the conversion wizard shares: a dialog of 300 x 250 dialog units
// centred over its owner, the program icon at the bottom left and "<< Back" (Cancel on the
// first page) and "Next >>" (START on the last) at the bottom right, F1 for the help, Ctrl+Q to
// quit (the page is cancelled and its owner's window asked to close), texts through the
// translator, and the refusal boxes the pages show.
// A page's run() answers kNext, kBack or kCancel (the close box and Escape are Cancel). The page
// is not modal to the window system, so that the owner still hears close requests; the owner
// keeps its own controls out of reach while a page runs.
// Thread: UI only.

#include <functional>
#include <initializer_list>
#include <optional>

#include <QDialog>

#include "engine/conversion_job.h"
#include "engine/job_checks.h"
#include "platform/ui_hooks.h"

class QVBoxLayout;
class QPushButton;

namespace vt::app {

// kStart: a page started the job at once (a preset's START on the first page).
enum WizardResult : int { kCancel = 0, kNext = 1, kBack = 2, kStart = 3 };

class WizardPage : public QDialog {
    Q_OBJECT
public:
    // `number` 1 to 8; `help` is what F1 calls.
    WizardPage(int number, const char16_t* title, engine::ConversionJob& job, QWidget* owner,
               std::function<void()> help);

    [[nodiscard]] int number() const { return m_number; }
    // The buttons, for people driving the page without a mouse (and tests).
    [[nodiscard]] QPushButton* nextButton() const { return m_next; }
    [[nodiscard]] QPushButton* backButton() const { return m_back; }

    // Centres and shows the page and waits for its end; the page's result.
    int run();

protected:
    // Next: store the page's values and check them; false keeps the page open.
    virtual bool storeForNext() = 0;
    // Back: store what the page stores on the way back (nothing on some pages).
    virtual void storeForBack() {}
    // The layout the page's controls go into.
    [[nodiscard]] QVBoxLayout* body() const { return m_body; }
    // Shows a refusal owned by the page; false, so that `return refuse(...)` reads well.
    bool refuse(const std::optional<engine::Refusal>& refusal,
                platform::MessageIcon icon = platform::MessageIcon::none);

    engine::ConversionJob& m_job;

private:
    const int m_number;
    QVBoxLayout* m_body = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_back = nullptr;
};

// Shows `dialog` and waits for its end (its result) without making it modal to the window
// system: a window blocked by a modal one never hears the window manager's close, and a close
// request must not be lost while a page or one of the main window's dialogs is open. The caller
// keeps its own controls out of reach meanwhile (MainWindow does).
int run_unblocking(QDialog& dialog);

// Text helpers the pages share.
[[nodiscard]] QString to_q(std::u16string_view text);
// The leading decimal number of a text ("3 - Best fit" -> 3); 0 when it has none.
[[nodiscard]] int leading_number(const QString& text);
// `format` with its "%i" replaced by `numbers` in order.
[[nodiscard]] QString fill_numbers(QString format, std::initializer_list<int> numbers);

} // namespace vt::app
