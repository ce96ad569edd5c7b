#pragma once
// The main window: progress pane, output pane and status bar from top to bottom, the menu bar
// with every command, the output pane's context menu, the placement kept in the settings
// record, and the question before a running job is closed away.
// Thread: UI only.

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <QMainWindow>
#include <QTimer>

#include "engine/conversion_run.h"
#include "engine/prepared_job.h"
#include "engine/settings.h"

class QMenu;

namespace vt::app {

class OutputPane;
class WindowManagerCloseWatch;

// Command ids, as the menus number them.
enum Command : int {
    kNewJob = 40001,
    kCancelJob = 40002,
    kPauseJob = 40003,
    kOpenTargetFolder = 40004,
    kLaunchPainter = 40006,
    kLaunchViewer = 40007,
    kExit = 40008,
    kHelpContents = 40010,
    kAbout = 40011,
    kPluginManager = 40012,
    kFileAssociations = 40013,
    kLanguage = 40014,
    kOtherSettings = 40015,
    kFindUpdates = 40016,
    kJobLog = 40020, // ours: every file of the last job with its outcome
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `job` is the process's one job record and `settings` its settings record; both outlive
    // the window.
    MainWindow(engine::ConversionJob& job, engine::SettingsSync& settings,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    engine::ConversionRun& run() { return *m_run; }
    engine::ConversionJob& job() { return m_job; }

    // Sizes and places the window from the settings record, shows it and draws it at once.
    void showPlaced();

    // Commands.
    // Runs the wizard over the job record (not while a job runs); START starts the job it
    // prepared.
    void newJob();
    // Starts the job record as it stands; false when it could not start.
    bool startJob();
    void pauseJob();
    void cancelJob();
    void openTargetFolder();
    void showHelp();
    void showAbout();
    // The last job's files with their outcomes and reasons, filterable.
    void showJobLog();
    void command(int id);
    // Pictures or a folder from the desktop (the command line, Open With, a drop): one folder
    // presets the job with it, files make a job of exactly those files; then the wizard opens
    // (through the event loop). False when nothing named could be used.
    bool openPaths(const QStringList& paths);

    // Closes like the window's own close, but without asking: a running job is cancelled.
    // What SIGTERM and SIGINT do.
    void closeWithoutQuestion();

    // The menus, for the commands' enabling and texts.
    [[nodiscard]] QAction* action(int id) const;
    [[nodiscard]] QAction* contextAction(int id) const;
    [[nodiscard]] QMenu* contextMenu() const { return m_context; }
    // Sets enabling and texts of every command from a snapshot of the job: what opening a
    // popup does.
    void prepareMenus();

    // The title without the "waiting" text.
    [[nodiscard]] QString baseTitle() const { return m_title; }
    // A close asked while a launched program is waited for, a wizard page or the question is
    // open: what is open is ended, and the window closes once control is back.
    [[nodiscard]] bool closePending() const { return m_close_pending; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

signals:
    // A job came to its end (finished, failed or cancelled); what the notice reports.
    void jobEnded();

private:
    void buildMenus();
    void noteJobStarted(const engine::PreparedJob& prepared);
    void checkJobEnd();
    void tickPanes();
    void launch(const QString& name, const QStringList& arguments, int wait_ms);
    void afterLanguageTool();
    // Rejects the modal dialogs and then the wizard page or dialog of the window that is open.
    void endOpenDialogs();
    // Runs `run` (the wizard, the About box, the job log: none of them modal) with the window's
    // own controls out of reach.
    void runOwned(const std::function<void()>& run);

    std::unique_ptr<engine::ConversionRun> m_run;
    engine::ConversionJob& m_job;
    engine::SettingsSync& m_settings;
    QString m_title;
    QTimer m_timer;
    OutputPane* m_output = nullptr;
    class ProgressPane* m_progress = nullptr;
    // One timer and one snapshot for both panes: the progress pane at its period, the output
    // pane when its own period has passed or the job's state changed.
    QTimer m_pane_clock;
    int m_output_due = 0;
    bool m_panes_active = false;
    bool m_panes_paused = false;
    QMenu* m_context = nullptr;
    std::map<int, QAction*> m_actions;
    std::map<int, QAction*> m_context_actions;
    class JobNotifier* m_notifier = nullptr;
    std::vector<engine::PlannedFile> m_planned; // the last job's plan, for its log
    bool m_was_active = false;
    bool m_cancel_asked = false;
    bool m_no_question = false;
    bool m_waiting = false;
    bool m_close_pending = false;
    bool m_in_dialog = false;
    bool m_asking = false; // the question before a running job is closed is open
    std::shared_ptr<WindowManagerCloseWatch> m_window_manager_close;
};

} // namespace vt::app
