#include "app/startup.h"

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QIcon>
#include <QSocketNotifier>

#include "app/dpi.h"
#include "app/launcher.h"
#include "app/main_window.h"
#include "app/translate.h"
#include "app/ui_hooks_qt.h"
#include "lang/xlat.h"
#include "platform/folders.h"
#include "platform/suite_error_log.h"
#include "session/desktop_rules.h"
#include "session/remembered.h"

namespace vt::app {
namespace {

int g_signal_pipe[2] = {-1, -1};

void on_termination(int) {
    const char byte = 1;
    (void)!::write(g_signal_pipe[1], &byte, 1);
}

void engine_failure() {
    platform::fatal_message(u"A critical engine failed initialization",
                            u"Fatal Error - Engine Failure",
                            u"Critical engine initialization failure");
}

} // namespace

Startup::Startup() {
    platform::install_fault_report();
    if (platform::module_folder().empty() || platform::plugins_folder().empty() ||
        platform::program_data_folder().empty() || platform::shared_content_folder().empty()) {
        platform::fatal_message(u"Critical file-system data could not be loaded",
                                u"Fatal Error - System Failure",
                                u"Critical file-system data failure");
        return;
    }
    m_settings.emplace(platform::program_data_folder());
    (void)m_settings->sync();
    m_session = std::make_unique<session::Session>(session::Session::Options{true});
    if (!m_session->started()) {
        platform::message_box(m_session->failure_text(), u"Fatal VxGRAF2 Error",
                              platform::MessageButtons::ok, platform::MessageIcon::error);
        engine_failure();
        return;
    }
    use_qt_translations();
    engine::set_defaults(m_job);
    // The last job comes back as it was left; the resize box keeps its own record below.
    (void)session::load_last_job(m_job);
    m_job.resizeWidth = m_settings->record().resizeWidth;
    m_job.resizeHeight = m_settings->record().resizeHeight;
    m_started = true;
}

Startup::~Startup() {
    if (m_settings && m_started) {
        m_settings->record().resizeWidth = m_job.resizeWidth;
        m_settings->record().resizeHeight = m_job.resizeHeight;
        (void)m_settings->sync();
        (void)session::save_last_job(m_job);
    }
    m_session.reset();
    use_qt_translations();
}

void choose_ui_font(QApplication& app) {
    const QStringList families = QFontDatabase::families();
    QFont font = QApplication::font();
    int base = 12;
    for (const char* family : {"Segoe UI", "Tahoma", "Calibri", "Selawik"})
        if (families.contains(QLatin1String(family))) {
            font = QFont(QLatin1String(family));
            base = QLatin1String(family) == QLatin1String("Calibri") ? 14 : 12;
            break;
        }
    font.setPixelSize(dpi_scale(base));
    app.setFont(font);
}

QIcon program_icon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("vantrel-converter"));
    if (!icon.isNull())
        return icon;
    const QDir hicolor(QString::fromStdU16String(platform::module_folder()) +
                       QStringLiteral("/../share/icons/hicolor"));
    for (const QString& size : hicolor.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString file = hicolor.filePath(size + QStringLiteral("/apps/vantrel-converter.png"));
        if (QFileInfo(file).isFile())
            icon.addFile(file);
    }
    return icon;
}

void close_on_termination_signals(MainWindow& window) {
    if (g_signal_pipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_pipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char bytes[16];
        (void)!::read(g_signal_pipe[0], bytes, sizeof bytes);
        window.closeWithoutQuestion();
    });
    struct sigaction sa {};
    sa.sa_handler = on_termination;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

int run_desktop_program(QApplication& app, const QStringList& arguments) {
    install_qt_ui_hooks();
    Startup startup;
    if (!startup.started())
        return 1;
    choose_ui_font(app);
    QApplication::setWindowIcon(program_icon());
    int status = 0;
    {
        MainWindow window(startup.job(), startup.settings());
        window.showPlaced();
        close_on_termination_signals(window);
        // Pictures opened with the program are a job of exactly those files; a folder, or a
        // path the shell handed over in one piece, presets the job as before.
        const bool pictures =
            arguments.size() > 1 || (arguments.size() == 1 && QFileInfo(arguments[0]).isFile());
        if (arguments == QStringList{QStringLiteral("--new-job")}) // "Convert folder..."
            QMetaObject::invokeMethod(&window, &MainWindow::newJob, Qt::QueuedConnection);
        else if (pictures)
            (void)window.openPaths(arguments);
        else if (!arguments.isEmpty() &&
                 session::preset_from_command_line(
                     arguments.join(QLatin1Char(' ')).toStdU16String(), startup.job()))
            QMetaObject::invokeMethod(&window, &MainWindow::newJob, Qt::QueuedConnection);
        startup.job().resizeWidth = startup.settings().record().resizeWidth;
        startup.job().resizeHeight = startup.settings().record().resizeHeight;
        if (suite_program_exists(QStringLiteral("Update")))
            (void)launch_suite_program(&window, QStringLiteral("Update"), {}, 0);
        status = app.exec();
    }
    return status;
}

} // namespace vt::app
