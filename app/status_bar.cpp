#include "app/status_bar.h"

#include <QApplication>
#include <QPainter>
#include <QSizeGrip>

#include "app/dpi.h"
#include "app/pane_paint.h"

namespace vt::app {

StatusBar::StatusBar(engine::ConversionRun& run, QWidget* parent)
    : QWidget(parent), m_run(run), m_grip(new QSizeGrip(this)) {
    setObjectName(QStringLiteral("VTLneo_StatusBar"));
    setFixedHeight(dpi_scale(28));
    m_grip->setFixedSize(dpi_scale(16), dpi_scale(16));
}

void StatusBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_grip->move(width() - m_grip->width(), height() - m_grip->height());
}

void StatusBar::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), kPaneGreyBlue);
    p.setPen(QColor(196, 198, 214));
    p.drawLine(0, 0, width(), 0);

    // The emblem: the program's icon when it has one, else three stacked pictures.
    const int side = dpi_scale(18);
    const QRect emblem((width() - side) / 2, (height() - side) / 2, side, side);
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull()) {
        icon.paint(&p, emblem);
        return;
    }
    const qreal step = side / 6.0, card = side - 2 * step;
    const QColor colours[] = {QColor(150, 170, 214), QColor(112, 140, 200), QColor(70, 100, 170)};
    for (int i = 0; i < 3; ++i) {
        const QRectF r(emblem.left() + i * step, emblem.top() + (2 - i) * step, card, card);
        p.setPen(QPen(QColor(255, 255, 255), 1));
        p.setBrush(colours[i]);
        p.drawRoundedRect(r, step / 2, step / 2);
    }
}

} // namespace vt::app
