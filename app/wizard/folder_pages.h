#pragma once
// Pages 1 and 2: the source folder (with sub-folders or not) and the target folder (the
// proposed name, overwrite, open when done). The folder rules are the engine's job checks,
// which vtconvert applies too.
// Thread: UI only.

#include "app/wizard/wizard_page.h"

class QCheckBox;
class QLineEdit;

namespace vt::app {

class SourcePage : public WizardPage {
    Q_OBJECT
public:
    SourcePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;

private:
    QLineEdit* m_folder;
    QCheckBox* m_subfolders;
    QCheckBox* m_chosen; // shown when pictures were chosen on the desktop
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
