#pragma once
// Page 5: the resize mode and box, the two box rules, the resampling algorithm, and for the
// advanced one the filter, and for the windowed sinc its window and size (a scroll bar whose
// positions run from 4 to 29).
// Thread: UI only.

#include "app/wizard/wizard_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QScrollBar;

namespace vt::app {

class ResizePage : public WizardPage {
    Q_OBJECT
public:
    ResizePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help);

protected:
    bool storeForNext() override;
    void storeForBack() override;

private:
    void enableControls();
    [[nodiscard]] int algorithm() const;

    QComboBox* m_mode;
    QLineEdit* m_width;
    QLineEdit* m_height;
    QCheckBox* m_keep_box;
    QCheckBox* m_change_dpi;
    QRadioButton* m_algorithms[4];
    QComboBox* m_filter;
    QComboBox* m_window;
    QScrollBar* m_sinc;
    QLabel* m_sinc_label;
};

} // namespace vt::app
