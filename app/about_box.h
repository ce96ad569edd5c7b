#pragma once
// The About box: the program's artwork, drawn here and animated, its name, version and build
// date and the graphics engine's name and version. Closes with OK or Cancel (Escape).
// Thread: UI only.

#include <QDialog>
#include <QTimer>

namespace vt::app {

// "06-Dec-2026" from the compiler's "Dec  6 2026".
[[nodiscard]] QString build_date_text(const char* compiler_date);
// The graphics engine's name and version, with the code path it chose on this processor.
[[nodiscard]] QString graphics_engine_text();

class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent);

    // The texts shown, top to bottom.
    [[nodiscard]] QStringList shownTexts() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer m_timer;
    int m_frame = 0;
};

} // namespace vt::app
