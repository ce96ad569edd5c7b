#include "app/status_bar.h"

namespace vt::app {

StatusBar::StatusBar(engine::ConversionRun& run, QWidget* parent) : QWidget(parent), m_run(run) {}

} // namespace vt::app
