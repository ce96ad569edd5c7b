// Vt5Read: the element loop of a version 4 file (and of the layered version 3) and the
// conversion of each layer's data stream into its bitmap; files of other versions go to the
// single-image readers (legacy.cpp).

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/le.h"
#include "base/text.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "platform/files.h"
#include "platform/ui_hooks.h"
#include "vt5/code_page.h"
#include "vt5/codec/block_stream.h"
#include "vt5/codec/codecs.h"
#include "vt5/format.h"
#include "vt5/legacy_p.h"
#include "vt5/streams.h"
#include "vt5/text_p.h"
#include "vt5/vt5.h"

namespace vt::vt5 {
namespace {

using codec::ByteSource;
using image::LoadStatus;

// The smallest data block element that restores anything: element header, block header and one
// payload byte. It restores at most one block of stream bytes.
constexpr std::uint64_t kMinBlockElement = codec::kElementHeaderSize + codec::kBlockHeaderSize + 1;
constexpr std::uint64_t kMinBlockElementV3 = codec::kBlockHeaderSizeV3 + 1;
// Version 3: the file header, the element header and the part of a layer element that is read.
constexpr std::size_t kFileHeaderSizeV3 = 16;
constexpr std::size_t kElementHeaderSizeV3 = 4;
constexpr std::size_t kLayerElementSizeV3 = 96;
// Revisions of version 3 up to this one store layer names as 8-bit text.
constexpr std::uint32_t kLastAnsiNameVersion = 0x0003000A;
// A layer whose pixels come only from its reference (or from nowhere) gets a bitmap of this many
// pixels without further questions; larger ones need a reference of their size.
constexpr std::uint64_t kFreeBitmapPixels = 65536;
// The reader's work buffer carries this much zeroed slack after the stream.
constexpr std::uint64_t kStreamSlack = 4096;

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};
using StreamBuffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

// The most stream bytes the data blocks in `remaining` file bytes could restore.
std::uint64_t max_restorable(std::uint64_t remaining, bool v3) noexcept {
    return (remaining / (v3 ? kMinBlockElementV3 : kMinBlockElement) + 1) * codec::kMaxBlockLength;
}

// A version 3 layer element (its first 96 bytes, the element header included) in the form of
// the current layer header.
Vt5LayerHeader parse_layer_header_v3(std::span<const std::uint8_t, kLayerElementSizeV3> raw,
                                     std::uint32_t version) {
    Vt5LayerHeader h;
    h.x = static_cast<std::int16_t>(base::load_le16(&raw[4]));
    h.y = static_cast<std::int16_t>(base::load_le16(&raw[6]));
    h.width = base::load_le16(&raw[8]);
    h.height = base::load_le16(&raw[10]);
    h.layout = raw[12];
    h.channels = raw[13];
    h.frame_type = raw[14];
    h.reference_distance = raw[15];
    h.mode = base::load_le16(&raw[16]);
    h.mode2 = base::load_le16(&raw[18]);
    h.meta_length = base::load_le32(&raw[84]);
    h.meta_offset = base::load_le32(&raw[88]);
    h.attr = raw[92];
    h.transparency = raw[93];
    if (version <= kLastAnsiNameVersion) {
        const std::u16string name = decode_code_page(raw.subspan(20, 62));
        std::copy_n(name.begin(), std::min(name.size(), h.name.size() - 1), h.name.begin());
    } else {
        for (std::size_t i = 0; i < h.name.size(); ++i)
            h.name[i] = static_cast<char16_t>(base::load_le16(&raw[20 + 2 * i]));
    }
    return h;
}

bool has_vt5_extension(std::u16string_view name) noexcept {
    const std::size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos)
        return false;
    const std::u16string_view ext = name.substr(dot);
    constexpr std::u16string_view kExt = u".vt5";
    if (ext.size() != kExt.size())
        return false;
    for (std::size_t i = 0; i < ext.size(); ++i) {
        char16_t c = ext[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != kExt[i])
            return false;
    }
    return true;
}

void show_box(const LoadStatus& status, std::u16string_view text, std::u16string_view title,
              platform::MessageIcon icon) noexcept {
    if (!status.silent)
        platform::message_box(text, title, platform::MessageButtons::ok, icon);
}

// Pixels of the stream's pixel part, by layout and channels. The bitmap is locked and of the
// header's size; the stream holds at least the pixel bytes the header names.
void convert_pixels(const Vt5LayerHeader& h, const std::uint8_t* stream, Bitmap& bmp) noexcept {
    const std::size_t w = bmp.width;
    const std::size_t n = w * bmp.height;
    auto put_rows = [&](auto pixel_at) {
        for (std::size_t y = 0; y < bmp.height; ++y) {
            std::uint32_t* row = bmp.pixels + y * bmp.stride;
            for (std::size_t x = 0; x < w; ++x)
                row[x] = pixel_at(y * w + x);
        }
    };
    const std::uint8_t* p0 = stream;
    const std::uint8_t* p1 = stream + n;
    const std::uint8_t* p2 = stream + 2 * n;
    const std::uint8_t* p3 = stream + 3 * n;
    switch (h.layout) {
    case kLayoutPlanes:
        if (h.channels == 3)
            put_rows([&](std::size_t i) {
                return std::uint32_t{p0[i]} | std::uint32_t{p1[i]} << 8 |
                       std::uint32_t{p2[i]} << 16;
            });
        else if (h.channels >= 4)
            put_rows([&](std::size_t i) {
                return std::uint32_t{p0[i]} | std::uint32_t{p1[i]} << 8 |
                       std::uint32_t{p2[i]} << 16 | std::uint32_t{p3[i]} << 24;
            });
        break;
    case kLayoutGrey:
        if (h.channels == 2 || h.channels == 4)
            put_rows([&](std::size_t i) { return p0[i] * 0x010101u | std::uint32_t{p1[i]} << 24; });
        else if (h.channels >= 1)
            put_rows([&](std::size_t i) { return p0[i] * 0x010101u; });
        break;
    case kLayoutPalette:
        if (h.channels >= 1) {
            std::uint32_t palette[kPaletteEntries];
            for (std::size_t i = 0; i < kPaletteEntries; ++i)
                palette[i] = base::load_le32(stream + 4 * i);
            const std::uint8_t* index = stream + kPaletteBytes;
            put_rows([&](std::size_t i) { return palette[index[i]]; });
        }
        break;
    default:
        break;
    }
}

// Adds each byte of `b` to the byte of `a` in the same place, modulo 256, without carries.
constexpr std::uint32_t add_bytes(std::uint32_t a, std::uint32_t b) noexcept {
    return ((a & 0x7F7F7F7Fu) + (b & 0x7F7F7F7Fu)) ^ ((a ^ b) & 0x80808080u);
}

class Reader {
public:
    Reader(Layer* layers, std::uint32_t capacity, LoadStatus& status, ByteSource& source,
           std::uint64_t size, std::u16string_view name, const ReadOptions& limits,
           bool v3 = false) noexcept
        : m_layers(layers), m_capacity(capacity), m_status(status), m_source(source), m_size(size),
          m_name(name), m_limits(limits), m_v3(v3) {}

    std::uint32_t run() noexcept;
    // The major version of a file with the magic that this reader does not read (0 is one).
    [[nodiscard]] std::optional<std::uint16_t> other_major() const noexcept {
        return m_other_major;
    }

private:
    bool fail(std::u16string_view text) noexcept {
        m_status.error_text.assign(text);
        return false;
    }
    [[nodiscard]] std::uint64_t remaining() const noexcept {
        const std::uint64_t at = m_source.position();
        return at < m_size ? m_size - at : 0;
    }
    bool read_header() noexcept;
    bool read_header_v3() noexcept;
    bool check_magic() noexcept;
    // Kind, version text and the start of the elements, once the version is known.
    bool read_version() noexcept;
    // The next layer element's header; false at the end of the elements.
    bool next_layer(Vt5LayerHeader& header) noexcept;
    bool next_layer_v3(Vt5LayerHeader& header) noexcept;
    bool read_layer(const Vt5LayerHeader& h) noexcept;
    [[nodiscard]] bool bitmap_allowed(const Vt5LayerHeader& h) const noexcept;
    void apply_reference(const Vt5LayerHeader& h) noexcept;

    Layer* m_layers;
    std::uint32_t m_capacity;
    LoadStatus& m_status;
    ByteSource& m_source;
    std::uint64_t m_size;
    std::u16string_view m_name;
    const ReadOptions& m_limits;
    bool m_v3;
    std::optional<std::uint16_t> m_other_major;
    Vt5FileHeader m_header;
    std::uint32_t m_count = 0;
    std::uint64_t m_pixels = 0; // of all bitmaps created so far
    // What the layers' streams should hold and what could be read of them, and whether the
    // file ended before its end element: a cut or damaged file says so.
    std::uint64_t m_stream_bytes = 0, m_restored_bytes = 0;
    bool m_ended_early = false;
    // Whether another layer follows once the layers have filled every slot.
    bool more_layers() noexcept;
    // The layers read from a cut or damaged file are kept with a warning; a file of which
    // nothing could be read fails. False when it fails.
    bool judge_damage() noexcept;
};

bool Reader::read_header() noexcept {
    std::array<std::uint8_t, kFileHeaderSize> raw{};
    if (m_source.read(std::span(raw).first(8)) < 8)
        return fail(u"Error reading data from file");
    const std::uint32_t announced = base::load_le32(&raw[4]);
    const std::size_t want = std::min<std::uint32_t>(announced, kFileHeaderSize);
    if (!m_source.seek(0) || m_source.read(std::span(raw).first(want)) < want)
        return fail(u"Invalid VT5 header size");
    m_header = parse_file_header(raw);
    return check_magic() && read_version();
}

bool Reader::check_magic() noexcept {
    if (!m_header.has_magic()) {
        if (has_vt5_extension(m_name))
            show_box(m_status,
                     u"Although this file has a .VT5 extension, the data in it seems to be "
                     u"something different.",
                     u"Wrong File Extension", platform::MessageIcon::information);
        return fail(u"Invalid magic number in VT5 header");
    }
    m_status.is_native = 1;
    if (m_header.major() != (m_v3 ? 3 : kCurrentMajor)) {
        m_other_major = m_header.major();
        return fail(u"Unsupported VT5 version"); // the earlier layouts have readers of their own
    }
    return true;
}

bool Reader::read_header_v3() noexcept {
    std::array<std::uint8_t, kFileHeaderSizeV3> raw{};
    if (m_source.read(std::span(raw).first(12)) < 12)
        return fail(u"Error reading data from file");
    m_header = parse_file_header(raw);
    if (!check_magic())
        return false;
    const std::size_t want = std::min<std::uint32_t>(m_header.header_size, kFileHeaderSizeV3);
    if (!m_source.seek(0) || m_source.read(std::span(raw).first(want)) < want)
        return fail(u"Invalid VT5 header size");
    m_header = parse_file_header(raw);
    return read_version();
}

bool Reader::read_version() noexcept {
    if (!m_v3 && m_header.revision() > kCurrentRevision)
        show_box(m_status, u"This file was created by a newer version of the VT5 encoder.",
                 u"Version Conflict", platform::MessageIcon::information);
    bool keep_param = false;
    m_status.doc_kind = doc_kind_of_code(m_header.kind_code, &keep_param);
    m_status.kind_param = keep_param ? m_header.kind_param : 0;
    m_status.version_text = version_text(m_header.major(), m_header.revision());
    return m_source.seek(m_header.header_size);
}

// A bitmap is created only when the engine can hold it, the read's pixel budget allows it and
// the file could hold its pixels (or it repeats a reference of its size): a tiny file must not
// make us allocate gigabytes.
bool Reader::bitmap_allowed(const Vt5LayerHeader& h) const noexcept {
    if (h.width == 0 || h.height == 0 || h.width > image::kMaxBitmapSide ||
        h.height > image::kMaxBitmapSide)
        return false;
    const std::uint64_t pixels = std::uint64_t{h.width} * h.height;
    if (pixels > static_cast<std::uint64_t>(image::kMaxBitmapPixels) ||
        pixels > m_limits.max_total_pixels - std::min(m_pixels, m_limits.max_total_pixels))
        return false;
    const std::uint64_t stored = layer_pixel_bytes(h);
    const std::uint64_t pixel_bytes = h.layout == kLayoutPalette ? stored - kPaletteBytes : stored;
    if (pixel_bytes > 0)
        return pixel_bytes <= max_restorable(remaining(), m_v3);
    if (pixels <= kFreeBitmapPixels)
        return true;
    const std::int64_t r = std::int64_t{m_count} - 1 - h.reference_distance;
    if (h.frame_type != kFrameRepeat && h.frame_type != kFrameDifference)
        return false;
    return r >= 0 && m_layers[r].bitmap.width == h.width && m_layers[r].bitmap.height == h.height;
}

void Reader::apply_reference(const Vt5LayerHeader& h) noexcept {
    const std::int64_t r = std::int64_t{m_count} - 1 - 1 - h.reference_distance;
    if (r < 0)
        return;
    Bitmap& ref = m_layers[r].bitmap;
    Bitmap& bmp = m_layers[m_count - 1].bitmap;
    if (ref.width != bmp.width || ref.height != bmp.height)
        return;
    image::ScopedBitmapLock ref_lock(&ref, 0);
    image::ScopedBitmapLock lock(&bmp, 0);
    if (!ref_lock.locked() || !lock.locked())
        return;
    for (std::uint32_t y = 0; y < bmp.height; ++y) {
        const std::uint32_t* from = ref.pixels + std::size_t{y} * ref.stride;
        std::uint32_t* to = bmp.pixels + std::size_t{y} * bmp.stride;
        if (h.frame_type == kFrameRepeat)
            std::memcpy(to, from, std::size_t{bmp.width} * 4);
        else
            for (std::uint32_t x = 0; x < bmp.width; ++x)
                to[x] = add_bytes(to[x], from[x]);
    }
}

bool Reader::read_layer(const Vt5LayerHeader& h) noexcept {
    Layer& slot = m_layers[m_count];
    std::memset(static_cast<void*>(&slot), 0, sizeof(Layer));
    slot.x = h.x;
    slot.y = h.y;
    std::size_t name_length = 0;
    while (name_length < image::kLayerNameLength && h.name[name_length] != 0)
        ++name_length;
    image::set_layer_name(slot, std::u16string_view(h.name.data(), name_length));
    slot.mode = h.mode;
    slot.mode2 = m_header.kind_code == kKindCodeAnimation ? h.mode2 : 0;
    slot.attr = h.attr;
    slot.transparency = h.transparency;

    const auto w = static_cast<std::int32_t>(h.width);
    const auto ht = static_cast<std::int32_t>(h.height);
    if (!bitmap_allowed(h) || image::CreateBitmap(&slot.bitmap, w, ht, image::kCreateStrict) != 1)
        return fail(layer_error(u"Error creating target bitmap", w, ht, m_count + 1).view());
    m_pixels += std::uint64_t{h.width} * h.height;
    ++m_count;

    const std::uint64_t s = layer_stream_size(h);
    if (s > m_limits.max_stream_bytes || s > max_restorable(remaining(), m_v3))
        return fail(u"Error creating memory buffers for decompression");
    StreamBuffer buffer(static_cast<std::uint8_t*>(std::calloc(s + kStreamSlack, 1)));
    if (!buffer)
        return fail(u"Error creating memory buffers for decompression");
    const std::span<std::uint8_t> stream(buffer.get(), static_cast<std::size_t>(s));
    std::uint64_t restored = 0;
    if (m_v3)
        Vt5ReadBlockStreamV3(stream, s, m_source, m_status, &restored);
    else
        Vt5ReadBlockStream(stream, s, m_source, m_status, &restored);
    m_stream_bytes += s;
    m_restored_bytes += std::min(restored, s);

    {
        image::ScopedBitmapLock lock(&slot.bitmap, 0);
        if (!lock.locked())
            return fail(layer_error(u"Error locking target bitmap", w, ht, m_count).view());
        convert_pixels(h, buffer.get(), slot.bitmap);
    }

    if (h.meta_length > 0) {
        void* block = std::calloc(h.meta_length, 1);
        if (block == nullptr)
            return fail(u"Error creating memory buffers for decompression");
        if (h.meta_offset < s)
            std::memcpy(block, buffer.get() + h.meta_offset,
                        static_cast<std::size_t>(
                            std::min<std::uint64_t>(h.meta_length, s - h.meta_offset)));
        image::set_layer_meta(slot, block, h.meta_length);
        if (Vt5UpgradeMeta(slot, m_header.version) > 0)
            m_status.meta_upgraded = 1;
    }

    if (h.frame_type == kFrameRepeat || h.frame_type == kFrameDifference) {
        apply_reference(h);
    } else if (h.frame_type != kFrameComplete) {
        m_status.error_text.assign(u"Frame Error: Unknown Frame Type");
        show_box(m_status, m_status.error_text.view(), u"VT5 Decoder - Frame Error",
                 platform::MessageIcon::warning);
    }
    return true;
}

bool Reader::next_layer(Vt5LayerHeader& header) noexcept {
    for (;;) {
        std::array<std::uint8_t, codec::kElementHeaderSize> element{};
        if (m_source.read(element) < element.size()) {
            m_ended_early = true;
            return false;
        }
        const std::uint8_t type = element[0];
        const std::uint32_t body = base::load_le32(&element[4]);
        if (type == codec::kElementEnd)
            return false;
        const std::uint64_t start = m_source.position();
        if (type != codec::kElementLayer) {
            if (!m_source.seek(start + body) || start + body > m_size) {
                m_ended_early = true;
                return false;
            }
            continue;
        }
        std::array<std::uint8_t, kLayerHeaderSize> raw{};
        const std::size_t taken = std::min<std::uint32_t>(body, kLayerHeaderSize);
        const std::size_t got = m_source.read(std::span(raw).first(taken));
        header = parse_layer_header(std::span(raw).first(got));
        return got < taken || m_source.seek(start + body);
    }
}

// Version 3 elements carry their own 4-byte header in their size; a data block's payload
// follows its header and is not counted.
bool Reader::next_layer_v3(Vt5LayerHeader& header) noexcept {
    for (;;) {
        const std::uint64_t start = m_source.position();
        std::array<std::uint8_t, kLayerElementSizeV3> raw{};
        if (m_source.read(std::span(raw).first(kElementHeaderSizeV3)) < kElementHeaderSizeV3) {
            m_ended_early = true;
            return false;
        }
        const std::uint8_t type = raw[0];
        const std::uint16_t size = base::load_le16(&raw[2]);
        if (type == codec::kElementEnd)
            return false;
        std::uint64_t next = start + std::max<std::uint16_t>(size, kElementHeaderSizeV3);
        if (type == codec::kElementBlock) {
            std::array<std::uint8_t, 4> c{};
            if (m_source.read(c) < c.size())
                return false;
            next += base::load_le32(c.data());
        }
        if (type != codec::kElementLayer) {
            if (!m_source.seek(next))
                return false;
            continue;
        }
        const std::size_t taken = std::clamp<std::size_t>(size, 4, kLayerElementSizeV3);
        m_source.read(std::span(raw).subspan(4, taken - 4));
        header = parse_layer_header_v3(raw, m_header.version);
        return m_source.seek(next);
    }
}

std::uint32_t Reader::run() noexcept {
    m_status.error_text.assign(u"An unknown error occurred");
    if (m_layers == nullptr) {
        fail(u"The provided image data is invalid");
        return 0;
    }
    if (!(m_v3 ? read_header_v3() : read_header()))
        return 0;
    while (m_count < m_capacity) {
        Vt5LayerHeader header;
        if (!(m_v3 ? next_layer_v3(header) : next_layer(header)))
            break;
        if (!read_layer(header))
            return 0;
        if (m_count <= m_limits.layer_headers.size())
            m_limits.layer_headers[m_count - 1] = header;
        // The layer filling the last slot is still decoded: the caller gets it whole.
        if (m_count == m_capacity && more_layers()) {
            m_status.layer_limit_hit = 1;
            m_status.warnings[0] = 1;
        }
    }
    return judge_damage() ? m_count : 0;
}

bool Reader::more_layers() noexcept {
    const std::uint64_t at = m_source.position();
    Vt5LayerHeader header;
    const bool more = m_v3 ? next_layer_v3(header) : next_layer(header);
    m_ended_early = false;
    (void)m_source.seek(at);
    return more;
}

bool Reader::judge_damage() noexcept {
    const bool lost = m_restored_bytes < m_stream_bytes;
    if (!lost && !m_ended_early)
        return true;
    if (m_count == 0 || (m_stream_bytes > 0 && m_restored_bytes == 0 && m_count == 1)) {
        for (std::uint32_t i = 0; i < m_count; ++i)
            image::release_layer(m_layers[i]);
        m_count = 0;
        // A damaged block has said what it found; a cut file has not.
        const std::u16string fault(m_status.error_text.view());
        constexpr std::u16string_view kNone = u"none of the picture data could be read";
        if (fault.empty() || fault == u"An unknown error occurred")
            return fail(u"The file is cut short: " + std::u16string(kNone));
        return fail(fault + u"; " + std::u16string(kNone));
    }
    m_status.warnings[3] = 1; // some image data was not transferred correctly
    std::u16string text;
    if (lost) {
        const std::uint64_t percent = m_restored_bytes * 100 / m_stream_bytes;
        text = u"the file is cut short or damaged: " + base::decimal(percent) +
               u" % of its picture data could be read";
    } else {
        text = u"the file ends before its end mark: " + base::decimal(m_count) +
               (m_count == 1 ? u" layer" : u" layers") + u" could be read";
    }
    m_status.error_text.assign(text);
    return true;
}

// The earlier layouts, chosen by the major version that the version 4 reader met. Calling the
// version 3, 2 and 1 readers in turn gives the same layers: each refuses other versions before
// touching anything; choosing keeps the text of the reader that knew the file.
std::uint32_t read_earlier(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                           ByteSource& source, std::uint64_t size, std::u16string_view name,
                           const ReadOptions& options, std::uint16_t major) noexcept {
    if (major > 3 || !source.seek(0))
        return 0;
    if (major == 3) {
        Reader reader(layers, capacity, status, source, size, name, options, true);
        return reader.run();
    }
    return read_single_image(layers, capacity, status, source, size, options, major == 2 ? 2 : 1);
}

// Opens `path` and runs `read` over it with the file's size.
template <typename Read>
std::uint32_t read_path(Layer* layers, LoadStatus& status, std::u16string_view path,
                        Read read) noexcept {
    status.error_text.assign(u"An unknown error occurred");
    if (layers == nullptr) {
        status.error_text.assign(u"The provided image data is invalid");
        return 0;
    }
    platform::File file;
    std::uint64_t size = 0;
    try {
        if (!file.open(path, platform::File::Mode::read)) {
            status.error_text.assign(u"Cannot open file for read access");
            return 0;
        }
        size = platform::file_size(path).value_or(0);
    } catch (...) {
        status.error_text.assign(u"Cannot open file for read access");
        return 0;
    }
    codec::FileSource source(file, 0);
    return read(source, size);
}

} // namespace

std::uint32_t Vt5Read(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                      std::span<const std::uint8_t> bytes, std::u16string_view name,
                      const ReadOptions& options) noexcept {
    codec::SpanSource source(bytes);
    Reader reader(layers, capacity, status, source, bytes.size(), name, options);
    const std::uint32_t count = reader.run();
    if (count > 0 || !reader.other_major())
        return count;
    return read_earlier(layers, capacity, status, source, bytes.size(), name, options,
                        *reader.other_major());
}

std::uint32_t Vt5Read(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                      std::u16string_view path) noexcept {
    return read_path(layers, status, path, [&](ByteSource& source, std::uint64_t size) {
        const ReadOptions options;
        Reader reader(layers, capacity, status, source, size, path, options);
        const std::uint32_t count = reader.run();
        if (count > 0 || !reader.other_major())
            return count;
        return read_earlier(layers, capacity, status, source, size, path, options,
                            *reader.other_major());
    });
}

std::uint32_t Vt5ReadV3(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                        std::u16string_view path) noexcept {
    return read_path(layers, status, path, [&](ByteSource& source, std::uint64_t size) {
        const ReadOptions options;
        Reader reader(layers, capacity, status, source, size, path, options, true);
        return reader.run();
    });
}

std::uint32_t Vt5ReadV2(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                        std::u16string_view path) noexcept {
    return read_path(layers, status, path, [&](ByteSource& source, std::uint64_t size) {
        return read_single_image(layers, capacity, status, source, size, ReadOptions{}, 2);
    });
}

std::uint32_t Vt5ReadV1(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                        std::u16string_view path) noexcept {
    return read_path(layers, status, path, [&](ByteSource& source, std::uint64_t size) {
        return read_single_image(layers, capacity, status, source, size, ReadOptions{}, 1);
    });
}

} // namespace vt::vt5
