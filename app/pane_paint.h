#pragma once
// Drawing shared by the panes and the bubble: fonts, text conversion and the preview picture.
// Thread: UI only.

#include <string_view>

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

#include "engine/file_step.h"

namespace vt::app {

// The user-interface font at `scale` times its base height of 12 design pixels.
[[nodiscard]] QFont pane_font(const QFont& family, double scale, bool bold = false);

[[nodiscard]] inline QString to_qstring(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The light grey-blue of menus and the status bar.
inline const QColor kPaneGreyBlue{224, 224, 236};

// Sizes `canvas`, the off-screen picture a pane draws on, to `pane` in device pixels; false
// when the pane has no area to draw.
[[nodiscard]] bool fit_canvas(QImage& canvas, const QWidget& pane);

// A copy of a preview picture the run keeps (a Bitmap: blue, green, red and a transparency
// byte, 0 opaque); a null image for anything else.
[[nodiscard]] QImage preview_image(const engine::Picture& picture);

} // namespace vt::app
