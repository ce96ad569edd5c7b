#include "app/main_window.h"

#include <optional>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

#include "app/about_box.h"
#include "app/bubble.h"
#include "app/dpi.h"
#include "app/job_log.h"
#include "app/job_notifier.h"
#include "app/launcher.h"
#include "app/output_pane.h"
#include "app/progress_pane.h"
#include "app/status_bar.h"
#include "app/translate.h"
#include "app/window_manager_close.h"
#include "app/wizard/wizard.h"
#include "app/wizard/wizard_page.h"
#include "lang/translator.h"
#include "lang/xlat.h"
#include "pipeline/pipeline_step.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/suite_config.h"
#include "session/desktop_rules.h"
#include "session/engine_limits.h"
#include "session/job_door.h"
#include "session/remembered.h"

namespace vt::app {
namespace {

constexpr int kPluginToolWaitMs = 300000;

// A menu's items as the translator walks them.
class QtMenuText : public lang::MenuText {
public:
    explicit QtMenuText(QList<QAction*> actions) : m_actions(std::move(actions)) {}
    [[nodiscard]] std::size_t item_count() const override {
        return static_cast<std::size_t>(m_actions.size());
    }
    [[nodiscard]] std::u16string item_text(std::size_t i) const override {
        const QAction* a = at(i);
        return a->isSeparator() ? std::u16string{} : a->text().toStdU16String();
    }
    void set_item_text(std::size_t i, std::u16string_view text) override {
        at(i)->setText(QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
    }
    [[nodiscard]] lang::MenuText* submenu(std::size_t i) override {
        QMenu* menu = at(i)->menu();
        if (!menu)
            return nullptr;
        m_subs.push_back(std::make_unique<QtMenuText>(menu->actions()));
        return m_subs.back().get();
    }

private:
    [[nodiscard]] QAction* at(std::size_t i) const {
        return m_actions.at(static_cast<qsizetype>(i));
    }
    QList<QAction*> m_actions;
    std::vector<std::unique_ptr<QtMenuText>> m_subs;
};

void translate_items(const QList<QAction*>& actions) {
    QtMenuText menu(actions);
    (void)lang::TranslateMenu(menu);
}

QString translated_window_title() {
    QString title = QStringLiteral("Vantrel Converter");
    if (platform::is_portable())
        title += QStringLiteral(" (Portable)");
    return xlat(title);
}

// The run with the worker count and memory budget of the Other Settings, as they are when the
// window opens.
std::unique_ptr<engine::ConversionRun> make_run() {
    const session::EngineLimits limits = session::job_limits(0, 0);
    return std::make_unique<engine::ConversionRun>(
        pipeline::make_pipeline_step(pipeline::picture_budget(limits.workers, limits.memory_mb)),
        engine::RunOptions{.workers = limits.workers});
}

} // namespace

MainWindow::MainWindow(engine::ConversionJob& job, engine::SettingsSync& settings, QWidget* parent)
    : QMainWindow(parent), m_run(make_run()), m_job(job), m_settings(settings) {
    setObjectName(QStringLiteral("VTLneo_Main"));
    auto* centre = new QWidget(this);
    auto* layout = new QVBoxLayout(centre);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* progress = new ProgressPane(*m_run, centre);
    m_progress = progress;
    m_output = new OutputPane(*m_run, centre);
    progress->setDriven(true);
    m_output->setDriven(true);
    connect(&m_pane_clock, &QTimer::timeout, this, &MainWindow::tickPanes);
    m_pane_clock.start(progress->refreshPeriod());
    layout->addWidget(progress);
    layout->addWidget(m_output, 1);
    layout->addWidget(new StatusBar(*m_run, centre));
    setCentralWidget(centre);
    connect(progress, &ProgressPane::newJobRequested, this, &MainWindow::newJob);
    connect(progress, &ProgressPane::pauseRequested, this, &MainWindow::pauseJob);
    connect(progress, &ProgressPane::cancelRequested, this, &MainWindow::cancelJob);

    m_title = translated_window_title();
    setWindowTitle(m_title);
    setAcceptDrops(true); // pictures and folders from the desktop (openPaths)
    m_window_manager_close = watch_window_manager_close(*this);
    setMinimumSize(dpi_scale(720), dpi_scale(500));
    buildMenus();

    m_output->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_output, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_context->popup(m_output->mapToGlobal(at)); });
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &MainWindow::showHelp);

    m_notifier = new JobNotifier(this);
    connect(m_notifier, &JobNotifier::openTargetFolder, this, &MainWindow::openTargetFolder);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        checkJobEnd();
        update();
    });
    m_timer.start(250);
}

MainWindow::~MainWindow() {
    m_timer.stop();
    m_pane_clock.stop();
    remove_bubble();
    // The run's destructor cancels a job that still runs.
}

void MainWindow::buildMenus() {
    setStyleSheet(QStringLiteral(
        "QMenuBar, QMenu { background: rgb(224, 224, 236); color: black; }"
        "QMenu::item:selected, QMenuBar::item:selected { background: rgb(190, 200, 228); }"
        "QMenu::item:disabled { color: rgb(140, 140, 150); }"
        "QMenu::separator { height: 1px; background: rgb(180, 180, 196); margin: 3px 6px; }"));
    const auto add = [this](QMenu* menu, int id, const QString& text) {
        QAction* a = menu->addAction(text);
        connect(a, &QAction::triggered, this, [this, id] { command(id); });
        m_actions[id] = a;
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, kNewJob, QStringLiteral("&New Job"));
    add(file, kPauseJob, QStringLiteral("&Pause Job"));
    add(file, kCancelJob, QStringLiteral("&Cancel Job"));
    file->addSeparator();
    add(file, kOpenTargetFolder, QStringLiteral("Open Target Folder"));
    add(file, kJobLog, QStringLiteral("Job &Log ..."));
    file->addSeparator();
    QMenu* launch = file->addMenu(QStringLiteral("Launch Application"));
    add(launch, kLaunchPainter, QStringLiteral("Vantrel Painter"));
    add(launch, kLaunchViewer, QStringLiteral("Vantrel Viewer"));
    file->addSeparator();
    add(file, kExit, QStringLiteral("E&xit"));
    // Shown in the menu; the window's own Ctrl+Q shortcut does the work, so that it also acts
    // while the menu bar is out of reach (a wizard page is open).
    m_actions[kExit]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_actions[kExit]->setShortcutContext(Qt::WidgetShortcut);
    m_actions[kExit]->setShortcutVisibleInContextMenu(true);
    QMenu* configure = menuBar()->addMenu(QStringLiteral("&Configure"));
    add(configure, kPluginManager, QStringLiteral("&Plug-in Manager ..."));
    add(configure, kFileAssociations, QStringLiteral("File &Associations ..."));
    add(configure, kLanguage, QStringLiteral("&Language ..."));
    add(configure, kOtherSettings, QStringLiteral("&Other Settings ..."));
    configure->addSeparator();
    add(configure, kFindUpdates, QStringLiteral("Find &Updates Online"));
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, kHelpContents, QStringLiteral("&Contents"));
    add(help, kAbout, QStringLiteral("&About"));
    translate_items(menuBar()->actions());
    // Its own rule, applied after the others so it is translated once.
    m_actions[kLanguage]->setText(QString::fromStdU16String(
        session::language_item_text(lang::Translate(std::u16string_view(u"Language")))));

    // The output pane's menu: the same commands, popped up where the pointer is.
    m_context = new QMenu(this);
    const auto add_context = [this](int id, const QString& text) {
        QAction* a = m_context->addAction(text);
        connect(a, &QAction::triggered, this, [this, id] { command(id); });
        m_context_actions[id] = a;
    };
    add_context(kNewJob, QStringLiteral("&New Job"));
    add_context(kPauseJob, QStringLiteral("&Pause Job"));
    add_context(kCancelJob, QStringLiteral("&Cancel Job"));
    add_context(kOpenTargetFolder, QStringLiteral("Open Target Folder"));
    m_context->addSeparator();
    add_context(kHelpContents, QStringLiteral("&Help"));
    m_context->addSeparator();
    add_context(kExit, QStringLiteral("E&xit"));
    m_context_actions[kExit]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_context_actions[kExit]->setShortcutContext(Qt::WidgetShortcut);
    m_context_actions[kExit]->setShortcutVisibleInContextMenu(true);
    translate_items(m_context->actions());

    for (QMenu* menu : {file, configure, help, m_context})
        connect(menu, &QMenu::aboutToShow, this, &MainWindow::prepareMenus);
}

QAction* MainWindow::action(int id) const {
    const auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

QAction* MainWindow::contextAction(int id) const {
    const auto it = m_context_actions.find(id);
    return it == m_context_actions.end() ? nullptr : it->second;
}

void MainWindow::prepareMenus() {
    engine::JobStats stats;
    const bool active = m_run->take_snapshot(stats);
    const session::MenuState state = session::menu_state(
        active, m_run->state() == engine::JobState::paused, session::target_folder_exists(m_job));
    for (const auto* actions : {&m_actions, &m_context_actions}) {
        actions->at(kNewJob)->setEnabled(state.newJob);
        actions->at(kPauseJob)->setEnabled(state.pauseJob);
        actions->at(kCancelJob)->setEnabled(state.cancelJob);
        actions->at(kOpenTargetFolder)->setEnabled(state.openTargetFolder);
        QAction* pause = actions->at(kPauseJob);
        pause->setText(QString::fromStdU16String(state.pauseText));
        translate_items({pause});
    }
}

void MainWindow::command(int id) {
    switch (id) {
    case kNewJob:
        newJob();
        break;
    case kPauseJob:
        pauseJob();
        break;
    case kCancelJob:
        cancelJob();
        break;
    case kOpenTargetFolder:
        openTargetFolder();
        break;
    case kLaunchPainter:
    case kLaunchViewer: {
        const QString name =
            id == kLaunchPainter ? QStringLiteral("Painter") : QStringLiteral("Viewer");
        // Most desktops have no suite editor or viewer: their own image viewer, through the
        // desktop's opener, shows what the job wrote instead (docs/suite-tools.md).
        if (!suite_program_exists(name) && session::target_folder_exists(m_job)) {
            (void)platform::open_folder(m_job.targetFolder.view());
            break;
        }
        if (launch_suite_program(this, name, {}, 0))
            showMinimized();
        break;
    }
    case kExit:
        close();
        break;
    case kPluginManager:
        launch(QStringLiteral("opt_Plugins"), {}, kPluginToolWaitMs);
        break;
    case kFileAssociations:
        launch(QStringLiteral("opt_Files"), {}, kPluginToolWaitMs);
        break;
    case kLanguage:
        launch(QStringLiteral("opt_Language"), {}, kPluginToolWaitMs);
        afterLanguageTool();
        break;
    case kOtherSettings:
        launch(QStringLiteral("opt_Other"), {}, kPluginToolWaitMs);
        (void)platform::suite_config(true);
        break;
    case kFindUpdates:
        launch(QStringLiteral("Update"), {QStringLiteral("/force")}, 0);
        break;
    case kHelpContents:
        showHelp();
        break;
    case kAbout:
        showAbout();
        break;
    case kJobLog:
        showJobLog();
        break;
    default:
        break;
    }
}

void MainWindow::launch(const QString& name, const QStringList& arguments, int wait_ms) {
    m_waiting = wait_ms > 0;
    (void)launch_suite_program(this, name, arguments, wait_ms, [this] { return m_close_pending; });
    m_waiting = false;
    // Asked while waiting: closed now, with the question when a job runs and it was the
    // window's own close.
    if (std::exchange(m_close_pending, false))
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::afterLanguageTool() {
    (void)platform::suite_config(true);
    if (!lang::LanguageFileChanged())
        return;
    const auto answer = lang::XlatMessageBox(
        u"A restart is required to apply language settings.\nWould you like to restart now?",
        u"Restart Vantrel?", platform::MessageButtons::yes_no, platform::MessageIcon::information);
    if (answer != platform::MessageAnswer::yes)
        return;
    (void)launch_suite_program(this, QStringLiteral("vantrel-converter"), {}, 0);
    remove_bubble();
    closeWithoutQuestion();
}

bool MainWindow::openPaths(const QStringList& paths) {
    if (m_in_dialog || m_run->job_active())
        return false;
    QStringList files;
    QString folder;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.isDir() && folder.isEmpty())
            folder = info.absoluteFilePath();
        else if (info.isFile())
            files << info.absoluteFilePath();
    }
    if (files.isEmpty() && folder.isEmpty())
        return false;
    engine::SourceFiles listed;
    for (const QString& file : files)
        listed.push_back(file.toStdU16String());
    // Files win over a folder dropped with them: the user picked those pictures.
    const std::u16string source =
        listed.empty() ? folder.toStdU16String() : engine::common_folder(listed);
    if (!listed.empty()) {
        const QString extension = QFileInfo(files.front()).suffix().toLower();
        if (extension.size() >= 1 && extension.size() <= 8)
            m_job.targetExtension.assign((QLatin1Char('.') + extension).toStdU16String());
    }
    session::set_job_files(std::move(listed));
    m_job.sourceFolder.assign(source);
    m_job.targetFolder.assign(source);
    QMetaObject::invokeMethod(this, &MainWindow::newJob, Qt::QueuedConnection);
    return true;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!m_in_dialog && !m_run->job_active() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    if (openPaths(paths))
        event->acceptProposedAction();
}

void MainWindow::newJob() {
    if (m_in_dialog || m_run->job_active())
        return;
    std::optional<engine::PreparedJob> prepared;
    runOwned([&] { prepared = run_wizard(m_job, this, [this] { showHelp(); }); });
    if (std::exchange(m_close_pending, false)) {
        close(); // asked while a page was open: the job does not start
        return;
    }
    if (prepared) {
        (void)session::save_last_job(m_job); // a crash during the job keeps it too
        if (m_run->start_job(*prepared))
            noteJobStarted(*prepared);
    }
}

bool MainWindow::startJob() {
    const auto prepared = session::prepare_job(m_job, {}, engine::PrepareMode::run);
    if (const auto* refusal = std::get_if<engine::JobRefusal>(&prepared)) {
        (void)lang::XlatMessageBox(engine::refusal_message(*refusal), refusal->title,
                                   platform::MessageButtons::ok, platform::MessageIcon::error);
        return false;
    }
    const auto& job = std::get<engine::PreparedJob>(prepared);
    if (!m_run->start_job(job))
        return false;
    noteJobStarted(job);
    return true;
}

void MainWindow::noteJobStarted(const engine::PreparedJob& prepared) {
    m_output->setTargetExtension(QString::fromStdU16String(prepared.job().targetExtension.str()));
    m_planned = prepared.plan().files;
    m_cancel_asked = false;
    m_was_active = true; // a job that ends before the next tick is still noticed
    m_output_due = 0;    // and is still shown, however short
}

void MainWindow::tickPanes() {
    engine::JobStats stats;
    const bool active = m_run->take_snapshot(stats);
    const bool paused = active && m_run->state() == engine::JobState::paused;
    m_progress->showSnapshot(stats, active);
    m_output_due -= m_pane_clock.interval();
    if (m_output_due <= 0 || active != m_panes_active || paused != m_panes_paused) {
        m_output->showSnapshot(stats, active);
        m_output_due = m_output->refreshPeriod();
    }
    m_panes_active = active;
    m_panes_paused = paused;
    if (m_pane_clock.interval() != m_progress->refreshPeriod())
        m_pane_clock.start(m_progress->refreshPeriod());
}

void MainWindow::checkJobEnd() {
    const bool active = m_run->job_active();
    if (m_was_active && !active) {
        engine::JobStats stats;
        (void)m_run->take_snapshot(stats);
        m_notifier->jobEnded(stats, m_cancel_asked);
        emit jobEnded();
    }
    m_was_active = active;
}

void MainWindow::showJobLog() {
    engine::JobStats stats;
    const bool running = m_run->take_snapshot(stats);
    const auto handled = static_cast<std::uint32_t>(std::uint64_t{stats.converted} + stats.failed +
                                                    stats.unknown + stats.skipped);
    JobLogDialog log(m_planned, m_run->outcomes(), running, handled, this);
    runOwned([&] { (void)run_unblocking(log); });
    if (std::exchange(m_close_pending, false))
        close();
}

void MainWindow::runOwned(const std::function<void()>& run) {
    // What runs is not modal (so that close requests still arrive here): the window's own
    // controls are out of reach instead.
    m_in_dialog = true;
    centralWidget()->setEnabled(false);
    menuBar()->setEnabled(false);
    run();
    centralWidget()->setEnabled(true);
    menuBar()->setEnabled(true);
    m_in_dialog = false;
}

void MainWindow::pauseJob() {
    (void)m_run->pause_or_resume(m_run->state() != engine::JobState::paused);
}

void MainWindow::cancelJob() {
    m_cancel_asked = m_run->job_active();
    (void)m_run->cancel_job();
}

void MainWindow::openTargetFolder() {
    if (session::target_folder_exists(m_job))
        (void)platform::open_folder(m_job.targetFolder.view());
}

void MainWindow::showHelp() {
    const std::u16string page =
        platform::join_path(platform::data_folder(), u"Help/converter_usage.html");
    if (!platform::is_file(page)) {
        lang::XlatMessageBox(u"Vantrel could not find \"converter_usage.html\"",
                             u"File not found!!", platform::MessageButtons::ok,
                             platform::MessageIcon::error);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdU16String(page))))
        lang::XlatMessageBox(u"Vantrel could not load Help.", u"HTML Help Error!!",
                             platform::MessageButtons::ok, platform::MessageIcon::error);
}

void MainWindow::showAbout() {
    AboutBox box(this);
    runOwned([&] { (void)run_unblocking(box); });
    if (std::exchange(m_close_pending, false))
        close();
}

void MainWindow::closeWithoutQuestion() {
    m_no_question = true;
    if (m_waiting) {
        m_close_pending = true; // the wait ends and closes the window
        return;
    }
    (void)m_run->cancel_job();
    close();
}

void MainWindow::endOpenDialogs() {
    // Innermost first: a box a page opened, then the page.
    QList<QWidget*> ended;
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (ended.contains(modal))
            break;
        ended << modal;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    // Then what runs without being modal: a wizard page, the About box, the job log.
    for (QDialog* dialog : findChildren<QDialog*>())
        if (dialog->isVisible())
            dialog->reject();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // A wizard page or a dialog of the window, a waited-for tool or the question itself is open:
    // the request is kept and what is open is ended; the code that opened it closes the window
    // once it is back.
    if (m_waiting || m_in_dialog || m_asking) {
        m_close_pending = true;
        endOpenDialogs();
        event->ignore();
        return;
    }
    // Any other modal dialog (About, the job log, a message box): it is ended, and the close
    // follows through the event loop once its caller has returned.
    if (QApplication::activeModalWidget()) {
        m_close_pending = true;
        endOpenDialogs();
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (std::exchange(m_close_pending, false))
                    close();
            },
            Qt::QueuedConnection);
        event->ignore();
        return;
    }
    if (!m_no_question && m_run->job_active()) {
        m_asking = true;
        const auto answer =
            lang::XlatMessageBox(u"Are you sure you want to cancel this operation?", u"Cancel?",
                                 platform::MessageButtons::yes_no, platform::MessageIcon::warning);
        m_asking = false;
        // A close without question (SIGTERM) that came while asking wins over the answer.
        const bool forced = std::exchange(m_close_pending, false) && m_no_question;
        if (answer != platform::MessageAnswer::yes && !forced) {
            event->ignore();
            return;
        }
    }
    (void)m_run->cancel_job();
    m_timer.stop();
    m_pane_clock.stop();
    remove_bubble();
    event->accept();
}

void MainWindow::showPlaced() {
    session::PlacementMetrics metrics;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        metrics.monitors.push_back({g.x(), g.y(), g.width(), g.height()});
    }
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        const QRect v = primary->virtualGeometry();
        metrics.virtual_screen = {v.x(), v.y(), v.width(), v.height()};
    }
    metrics.corner_dx = dpi_scale(240);
    metrics.corner_dy = dpi_scale(160);
    metrics.default_width = dpi_scale(720);
    metrics.default_height = dpi_scale(640);
    metrics.min_width = dpi_scale(720);
    metrics.min_height = dpi_scale(500);
    const session::Placement p = session::placement_from(m_settings.record(), metrics);
    resize(p.width, p.height);
    if (p.top_left) {
        move(p.top_left->first, p.top_left->second);
    } else if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(primary->availableGeometry().center());
        move(frame.topLeft());
    }
    if (p.maximized)
        showMaximized();
    else
        show();
    repaint();
    QCoreApplication::processEvents();
    // Where the window ended up is what it would report by moving and sizing.
    if (!isMinimized())
        session::note_window_resized(m_settings.record(), isMaximized(),
                                     {pos().x(), pos().y(), width(), height()});
    (void)m_settings.sync();
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (!isVisible() || isMinimized() || isMaximized())
        return;
    session::note_window_moved(m_settings.record(), pos().x(), pos().y());
    (void)m_settings.sync();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    if (isMinimized())
        return; // nothing changes, the panes keep their layout
    QMainWindow::resizeEvent(event);
    if (!isVisible())
        return;
    session::note_window_resized(m_settings.record(), isMaximized(),
                                 {pos().x(), pos().y(), width(), height()});
    (void)m_settings.sync();
}

} // namespace vt::app
