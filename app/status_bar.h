#pragma once
// Placeholder until the pane is drawn.
// Thread: UI only.

#include <QWidget>

#include "engine/conversion_run.h"

namespace vt::app {

class StatusBar : public QWidget {
    Q_OBJECT
public:
    StatusBar(engine::ConversionRun& run, QWidget* parent);

private:
    engine::ConversionRun& m_run;
};

} // namespace vt::app
