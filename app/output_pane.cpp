#include "app/output_pane.h"

namespace vt::app {

OutputPane::OutputPane(engine::ConversionRun& run, QWidget* parent) : QWidget(parent), m_run(run) {}

} // namespace vt::app
