// Close requests as an X server delivers them (WM_DELETE_WINDOW from the window manager), Ctrl+Q
// and SIGTERM reach the main window whatever is open: a wizard page, a message box, the question
// before a running job is closed, or nothing. Runs on a virtual X server (xvfb-run), with the real
// message boxes answered by clicking their buttons.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include "app/main_window.h"
#include "app/startup.h"
#include "app/ui_hooks_qt.h"
#include "app/wizard/wizard_page.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

std::string ppm(int w, int h) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    data.resize(data.size() + static_cast<std::size_t>(w * h * 3), '\x80');
    return data;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    const auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
    const xcb_atom_t a = reply ? reply->atom : 0;
    std::free(reply);
    return a;
}

// What a window manager sends when the user clicks the window's close button.
void send_window_manager_close(QWidget& window) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    QVERIFY(x11);
    xcb_connection_t* c = x11->connection();
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(window.winId());
    event.type = atom(c, "WM_PROTOCOLS");
    event.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(c);
}

WizardPage* shown_page() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* page = qobject_cast<WizardPage*>(w); page && page->isVisible())
            return page;
    return nullptr;
}

// Answers every message box that opens with the next of `answers` (then No), noting the texts.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers)
        : m_answers(std::move(answers)) {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || box == m_last)
                return;
            m_last = box;
            asked << box->text();
            const auto answer = m_answers.isEmpty() ? QMessageBox::No : m_answers.takeFirst();
            if (QAbstractButton* button = box->button(answer))
                QTimer::singleShot(50, button, &QAbstractButton::click);
        });
        m_timer.start(20);
    }
    QStringList asked;

private:
    QTimer m_timer;
    QList<QMessageBox::StandardButton> m_answers;
    QMessageBox* m_last = nullptr;
};

enum class Request { window_manager, ctrl_q, sigterm };

class CloseTest : public QObject {
    Q_OBJECT

private slots:
    void init() { install_qt_ui_hooks(); }

    void closeWithTheWizardOpen_data() {
        QTest::addColumn<int>("request");
        QTest::newRow("window manager") << static_cast<int>(Request::window_manager);
        QTest::newRow("Ctrl+Q on the page") << static_cast<int>(Request::ctrl_q);
        QTest::newRow("SIGTERM") << static_cast<int>(Request::sigterm);
    }
    void closeWithTheWizardOpen() {
        QFETCH(int, request);
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        close_on_termination_signals(w);
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Once the first page shows, the request; a request that was lost leaves the page open
        // until the watchdog cancels it.
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            WizardPage* page = shown_page();
            if (!page || !page->isActiveWindow())
                return;
            driver.stop();
            switch (static_cast<Request>(request)) {
            case Request::window_manager:
                send_window_manager_close(w);
                break;
            case Request::ctrl_q:
                QTest::keyClick(page, Qt::Key_Q, Qt::ControlModifier);
                break;
            case Request::sigterm:
                ::raise(SIGTERM);
                break;
            }
        });
        driver.start(20);
        QTimer::singleShot(4000, [] {
            if (WizardPage* page = shown_page())
                page->reject();
        });
        w.newJob();
        // The page goes, then the window: no job runs, so nothing is asked.
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 5000);
        QVERIFY(shown_page() == nullptr);
        QVERIFY(!w.run().job_active());
    }

    // The window manager's close or SIGTERM while a dialog of the window is open (here the
    // About box) ends it and closes the window.
    void closeWithADialogOpen_data() {
        QTest::addColumn<int>("request");
        QTest::newRow("window manager") << static_cast<int>(Request::window_manager);
        QTest::newRow("SIGTERM") << static_cast<int>(Request::sigterm);
    }
    void closeWithADialogOpen() {
        QFETCH(int, request);
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        close_on_termination_signals(w);
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const auto shown_dialog = [&w]() -> QDialog* {
            for (QDialog* d : w.findChildren<QDialog*>())
                if (d->isVisible())
                    return d;
            return nullptr;
        };
        QTimer::singleShot(300, [&] {
            if (static_cast<Request>(request) == Request::window_manager)
                send_window_manager_close(w);
            else
                ::raise(SIGTERM);
        });
        bool lost = false; // the request did not end the box: the watchdog had to
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [&] {
            if (QDialog* box = shown_dialog()) {
                lost = true;
                box->reject();
            }
        });
        watchdog.start(4000);
        w.showAbout();
        QVERIFY(!lost);
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 3000);
    }

    // A modal box blocks the window, and Qt drops the window manager's close aimed at a blocked
    // window: the box is ended and the window closes all the same.
    void windowManagerCloseWithAMessageBoxOpen() {
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        bool lost = false;
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            driver.stop();
            send_window_manager_close(w);
            QTimer::singleShot(4000, box, [&lost, box] {
                lost = true;
                box->reject();
            });
        });
        driver.start(20);
        QMessageBox box(QMessageBox::Information, QStringLiteral("Box"), QStringLiteral("Open"),
                        QMessageBox::Ok, &w);
        box.exec();
        QVERIFY(!lost);
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 3000);
    }

    // During a job every request asks; No keeps the job, and the next request is asked again.
    void closeDuringAJobAfterAnsweringNo() {
        test::TempFolder source, target;
        for (int i = 0; i < 30; ++i)
            source.write("pic" + std::to_string(i) + ".ppm", ppm(800, 600));
        Startup startup;
        MainWindow w(startup.job(), startup.settings());
        w.showPlaced();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        startup.job().sourceFolder.assign(source.path16());
        startup.job().targetFolder.assign(target.path16());
        startup.job().targetExtension.assign(u".bmp");
        BoxAnswerer answers({QMessageBox::No, QMessageBox::No, QMessageBox::Yes});
        QVERIFY(w.startJob());
        w.pauseJob();                 // the job stays active whatever the machine's speed
        send_window_manager_close(w); // in the job's first moments
        QTRY_COMPARE_WITH_TIMEOUT(answers.asked.size(), 1, 5000);
        QTest::qWait(300);
        QVERIFY(w.isVisible());
        QTRY_COMPARE(w.run().state(), engine::JobState::paused);
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(answers.asked.size(), 2, 5000);
        QTest::qWait(300);
        QVERIFY(w.isVisible());
        QVERIFY(w.run().job_active());
        send_window_manager_close(w);
        QTRY_COMPARE_WITH_TIMEOUT(answers.asked.size(), 3, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 5000);
        // Cancelled, not finished: the job thread ends by itself, short of the whole folder.
        QVERIFY(w.run().wait_for_end(std::chrono::seconds(10)));
        engine::JobStats stats;
        (void)w.run().take_snapshot(stats);
        QVERIFY(stats.converted < 30);
        for (const QString& text : answers.asked)
            QCOMPARE(text, QStringLiteral("Are you sure you want to cancel this operation?"));
    }
};

} // namespace
} // namespace vt::app

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest", 0) != 0)
            args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    vt::test::TempFolder data;
    setenv("VANTREL_DATA_ROOT", data.path().c_str(), 1);
    QApplication app(count, args.data());
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        std::puts("SKIP: needs an X server (xvfb-run)");
        return 77;
    }
    vt::app::CloseTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "close_test.moc"
