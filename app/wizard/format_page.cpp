#include "app/wizard/format_page.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "app/dpi.h"
#include "app/launcher.h"
#include "app/translate.h"
#include "app/wizard/plugin_options_dialog.h"
#include "base/text.h"
#include "lang/xlat.h"
#include "plugins/filter_registry.h"
#include "plugins/plugin_interface.h"

namespace vt::app {
namespace {

constexpr std::u16string_view kListed[] = {
    u".avi", u".bmp", u".vt5", u".dds", u".gif", u".jpg", u".jp2", u".j2k",  u".jxr", u".mj2",
    u".ora", u".pcx", u".png", u".ppm", u".psd", u".tga", u".tif", u".webp", u".xcf", u".xpm"};
constexpr int kItemHeight = 28, kExtensionWidth = 64;

// Draws "extension|description" as the two side by side.
class FormatItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem base = option;
        initStyleOption(&base, index);
        const QString text = base.text;
        base.text.clear();
        QApplication::style()->drawControl(QStyle::CE_ItemViewItem, &base, painter);
        const qsizetype bar = text.indexOf(QLatin1Char('|'));
        QRect r = option.rect.adjusted(dpi_scale(6), 0, -dpi_scale(4), 0);
        painter->save();
        painter->setPen(option.palette.color(
            option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        QFont bold = option.font;
        bold.setBold(true);
        painter->setFont(bold);
        painter->drawText(r, Qt::AlignVCenter | Qt::AlignLeft, text.left(bar));
        painter->setFont(option.font);
        r.setLeft(r.left() + dpi_scale(kExtensionWidth));
        painter->drawText(r, Qt::AlignVCenter | Qt::AlignLeft, xlat(text.mid(bar + 1)));
        painter->restore();
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), dpi_scale(kItemHeight)};
    }
};

} // namespace

QStringList depth_items() {
    return {xlat(u"Automatic: 16 bits where both ends hold them"), xlat(u"8 bits"),
            xlat(u"16 bits")};
}

QStringList format_list_items() {
    QStringList items;
    for (std::u16string_view ext : kListed)
        for (const session::KnownFormat& f : session::known_formats())
            if (f.extension == ext) {
                items << to_q(ext) + QLatin1Char('|') +
                             QString::fromStdString(std::string(f.description));
                break;
            }
    items.sort();
    return items;
}

FormatPage::FormatPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(4, u"Select Target File Format", job, owner, std::move(help)) {
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("formats"));
    m_list->setItemDelegate(new FormatItemDelegate(m_list));
    m_list->addItems(format_list_items());
    body()->addWidget(m_list, 1);

    auto* other_row = new QHBoxLayout;
    m_other = new QCheckBox(xlat(u"Use Other Format"), this);
    m_other->setObjectName(QStringLiteral("use_other"));
    m_extension = new QLineEdit(QStringLiteral(".vt5"), this);
    m_extension->setObjectName(QStringLiteral("other_extension"));
    m_extension->setMaxLength(31);
    other_row->addWidget(m_other);
    other_row->addWidget(m_extension, 1);
    body()->addLayout(other_row);
    auto* configure_button = new QPushButton(xlat(u"Configure Plug-in"), this);
    configure_button->setObjectName(QStringLiteral("configure"));
    body()->addWidget(configure_button, 0, Qt::AlignLeft);
    auto* depth_row = new QHBoxLayout;
    m_depth = new QComboBox(this);
    m_depth->setObjectName(QStringLiteral("depth"));
    m_depth->addItems(depth_items());
    m_depth->setCurrentIndex(std::clamp(m_job.depth, 0, 2));
    depth_row->addWidget(new QLabel(xlat(u"Bits per channel:"), this));
    depth_row->addWidget(m_depth, 1);
    body()->addLayout(depth_row);

    const QString stored = to_q(m_job.targetExtension.view());
    int selected = stored.isEmpty() ? 0 : -1;
    for (int i = 0; selected < 0 && i < m_list->count(); ++i)
        if (m_list->item(i)->text().startsWith(stored, Qt::CaseInsensitive))
            selected = i;
    if (selected >= 0) {
        m_list->setCurrentRow(selected);
    } else {
        m_other->setChecked(true);
        m_extension->setText(stored);
    }
    m_list->setEnabled(!m_other->isChecked());
    connect(m_other, &QCheckBox::toggled, this, [this](bool on) { m_list->setEnabled(!on); });
    connect(configure_button, &QPushButton::clicked, this, &FormatPage::configure);
}

void FormatPage::storeChoice() {
    m_job.depth = m_depth->currentIndex();
    std::u16string ext;
    if (m_other->isChecked()) {
        ext = engine::normalize_extension(m_extension->text().toStdU16String());
    } else {
        const QListWidgetItem* item = m_list->currentItem();
        if (item == nullptr)
            return;
        const QString text = item->text();
        qsizetype end = 0;
        while (end < text.size() && text[end] != QLatin1Char('|') && text[end] != QLatin1Char(' '))
            ++end;
        ext = engine::normalize_extension(text.left(end).toStdU16String());
    }
    m_job.targetExtension.assign(ext);
}

void FormatPage::configure() {
    storeChoice();
    const std::u16string ext = m_job.targetExtension.str();
    const auto plugin = plugins::find_save_plugin(u"x" + ext, plugins::filter_registry());
    if (!plugin) {
        if (ext == u".vt5")
            (void)launch_suite_program(this, QStringLiteral("opt_Other"), {}, 0);
        else
            QApplication::beep();
        return;
    }
    if (configure_plugin(*plugin, this) > 0)
        m_configured = ext.substr(0, 15);
    else
        (void)lang::XlatMessageBox(u"Nothing to configure!", u"Configure",
                                   platform::MessageButtons::ok,
                                   platform::MessageIcon::information);
}

void FormatPage::storeForBack() {
    storeChoice();
}

bool FormatPage::storeForNext() {
    storeChoice();
    if (const auto refusal = engine::check_target_format(m_job))
        return refuse(refusal);
    const std::u16string ext = m_job.targetExtension.str();
    if (base::to_lower(ext) != base::to_lower(m_configured))
        if (const auto plugin = plugins::find_save_plugin(u"x" + ext, plugins::filter_registry()))
            (void)configure_plugin(*plugin, this);
    return true;
}

} // namespace vt::app
