#pragma once
// The output pane in the middle of the main window: a status line, the job's times and
// counters, the last error and a preview of the latest converted picture, read through
// snapshots on its own timer. Its context menu belongs to the main window.
// Thread: UI only.

#include <memory>

#include <QImage>
#include <QTimer>
#include <QWidget>

#include "engine/conversion_run.h"
#include "engine/progress_estimate.h"
#include "session/desktop_rules.h"

namespace vt::app {

class TaskbarEntry;

class OutputPane : public QWidget {
    Q_OBJECT
public:
    OutputPane(engine::ConversionRun& run, QWidget* parent);
    ~OutputPane() override;

    // Takes a snapshot, sets the timer and the taskbar progress, and redraws.
    void refresh();
    // The same from a snapshot taken by whoever drives the pane (ProgressPane::setDriven).
    void showSnapshot(const engine::JobStats& stats, bool active);
    void setDriven(bool driven);
    [[nodiscard]] int refreshPeriod() const { return m_timer.interval(); }
    // The texts as last drawn, top to bottom (status line, rows, last error), for tests and
    // accessibility.
    [[nodiscard]] const QStringList& shownTexts() const { return m_texts; }
    // The running job's target extension: the preview shows the picture as such a file holds
    // it (session::target_alpha).
    void setTargetExtension(const QString& extension);
    // The preview as drawn (before scaling); for tests.
    [[nodiscard]] const QImage& previewImage() const { return m_preview; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void redraw();
    void drawPreview(QPainter& p, const QRect& area);

    engine::ConversionRun& m_run;
    QTimer m_timer;
    bool m_driven = false;
    QImage m_canvas; // the pane drawn off-screen, rebuilt when its size changes
    engine::JobStats m_stats;
    bool m_active = false;
    unsigned m_processors = 1;
    engine::TimeLeftEstimate m_estimate;
    QStringList m_texts;
    // The preview as last converted, and the picture it came from.
    std::shared_ptr<const engine::Picture> m_preview_source;
    QImage m_preview;
    QImage m_scaled; // m_preview at the size it is drawn
    qint64 m_scaled_from = 0;
    session::TargetAlpha m_target_alpha = session::TargetAlpha::kept;
    std::unique_ptr<TaskbarEntry> m_taskbar;
};

} // namespace vt::app
