#pragma once
// Helpers of the VT5 tests: documents that free their layers, files framed by hand, and a
// recorder for message boxes.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/le.h"
#include "base/utf.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "platform/ui_hooks.h"
#include "vt5/format.h"
#include "vt5/vt5.h"

namespace vt::vt5::test {

using Bytes = std::vector<std::uint8_t>;
using Pixels = std::vector<std::uint32_t>;

inline constexpr StampTime kStamp{2024, 1, 2, 3, 4, 5};

// Layer slots that are freed at the end of the test.
class Doc {
public:
    explicit Doc(std::size_t capacity = 16) : m_layers(capacity) {}
    ~Doc() {
        for (Layer& l : m_layers)
            image::release_layer(l);
    }
    Doc(const Doc&) = delete;
    Doc& operator=(const Doc&) = delete;

    Layer* data() { return m_layers.data(); }
    Layer& operator[](std::size_t i) { return m_layers[i]; }
    [[nodiscard]] std::uint32_t capacity() const {
        return static_cast<std::uint32_t>(m_layers.size());
    }

    // Gives slot i a bitmap of w x h with the pixels given (row by row).
    Layer& set(std::size_t i, std::uint32_t w, std::uint32_t h, const Pixels& pixels) {
        Layer& l = m_layers[i];
        EXPECT_EQ(image::CreateBitmap(&l.bitmap, static_cast<std::int32_t>(w),
                                      static_cast<std::int32_t>(h), image::kCreateStrict),
                  1);
        image::ScopedBitmapLock lock(&l.bitmap, 0);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                l.bitmap.pixels[std::size_t{y} * l.bitmap.stride + x] = pixels[y * w + x];
        return l;
    }

private:
    std::vector<Layer> m_layers;
};

inline Pixels pixels_of(Layer& l) {
    Pixels out;
    image::ScopedBitmapLock lock(&l.bitmap, 0);
    for (std::uint32_t y = 0; y < l.bitmap.height; ++y)
        for (std::uint32_t x = 0; x < l.bitmap.width; ++x)
            out.push_back(l.bitmap.pixels[std::size_t{y} * l.bitmap.stride + x]);
    return out;
}

inline Bytes write_doc(Doc& doc, std::uint32_t count, image::LoadStatus& status,
                       bool thorough = false) {
    Bytes out;
    WriteOptions options;
    options.thorough = thorough;
    options.stamp = kStamp;
    EXPECT_EQ(Vt5Write(doc.data(), count, status, out, options), count)
        << base::utf16_to_utf8(status.error_text.view());
    return out;
}

inline Bytes write_doc(Doc& doc, std::uint32_t count, std::uint8_t doc_kind = 0,
                       bool thorough = false) {
    image::LoadStatus status{};
    status.doc_kind = doc_kind;
    return write_doc(doc, count, status, thorough);
}

inline std::uint32_t read_doc(const Bytes& file, Doc& doc, image::LoadStatus& status,
                              std::u16string_view name = u"test.vt5") {
    status.silent = 1;
    return Vt5Read(doc.data(), doc.capacity(), status, file, name);
}

// A silent read of `file` into fresh slots.
struct Read {
    explicit Read(const Bytes& file, std::size_t capacity = 16) : doc(capacity) {
        count = read_doc(file, doc, status);
    }
    Layer& operator[](std::size_t i) { return doc[i]; }
    Doc doc;
    image::LoadStatus status{};
    std::uint32_t count = 0;
};

// The reader's text for a layer whose bitmap cannot be made.
inline std::string bitmap_error(std::int64_t w, std::int64_t h, int layer = 1) {
    return "Error creating target bitmap (" + std::to_string(w) + "\xC3\x97" + std::to_string(h) +
           ") for layer #" + std::to_string(layer);
}

// The text of a status field as UTF-8, for readable failures.
template <std::size_t N>
std::string text(const base::FixedText<N>& t) {
    return base::utf16_to_utf8(t.view());
}

// Hand framing.
inline Bytes file_header(std::uint32_t version = kCurrentVersion, std::uint8_t kind_code = 1,
                         std::uint8_t kind_param = 0, std::uint32_t header_size = 32) {
    Vt5FileHeader h;
    h.magic = kMagic;
    h.header_size = header_size;
    h.version = version;
    h.kind_code = kind_code;
    h.kind_param = kind_param;
    const auto raw = serialize_file_header(h);
    return Bytes(raw.begin(), raw.end());
}

inline void append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

inline Bytes element(std::uint8_t type, const Bytes& body) {
    Bytes e(8 + body.size(), 0);
    e[0] = type;
    base::store_le32(&e[4], static_cast<std::uint32_t>(body.size()));
    std::copy(body.begin(), body.end(), e.begin() + 8);
    return e;
}

inline Bytes layer_element(const Vt5LayerHeader& h) {
    const auto raw = serialize_layer_header(h);
    return element(1, Bytes(raw.begin(), raw.end()));
}

// A data block stored without codecs (C = U = payload size) unless a chain is given.
inline Bytes block_element(const Bytes& payload, std::uint32_t u = 0xFFFFFFFF,
                           std::uint8_t first_codec = 0) {
    Bytes body(32, 0);
    base::store_le32(&body[4], static_cast<std::uint32_t>(payload.size()));
    base::store_le32(&body[8], u == 0xFFFFFFFF ? static_cast<std::uint32_t>(payload.size()) : u);
    body[16] = first_codec;
    append(body, payload);
    return element(2, body);
}

inline Bytes end_element() {
    return element(255, {});
}

inline Vt5LayerHeader layer_header(std::uint32_t w, std::uint32_t h, std::uint8_t layout,
                                   std::uint8_t channels) {
    Vt5LayerHeader lh;
    lh.width = w;
    lh.height = h;
    lh.layout = layout;
    lh.channels = channels;
    lh.meta_offset = static_cast<std::uint32_t>(layer_pixel_bytes(lh));
    return lh;
}

// Records the message boxes shown while it lives.
class BoxRecorder {
public:
    struct Box {
        std::u16string text, title;
        platform::MessageIcon icon;
        bool operator==(const Box&) const = default;
        friend void PrintTo(const Box& b, std::ostream* os) {
            *os << base::utf16_to_utf8(b.title) << ": " << base::utf16_to_utf8(b.text);
        }
    };
    using Boxes = std::vector<Box>;
    BoxRecorder() {
        boxes().clear();
        platform::UiHooks hooks;
        hooks.message_box = [](std::u16string_view text, std::u16string_view title,
                               platform::MessageButtons, platform::MessageIcon icon) {
            boxes().push_back({std::u16string(text), std::u16string(title), icon});
            return platform::MessageAnswer::ok;
        };
        platform::set_ui_hooks(hooks);
    }
    ~BoxRecorder() { platform::set_ui_hooks(platform::UiHooks{}); }
    static std::vector<Box>& boxes() {
        static std::vector<Box> b;
        return b;
    }
};

} // namespace vt::vt5::test
