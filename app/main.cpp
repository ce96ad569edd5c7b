// vantrel-converter: the desktop program. An optional file or folder presets the wizard.

#include <QApplication>

#include "app/startup.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    return vt::app::run_desktop_program(app, arguments);
}
