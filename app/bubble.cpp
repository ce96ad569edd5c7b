#include "app/bubble.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include "app/dpi.h"
#include "app/pane_paint.h"
#include "app/translate.h"
#include "session/bubble_text.h"

namespace vt::app {
namespace {

class Bubble : public QWidget {
public:
    explicit Bubble(QWidget* window)
        : QWidget(window, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                              Qt::WindowTransparentForInput) {
        setObjectName(QStringLiteral("VTLneo_Bubble"));
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TranslucentBackground);
        setFocusPolicy(Qt::NoFocus);
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.start(session::kBubbleFirstTickMs);
    }

    void take(const QString& text, QWidget* owner, unsigned flags) {
        const QPoint pointer = QCursor::pos();
        if (owner == m_owner && pointer == m_pointer && text == m_text && isVisible())
            return;
        m_text = text;
        m_owner = owner;
        m_pointer = pointer;
        m_shown_ms = 0;
        m_opacity = 255;
        m_warning = !(flags & kBubbleNoWarning) && session::is_warning_text(text.toStdU16String());
        const session::BubbleText parts = session::split_bubble_text(xlat(text).toStdU16String());
        m_title = to_qstring(parts.title);
        m_body = to_qstring(parts.body);
        setAccessibleName(m_title);
        setAccessibleDescription(m_body);
        setProperty("warning", m_warning);
        layout();
        show();
        update();
        m_timer.start(session::kBubbleFirstTickMs);
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setOpacity(m_opacity / 255.0);
        const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const qreal radius = dpi_scale(6);
        QLinearGradient back(0, 0, 0, height());
        back.setColorAt(0, m_warning ? QColor(255, 240, 232) : QColor(252, 252, 255));
        back.setColorAt(1, m_warning ? QColor(252, 214, 200) : QColor(228, 232, 246));
        p.setPen(QPen(m_warning ? QColor(196, 64, 40) : QColor(110, 120, 160), 1));
        p.setBrush(back);
        p.drawRoundedRect(frame, radius, radius);
        const int margin = dpi_scale(kMargin) / 2;
        QRect text = rect().adjusted(margin, margin, -margin, -margin);
        p.setFont(titleFont());
        p.setPen(m_warning ? QColor(160, 32, 16) : QColor(24, 32, 64));
        p.drawText(text, Qt::AlignLeft | Qt::AlignTop | Qt::TextExpandTabs, m_title);
        if (!m_body.isEmpty()) {
            text.setTop(text.top() + QFontMetrics(titleFont()).height() + dpi_scale(4));
            p.setFont(bodyFont());
            p.setPen(QColor(48, 52, 72));
            p.drawText(text, Qt::AlignLeft | Qt::AlignTop | Qt::TextExpandTabs, m_body);
        }
    }

private:
    static constexpr int kMargin = 24;

    [[nodiscard]] QFont titleFont() const { return pane_font(font(), 1.1, true); }
    [[nodiscard]] QFont bodyFont() const { return pane_font(font(), 1.0); }

    void layout() {
        const QFontMetrics title(titleFont()), body(bodyFont());
        const int flags = Qt::TextExpandTabs;
        const QRect t = title.boundingRect(QRect(), flags, m_title);
        const QRect b = m_body.isEmpty() ? QRect() : body.boundingRect(QRect(), flags, m_body);
        const bool tab = m_title.contains(QLatin1Char('\t')) || m_body.contains(QLatin1Char('\t'));
        const int margin = dpi_scale(kMargin);
        const int w = std::max(t.width(), b.width()) + (tab ? 4 : 0) + margin;
        const int h = t.height() + (m_body.isEmpty() ? 0 : b.height() + dpi_scale(4)) + margin;
        const QScreen* screen = QGuiApplication::screenAt(m_pointer);
        if (!screen)
            screen = m_owner ? m_owner->screen() : QGuiApplication::primaryScreen();
        const QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1 << 14, 1 << 14);
        const session::BubblePoint at =
            session::place_bubble({m_pointer.x(), m_pointer.y()}, w, h,
                                  {work.left(), work.top(), work.right() + 1, work.bottom() + 1},
                                  {dpi_scale(30), dpi_scale(28), dpi_scale(24)});
        setGeometry(at.x, at.y, w, h);
    }

    // The pointer must stay over the owner; over anything else (the bubble included) the
    // bubble goes.
    [[nodiscard]] bool pointerOverOwner() const {
        if (!m_owner || !m_owner->isVisible())
            return false;
        const QPoint pointer = QCursor::pos();
        return m_owner->rect().contains(m_owner->mapFromGlobal(pointer)) &&
               !geometry().contains(pointer);
    }

    void tick() {
        int next = 999;
        if (isVisible()) {
            if (!pointerOverOwner()) {
                hide();
            } else {
                m_shown_ms += static_cast<std::uint32_t>(m_timer.interval());
                const session::BubbleFade fade = session::bubble_fade(m_shown_ms);
                next = fade.next_ms;
                if (!fade.visible) {
                    hide();
                } else if (fade.opacity != m_opacity) {
                    m_opacity = fade.opacity;
                    update();
                }
            }
        }
        m_timer.start(next);
    }

    QTimer m_timer{this};
    QString m_text, m_title, m_body;
    QPointer<QWidget> m_owner;
    QPoint m_pointer;
    std::uint32_t m_shown_ms = 0;
    int m_opacity = 255;
    bool m_warning = false;
};

QPointer<Bubble> g_bubble;

} // namespace

void show_bubble(const QString& text, QWidget* owner, unsigned flags) {
    if (text.isEmpty() || !owner) {
        if (g_bubble)
            g_bubble->hide();
        return;
    }
    // The bubble belongs to its owner's window, so that it goes when the window goes.
    if (g_bubble && g_bubble->parentWidget() != owner->window())
        remove_bubble();
    if (!g_bubble)
        g_bubble = new Bubble(owner->window());
    g_bubble->take(text, owner, flags);
}

void remove_bubble() {
    delete g_bubble.data();
    g_bubble = nullptr;
}

QWidget* bubble_window() {
    return g_bubble.data();
}

} // namespace vt::app
