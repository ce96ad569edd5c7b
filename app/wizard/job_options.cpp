#include "app/wizard/job_options.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

#include "app/translate.h"
#include "app/wizard/plugin_options_dialog.h"
#include "base/utf.h"
#include "engine/job_plan.h"
#include "engine/preset.h"
#include "lang/xlat.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "session/format_catalogue.h"
#include "session/job_door.h"

namespace vt::app {
namespace {

const char16_t* const kPolicies[] = {u"Replace it", u"Skip the file",
                                     u"Keep both (a numbered name)"};
const QString kPresetFilter = QStringLiteral("Presets (*.vtpreset);;All files (*)");
// A plan longer than this is cut in the dialog; the counts still cover every file.
constexpr std::size_t kPlanLinesShown = 2000;
constexpr int kMostShares = 9999;

} // namespace

QString job_options_summary(const engine::ConversionJob& job) {
    const engine::JobExtras& x = job.extras;
    QString text;
    const auto line = [&text](const char16_t* label, const QString& value) {
        text += xlat(label) + QStringLiteral(" = ") + value + QLatin1Char('\n');
    };
    if (x.existing != engine::ExistingPolicy::overwrite)
        line(u"If a target file exists", xlat(kPolicies[static_cast<int>(x.existing)]));
    if (x.keepTimes)
        line(u"Keep dates", xlat(u"Yes"));
    if (x.writeReport)
        line(u"Report", QStringLiteral("_report.jsonl"));
    if (!x.resumeFile.view().empty())
        line(u"Resume", xlat(u"Yes"));
    if (engine::sharded(job))
        line(u"Share of the job",
             QStringLiteral("%1 %2 %3").arg(x.shardIndex + 1).arg(xlat(u"of")).arg(x.shardCount));
    return text;
}

QString shipped_presets_folder() {
    return QString::fromStdU16String(platform::join_path(platform::data_folder(), u"Presets"));
}

QString own_presets_folder() {
    const QString folder =
        QString::fromStdU16String(platform::join_path(platform::program_data_folder(), u"Presets"));
    QDir().mkpath(folder);
    platform::keep_private(folder.toStdU16String());
    return folder;
}

QStringList preset_files() {
    QStringList files;
    for (const QString& folder : {shipped_presets_folder(), own_presets_folder()}) {
        const QDir dir(folder);
        for (const QString& name : dir.entryList({QStringLiteral("*.vtpreset")},
                                                 QDir::Files | QDir::Readable, QDir::Name))
            files << dir.filePath(name);
    }
    return files;
}

bool load_preset_into(const QString& path, engine::ConversionJob& job, QString& error) {
    engine::Preset preset;
    preset.job = job;
    std::string why;
    if (!engine::load_preset_file(path.toStdU16String(), preset, why)) {
        error = QString::fromStdString(why);
        return false;
    }
    // Options are written to the state store at once: a wrong one must not get that far.
    const engine::JobServices services = session::job_services();
    for (const auto& [name, value] : preset.options)
        if (const auto wrong = services.check_option(name, value)) {
            error = QString::fromStdString(*wrong);
            return false;
        }
    job = preset.job;
    for (const auto& [name, value] : preset.options)
        session::set_plugin_option(name, value);
    return true;
}

JobOptionsBox::JobOptionsBox(engine::ConversionJob& job, QWidget* parent)
    : QWidget(parent), m_job(job) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* existing_row = new QHBoxLayout;
    existing_row->addWidget(new QLabel(xlat(u"If a target file exists:"), this));
    m_existing = new QComboBox(this);
    m_existing->setObjectName(QStringLiteral("existing"));
    for (const char16_t* policy : kPolicies)
        m_existing->addItem(xlat(policy));
    existing_row->addWidget(m_existing, 1);
    layout->addLayout(existing_row);
    m_keep_times = new QCheckBox(xlat(u"Keep the dates of the source files"), this);
    m_keep_times->setObjectName(QStringLiteral("keep_times"));
    layout->addWidget(m_keep_times);
    m_report = new QCheckBox(xlat(u"Write a report of every file (_report.jsonl)"), this);
    m_report->setObjectName(QStringLiteral("write_report"));
    layout->addWidget(m_report);
    // The report of the last run, in the same target folder, is both read and continued.
    m_resume = new QCheckBox(xlat(u"Resume: leave out files the report lists as converted"), this);
    m_resume->setObjectName(QStringLiteral("resume"));
    layout->addWidget(m_resume);
    connect(m_resume, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            m_report->setChecked(true);
    });
    connect(m_report, &QCheckBox::toggled, this, [this](bool on) {
        if (!on)
            m_resume->setChecked(false);
    });
    // Computers that write into one target folder split the files by the hash of their paths.
    auto* share_row = new QHBoxLayout;
    share_row->addWidget(new QLabel(xlat(u"Share of the job:"), this));
    m_share = new QSpinBox(this);
    m_share->setObjectName(QStringLiteral("share"));
    m_shares = new QSpinBox(this);
    m_shares->setObjectName(QStringLiteral("shares"));
    m_shares->setRange(1, kMostShares);
    m_share->setRange(1, 1);
    m_share->setMinimumWidth(m_shares->sizeHint().width());
    const QString tip = xlat(u"Several computers that write into one target folder each convert "
                             u"their own share of the files");
    m_share->setToolTip(tip);
    m_shares->setToolTip(tip);
    share_row->addWidget(m_share);
    share_row->addWidget(new QLabel(xlat(u"of"), this));
    share_row->addWidget(m_shares);
    share_row->addStretch(1);
    layout->addLayout(share_row);
    connect(m_shares, &QSpinBox::valueChanged, this, [this](int n) { m_share->setMaximum(n); });

    auto* presets = new QHBoxLayout;
    auto* load = new QPushButton(xlat(u"Load Preset..."), this);
    load->setObjectName(QStringLiteral("load_preset"));
    auto* save = new QPushButton(xlat(u"Save Preset..."), this);
    save->setObjectName(QStringLiteral("save_preset"));
    auto* plan = new QPushButton(xlat(u"Show Plan..."), this);
    plan->setObjectName(QStringLiteral("show_plan"));
    presets->addWidget(load);
    presets->addWidget(save);
    presets->addStretch(1);
    presets->addWidget(plan);
    layout->addLayout(presets);
    connect(load, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, xlat(u"Load Preset"),
                                                          shipped_presets_folder(), kPresetFilter);
        QString error;
        if (!path.isEmpty() && !loadPreset(path, error))
            (void)lang::XlatMessageBox(error.toStdU16String(), u"Preset Error",
                                       platform::MessageButtons::ok, platform::MessageIcon::error);
    });
    connect(save, &QPushButton::clicked, this, [this] {
        store();
        const QString path = QFileDialog::getSaveFileName(this, xlat(u"Save Preset"),
                                                          own_presets_folder(), kPresetFilter);
        if (!path.isEmpty() && !savePreset(path))
            (void)lang::XlatMessageBox(u"The preset could not be written", u"Preset Error",
                                       platform::MessageButtons::ok, platform::MessageIcon::error);
    });
    connect(plan, &QPushButton::clicked, this, [this] {
        QDialog dialog(this);
        dialog.setObjectName(QStringLiteral("plan_dialog"));
        dialog.setWindowTitle(xlat(u"Plan of the Job"));
        auto* text = new QPlainTextEdit(planText(), &dialog);
        text->setReadOnly(true);
        text->setLineWrapMode(QPlainTextEdit::NoWrap);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
        connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        auto* column = new QVBoxLayout(&dialog);
        column->addWidget(text);
        column->addWidget(buttons);
        dialog.resize(640, 420);
        dialog.exec();
    });
    showJob();
}

QString JobOptionsBox::planText() {
    store();
    const auto prepared = session::prepare_job(m_job, {}, engine::PrepareMode::check);
    if (const auto* refusal = std::get_if<engine::JobRefusal>(&prepared))
        return xlat(refusal->text.c_str()) + QStringLiteral("\n") +
               QString::fromStdU16String(refusal->reason);
    const engine::JobPlan& plan = std::get<engine::PreparedJob>(prepared).plan();
    std::map<std::string, std::size_t> counts;
    QString lines;
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const engine::PlannedFile& f = plan.files[i];
        const char* action = engine::action_name(f.action);
        ++counts[action];
        if (i < kPlanLinesShown)
            lines += QString::fromStdU16String(f.relative) + QStringLiteral(" -> ") +
                     QString::fromStdU16String(f.target) + QStringLiteral("  (") +
                     xlat(QString::fromLatin1(action)) + QStringLiteral(")\n");
    }
    if (plan.files.size() > kPlanLinesShown)
        lines += QStringLiteral("...\n");
    QString summary =
        xlat(u"Files planned") + QStringLiteral(": ") + QString::number(plan.files.size());
    for (const auto& [action, count] : counts)
        summary += QStringLiteral(", ") + xlat(QString::fromLatin1(action.c_str())) +
                   QStringLiteral(" ") + QString::number(count);
    for (const std::u16string& clash : plan.clashes)
        summary += QStringLiteral("\n") + xlat(u"Same target") + QStringLiteral(": ") +
                   QString::fromStdU16String(clash);
    return summary + QStringLiteral("\n\n") + lines;
}

void JobOptionsBox::showJob() {
    m_existing->setCurrentIndex(static_cast<int>(m_job.extras.existing));
    m_keep_times->setChecked(m_job.extras.keepTimes != 0);
    m_report->setChecked(m_job.extras.writeReport != 0);
    m_resume->setChecked(!m_job.extras.resumeFile.view().empty());
    const bool sharded = engine::sharded(m_job);
    m_shares->setValue(
        sharded ? static_cast<int>(std::min<std::uint32_t>(m_job.extras.shardCount, kMostShares))
                : 1);
    m_share->setValue(sharded ? static_cast<int>(m_job.extras.shardIndex) + 1 : 1);
}

void JobOptionsBox::store() {
    m_job.extras.existing = static_cast<engine::ExistingPolicy>(m_existing->currentIndex());
    m_job.extras.keepTimes = m_keep_times->isChecked() ? 1 : 0;
    m_job.extras.writeReport = m_report->isChecked() ? 1 : 0;
    m_job.extras.resumeFile.assign(u"");
    if (m_resume->isChecked()) {
        m_job.extras.reportFile.assign(u"");
        m_job.extras.resumeFile.assign(engine::report_path(m_job));
    }
    const bool sharded = m_shares->value() > 1;
    m_job.extras.shardCount = sharded ? static_cast<std::uint32_t>(m_shares->value()) : 0;
    m_job.extras.shardIndex = sharded ? static_cast<std::uint32_t>(m_share->value() - 1) : 0;
}

bool JobOptionsBox::loadPreset(const QString& path, QString& error) {
    if (!load_preset_into(path, m_job, error))
        return false;
    showJob();
    emit jobLoaded();
    return true;
}

bool JobOptionsBox::savePreset(const QString& path) {
    engine::Preset preset;
    preset.name = QFileInfo(path).completeBaseName().toStdString();
    preset.job = m_job;
    for (const session::PluginOption& o : session::plugin_options()) {
        const QString value = stored_option_text(o.name);
        if (!value.isEmpty())
            preset.options.emplace_back(base::utf8_to_utf16(o.name), value.toStdString());
    }
    return engine::save_preset_file(path.toStdU16String(), preset);
}

} // namespace vt::app
