#include <QApplication>

#include "app/main_window.h"
#include "session/session.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const vt::session::Session session;
    if (!session.started())
        return 3;
    vt::app::MainWindow window;
    window.show();
    return app.exec();
}
