#pragma once
// Pages 1 and 2: the source folder (with sub-folders or not) and the target folder (the
// proposed name, overwrite, open when done). The folder rules are the engine's job checks,
// which vtconvert applies too.
// Thread: UI only.

#include <optional>

#include "app/wizard/wizard_page.h"
#include "engine/prepared_job.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace vt::app {

class SourcePage : public WizardPage {
    Q_OBJECT
public:
    SourcePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

    // The preset row's START: the folder as Next stores it, the preset over the job, the
    // target proposed as page 2 would, and the job prepared; the page then ends with kStart.
    // False (after saying why) when any step refuses.
    bool startPreset();
    // The job the preset's START prepared.
    [[nodiscard]] std::optional<engine::PreparedJob> takePrepared() {
        return std::move(m_prepared);
    }

protected:
    bool storeForNext() override;

private:
    QLineEdit* m_folder;
    QCheckBox* m_subfolders;
    QCheckBox* m_chosen; // shown when pictures were chosen on the desktop
    QComboBox* m_presets;
    std::optional<engine::PreparedJob> m_prepared;
};

class TargetPage : public WizardPage {
    Q_OBJECT
public:
    // Proposes the target folder as it opens.
    TargetPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;
    void storeForBack() override;

private:
    QLineEdit* m_folder;
    QCheckBox* m_overwrite;
    QCheckBox* m_open;
};

} // namespace vt::app
