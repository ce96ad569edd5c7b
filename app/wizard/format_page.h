#pragma once
// Page 4: the target format from the list of known formats (extension and description side by
// side, sorted), or any other extension typed in; "Configure Plug-in" for the plug-in that
// writes it; the bits per channel the job keeps.
// Thread: UI only.

#include "app/wizard/wizard_page.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;

namespace vt::app {

class FormatPage : public WizardPage {
    Q_OBJECT
public:
    FormatPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;
    void storeForBack() override;

private:
    void storeChoice();
    void configure();

    QListWidget* m_list;
    QCheckBox* m_other;
    QLineEdit* m_extension;
    QComboBox* m_depth;
    // The extension whose plug-in was configured on this page, so Next does not ask again.
    std::u16string m_configured;
};

// The depth choice's texts, in the order of ConversionJob::depth.
[[nodiscard]] QStringList depth_items();

// The list's items, "extension|description", as the page holds them.
[[nodiscard]] QStringList format_list_items();

} // namespace vt::app
