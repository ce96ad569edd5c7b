#pragma once
// What the GIF plug-in tests share: GIF files written block by block with giflib's encoder, so
// each test says exactly which images, tables and control blocks its file holds, and the
// fixture that opens fmx_GIF.

#include <gif_lib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/formats/format_test_util.h"

namespace vt::test {

// 0xRRGGBB colours.
using Colours = std::vector<std::uint32_t>;

// A GIF89a in memory, written in the order of the calls.
class GifBuilder {
public:
    GifBuilder(int width, int height, const Colours& global = {}) {
        int error = 0;
        m_gif = EGifOpen(&m_bytes, append, &error);
        EGifSetGifVersion(m_gif, true);
        ColorMapObject* map = make_map(global);
        m_ok = m_gif != nullptr && EGifPutScreenDesc(m_gif, width, height, 8, 0, map) != GIF_ERROR;
        GifFreeMapObject(map);
    }
    ~GifBuilder() {
        if (m_gif != nullptr)
            EGifCloseFile(m_gif, nullptr);
    }
    GifBuilder(const GifBuilder&) = delete;
    GifBuilder& operator=(const GifBuilder&) = delete;

    // A graphic control block for the next image.
    GifBuilder& control(int disposal, int delay_cs, int transparent = NO_TRANSPARENT_COLOR) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = disposal;
        gcb.DelayTime = delay_cs;
        gcb.TransparentColor = transparent;
        GifByteType bytes[4] = {};
        const auto n = static_cast<int>(EGifGCBToExtension(&gcb, bytes));
        m_ok = m_ok && EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, n, bytes) != GIF_ERROR;
        return *this;
    }

    // An image of `indices` (rows top-down; written in pass order when interlaced).
    GifBuilder& image(int x, int y, int w, int h, std::vector<std::uint8_t> indices,
                      const Colours& local = {}, bool interlace = false) {
        ColorMapObject* map = make_map(local);
        m_ok = m_ok && EGifPutImageDesc(m_gif, x, y, w, h, interlace, map) != GIF_ERROR;
        GifFreeMapObject(map);
        std::vector<int> order;
        if (interlace) {
            for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
                for (int row = start; row < h; row += step)
                    order.push_back(row);
        } else {
            for (int row = 0; row < h; ++row)
                order.push_back(row);
        }
        for (const int row : order)
            m_ok = m_ok &&
                   EGifPutLine(m_gif, &indices[static_cast<std::size_t>(row * w)], w) != GIF_ERROR;
        return *this;
    }

    // One colour index over the whole image.
    GifBuilder& fill(int x, int y, int w, int h, std::uint8_t index, const Colours& local = {}) {
        return image(x, y, w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w * h), index),
                     local);
    }

    // The looping extension with its count (0: endlessly).
    GifBuilder& loop(std::uint16_t count = 0) {
        const std::uint8_t forever[3] = {1, static_cast<std::uint8_t>(count & 255),
                                         static_cast<std::uint8_t>(count >> 8)};
        m_ok = m_ok && EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
               EGifPutExtensionBlock(m_gif, 11, "NETSCAPE2.0") != GIF_ERROR &&
               EGifPutExtensionBlock(m_gif, 3, forever) != GIF_ERROR &&
               EGifPutExtensionTrailer(m_gif) != GIF_ERROR;
        return *this;
    }

    // An XMP packet the way XMP writers store it: raw, closed by the 257-byte magic trailer.
    GifBuilder& xmp(const std::string& packet) {
        std::string raw = packet;
        raw += '\x01';
        for (int i = 255; i >= 0; --i)
            raw += static_cast<char>(i);
        m_ok = m_ok && EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
               EGifPutExtensionBlock(m_gif, 11, "XMP DataXMP") != GIF_ERROR;
        // Raw data: the sub-block lengths giflib adds must be bytes of the packet itself, so the
        // packet is cut where its own bytes say.
        std::size_t at = 0;
        while (m_ok && at < raw.size() - 1) {
            const auto n = static_cast<std::uint8_t>(raw[at]);
            if (n == 0 || at + 1 + n > raw.size())
                break;
            m_ok = EGifPutExtensionBlock(m_gif, n, raw.data() + at + 1) != GIF_ERROR;
            at += 1u + n;
        }
        m_ok = m_ok && EGifPutExtensionTrailer(m_gif) != GIF_ERROR;
        return *this;
    }

    // The file with its trailer; empty when giflib refused a step.
    std::string finish() {
        const bool closed = EGifCloseFile(m_gif, nullptr) != GIF_ERROR;
        m_gif = nullptr;
        return m_ok && closed ? m_bytes : std::string{};
    }

private:
    static int append(GifFileType* gif, const GifByteType* data, int size) {
        static_cast<std::string*>(gif->UserData)
            ->append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
        return size;
    }
    static ColorMapObject* make_map(const Colours& colours) {
        if (colours.empty())
            return nullptr;
        const int count = 1 << GifBitSize(static_cast<int>(colours.size()));
        std::vector<GifColorType> table(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < colours.size(); ++i)
            table[i] = {static_cast<GifByteType>(colours[i] >> 16),
                        static_cast<GifByteType>(colours[i] >> 8),
                        static_cast<GifByteType>(colours[i])};
        return GifMakeMapObject(count, table.data());
    }

    std::string m_bytes;
    GifFileType* m_gif = nullptr;
    bool m_ok = false;
};

// 0xRRGGBB as an opaque pixel.
inline std::uint32_t opaque(std::uint32_t rgb) {
    return rgb & 0x00FFFFFFu;
}

// Pixels equal as a viewer sees them: two fully transparent pixels match whatever their colour.
inline bool same_pixel(std::uint32_t a, std::uint32_t b) {
    return a == b || ((a >> 24) == 255 && (b >> 24) == 255);
}

inline std::size_t count_differences(const std::vector<std::uint32_t>& a,
                                     const std::vector<std::uint32_t>& b) {
    if (a.size() != b.size())
        return std::max(a.size(), b.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        n += same_pixel(a[i], b[i]) ? 0 : 1;
    return n;
}

class GifPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_GIF"); }
    void TearDown() override {
        for (const char16_t* name : {u"fmx_GIF.dither", u"fmx_GIF.colors"})
            HarnessServices::state().erase(name);
    }

    LoadResult load_bytes(const std::string& bytes, const LoadOptions& options = {}) {
        const std::string file = m_temp / "in.gif";
        write_bytes(file, bytes);
        return load_with(api(), file, options);
    }
};

} // namespace vt::test
