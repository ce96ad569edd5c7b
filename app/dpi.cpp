#include "app/dpi.h"

#include <cmath>

#include <QGuiApplication>
#include <QScreen>

namespace vt::app {
namespace {

int screen_dpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int dpi = screen ? static_cast<int>(screen->logicalDotsPerInchX()) : 96;
    return std::max(96, dpi / 24 * 24);
}

} // namespace

int dpi_scale(int design_value) {
    static const int dpi = screen_dpi();
    return static_cast<int>(std::lround(design_value * static_cast<double>(dpi) / 96.0));
}

} // namespace vt::app
