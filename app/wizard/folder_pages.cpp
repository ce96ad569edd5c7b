#include "app/wizard/folder_pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/folder_chooser.h"
#include "app/translate.h"
#include "app/wizard/job_options.h"
#include "engine/job_checks.h"
#include "lang/xlat.h"
#include "platform/files.h"
#include "session/job_door.h"

namespace vt::app {
namespace {

// The folder field with its "Select Folder" button, which stores the field first and starts the
// chooser there.
QLineEdit* add_folder_row(WizardPage* page, QVBoxLayout* body, const char16_t* prompt,
                          engine::PathText& stored) {
    auto* row = new QHBoxLayout;
    auto* field = new QLineEdit(page);
    field->setObjectName(QStringLiteral("folder"));
    field->setMaxLength(static_cast<int>(engine::PathText::capacity()) - 1);
    auto* choose = new QPushButton(xlat(u"Select Folder"), page);
    row->addWidget(field, 1);
    row->addWidget(choose);
    body->addLayout(row);
    QObject::connect(choose, &QPushButton::clicked, page, [page, field, prompt, &stored] {
        stored.assign(field->text().toStdU16String());
        const QString chosen = choose_folder(page, xlat(prompt), field->text());
        if (!chosen.isEmpty())
            field->setText(chosen);
    });
    return field;
}

QLabel* heading(QWidget* page, const char16_t* text) {
    auto* label = new QLabel(xlat(text), page);
    label->setWordWrap(true);
    return label;
}

} // namespace

SourcePage::SourcePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(1, u"Select Source Folder and Options", job, owner, std::move(help)) {
    body()->addWidget(heading(this, u"Source folder with the pictures to convert:"));
    m_folder = add_folder_row(this, body(), u"Select source folder for the files to convert:",
                              m_job.sourceFolder);
    m_subfolders = new QCheckBox(xlat(u"Include sub-folders"), this);
    m_subfolders->setObjectName(QStringLiteral("subfolders"));
    body()->addWidget(m_subfolders);
    // Pictures chosen on the desktop make a job of exactly those; another folder typed in, or
    // the box cleared, goes back to the whole folder.
    const std::size_t chosen = session::job_files().size();
    m_chosen = new QCheckBox(
        xlat(u"Only the chosen pictures") + QStringLiteral(" (%1)").arg(chosen), this);
    m_chosen->setObjectName(QStringLiteral("chosen_files"));
    m_chosen->setChecked(chosen > 0);
    m_chosen->setVisible(chosen > 0);
    body()->addWidget(m_chosen);
    connect(m_folder, &QLineEdit::textEdited, m_chosen, [this] { m_chosen->setChecked(false); });
    body()->addStretch(1);
    // A preset and START: the whole job in one click, the folder above as its source.
    body()->addWidget(heading(this, u"Or convert at once with a preset:"));
    auto* presets = new QHBoxLayout;
    m_presets = new QComboBox(this);
    m_presets->setObjectName(QStringLiteral("presets"));
    for (const QString& file : preset_files())
        m_presets->addItem(QFileInfo(file).completeBaseName(), file);
    auto* start = new QPushButton(xlat(u"START"), this);
    start->setObjectName(QStringLiteral("preset_start"));
    start->setEnabled(m_presets->count() > 0);
    presets->addWidget(m_presets, 1);
    presets->addWidget(start);
    body()->addLayout(presets);
    connect(start, &QPushButton::clicked, this, [this] {
        if (startPreset())
            done(kStart);
    });
    m_folder->setText(to_q(m_job.sourceFolder.view()));
    m_subfolders->setChecked(m_job.includeSubfolders != 0);
}

bool SourcePage::startPreset() {
    if (!storeForNext())
        return false;
    const engine::PathText source = m_job.sourceFolder;
    QString error;
    if (!load_preset_into(m_presets->currentData().toString(), m_job, error)) {
        (void)lang::XlatMessageBox(error.toStdU16String(), u"Preset Error",
                                   platform::MessageButtons::ok, platform::MessageIcon::error);
        return false;
    }
    // The folder on this page is the source, whatever the preset was saved with; the target
    // page is skipped, so its proposal (in the user's language) is the target unless the preset
    // names one.
    m_job.sourceFolder = source;
    if (m_job.targetFolder.view().size() < 3)
        m_job.targetFolder.assign(m_job.sourceFolder.str() + u" (" +
                                  xlat(u"Converted").toStdU16String() + u")");
    m_job.targetFolder.assign(engine::propose_target_folder(
        m_job.sourceFolder.view(), m_job.targetFolder.view(), m_job.overwrite != 0));
    auto prepared = session::prepare_job(m_job, {}, engine::PrepareMode::run);
    if (const auto* refusal = std::get_if<engine::JobRefusal>(&prepared)) {
        (void)lang::XlatMessageBox(engine::refusal_message(*refusal),
                                   refusal->title.empty() ? u"Preset Error" : refusal->title,
                                   platform::MessageButtons::ok, platform::MessageIcon::none);
        return false;
    }
    m_prepared = std::move(std::get<engine::PreparedJob>(prepared));
    return true;
}

bool SourcePage::storeForNext() {
    m_job.includeSubfolders = m_subfolders->isChecked() ? 1 : 0;
    if (!m_chosen->isChecked())
        session::set_job_files({});
    std::u16string folder = m_folder->text().toStdU16String();
    const auto refusal = engine::check_source_folder(folder);
    m_job.sourceFolder.assign(folder);
    return refusal ? refuse(refusal) : true;
}

TargetPage::TargetPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(2, u"Select Target Folder and Options", job, owner, std::move(help)) {
    body()->addWidget(heading(this, u"Target folder for the converted pictures:"));
    m_folder = add_folder_row(this, body(), u"Select target folder for converted files:",
                              m_job.targetFolder);
    m_overwrite = new QCheckBox(xlat(u"Overwrite if target exists"), this);
    m_open = new QCheckBox(xlat(u"Open target folder when done"), this);
    m_overwrite->setObjectName(QStringLiteral("overwrite"));
    m_open->setObjectName(QStringLiteral("open"));
    body()->addWidget(m_overwrite);
    body()->addWidget(m_open);
    body()->addStretch(1);

    if (platform::is_directory(m_job.sourceFolder.view())) {
        // The proposed name speaks the user's language; the rule below keeps any name given.
        if (m_job.targetFolder.view().size() < 3)
            m_job.targetFolder.assign(m_job.sourceFolder.str() + u" (" +
                                      xlat(u"Converted").toStdU16String() + u")");
        m_job.targetFolder.assign(engine::propose_target_folder(
            m_job.sourceFolder.view(), m_job.targetFolder.view(), m_job.overwrite != 0));
    }
    m_folder->setText(to_q(m_job.targetFolder.view()));
    m_overwrite->setChecked(m_job.overwrite != 0);
    m_open->setChecked(m_job.openTargetWhenDone != 0);
}

void TargetPage::storeForBack() {
    m_job.overwrite = m_overwrite->isChecked() ? 1 : 0;
    m_job.openTargetWhenDone = m_open->isChecked() ? 1 : 0;
    m_job.targetFolder.assign(m_folder->text().toStdU16String());
}

bool TargetPage::storeForNext() {
    storeForBack();
    std::u16string folder = m_job.targetFolder.str();
    auto refusal =
        engine::check_distinct_folders(m_job.sourceFolder.view(), engine::tidy_folder(folder));
    if (!refusal)
        refusal = engine::check_target_folder(folder, m_job.overwrite != 0);
    m_job.targetFolder.assign(folder);
    if (!refusal)
        return true;
    // Only the write test's refusal carries the hand.
    const bool denied = refusal->title == u"The destination is READ-ONLY.";
    return refuse(refusal, denied ? platform::MessageIcon::error : platform::MessageIcon::none);
}

} // namespace vt::app
