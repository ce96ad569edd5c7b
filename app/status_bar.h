#pragma once
// The status bar at the bottom of the main window: a light grey-blue strip with the program's
// emblem in its middle and, while the window is not maximized, a size grip in its
// bottom-right corner.
// Thread: UI only.

#include <QWidget>

#include "engine/conversion_run.h"

class QSizeGrip;

namespace vt::app {

class StatusBar : public QWidget {
    Q_OBJECT
public:
    StatusBar(engine::ConversionRun& run, QWidget* parent);

    [[nodiscard]] QSizeGrip* sizeGrip() const { return m_grip; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    engine::ConversionRun& m_run;
    QSizeGrip* m_grip; // a child: it hides itself while the window is maximized
};

} // namespace vt::app
