#include "app/wizard/wizard_page.h"

#include <QApplication>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include "app/dpi.h"
#include "app/translate.h"
#include "lang/xlat.h"

namespace vt::app {
namespace {

// 300 x 250 dialog units in the dialog font of 96 DPI.
constexpr int kWidth = 450, kHeight = 406, kIcon = 32;

// The program's icon; the status bar's emblem of three stacked pictures when the desktop gives
// the program none (no icon theme, as on the offscreen platform).
QPixmap program_pixmap(int side) {
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("vantrel-converter"));
    if (!icon.isNull())
        return icon.pixmap(side);
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal step = side / 6.0, card = side - 2 * step;
    const QColor colours[] = {QColor(150, 170, 214), QColor(112, 140, 200), QColor(70, 100, 170)};
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(Qt::white, 1));
        p.setBrush(colours[i]);
        p.drawRoundedRect(QRectF(i * step, (2 - i) * step, card, card), step / 2, step / 2);
    }
    return pixmap;
}

} // namespace

QString to_q(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

int leading_number(const QString& text) {
    int value = 0;
    for (QChar c : text.trimmed()) {
        if (!c.isDigit() || value > 100000)
            break;
        value = value * 10 + c.digitValue();
    }
    return value;
}

QString fill_numbers(QString format, std::initializer_list<int> numbers) {
    qsizetype from = 0;
    for (int n : numbers) {
        from = format.indexOf(QLatin1String("%i"), from);
        if (from < 0)
            break;
        const QString digits = QString::number(n);
        format.replace(from, 2, digits);
        from += digits.size();
    }
    return format;
}

WizardPage::WizardPage(int number, const char16_t* title, engine::ConversionJob& job,
                       QWidget* owner, std::function<void()> help)
    : QDialog(owner), m_job(job), m_number(number) {
    setObjectName(QStringLiteral("wizard_page%1").arg(number));
    setWindowTitle(xlat(title));
    setFixedSize(dpi_scale(kWidth), dpi_scale(kHeight));

    auto* outer = new QVBoxLayout(this);
    m_body = new QVBoxLayout;
    outer->addLayout(m_body, 1);

    auto* bottom = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(program_pixmap(dpi_scale(kIcon)));
    bottom->addWidget(icon);
    bottom->addStretch(1);
    m_back = new QPushButton(xlat(number == 1 ? u"Cancel" : u"<< Back"), this);
    m_next = new QPushButton(xlat(number == 8 ? u"START" : u"Next >>"), this);
    m_back->setObjectName(QStringLiteral("back"));
    m_next->setObjectName(QStringLiteral("next"));
    m_next->setDefault(true);
    bottom->addWidget(m_back);
    bottom->addWidget(m_next);
    outer->addLayout(bottom);

    connect(m_next, &QPushButton::clicked, this, [this] {
        if (storeForNext())
            done(kNext);
    });
    connect(m_back, &QPushButton::clicked, this, [this] {
        if (m_number == 1) {
            done(kCancel);
            return;
        }
        storeForBack();
        done(kBack);
    });
    // Ctrl+Q quits the program from the page too: the page goes, and its owner is asked to
    // close as the window's own close would.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, [this] {
        reject();
        if (QWidget* above = parentWidget())
            above->window()->close();
    });
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [help = std::move(help)] {
        if (help)
            help();
    });
}

int WizardPage::run() {
    if (QWidget* owner = parentWidget()) {
        const QRect over = owner->frameGeometry();
        move(over.center() - QPoint(width() / 2, height() / 2));
    }
    return run_unblocking(*this);
}

int run_unblocking(QDialog& dialog) {
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.setResult(QDialog::Rejected);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    loop.exec(QEventLoop::DialogExec);
    return dialog.result();
}

bool WizardPage::refuse(const std::optional<engine::Refusal>& refusal, platform::MessageIcon icon) {
    if (refusal)
        (void)lang::XlatMessageBox(refusal->text, refusal->title, platform::MessageButtons::ok,
                                   icon);
    return false;
}

} // namespace vt::app
