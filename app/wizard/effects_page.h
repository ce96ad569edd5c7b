#pragma once
// Page 6: rotation, levels, noise reduction (slider and its label) and the watermark, whose
// place, size and fade can be set only once its file exists. Page 7: the metadata and pass-thru
// options. Page 8: the summary and START.
// Thread: UI only.

#include <optional>
#include <utility>

#include "app/wizard/wizard_page.h"
#include "engine/prepared_job.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSlider;
class QSpinBox;

namespace vt::app {

class JobOptionsBox;

class EffectsPage : public WizardPage {
    Q_OBJECT
public:
    EffectsPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;
    void storeForBack() override;

private:
    void chooseWatermark();
    void addTextMarkRows(QGridLayout* mark);

    QComboBox* m_rotation;
    QCheckBox* m_levels;
    QCheckBox* m_denoise;
    QSlider* m_radius;
    QLabel* m_radius_label;
    QLineEdit* m_file;
    QSpinBox* m_x;
    QSpinBox* m_y;
    QSpinBox* m_size;
    QSpinBox* m_fade;
    QLineEdit* m_text = nullptr;
    QLineEdit* m_font = nullptr;
    QLineEdit* m_colour = nullptr;
    QSpinBox* m_opacity = nullptr;
};

class OtherOptionsPage : public WizardPage {
    Q_OBJECT
public:
    OtherOptionsPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;
    void storeForBack() override;

private:
    QCheckBox* m_gps;
    QCheckBox* m_dates;
    QCheckBox* m_pass_thru;
    JobOptionsBox* m_job_options;
    QCheckBox* m_fast_decode = nullptr;
    QComboBox* m_to_srgb = nullptr;
};

class SummaryPage : public WizardPage {
    Q_OBJECT
public:
    SummaryPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

    // The job START prepared, ready for the run; empty before START or after a refusal.
    [[nodiscard]] std::optional<engine::PreparedJob> takePrepared() {
        return std::exchange(m_prepared, std::nullopt);
    }

protected:
    // START: the job as the pages left it (a preset may have replaced what they checked) goes
    // through the same checks as every other job.
    bool storeForNext() override;

private:
    std::optional<engine::PreparedJob> m_prepared;
};

// The summary's text: "label = value" lines, labels and Yes/No translated.
[[nodiscard]] QString summary_text(const engine::ConversionJob& job);

// The watermark chooser: the open-file dialog titled "Load from File"; empty when nothing was
// chosen. A chosen link is followed to its target.
[[nodiscard]] QString choose_watermark_file(QWidget* parent, const QString& current);

} // namespace vt::app
