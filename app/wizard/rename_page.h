#pragma once
// Page 3: renaming by pattern, with a replacement and lower case; every check box change stores
// the page and sets which controls are enabled.
// Thread: UI only.

#include "app/wizard/wizard_page.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;

namespace vt::app {

class RenamePage : public WizardPage {
    Q_OBJECT
public:
    RenamePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;
    void storeForBack() override;

private:
    void store();
    void enableControls();

    QCheckBox* m_rename;
    QLineEdit* m_pattern;
    QPlainTextEdit* m_help;
    QCheckBox* m_replace;
    QLineEdit* m_from;
    QLineEdit* m_to;
    QCheckBox* m_lowercase;
};

} // namespace vt::app
