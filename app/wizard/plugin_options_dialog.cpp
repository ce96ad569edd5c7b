#include "app/wizard/plugin_options_dialog.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/translate.h"
#include "base/utf.h"
#include "plugins/plugin_interface.h"
#include "plugins/state_store.h"
#include "session/remembered.h"

namespace vt::app {

QString stored_option_text(const std::string& name) {
    const std::u16string key = base::utf8_to_utf16(name);
    std::vector<std::uint8_t> bytes(plugins::kStateDataLimit);
    const int got = plugins::state_store().get(key, bytes);
    if (got <= 0)
        return {};
    bytes.resize(static_cast<std::size_t>(got));
    bool printable = true;
    for (std::uint8_t b : bytes)
        printable = printable && b >= 0x20 && b < 0x7f;
    if (got == 4 && !printable) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | bytes[static_cast<std::size_t>(i)];
        return QString::number(static_cast<std::int32_t>(v));
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), got);
}

PluginOptionsDialog::PluginOptionsDialog(std::vector<session::PluginOption> options,
                                         QWidget* parent)
    : QDialog(parent), m_options(std::move(options)) {
    setObjectName(QStringLiteral("plugin_options"));
    const QString plugin =
        m_options.empty()
            ? QString()
            : QFileInfo(QString::fromStdU16String(m_options.front().plugin)).completeBaseName();
    setWindowTitle(xlat(u"Configure") + QStringLiteral(" - ") + plugin);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    for (const session::PluginOption& o : m_options) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QString::fromStdString(o.name));
        field->setText(stored_option_text(o.name));
        field->setPlaceholderText(xlat(QString::fromStdString(o.default_value)));
        auto* meaning = new QLabel(xlat(QString::fromStdString(o.meaning)), this);
        meaning->setWordWrap(true);
        auto* cell = new QVBoxLayout;
        cell->addWidget(field);
        cell->addWidget(meaning);
        // The plug-in's prefix says nothing here: the title names the plug-in.
        const std::size_t dot = o.name.find('.');
        form->addRow(xlat(QString::fromStdString(
                         dot == std::string::npos ? o.name : o.name.substr(dot + 1))),
                     cell);
        m_fields.push_back(field);
    }
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        store();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void PluginOptionsDialog::store() {
    std::vector<std::u16string> names;
    for (std::size_t i = 0; i < m_options.size(); ++i) {
        const std::u16string name = base::utf8_to_utf16(m_options[i].name);
        const QString text = m_fields[i]->text().trimmed();
        if (text.isEmpty())
            (void)plugins::state_store().set(name, {});
        else
            session::set_plugin_option(name, text.toStdString());
        names.push_back(name);
    }
    // Kept for the next start too, as the user expects of settings.
    (void)session::remember_plugin_options(names);
}

int configure_plugin(const std::u16string& plugin, QWidget* parent) {
    const int own = plugins::show_dialog(plugin, parent ? parent->winId() : 0);
    if (own > 0)
        return own;
    std::vector<session::PluginOption> options;
    for (session::PluginOption& o : session::plugin_options())
        if (o.plugin == plugin)
            options.push_back(std::move(o));
    if (options.empty())
        return -1;
    PluginOptionsDialog dialog(std::move(options), parent);
    return dialog.exec() == QDialog::Accepted ? 1 : 2;
}

} // namespace vt::app
