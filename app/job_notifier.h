#pragma once
// The desktop's notice when a job ends (org.freedesktop.Notifications on the session bus): the
// counts of the job and an action that opens the target folder. Without a notification service
// nothing is shown and nothing fails; the output pane still has the counts.
// Thread: UI only.

#include <QObject>
#include <QString>

#include "engine/conversion_run.h"

namespace vt::app {

// "12 converted, 1 failed, 2 not loaded (of 15)", translated; the notice's text.
[[nodiscard]] QString job_end_text(const engine::JobStats& stats);

class JobNotifier : public QObject {
    Q_OBJECT
public:
    explicit JobNotifier(QObject* parent = nullptr);

    // Sends the notice of a job that ended with `stats` (asynchronously: a slow or missing
    // service never holds the window up).
    void jobEnded(const engine::JobStats& stats, bool cancelled);

signals:
    // The user chose the notice's "Open Target Folder".
    void openTargetFolder();

private slots:
    void onActionInvoked(uint id, const QString& key);
    void onReply(uint id);

private:
    uint m_last_id = 0;
};

} // namespace vt::app
