#include "app/wizard/rename_page.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "app/translate.h"

namespace vt::app {
namespace {

QLineEdit* text_field(QWidget* page, const char* name, int capacity, std::u16string_view value) {
    auto* field = new QLineEdit(page);
    field->setObjectName(QLatin1String(name));
    field->setMaxLength(capacity - 1);
    field->setText(to_q(value));
    return field;
}

} // namespace

RenamePage::RenamePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(3, u"Set Renaming Options", job, owner, std::move(help)) {
    m_rename = new QCheckBox(xlat(u"Rename files"), this);
    m_rename->setObjectName(QStringLiteral("rename"));
    body()->addWidget(m_rename);

    auto* pattern_row = new QHBoxLayout;
    pattern_row->addWidget(new QLabel(xlat(u"Pattern:"), this));
    m_pattern = text_field(this, "pattern", 96, m_job.renamePattern.view());
    pattern_row->addWidget(m_pattern, 1);
    body()->addLayout(pattern_row);

    m_help = new QPlainTextEdit(this);
    m_help->setReadOnly(true);
    m_help->setObjectName(QStringLiteral("pattern_help"));
    m_help->setPlainText(xlat(u"%s = source file name\r\n%f = source folder name\r\n%w = width\r\n"
                              u"%h = height\r\n%n = sequence number\r\n"
                              u"%nn = zero-padded sequence number\r\n\r\n\r\n"));
    body()->addWidget(m_help, 1);

    m_replace = new QCheckBox(xlat(u"Replace characters and words:"), this);
    m_replace->setObjectName(QStringLiteral("replace"));
    body()->addWidget(m_replace);
    auto* replace_row = new QHBoxLayout;
    m_from = text_field(this, "from", 32, m_job.replaceFrom.view());
    m_to = text_field(this, "to", 32, m_job.replaceTo.view());
    replace_row->addWidget(m_from, 1);
    replace_row->addWidget(new QLabel(QStringLiteral(">>"), this));
    replace_row->addWidget(m_to, 1);
    body()->addLayout(replace_row);

    m_lowercase = new QCheckBox(xlat(u"Convert to lowercase"), this);
    m_lowercase->setObjectName(QStringLiteral("lowercase"));
    body()->addWidget(m_lowercase);

    m_rename->setChecked(m_job.rename != 0);
    m_replace->setChecked(m_job.replaceText != 0);
    m_lowercase->setChecked(m_job.lowercase != 0);
    enableControls();
    for (QCheckBox* box : {m_rename, m_replace, m_lowercase})
        connect(box, &QCheckBox::toggled, this, [this] {
            store();
            enableControls();
        });
}

void RenamePage::store() {
    m_job.rename = m_rename->isChecked() ? 1 : 0;
    m_job.replaceText = m_replace->isChecked() ? 1 : 0;
    m_job.lowercase = m_lowercase->isChecked() ? 1 : 0;
    m_job.renamePattern.assign(m_pattern->text().toStdU16String());
    m_job.replaceFrom.assign(m_from->text().toStdU16String());
    m_job.replaceTo.assign(m_to->text().toStdU16String());
}

void RenamePage::enableControls() {
    const bool rename = m_job.rename != 0;
    for (QWidget* w : {static_cast<QWidget*>(m_pattern), static_cast<QWidget*>(m_help),
                       static_cast<QWidget*>(m_replace), static_cast<QWidget*>(m_lowercase)})
        w->setEnabled(rename);
    m_from->setEnabled(rename && m_job.replaceText != 0);
    m_to->setEnabled(rename && m_job.replaceText != 0);
}

void RenamePage::storeForBack() {
    store();
}

bool RenamePage::storeForNext() {
    store();
    const auto refusal = engine::check_renaming(m_job);
    return refusal ? refuse(refusal) : true;
}

} // namespace vt::app
