#pragma once
// The progress pane at the top of the main window: gauges for processor load, memory load and
// the job's progress, and two buttons (new job or pause/continue, and cancel). It reads the
// job through snapshots on its own timer and asks the main window for commands by signals.
// Thread: UI only.

#include <QImage>
#include <QTimer>
#include <QWidget>

#include "engine/conversion_run.h"
#include "platform/power.h"
#include "session/progress_display.h"

namespace vt::app {

class ProgressPane : public QWidget {
    Q_OBJECT
public:
    ProgressPane(engine::ConversionRun& run, QWidget* parent);

    // Takes a snapshot, samples the loads, sets the timer and redraws.
    void refresh();
    // The same from a snapshot taken by whoever drives the pane.
    void showSnapshot(const engine::JobStats& stats, bool active);
    // Driven panes keep their period but run no timer of their own: the main window refreshes
    // both panes from one timer and one snapshot, so they never disagree.
    void setDriven(bool driven);
    [[nodiscard]] const session::ProgressView& view() const { return m_view; }
    [[nodiscard]] int refreshPeriod() const { return m_timer.interval(); }
    // Where each part is, for the pointer (pane coordinates).
    [[nodiscard]] QRect partRect(session::ProgressPart part) const;

signals:
    void newJobRequested();
    void pauseRequested();
    void cancelRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    [[nodiscard]] session::ProgressPart partAt(QPoint point) const;
    void redraw();
    void drawButton(QPainter& p, session::ProgressPart part) const;
    void drawGauge(QPainter& p, session::ProgressPart part, int value, const QString& text,
                   const QColor& fill) const;

    engine::ConversionRun& m_run;
    QTimer m_timer;
    bool m_driven = false;
    QImage m_canvas; // the pane drawn off-screen, rebuilt when its size changes

    session::ProcessorGauge m_processor;
    int m_memory = 0;
    session::ProgressView m_view;
    platform::PowerStatus m_power;
    int m_power_age = 0; // refreshes since the power status was read

    session::ProgressPart m_hover = session::ProgressPart::none;
    session::ProgressPart m_pressed = session::ProgressPart::none;
};

} // namespace vt::app
