#include "app/pane_paint.h"

#include <cmath>

#include "app/dpi.h"
#include "pipeline/pipeline_step.h"

namespace vt::app {

QFont pane_font(const QFont& family, double scale, bool bold) {
    QFont font(family);
    font.setPixelSize(dpi_scale(static_cast<int>(std::lround(12 * scale))));
    font.setBold(bold);
    return font;
}

QImage preview_image(const engine::Picture& picture) {
    const auto* held = dynamic_cast<const pipeline::BitmapPicture*>(&picture);
    if (!held)
        return {};
    const Bitmap& b = *held->bitmap();
    if (!b.pixels || b.width == 0 || b.height == 0 || b.stride < b.width || b.width > 32768 ||
        b.height > 32768)
        return {};
    QImage image(static_cast<int>(b.width), static_cast<int>(b.height), QImage::Format_ARGB32);
    if (image.isNull())
        return {};
    for (std::uint32_t y = 0; y < b.height; ++y) {
        const std::uint32_t* from = b.pixels + std::size_t{y} * b.stride;
        auto* to = reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(y)));
        // The top byte is a transparency; Qt's is an opacity.
        for (std::uint32_t x = 0; x < b.width; ++x)
            to[x] = from[x] ^ 0xFF000000u;
    }
    return image;
}

bool fit_canvas(QImage& canvas, const QWidget& pane) {
    const qreal ratio = pane.devicePixelRatioF();
    const QSize pixels = pane.size() * ratio;
    if (pixels.isEmpty())
        return false;
    if (canvas.size() != pixels) {
        canvas = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        canvas.setDevicePixelRatio(ratio);
    }
    return true;
}

} // namespace vt::app
