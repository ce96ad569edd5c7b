#pragma once
// The main window: progress pane, output pane and status bar from top to bottom.
// Thread: UI only.

#include <memory>

#include <QMainWindow>

#include "engine/conversion_run.h"

namespace vt::app {

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    engine::ConversionRun& run() { return *m_run; }

private:
    std::unique_ptr<engine::ConversionRun> m_run;
};

} // namespace vt::app
