#include "app/progress_pane.h"

namespace vt::app {

ProgressPane::ProgressPane(engine::ConversionRun& run, QWidget* parent)
    : QWidget(parent), m_run(run) {}

} // namespace vt::app
