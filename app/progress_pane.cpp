#include "app/progress_pane.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "app/bubble.h"
#include "app/dpi.h"
#include "app/pane_paint.h"
#include "app/translate.h"

namespace vt::app {
namespace {

using session::ProgressPart;

constexpr int kHeight = 108;
constexpr int kMargin = 10;
constexpr int kButton = 40;
constexpr int kGaugeHeight = 24;
constexpr int kGap = 8;

} // namespace

ProgressPane::ProgressPane(engine::ConversionRun& run, QWidget* parent)
    : QWidget(parent), m_run(run) {
    setObjectName(QStringLiteral("VTLneo_Progress"));
    setFixedHeight(dpi_scale(kHeight));
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_power = platform::power_status();
    connect(&m_timer, &QTimer::timeout, this, &ProgressPane::refresh);
    m_timer.start(session::progress_refresh_ms(false, m_power));
    refresh();
}

QRect ProgressPane::partRect(ProgressPart part) const {
    const int m = dpi_scale(kMargin), b = dpi_scale(kButton), g = dpi_scale(kGap);
    const int gauge_left = m + b + dpi_scale(12);
    const int gauge_width = std::max(1, width() - gauge_left - m);
    const int gh = dpi_scale(kGaugeHeight), gauge_gap = (height() - 2 * m - 3 * gh) / 2;
    switch (part) {
    case ProgressPart::first_button:
        return {m, m, b, b};
    case ProgressPart::second_button:
        return {m, m + b + g, b, b};
    case ProgressPart::processor:
        return {gauge_left, m, gauge_width, gh};
    case ProgressPart::memory:
        return {gauge_left, m + gh + gauge_gap, gauge_width, gh};
    case ProgressPart::progress:
        return {gauge_left, m + 2 * (gh + gauge_gap), gauge_width, gh};
    case ProgressPart::none:
        break;
    }
    return {};
}

ProgressPart ProgressPane::partAt(QPoint point) const {
    for (const ProgressPart part :
         {ProgressPart::first_button, ProgressPart::second_button, ProgressPart::processor,
          ProgressPart::memory, ProgressPart::progress})
        if (partRect(part).contains(point))
            return part;
    return ProgressPart::none;
}

void ProgressPane::refresh() {
    engine::JobStats stats;
    const bool active = m_run.take_snapshot(stats);
    showSnapshot(stats, active);
}

void ProgressPane::setDriven(bool driven) {
    m_driven = driven;
    if (driven)
        m_timer.stop();
    else
        m_timer.start();
}

void ProgressPane::showSnapshot(const engine::JobStats& stats, bool active) {
    m_view = session::progress_view(stats, active, m_run.state(), m_view.progress);
    m_processor.sample(platform::read_processor_times());
    m_memory = platform::read_memory_load().value_or(0);
    // The power status changes slowly; reading it about once a second is plenty.
    if (++m_power_age * m_timer.interval() >= 1000) {
        m_power = platform::power_status();
        m_power_age = 0;
    }
    const int period = session::progress_refresh_ms(active, m_power);
    if (period != m_timer.interval()) {
        m_timer.setInterval(period);
        if (!m_driven)
            m_timer.start();
    }
    redraw();
}

void ProgressPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    redraw();
}

void ProgressPane::redraw() {
    if (!fit_canvas(m_canvas, *this))
        return;
    QPainter p(&m_canvas);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient back(0, 0, 0, height());
    back.setColorAt(0, QColor(244, 245, 250));
    back.setColorAt(1, QColor(226, 228, 240));
    p.fillRect(rect(), back);
    p.setPen(QColor(196, 198, 214));
    p.drawLine(0, height() - 1, width(), height() - 1);

    drawButton(p, ProgressPart::first_button);
    drawButton(p, ProgressPart::second_button);
    const int cpu = m_processor.value(m_view.active);
    const auto percent = [](int v) { return QStringLiteral("%1%").arg(v); };
    drawGauge(p, ProgressPart::processor, cpu * 100, percent(cpu), QColor(122, 168, 232));
    drawGauge(p, ProgressPart::memory, m_memory * 100, percent(m_memory), QColor(130, 204, 150));
    drawGauge(p, ProgressPart::progress, std::max(0, m_view.progress),
              xlat(to_qstring(session::progress_label(m_view))),
              m_view.paused ? QColor(232, 196, 100) : QColor(240, 160, 90));
    p.end();
    update();
}

void ProgressPane::drawButton(QPainter& p, ProgressPart part) const {
    const QRectF r = QRectF(partRect(part)).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool enabled = part == ProgressPart::first_button || m_view.active;
    QColor face = m_hover == part && enabled ? QColor(255, 255, 255) : QColor(248, 248, 252);
    if (m_pressed == part && m_hover == part && enabled)
        face = QColor(214, 220, 240);
    const qreal radius = dpi_scale(6);
    p.setPen(QPen(m_hover == part && enabled ? QColor(90, 110, 170) : QColor(168, 172, 196), 1));
    p.setBrush(face);
    p.drawRoundedRect(r, radius, radius);

    // The symbol: a plus for a new job, two bars to pause, a triangle to continue, a square to
    // cancel.
    const QPointF c = r.center();
    const qreal s = r.width() * 0.22;
    p.setPen(Qt::NoPen);
    if (part == ProgressPart::second_button) {
        p.setBrush(enabled ? QColor(204, 64, 56) : QColor(190, 190, 200));
        p.drawRoundedRect(QRectF(c.x() - s, c.y() - s, 2 * s, 2 * s), s / 4, s / 4);
    } else if (!m_view.active) {
        p.setBrush(QColor(56, 150, 80));
        const qreal w = s / 2.5;
        p.drawRect(QRectF(c.x() - w / 2, c.y() - s * 1.1, w, s * 2.2));
        p.drawRect(QRectF(c.x() - s * 1.1, c.y() - w / 2, s * 2.2, w));
    } else if (m_view.paused) {
        p.setBrush(QColor(56, 150, 80));
        QPainterPath triangle;
        triangle.moveTo(c.x() - s * 0.8, c.y() - s * 1.1);
        triangle.lineTo(c.x() + s * 1.1, c.y());
        triangle.lineTo(c.x() - s * 0.8, c.y() + s * 1.1);
        triangle.closeSubpath();
        p.drawPath(triangle);
    } else {
        p.setBrush(QColor(60, 84, 150));
        const qreal w = s * 0.7;
        p.drawRect(QRectF(c.x() - s * 0.9, c.y() - s, w, 2 * s));
        p.drawRect(QRectF(c.x() + s * 0.9 - w, c.y() - s, w, 2 * s));
    }
}

void ProgressPane::drawGauge(QPainter& p, ProgressPart part, int value, const QString& text,
                             const QColor& fill) const {
    const QRectF r = QRectF(partRect(part)).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = dpi_scale(4);
    p.setPen(QPen(QColor(168, 172, 196), 1));
    p.setBrush(QColor(255, 255, 255));
    p.drawRoundedRect(r, radius, radius);
    const qreal filled = r.width() * std::clamp(value, 0, 10000) / 10000.0;
    if (filled > 0) {
        QPainterPath track;
        track.addRoundedRect(r, radius, radius);
        p.save();
        p.setClipPath(track);
        QLinearGradient shade(0, r.top(), 0, r.bottom());
        shade.setColorAt(0, fill.lighter(125));
        shade.setColorAt(1, fill);
        p.fillRect(QRectF(r.left(), r.top(), filled, r.height()), shade);
        p.restore();
    }
    p.setPen(QColor(32, 36, 52));
    p.setFont(pane_font(font(), 1.1, true));
    p.drawText(r, Qt::AlignCenter,
               p.fontMetrics().elidedText(text, Qt::ElideRight, static_cast<int>(r.width()) - 8));
}

void ProgressPane::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    p.drawImage(0, 0, m_canvas);
}

void ProgressPane::mouseMoveEvent(QMouseEvent* event) {
    const ProgressPart part = partAt(event->position().toPoint());
    if (part != m_hover) {
        m_hover = part;
        redraw();
    }
    show_bubble(to_qstring(session::part_bubble_text(part, m_view)), this);
}

void ProgressPane::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_pressed = partAt(event->position().toPoint());
        redraw();
    }
}

void ProgressPane::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = ProgressPart::none;
    redraw();
    switch (partAt(event->position().toPoint())) {
    case ProgressPart::first_button:
        if (session::first_button_command(m_view) == session::FirstButtonCommand::new_job)
            emit newJobRequested();
        else
            emit pauseRequested();
        break;
    case ProgressPart::second_button:
        emit cancelRequested();
        break;
    default:
        break;
    }
}

void ProgressPane::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    m_hover = ProgressPart::none;
    redraw();
    show_bubble(QString(), this);
}

} // namespace vt::app
