#include "formats/gif/gif_decode.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gif_lib.h>

#include "sdk/vt_plugin.h"

namespace vt::formats::gif {
namespace {

constexpr char kXmpApplication[] = "XMP DataXMP";
// The ICC profile's application extension: identifier "ICCRGBG1", authentication code "012",
// then the profile's bytes in ordinary data sub-blocks.
constexpr char kIccApplication[] = "ICCRGBG1012";

struct MemoryInput {
    std::span<const std::uint8_t> bytes;
    std::size_t at = 0;

    [[nodiscard]] bool exhausted() const { return at >= bytes.size(); }
};

int read_memory(GifFileType* gif, GifByteType* out, int wanted) {
    auto* input = static_cast<MemoryInput*>(gif->UserData);
    if (wanted <= 0)
        return 0;
    const std::size_t n =
        std::min(static_cast<std::size_t>(wanted), input->bytes.size() - input->at);
    std::memcpy(out, input->bytes.data() + input->at, n);
    input->at += n;
    return static_cast<int>(n);
}

struct GifCloser {
    void operator()(GifFileType* gif) const noexcept {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

struct Rect {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t w = 0;
    std::uint32_t h = 0;

    [[nodiscard]] bool empty() const { return w == 0 || h == 0; }
};

// What the block structure says about timing, read before any decoding: the first frame's
// delay must be known when the host makes the first frame.
struct Timing {
    bool any_delay = false;        // some image has a delay
    bool loops = false;            // a looping extension asks for an animation
    std::uint32_t first_delay = 0; // the first non-zero delay
    bool every_image_a_frame = false;
    std::uint32_t images = 0;
    std::int32_t loop_count = -1; // the looping extension's count, -1 when it has none
    // The whole screen for the first image, then each later image's area on the screen: what
    // the frames will take at most when each image is a frame of its own.
    std::uint64_t frame_pixels = 0;
};

std::uint32_t le16(std::span<const std::uint8_t> b, std::size_t at) {
    return b[at] | (static_cast<std::uint32_t>(b[at + 1]) << 8);
}

// The part of an image's rectangle that lies on a screen of `width` x `height`.
std::uint64_t area_on_screen(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
                             std::uint32_t width, std::uint32_t height) {
    const std::uint64_t cw = x < width ? std::min(w, width - x) : 0;
    const std::uint64_t ch = y < height ? std::min(h, height - y) : 0;
    return cw * ch;
}

bool skip_sub_blocks(std::span<const std::uint8_t> b, std::size_t& at) {
    while (at < b.size()) {
        const std::uint8_t n = b[at++];
        if (n == 0)
            return true;
        at += n;
    }
    return false;
}

bool is_loop_application(std::span<const std::uint8_t> b, std::size_t at) {
    if (at + 12 > b.size() || b[at] != 11)
        return false;
    const auto* id = reinterpret_cast<const char*>(b.data() + at + 1);
    return std::memcmp(id, "NETSCAPE2.0", 11) == 0 || std::memcmp(id, "ANIMEXTS1.0", 11) == 0;
}

Timing scan_timing(std::span<const std::uint8_t> b) {
    Timing timing;
    if (b.size() < 13)
        return timing;
    const std::uint32_t width = le16(b, 6), height = le16(b, 8);
    std::size_t at = 13;
    if ((b[10] & 0x80) != 0)
        at += 3u << ((b[10] & 7) + 1);
    std::uint32_t delay = 0;
    while (at < b.size()) {
        const std::uint8_t introducer = b[at++];
        if (introducer == 0x21 && at < b.size()) {
            const std::uint8_t label = b[at++];
            if (label == GRAPHICS_EXT_FUNC_CODE && at + 5 <= b.size() && b[at] == 4)
                delay = b[at + 2] | (static_cast<std::uint32_t>(b[at + 3]) << 8);
            if (label == APPLICATION_EXT_FUNC_CODE && is_loop_application(b, at)) {
                timing.loops = true;
                // Sub-block 1 of the extension: the count, low byte first.
                if (at + 16 <= b.size() && b[at + 12] == 3 && b[at + 13] == 1)
                    timing.loop_count = b[at + 14] | (b[at + 15] << 8);
            }
        } else if (introducer == 0x2C && at + 9 <= b.size()) {
            const std::uint8_t flags = b[at + 8];
            timing.frame_pixels +=
                timing.images == 0 ? std::uint64_t{width} * height
                                   : area_on_screen(le16(b, at), le16(b, at + 2), le16(b, at + 4),
                                                    le16(b, at + 6), width, height);
            at += 9;
            if ((flags & 0x80) != 0)
                at += 3u << ((flags & 7) + 1);
            ++at; // LZW code size
            ++timing.images;
            if (delay != 0 && !timing.any_delay)
                timing.first_delay = delay;
            timing.any_delay = timing.any_delay || delay != 0;
            delay = 0;
        } else {
            break;
        }
        if (!skip_sub_blocks(b, at))
            break;
    }
    // Readers play such a file as an animation although it never says how fast.
    timing.every_image_a_frame = timing.loops && !timing.any_delay;
    return timing;
}

// How often viewers run the animation: once without the looping extension, endlessly (0) for
// a count of 0, and else once more than the count, as browsers repeat it that often after the
// first run. -1 for a picture that is not an animation.
std::int32_t plays_of(const Timing& timing) {
    if (timing.images < 2 || !(timing.any_delay || timing.loops))
        return -1;
    if (!timing.loops)
        return 1;
    if (timing.loop_count <= 0)
        return 0;
    return std::min(timing.loop_count + 1, 65535);
}

// The XMP packet of an "XMP DataXMP" application extension: stored raw, so its sub-block
// lengths are part of the text, and closed by a 257-byte "magic trailer" that counts down from
// 0xFF, a byte UTF-8 never uses.
std::string xmp_text(std::string raw) {
    const std::size_t trailer = raw.find('\xFF');
    if (trailer != std::string::npos) {
        raw.resize(trailer);
        if (!raw.empty() && raw.back() == '\x01')
            raw.pop_back();
    }
    const std::size_t nul = raw.find('\0');
    if (nul != std::string::npos)
        raw.resize(nul);
    return raw;
}

GraphicsControlBlock no_control() {
    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSAL_UNSPECIFIED;
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    return control;
}

std::uint32_t grey(std::uint32_t level) {
    return level | (level << 8) | (level << 16);
}

class Decoder {
public:
    Decoder(GifFileType* gif, const MemoryInput& input, FrameSink& sink, const Timing& timing)
        : m_gif(gif), m_input(input), m_sink(sink), m_timing(timing),
          m_width(static_cast<std::uint32_t>(gif->SWidth)),
          m_height(static_cast<std::uint32_t>(gif->SHeight)) {}

    std::int32_t run(DecodeReport& report) {
        if (m_width == 0 || m_height == 0)
            return VT_ERR_INVALID_DATA;
        if (static_cast<std::uint64_t>(m_width) * m_height > kMaxPixels)
            return VT_ERR_DIMENSIONS;
        if (const std::int32_t r = m_sink.plan(m_timing.frame_pixels); r != VT_OK) {
            m_sink_failed = true;
            return r;
        }
        std::int32_t status = VT_OK;
        bool complete = false;
        while (status == VT_OK) {
            GifRecordType type = UNDEFINED_RECORD_TYPE;
            if (DGifGetRecordType(m_gif, &type) == GIF_ERROR)
                status = failure();
            else if (type == TERMINATE_RECORD_TYPE)
                complete = true;
            else
                status = type == IMAGE_DESC_RECORD_TYPE ? read_image() : read_extension();
            if (complete)
                break;
        }
        status = finish(status, complete);
        report.frames = m_frames;
        report.data_lost = m_data_lost;
        return status == kStopLoading ? VT_OK : status;
    }

private:
    // After the trailer, or where the file broke off: the images not yet shown make the last
    // frame, and a file of no images shows its empty screen.
    std::int32_t finish(std::int32_t status, bool complete) {
        if (status == kStopLoading || m_sink_failed)
            return status;
        if (complete) {
            if (m_pending || m_frames == 0)
                return deliver(m_last_delay);
            return VT_OK;
        }
        if (m_pending) {
            const std::int32_t r = deliver(m_last_delay);
            if (r != VT_OK)
                return r;
        }
        if (m_frames == 0)
            return status;
        m_data_lost = true;
        return VT_OK;
    }

    // The result code of giflib's last failure. A code size above 8 is reported as a read
    // failure too, so only running out of bytes counts as a truncated file.
    [[nodiscard]] std::int32_t failure() const {
        switch (m_gif->Error) {
        case D_GIF_ERR_NOT_ENOUGH_MEM:
            return VT_ERR_OUT_OF_MEMORY;
        case D_GIF_ERR_WRONG_RECORD:
        case D_GIF_ERR_DATA_TOO_BIG:
        case D_GIF_ERR_IMAGE_DEFECT:
        case D_GIF_ERR_EOF_TOO_SOON:
            return VT_ERR_INVALID_DATA;
        default:
            return m_input.exhausted() ? VT_ERR_READ : VT_ERR_INVALID_DATA;
        }
    }

    std::int32_t ensure_screen() {
        if (!m_screen.empty())
            return VT_OK;
        const std::int32_t r = m_sink.begin(m_width, m_height, m_timing.first_delay);
        if (r != VT_OK) {
            m_sink_failed = true;
            return r;
        }
        m_screen.assign(static_cast<std::size_t>(m_width) * m_height, kClear);
        return VT_OK;
    }

    std::int32_t deliver(std::uint32_t delay_cs) {
        if (const std::int32_t r = ensure_screen(); r != VT_OK)
            return r;
        ComposedFrame frame;
        frame.pixels = m_screen.data();
        frame.width = m_width;
        frame.height = m_height;
        frame.index = m_frames;
        frame.delay_cs = delay_cs;
        frame.xmp = m_xmp.empty() ? nullptr : m_xmp.c_str();
        frame.icc = m_icc;
        frame.plays = plays_of(m_timing);
        const std::int32_t r = m_sink.frame(frame);
        if (r == VT_OK)
            ++m_frames;
        else if (r != kStopLoading)
            m_sink_failed = true;
        m_pending = false;
        return r;
    }

    std::int32_t read_extension() {
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(m_gif, &code, &block) == GIF_ERROR)
            return failure();
        bool xmp = false;
        bool icc = false;
        const bool application =
            code == APPLICATION_EXT_FUNC_CODE && block != nullptr && block[0] == 11;
        if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] == 4)
            DGifExtensionToGCB(4, block + 1, &m_control);
        else if (application && std::memcmp(block + 1, kXmpApplication, 11) == 0)
            xmp = m_xmp.empty();
        else if (application && std::memcmp(block + 1, kIccApplication, 11) == 0)
            icc = m_icc.empty();
        std::string raw;
        std::vector<std::uint8_t> profile;
        while (block != nullptr) {
            if (DGifGetExtensionNext(m_gif, &block) == GIF_ERROR)
                return failure();
            if (xmp && block != nullptr)
                raw.append(reinterpret_cast<const char*>(block), block[0] + 1u);
            if (icc && block != nullptr)
                profile.insert(profile.end(), block + 1, block + 1 + block[0]);
        }
        if (xmp)
            m_xmp = xmp_text(std::move(raw));
        if (icc)
            m_icc = std::move(profile);
        return VT_OK;
    }

    // giflib keeps a copy of every image descriptor for its slurp mode; a file of many small
    // images must not grow that list.
    void drop_saved_images() {
        GifFreeSavedImages(m_gif);
        m_gif->SavedImages = nullptr;
        m_gif->ImageCount = 0;
    }

    std::int32_t read_image() {
        const GraphicsControlBlock control = m_control;
        m_control = no_control();
        m_gif->Image.Width = m_gif->Image.Height = -1;
        if (DGifGetImageDesc(m_gif) == GIF_ERROR) {
            const std::int32_t error = failure();
            // An image without pixels needs nothing of what follows its size: it is complete
            // even where the file breaks off right after.
            if (m_gif->Image.Width == 0 || m_gif->Image.Height == 0) {
                if (const std::int32_t r = ensure_screen(); r != VT_OK)
                    return r;
                dispose_previous();
                m_pending = true;
            }
            return error;
        }
        drop_saved_images();
        const GifImageDesc& desc = m_gif->Image;
        const auto left = static_cast<std::uint32_t>(desc.Left);
        const auto top = static_cast<std::uint32_t>(desc.Top);
        Rect visible;
        if (left < m_width && top < m_height) {
            visible = {left, top, std::min(static_cast<std::uint32_t>(desc.Width), m_width - left),
                       std::min(static_cast<std::uint32_t>(desc.Height), m_height - top)};
        }
        std::vector<std::uint8_t> indices;
        std::array<std::uint32_t, 256> colours{};
        if (visible.empty()) {
            if (const std::int32_t r = skip_image_data(); r != VT_OK)
                return r;
        } else {
            if (const std::int32_t r = decode_rows(visible, indices); r != VT_OK)
                return r;
            if (!resolve_colours(indices, control.TransparentColor, colours))
                return VT_ERR_INVALID_DATA;
        }
        // The screen is asked for once the first image has proved to hold its data.
        if (const std::int32_t r = ensure_screen(); r != VT_OK)
            return r;
        dispose_previous();
        if (control.DisposalMode == DISPOSE_PREVIOUS)
            save_area(visible);
        if (!visible.empty())
            draw(visible, indices, colours, control.TransparentColor);
        m_pending = true;
        m_disposal = control.DisposalMode;
        m_disposal_area = visible;
        m_last_delay = static_cast<std::uint32_t>(control.DelayTime);
        if (control.DelayTime > 0 || m_timing.every_image_a_frame)
            return deliver(m_last_delay);
        return VT_OK;
    }

    // The compressed data up to its terminating empty block, unread.
    std::int32_t skip_image_data() {
        GifByteType* block = nullptr;
        do {
            if (DGifGetCodeNext(m_gif, &block) == GIF_ERROR)
                return failure();
        } while (block != nullptr);
        return VT_OK;
    }

    // The image's rows that fall on the screen (its first `visible.h` rows, the first
    // `visible.w` pixels of each) as colour indices; decoding stops once they are all in.
    std::int32_t decode_rows(const Rect& visible, std::vector<std::uint8_t>& indices) {
        const auto width = static_cast<std::uint32_t>(m_gif->Image.Width);
        const auto height = static_cast<std::uint32_t>(m_gif->Image.Height);
        // An image reaching far beyond the screen must not cost more decoding than the largest
        // picture would; one that fits the screen never comes near this.
        const std::uint32_t rows = m_gif->Image.Interlace ? height : visible.h;
        if (static_cast<std::uint64_t>(width) * rows > kMaxPixels)
            return VT_ERR_DIMENSIONS;
        std::vector<GifPixelType> line(width);
        // Grown as rows arrive, so a file that claims a huge image but holds no data for it
        // costs nothing before it fails.
        indices.clear();
        std::uint32_t wanted = visible.h;
        std::uint32_t rows_read = 0;
        auto read_row = [&](std::uint32_t y) {
            if (DGifGetLine(m_gif, line.data(), static_cast<int>(width)) == GIF_ERROR)
                return false;
            ++rows_read;
            if (y < visible.h) {
                const std::size_t at = static_cast<std::size_t>(y) * visible.w;
                if (indices.size() < at + visible.w)
                    indices.resize(at + visible.w, 0);
                std::memcpy(&indices[at], line.data(), visible.w);
                --wanted;
            }
            return true;
        };
        if (!m_gif->Image.Interlace) {
            for (std::uint32_t y = 0; y < height && wanted > 0; ++y)
                if (!read_row(y))
                    return failure();
        } else {
            static constexpr std::uint32_t kStart[4] = {0, 4, 2, 1};
            static constexpr std::uint32_t kStep[4] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4 && wanted > 0; ++pass)
                for (std::uint32_t y = kStart[pass]; y < height && wanted > 0; y += kStep[pass])
                    if (!read_row(y))
                        return failure();
        }
        // giflib skips the rest of the data itself after the last row.
        return rows_read < height ? skip_image_data() : VT_OK;
    }

    // The image's colours: its own table, the global one, or without either a grey ramp over
    // the indices used. False when a pixel names a colour beyond the table.
    bool resolve_colours(const std::vector<std::uint8_t>& indices, int transparent,
                         std::array<std::uint32_t, 256>& colours) const {
        const ColorMapObject* map =
            m_gif->Image.ColorMap != nullptr ? m_gif->Image.ColorMap : m_gif->SColorMap;
        int count = 0;
        if (map != nullptr && map->Colors != nullptr) {
            count = std::clamp(map->ColorCount, 0, 256);
            for (int i = 0; i < count; ++i) {
                const GifColorType& c = map->Colors[i];
                colours[static_cast<std::size_t>(i)] = c.Blue |
                                                       (static_cast<std::uint32_t>(c.Green) << 8) |
                                                       (static_cast<std::uint32_t>(c.Red) << 16);
            }
        } else {
            const std::uint8_t most = *std::max_element(indices.begin(), indices.end());
            count = 2;
            while (count <= most)
                count *= 2;
            for (int i = 0; i < count; ++i)
                colours[static_cast<std::size_t>(i)] =
                    grey(static_cast<std::uint32_t>(i * 255 / (count - 1)));
        }
        return std::all_of(indices.begin(), indices.end(),
                           [&](std::uint8_t i) { return i == transparent || i < count; });
    }

    void draw(const Rect& area, const std::vector<std::uint8_t>& indices,
              const std::array<std::uint32_t, 256>& colours, int transparent) {
        for (std::uint32_t y = 0; y < area.h; ++y) {
            const std::uint8_t* in = &indices[static_cast<std::size_t>(y) * area.w];
            std::uint32_t* out = &m_screen[static_cast<std::size_t>(area.y + y) * m_width + area.x];
            for (std::uint32_t x = 0; x < area.w; ++x)
                if (in[x] != transparent)
                    out[x] = colours[in[x]];
        }
    }

    void save_area(const Rect& area) {
        if (area.empty())
            return;
        m_saved.resize(static_cast<std::size_t>(area.w) * area.h);
        for (std::uint32_t y = 0; y < area.h; ++y)
            std::memcpy(&m_saved[static_cast<std::size_t>(y) * area.w],
                        &m_screen[static_cast<std::size_t>(area.y + y) * m_width + area.x],
                        area.w * sizeof(std::uint32_t));
    }

    // The previous image's disposal, done when the next image is about to be drawn.
    void dispose_previous() {
        const Rect& area = m_disposal_area;
        for (std::uint32_t y = 0; y < area.h && area.w > 0; ++y) {
            std::uint32_t* row = &m_screen[static_cast<std::size_t>(area.y + y) * m_width + area.x];
            if (m_disposal == DISPOSE_BACKGROUND)
                std::fill(row, row + area.w, kClear);
            else if (m_disposal == DISPOSE_PREVIOUS)
                std::memcpy(row, &m_saved[static_cast<std::size_t>(y) * area.w],
                            area.w * sizeof(std::uint32_t));
        }
        m_disposal = DISPOSAL_UNSPECIFIED;
        m_disposal_area = {};
    }

    GifFileType* m_gif;
    const MemoryInput& m_input;
    FrameSink& m_sink;
    Timing m_timing;
    std::uint32_t m_width;
    std::uint32_t m_height;
    std::vector<std::uint32_t> m_screen;
    GraphicsControlBlock m_control = no_control(); // applies to the next image
    int m_disposal = DISPOSAL_UNSPECIFIED;         // of the last image drawn
    Rect m_disposal_area;
    std::vector<std::uint32_t> m_saved; // under the last image, for "restore previous"
    bool m_pending = false;             // images drawn since the last frame
    std::uint32_t m_last_delay = 0;
    std::uint32_t m_frames = 0;
    std::string m_xmp;
    std::vector<std::uint8_t> m_icc;
    bool m_sink_failed = false;
    bool m_data_lost = false;
};

} // namespace

std::int32_t decode_gif(std::span<const std::uint8_t> bytes, FrameSink& sink,
                        DecodeReport& report) {
    report = {};
    if (bytes.size() < 6 || std::memcmp(bytes.data(), "GIF", 3) != 0)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    MemoryInput input{bytes};
    int error = 0;
    GifHandle gif(DGifOpen(&input, read_memory, &error));
    if (!gif)
        return error == D_GIF_ERR_NOT_ENOUGH_MEM ? VT_ERR_OUT_OF_MEMORY : VT_ERR_READ;
    Decoder decoder(gif.get(), input, sink, scan_timing(bytes));
    return decoder.run(report);
}

} // namespace vt::formats::gif
