#include "formats/gif/gif_encode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <gif_lib.h>

#include "sdk/vt_plugin.h"

namespace vt::formats::gif {
namespace {

struct EncoderCloser {
    void operator()(GifFileType* gif) const noexcept {
        int error = 0;
        EGifCloseFile(gif, &error);
    }
};
struct MapFree {
    void operator()(ColorMapObject* map) const noexcept { GifFreeMapObject(map); }
};

struct Output {
    ByteSink sink;
    void* user_data;
};

int write_output(GifFileType* gif, const GifByteType* data, int size) {
    const auto* output = static_cast<const Output*>(gif->UserData);
    return output->sink(output->user_data, data, size);
}

struct Rect {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t w = 0;
    std::uint32_t h = 0;
};

// A frame as the viewer shows it, over the whole screen: kTransparentKey or 0x00RRGGBB.
using Screen = std::vector<std::uint32_t>;

std::uint32_t prepared(std::uint32_t pixel) {
    return (pixel >> 24) > 127 ? kTransparentKey : (pixel & 0x00FFFFFFu);
}

void render(const SourcePicture& picture, std::uint32_t width, std::uint32_t height,
            Screen& screen) {
    screen.assign(static_cast<std::size_t>(width) * height, kTransparentKey);
    const std::uint32_t left = (width - picture.width) / 2;
    const std::uint32_t top = (height - picture.height) / 2;
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        const std::uint32_t* in = picture.pixels + static_cast<std::size_t>(y) * picture.stride;
        std::uint32_t* out = &screen[static_cast<std::size_t>(top + y) * width + left];
        std::transform(in, in + picture.width, out, prepared);
    }
}

// The smallest rectangle holding every pixel for which `differs(i)` holds; a single pixel at
// the origin when there is none (a frame cannot be empty).
template <class Differs>
Rect bounds(std::uint32_t width, std::uint32_t height, Differs differs) {
    std::uint32_t left = width, right = 0, top = height, bottom = 0;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            if (!differs(static_cast<std::size_t>(y) * width + x))
                continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (left > right)
        return {0, 0, 1, 1};
    return {left, top, right - left + 1, bottom - top + 1};
}

class Writer {
public:
    Writer(GifFileType* gif, const WriteOptions& options) : m_gif(gif), m_options(options) {}

    [[nodiscard]] std::int32_t failure() const {
        return m_gif->Error == E_GIF_ERR_NOT_ENOUGH_MEM ? VT_ERR_OUT_OF_MEMORY : VT_ERR_WRITE;
    }

    std::int32_t start(std::uint32_t width, std::uint32_t height) {
        m_width = width;
        m_height = height;
        EGifSetGifVersion(m_gif, true);
        if (EGifPutScreenDesc(m_gif, static_cast<int>(width), static_cast<int>(height), 8, 0,
                              nullptr) == GIF_ERROR)
            return failure();
        return VT_OK;
    }

    // The profile in 255-byte sub-blocks, before the first image it describes.
    std::int32_t put_profile(std::span<const std::uint8_t> icc) {
        if (icc.empty())
            return VT_OK;
        static const char kId[] = "ICCRGBG1012";
        if (EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
            EGifPutExtensionBlock(m_gif, 11, kId) == GIF_ERROR)
            return failure();
        for (std::size_t at = 0; at < icc.size(); at += 255) {
            const std::size_t n = std::min<std::size_t>(255, icc.size() - at);
            if (EGifPutExtensionBlock(m_gif, static_cast<int>(n), &icc[at]) == GIF_ERROR)
                return failure();
        }
        if (EGifPutExtensionTrailer(m_gif) == GIF_ERROR)
            return failure();
        return VT_OK;
    }

    // The application extension that makes viewers run the frames again; none for one run.
    std::int32_t put_looping(std::uint32_t plays) {
        if (plays == 1)
            return VT_OK;
        static const char kId[] = "NETSCAPE2.0";
        const std::uint32_t count = plays == 0 ? 0 : std::min<std::uint32_t>(plays - 1, 65535);
        // Sub-block 1: the count, low byte first; 0 is endlessly.
        const std::uint8_t loop[3] = {1, static_cast<std::uint8_t>(count & 255),
                                      static_cast<std::uint8_t>(count >> 8)};
        if (EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
            EGifPutExtensionBlock(m_gif, 11, kId) == GIF_ERROR ||
            EGifPutExtensionBlock(m_gif, 3, loop) == GIF_ERROR ||
            EGifPutExtensionTrailer(m_gif) == GIF_ERROR)
            return failure();
        return VT_OK;
    }

    // One image of `screen`'s `area`, with a control block when it is timed or has
    // transparent pixels.
    std::int32_t put_frame(const Screen& screen, const Rect& area, std::uint32_t delay_cs,
                           int disposal, bool timed) {
        IndexedArea indexed;
        if (const std::int32_t r =
                index_area(&screen[static_cast<std::size_t>(area.y) * m_width + area.x], m_width,
                           area.w, area.h, m_options.palette, indexed);
            r != VT_OK)
            return r;
        if (timed || indexed.transparent >= 0) {
            GraphicsControlBlock control{};
            control.DisposalMode = disposal;
            control.UserInputFlag = false;
            control.DelayTime = static_cast<int>(delay_cs);
            control.TransparentColor = indexed.transparent;
            GifByteType extension[4] = {};
            const std::size_t n = EGifGCBToExtension(&control, extension);
            if (EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(n), extension) ==
                GIF_ERROR)
                return failure();
        }
        const int bits = GifBitSize(static_cast<int>(indexed.colours.size()));
        std::vector<GifColorType> table(std::size_t{1} << bits);
        for (std::size_t i = 0; i < indexed.colours.size(); ++i) {
            const std::uint32_t c = indexed.colours[i];
            table[i] = {static_cast<GifByteType>(c >> 16), static_cast<GifByteType>(c >> 8),
                        static_cast<GifByteType>(c)};
        }
        const std::unique_ptr<ColorMapObject, MapFree> map(
            GifMakeMapObject(1 << bits, table.data()));
        if (!map)
            return VT_ERR_OUT_OF_MEMORY;
        if (EGifPutImageDesc(m_gif, static_cast<int>(area.x), static_cast<int>(area.y),
                             static_cast<int>(area.w), static_cast<int>(area.h), false,
                             map.get()) == GIF_ERROR)
            return failure();
        for (std::uint32_t y = 0; y < area.h; ++y)
            if (EGifPutLine(m_gif, &indexed.indices[static_cast<std::size_t>(y) * area.w],
                            static_cast<int>(area.w)) == GIF_ERROR)
                return failure();
        return VT_OK;
    }

    [[nodiscard]] Rect whole() const { return {0, 0, m_width, m_height}; }
    [[nodiscard]] std::uint32_t width() const { return m_width; }
    [[nodiscard]] std::uint32_t height() const { return m_height; }

private:
    GifFileType* m_gif;
    const WriteOptions& m_options;
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
};

struct Measured {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> delays_cs;
};

std::int32_t check_size(const SourcePicture& picture) {
    if (picture.width < 1 || picture.height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (picture.pixels == nullptr || picture.stride < picture.width)
        return VT_ERR_BITMAP_REQUEST;
    if (picture.width > kMaxSaveSide || picture.height > kMaxSaveSide)
        return VT_ERR_DIMENSIONS;
    return VT_OK;
}

std::int32_t measure(PictureSource& source, std::uint32_t count, Measured& out) {
    for (std::uint32_t i = 0; i < count; ++i) {
        SourcePicture picture;
        if (const std::int32_t r = source.select(i, picture); r != VT_OK)
            return r;
        if (const std::int32_t r = check_size(picture); r != VT_OK)
            return r;
        out.width = std::max(out.width, picture.width);
        out.height = std::max(out.height, picture.height);
        out.delays_cs.push_back((picture.delay_ms + 5) / 10);
    }
    return VT_OK;
}

std::int32_t select_screen(PictureSource& source, std::uint32_t index, const Writer& writer,
                           Screen& screen) {
    SourcePicture picture;
    if (const std::int32_t r = source.select(index, picture); r != VT_OK)
        return r;
    if (const std::int32_t r = check_size(picture); r != VT_OK)
        return r;
    if (picture.width > writer.width() || picture.height > writer.height())
        return VT_ERR_BITMAP_REQUEST; // the host changed the picture between the two passes
    render(picture, writer.width(), writer.height(), screen);
    return VT_OK;
}

// Each frame after the first holds only the rectangle that changed since the one before, which
// stays in place ("do not dispose"). Where a pixel turns transparent that cannot show through,
// so the frame before is written whole and cleared ("restore to background") instead.
std::int32_t put_animation(Writer& writer, PictureSource& source, const Measured& measured,
                           std::uint32_t plays) {
    if (const std::int32_t r = writer.put_looping(plays); r != VT_OK)
        return r;
    const auto count = static_cast<std::uint32_t>(measured.delays_cs.size());
    const std::uint32_t width = writer.width();
    Screen previous, current, next;
    if (const std::int32_t r = select_screen(source, 0, writer, current); r != VT_OK)
        return r;
    bool cleared = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        if (!last)
            if (const std::int32_t r = select_screen(source, i + 1, writer, next); r != VT_OK)
                return r;
        Rect area = writer.whole();
        if (i > 0 && cleared)
            area = bounds(width, writer.height(),
                          [&](std::size_t p) { return current[p] != kTransparentKey; });
        else if (i > 0)
            area = bounds(width, writer.height(),
                          [&](std::size_t p) { return current[p] != previous[p]; });
        bool clear_after = false;
        for (std::size_t p = 0; !last && p < current.size() && !clear_after; ++p)
            clear_after = current[p] != kTransparentKey && next[p] == kTransparentKey;
        if (clear_after)
            area = writer.whole();
        if (const std::int32_t r =
                writer.put_frame(current, area, measured.delays_cs[i],
                                 clear_after ? DISPOSE_BACKGROUND : DISPOSE_DO_NOT, true);
            r != VT_OK)
            return r;
        cleared = clear_after;
        previous.swap(current);
        current.swap(next);
    }
    return VT_OK;
}

std::int32_t write_all(GifFileType* gif, PictureSource& source, const WriteOptions& options,
                       const Measured& measured) {
    Writer writer(gif, options);
    if (const std::int32_t r = writer.start(measured.width, measured.height); r != VT_OK)
        return r;
    if (const std::int32_t r = writer.put_profile(options.icc); r != VT_OK)
        return r;
    if (measured.delays_cs.size() > 1)
        return put_animation(writer, source, measured, options.plays);
    Screen screen;
    if (const std::int32_t r = select_screen(source, 0, writer, screen); r != VT_OK)
        return r;
    return writer.put_frame(screen, writer.whole(), 0, DISPOSAL_UNSPECIFIED, false);
}

} // namespace

std::int32_t write_gif(ByteSink output, void* user_data, PictureSource& source,
                       const WriteOptions& options) {
    const std::uint32_t count = options.animation ? source.count() : 1;
    if (count < 1)
        return VT_ERR_NO_IMAGE_DATA;
    Measured measured;
    if (const std::int32_t r = measure(source, count, measured); r != VT_OK)
        return r;
    int error = 0;
    Output destination{output, user_data};
    std::unique_ptr<GifFileType, EncoderCloser> gif(EGifOpen(&destination, write_output, &error));
    if (!gif)
        return error == E_GIF_ERR_NOT_ENOUGH_MEM ? VT_ERR_OUT_OF_MEMORY : VT_ERR_WRITE;
    std::int32_t result = write_all(gif.get(), source, options, measured);
    // Closing writes the trailer, so it can fail too.
    if (EGifCloseFile(gif.release(), &error) == GIF_ERROR && result == VT_OK)
        result = error == E_GIF_ERR_NOT_ENOUGH_MEM ? VT_ERR_OUT_OF_MEMORY : VT_ERR_WRITE;
    return result;
}

} // namespace vt::formats::gif
