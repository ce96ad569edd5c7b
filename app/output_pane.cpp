#include "app/output_pane.h"

#include <QPainter>

#include "app/bubble.h"
#include "app/dpi.h"
#include "app/pane_paint.h"
#include "app/taskbar.h"
#include "app/translate.h"
#include "platform/system.h"
#include "session/desktop_rules.h"
#include "session/progress_display.h"

namespace vt::app {
namespace {

constexpr int kPadding = 12;

std::u16string translate16(std::u16string_view text) {
    return xlat(to_qstring(text)).toStdU16String();
}

} // namespace

OutputPane::OutputPane(engine::ConversionRun& run, QWidget* parent)
    : QWidget(parent), m_run(run), m_taskbar(std::make_unique<TaskbarEntry>()) {
    setObjectName(QStringLiteral("VTLneo_Output"));
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&m_timer, &QTimer::timeout, this, &OutputPane::refresh);
    m_timer.start(session::output_refresh_ms(false, false));
    refresh();
}

OutputPane::~OutputPane() = default;

void OutputPane::refresh() {
    engine::JobStats stats;
    const bool active = m_run.take_snapshot(stats);
    showSnapshot(stats, active);
}

void OutputPane::setDriven(bool driven) {
    m_driven = driven;
    if (driven)
        m_timer.stop();
    else
        m_timer.start();
}

void OutputPane::showSnapshot(const engine::JobStats& stats, bool active) {
    m_stats = stats;
    m_active = active;
    m_processors = platform::processor_count();
    const bool paused = m_active && m_run.state() == engine::JobState::paused;
    const int period = session::output_refresh_ms(m_active, paused);
    if (period != m_timer.interval()) {
        m_timer.setInterval(period);
        if (!m_driven)
            m_timer.start();
    }
    m_taskbar->show(session::taskbar_progress(m_stats, m_active));
    redraw();
}

void OutputPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    redraw();
}

void OutputPane::redraw() {
    if (!fit_canvas(m_canvas, *this))
        return;
    QPainter p(&m_canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(252, 252, 254));
    const int pad = dpi_scale(kPadding);
    const int text_width = std::max(1, width() - 2 * pad);
    int y = pad;
    m_texts.clear();

    // The status line, the path cut in its middle when the pane is too narrow.
    const QString status = to_qstring(session::status_line(m_stats, m_run.state(), translate16));
    p.setFont(pane_font(font(), 1.2, true));
    p.setPen(QColor(28, 34, 60));
    const QFontMetrics status_metrics = p.fontMetrics();
    p.drawText(QRect(pad, y, text_width, status_metrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
               status_metrics.elidedText(status, Qt::ElideMiddle, text_width));
    m_texts << status;
    y += status_metrics.height() + dpi_scale(8);

    // The rows: labels in one column, values in the next.
    const auto rows = session::output_rows(m_stats, m_estimate.update(m_stats, m_active),
                                           m_processors, platform::now(), translate16);
    p.setFont(pane_font(font(), 1.1));
    const QFontMetrics row_metrics = p.fontMetrics();
    QStringList labels;
    int label_width = 0;
    for (const session::OutputRow& row : rows) {
        labels << xlat(to_qstring(row.label));
        label_width = std::max(label_width, row_metrics.horizontalAdvance(labels.back()));
    }
    const int line = row_metrics.height() + dpi_scale(2);
    const int value_left = pad + label_width + dpi_scale(16);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QString value = to_qstring(rows[i].value);
        p.setPen(QColor(70, 76, 100));
        p.drawText(QRect(pad, y, label_width, line), Qt::AlignLeft | Qt::AlignVCenter,
                   labels[static_cast<int>(i)]);
        p.setPen(QColor(20, 24, 40));
        p.drawText(QRect(value_left, y, std::max(1, width() - value_left - pad), line),
                   Qt::AlignLeft | Qt::AlignVCenter, value);
        m_texts << labels[static_cast<int>(i)] + QLatin1Char(' ') + value;
        y += line;
    }

    const std::u16string error = session::last_error_line(m_stats);
    if (!error.empty()) {
        y += dpi_scale(4);
        const QString text = xlat(to_qstring(error));
        p.setPen(QColor(176, 40, 32));
        p.drawText(QRect(pad, y, text_width, line), Qt::AlignLeft | Qt::AlignVCenter,
                   row_metrics.elidedText(text, Qt::ElideMiddle, text_width));
        m_texts << text;
        y += line;
    }

    y += dpi_scale(8);
    drawPreview(p, QRect(pad, y, text_width, height() - pad - y));
    p.end();
    update();
}

void OutputPane::drawPreview(QPainter& p, const QRect& area) {
    if (area.width() < 4 || area.height() < 4)
        return;
    // Holding the picture keeps it alive while a worker puts a newer one in its place.
    const std::shared_ptr<const engine::Picture> picture = m_run.preview();
    if (picture != m_preview_source) {
        m_preview_source = picture;
        m_preview = picture ? preview_image(*picture) : QImage();
        if (m_target_alpha == session::TargetAlpha::on_white && !m_preview.isNull()) {
            QImage flat(m_preview.size(), QImage::Format_RGB32);
            flat.fill(Qt::white);
            QPainter onto(&flat);
            onto.drawImage(0, 0, m_preview);
            onto.end();
            m_preview = flat;
        } else if (m_target_alpha == session::TargetAlpha::dropped && !m_preview.isNull()) {
            m_preview = m_preview.convertToFormat(QImage::Format_RGB32);
        }
    }
    if (m_preview.isNull())
        return;
    // Fitted into the area, never enlarged, centred.
    QSize size = m_preview.size();
    if (size.width() > area.width() || size.height() > area.height())
        size.scale(area.size(), Qt::KeepAspectRatio);
    const QRect target(area.left() + (area.width() - size.width()) / 2,
                       area.top() + (area.height() - size.height()) / 2, size.width(),
                       size.height());
    // Scaled once per picture and size, not on every refresh.
    const QSize pixels = size * p.device()->devicePixelRatioF();
    if (m_scaled.size() != pixels || m_scaled_from != m_preview.cacheKey()) {
        m_scaled = m_preview.size() == pixels
                       ? m_preview
                       : m_preview.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        m_scaled.setDevicePixelRatio(p.device()->devicePixelRatioF());
        m_scaled_from = m_preview.cacheKey();
    }
    // A checkerboard under transparent parts (a flattened preview has none).
    const int cell = dpi_scale(m_preview.hasAlphaChannel() ? 8 : 0);
    if (cell > 0) {
        p.save();
        p.setClipRect(target);
        for (int cy = target.top(); cy < target.bottom() + 1; cy += cell)
            for (int cx = target.left(); cx < target.right() + 1; cx += cell)
                p.fillRect(cx, cy, cell, cell,
                           ((cx - target.left()) / cell + (cy - target.top()) / cell) % 2
                               ? QColor(204, 204, 210)
                               : QColor(244, 244, 248));
        p.restore();
    }
    p.drawImage(target.topLeft(), m_scaled);
    p.setPen(QColor(176, 180, 200));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(target).adjusted(-0.5, -0.5, 0.5, 0.5));
}

void OutputPane::setTargetExtension(const QString& extension) {
    const session::TargetAlpha alpha = session::target_alpha(extension.toStdU16String());
    if (alpha != m_target_alpha) {
        m_target_alpha = alpha;
        m_preview_source.reset(); // made again on the next drawing
    }
}

void OutputPane::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    p.drawImage(0, 0, m_canvas);
}

void OutputPane::mouseMoveEvent(QMouseEvent* event) {
    QWidget::mouseMoveEvent(event);
    remove_bubble();
}

} // namespace vt::app
