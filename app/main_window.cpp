#include "app/main_window.h"

#include <QVBoxLayout>

#include "app/output_pane.h"
#include "app/progress_pane.h"
#include "app/status_bar.h"
#include "pipeline/pipeline_step.h"

namespace vt::app {

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      m_run(std::make_unique<engine::ConversionRun>(pipeline::make_pipeline_step())) {
    auto* centre = new QWidget(this);
    auto* layout = new QVBoxLayout(centre);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(new ProgressPane(*m_run, centre));
    layout->addWidget(new OutputPane(*m_run, centre), 1);
    layout->addWidget(new StatusBar(*m_run, centre));
    setCentralWidget(centre);
    setWindowTitle(QStringLiteral("Vantrel Converter"));
}

MainWindow::~MainWindow() = default;

} // namespace vt::app
