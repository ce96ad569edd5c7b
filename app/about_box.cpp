#include "app/about_box.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include <QDialogButtonBox>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dpi.h"
#include "app/pane_paint.h"
#include "app/translate.h"
#include "gfxcore/runtime.h"

namespace vt::app {
namespace {

constexpr int kWidth = 460, kHeight = 250, kArtHeight = 200;

} // namespace

QString build_date_text(const char* compiler_date) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char month[4] = {};
    int day = 0, year = 0;
    if (std::sscanf(compiler_date, "%3s %d %d", month, &day, &year) != 3)
        return QString::fromLatin1(compiler_date);
    for (const char* m : kMonths)
        if (std::strcmp(m, month) == 0)
            return QString::asprintf("%02i-%3s-%04i", day, m, year);
    return QString::fromLatin1(compiler_date);
}

QString graphics_engine_text() {
    static const char* const kLevels[] = {"x86", "MMX", "SSE", "SSE2", "SSE3", "SSSE3", "SSE4.1"};
    const std::uint32_t level = gfx::cpu_level() ? gfx::cpu_level() : gfx::detect_cpu_level();
    return QStringLiteral("VxGRAF2 Imaging Engine 2.0 (%1)")
        .arg(QLatin1String(kLevels[level < 7 ? level : 0]));
}

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle(xlat(u"About Vantrel Converter"));
    setFixedSize(dpi_scale(kWidth), dpi_scale(kHeight));
    auto* layout = new QVBoxLayout(this);
    layout->addStretch(1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText(xlat(u"OK"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    if (parent) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(parent->geometry().center());
        move(frame.topLeft());
    }
    connect(&m_timer, &QTimer::timeout, this, [this] {
        ++m_frame;
        update(0, 0, width(), dpi_scale(kArtHeight));
    });
    m_timer.start(10);
}

QStringList AboutBox::shownTexts() const {
    return {QStringLiteral("Vantrel Converter"),
            xlat(u"Version") + QStringLiteral(" 5.08.01 (") + build_date_text(__DATE__) +
                QStringLiteral(")"),
            graphics_engine_text()};
}

void AboutBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF art(0, 0, width(), dpi_scale(kArtHeight));
    QLinearGradient sky(art.topLeft(), art.bottomLeft());
    sky.setColorAt(0, QColor(38, 52, 110));
    sky.setColorAt(1, QColor(120, 150, 210));
    p.fillRect(art, sky);
    // Three overlapping frames turning slowly: pictures becoming other pictures.
    const double t = m_frame * 0.01;
    const QPointF centre(art.width() * 0.2, art.height() * 0.5);
    const QColor colours[] = {QColor(240, 180, 60, 200), QColor(90, 200, 160, 200),
                              QColor(230, 90, 110, 200)};
    for (int i = 0; i < 3; ++i) {
        p.save();
        p.translate(centre);
        p.rotate(std::sin(t + i * 2.1) * 12 + (i - 1) * 14);
        const double side = dpi_scale(54 - i * 6);
        const QRectF card(-side / 2 + (i - 1) * dpi_scale(12), -side / 2, side, side * 0.8);
        p.setPen(QPen(Qt::white, dpi_scale(2)));
        p.setBrush(colours[i]);
        p.drawRoundedRect(card, 4, 4);
        p.restore();
    }
    // A sheen sweeping across.
    const double x = std::fmod(t * 120, art.width() + 200) - 100;
    QLinearGradient sheen(QPointF(x - 60, 0), QPointF(x + 60, 0));
    sheen.setColorAt(0, QColor(255, 255, 255, 0));
    sheen.setColorAt(0.5, QColor(255, 255, 255, 40));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(art, sheen);

    const QStringList texts = shownTexts();
    const int left = static_cast<int>(art.width() * 0.38);
    QRect line(left, dpi_scale(48), width() - left - dpi_scale(12), dpi_scale(30));
    p.setPen(Qt::white);
    p.setFont(pane_font(font(), 2.0, true));
    p.drawText(line, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, texts[0]);
    p.setFont(pane_font(font(), 1.1));
    line.translate(0, dpi_scale(40));
    line.setHeight(dpi_scale(20));
    p.drawText(line, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, texts[1]);
    line.translate(0, dpi_scale(26));
    line.setHeight(dpi_scale(44));
    p.setPen(QColor(225, 232, 250));
    p.setFont(pane_font(font(), 1.0));
    p.drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, texts[2]);
}

} // namespace vt::app
