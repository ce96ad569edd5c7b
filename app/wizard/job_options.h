#pragma once
// The job options of the "other options" page beyond the three metadata and pass-thru boxes:
// what becomes of existing targets, kept file dates, the per-file report beside the error log,
// resuming from that report, this computer's share of a job that several computers split, the
// plan of the job before it runs, and presets (loading one over the whole job, saving the whole
// job). The same options and preset files as vtconvert's --existing, --keep-times, --report,
// --resume, --shard, --dry-run, --preset and --save-preset.
// Thread: UI only.

#include <QWidget>

#include "engine/conversion_job.h"

class QCheckBox;
class QComboBox;
class QSpinBox;

namespace vt::app {

class JobOptionsBox : public QWidget {
    Q_OBJECT
public:
    JobOptionsBox(engine::ConversionJob& job, QWidget* parent);

    // Stores the controls into the job.
    void store();
    // Loads a preset file over the job and its plug-in options; false with `error`.
    bool loadPreset(const QString& path, QString& error);
    bool savePreset(const QString& path);
    // What the job would do to each file, as a dry run prints it, with a count per action.
    [[nodiscard]] QString planText();

signals:
    // A preset replaced the job: the page shows its other controls again.
    void jobLoaded();

private:
    void showJob();

    engine::ConversionJob& m_job;
    QComboBox* m_existing;
    QCheckBox* m_keep_times;
    QCheckBox* m_report;
    QCheckBox* m_resume;
    QSpinBox* m_share;  // counted from 1 here, from 0 in the job and on the command line
    QSpinBox* m_shares; // 1: the whole job
};

// The summary lines of the options that are not at their defaults ("label = value\n" each).
[[nodiscard]] QString job_options_summary(const engine::ConversionJob& job);

// Where the shipped presets lie: the "Presets" folder of the data folder (beside the programs
// in the build tree, <prefix>/share/vantrel when installed).
[[nodiscard]] QString shipped_presets_folder();
// The user's own presets: "Presets" in the program data folder, made (private) when missing.
[[nodiscard]] QString own_presets_folder();
// Every preset file, the shipped ones first, then the user's own, each sorted by name.
[[nodiscard]] QStringList preset_files();
// Loads a preset over `job` (what it does not name stays) and puts its plug-in options into
// the state store; a wrong option refuses the whole preset first. False with `error`.
bool load_preset_into(const QString& path, engine::ConversionJob& job, QString& error);

} // namespace vt::app
