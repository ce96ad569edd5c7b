// Vt5Write: header, stamp, one layer element and data stream per layer, end element.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/le.h"
#include "image/bitmap.h"
#include "platform/files.h"
#include "platform/suite_config.h"
#include "vt5/codec/block_stream.h"
#include "vt5/format.h"
#include "vt5/streams.h"
#include "vt5/vt5.h"

namespace vt::vt5 {
namespace {

using image::LoadStatus;

constexpr std::uint32_t kMaxStoredSide = 65535;
constexpr std::int32_t kMaxPosition = 32767;
// Earlier layers a thorough search looks at: the reference distance is one byte.
constexpr std::uint32_t kMaxReferenceSearch = 256;
constexpr std::size_t kBufferSlack = 4096;
constexpr char kStampFormat[] =
    "\r\n Tamsor's Vantrel 5.08.01 \r\n %.04hu-%.02hu-%.02hu %.02hu:%.02hu:%.02hu UTC \r\n";

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};

// Frees the work bitmap of a difference frame on every path.
struct WorkBitmap {
    Bitmap bitmap{};
    ~WorkBitmap() { image::FreeBitmap(&bitmap); }
};

// Byte-wise (a - b) mod 256 without borrows between bytes.
constexpr std::uint32_t sub_bytes(std::uint32_t a, std::uint32_t b) noexcept {
    return ((a | 0x80808080u) - (b & 0x7F7F7F7Fu)) ^ ((a ^ ~b) & 0x80808080u);
}

std::uint32_t byte_distance(std::uint32_t a, std::uint32_t b) noexcept {
    std::uint32_t sum = 0;
    for (int k = 0; k < 32; k += 8) {
        const int d = static_cast<int>((a >> k) & 0xFF) - static_cast<int>((b >> k) & 0xFF);
        sum += static_cast<std::uint32_t>(d < 0 ? -d : d);
    }
    return sum;
}

const std::uint32_t* row_of(const Bitmap& bmp, std::uint32_t y) noexcept {
    return bmp.pixels + std::size_t{y} * bmp.stride;
}

enum class Match { none, identical, similar };

// Both bitmaps locked and of one size. A sparse look at every tenth pixel of every tenth row
// turns most unequal frames away before the full pass.
Match compare_frames(const Bitmap& a, const Bitmap& b) noexcept {
    bool equal = true;
    for (std::uint32_t y = 0; y < a.height && equal; y += 10) {
        const std::uint32_t* ra = row_of(a, y);
        const std::uint32_t* rb = row_of(b, y);
        for (std::uint32_t x = 0; x < a.width && equal; x += 10)
            equal = ra[x] == rb[x];
    }
    for (std::uint32_t y = 0; y < a.height && equal; ++y)
        equal = std::memcmp(row_of(a, y), row_of(b, y), std::size_t{a.width} * 4) == 0;
    if (equal)
        return Match::identical;
    std::uint64_t near = 0;
    for (std::uint32_t y = 0; y < a.height; ++y) {
        const std::uint32_t* ra = row_of(a, y);
        const std::uint32_t* rb = row_of(b, y);
        for (std::uint32_t x = 0; x < a.width; ++x)
            near += byte_distance(ra[x], rb[x]) < 16 ? 1 : 0;
    }
    return 3 * near > std::uint64_t{a.width} * a.height ? Match::similar : Match::none;
}

// Up to 256 distinct pixel values in order of first appearance.
class PaletteCollector {
public:
    // False once a 257th value turns up.
    bool add(std::uint32_t v) noexcept {
        std::size_t slot = (v * 2654435761u) >> (32 - kBits);
        while (m_used[slot]) {
            if (m_keys[slot] == v)
                return true;
            slot = (slot + 1) & (kSlots - 1);
        }
        if (m_count == kPaletteEntries)
            return false;
        m_used[slot] = true;
        m_keys[slot] = v;
        m_index[slot] = static_cast<std::uint8_t>(m_count);
        m_values[m_count++] = v;
        return true;
    }
    // The index of a value that was added.
    [[nodiscard]] std::uint8_t index_of(std::uint32_t v) const noexcept {
        std::size_t slot = (v * 2654435761u) >> (32 - kBits);
        while (m_keys[slot] != v)
            slot = (slot + 1) & (kSlots - 1);
        return m_index[slot];
    }
    [[nodiscard]] const std::uint32_t* values() const noexcept { return m_values; }

private:
    static constexpr int kBits = 10;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    bool m_used[kSlots] = {};
    std::uint32_t m_keys[kSlots] = {};
    std::uint8_t m_index[kSlots] = {};
    std::uint32_t m_values[kPaletteEntries] = {};
    std::size_t m_count = 0;
};

class Writer {
public:
    Writer(Layer* layers, std::uint32_t count, LoadStatus& status, codec::ByteSink& sink,
           const WriteOptions& options) noexcept
        : m_layers(layers), m_count(count), m_status(status), m_sink(sink), m_options(options) {}

    std::uint32_t run() noexcept;

private:
    bool fail(std::u16string_view text) noexcept {
        m_status.error_text.assign(text);
        return false;
    }
    bool put(std::span<const std::uint8_t> bytes) noexcept {
        return m_sink.write(bytes) == bytes.size() ||
               fail(u"Error writing data to file, disk may be full");
    }
    bool write_layer(std::uint32_t i) noexcept;
    void find_reference(std::uint32_t i, Vt5LayerHeader& h, WorkBitmap& work,
                        Bitmap*& source) noexcept;

    Layer* m_layers;
    std::uint32_t m_count;
    LoadStatus& m_status;
    codec::ByteSink& m_sink;
    const WriteOptions& m_options;
};

void Writer::find_reference(std::uint32_t i, Vt5LayerHeader& h, WorkBitmap& work,
                            Bitmap*& source) noexcept {
    Bitmap* bmp = &m_layers[i].bitmap;
    const std::uint32_t searched = m_options.thorough ? std::min(i, kMaxReferenceSearch) : 1;
    for (std::uint32_t j = i - 1, n = 0; n < searched; --j, ++n) {
        Bitmap* ref = &m_layers[j].bitmap;
        (void)image::RefreshBitmapInfo(ref);
        if (ref->width != bmp->width || ref->height != bmp->height)
            continue;
        Match match = Match::none;
        {
            image::ScopedBitmapLock ref_lock(ref, 0);
            image::ScopedBitmapLock lock(bmp, 0);
            if (ref_lock.locked() && lock.locked())
                match = compare_frames(*bmp, *ref);
        }
        if (match == Match::none)
            continue;
        h.reference_distance = static_cast<std::uint8_t>(i - j - 1);
        if (match == Match::identical) {
            h.frame_type = kFrameRepeat;
            return;
        }
        if (image::CopyBitmap(&work.bitmap, bmp) == 0) {
            h.reference_distance = 0;
            return;
        }
        image::ScopedBitmapLock ref_lock(ref, 0);
        image::ScopedBitmapLock lock(&work.bitmap, 0);
        if (!ref_lock.locked() || !lock.locked() || work.bitmap.width != ref->width ||
            work.bitmap.height != ref->height)
            return; // stays a complete frame
        for (std::uint32_t y = 0; y < ref->height; ++y) {
            std::uint32_t* to = work.bitmap.pixels + std::size_t{y} * work.bitmap.stride;
            const std::uint32_t* from = row_of(*ref, y);
            for (std::uint32_t x = 0; x < ref->width; ++x)
                to[x] = sub_bytes(to[x], from[x]);
        }
        h.frame_type = kFrameDifference;
        source = &work.bitmap;
        return;
    }
}

bool Writer::write_layer(std::uint32_t i) noexcept {
    Layer& layer = m_layers[i];
    Bitmap* bmp = &layer.bitmap;
    (void)image::RefreshBitmapInfo(bmp);

    Vt5LayerHeader h;
    h.x = std::clamp(layer.x, -kMaxPosition, kMaxPosition);
    h.y = std::clamp(layer.y, -kMaxPosition, kMaxPosition);
    h.width = bmp->width & 0xFFFF;
    h.height = bmp->height & 0xFFFF;
    const std::uint32_t meta_size = layer.meta != nullptr ? layer.meta_size : 0;
    h.meta_length = meta_size;
    h.mode = layer.mode;
    h.mode2 = m_status.doc_kind == 2 ? layer.mode2 : 0;
    h.attr = layer.attr;
    h.transparency = layer.transparency;
    for (std::size_t k = 0; k + 1 < h.name.size() && layer.name[k] != 0; ++k)
        h.name[k] = static_cast<char16_t>(layer.name[k]);

    WorkBitmap work;
    Bitmap* source = bmp;
    if (i > 0)
        find_reference(i, h, work, source);

    std::unique_ptr<std::uint8_t, FreeDeleter> buffer;
    std::size_t pixel_bytes = 0;
    if (h.frame_type == kFrameRepeat) {
        buffer.reset(static_cast<std::uint8_t*>(std::malloc(meta_size + kBufferSlack)));
        if (!buffer)
            return fail(u"Out of memory for VT5 pixel data buffer");
    } else {
        image::ScopedBitmapLock lock(source, 0);
        if (!lock.locked())
            return fail(u"Error locking source image");
        const Bitmap& src = *source;
        bool colour = false;
        bool transparent = false;
        for (std::uint32_t y = 0; y < src.height && !(colour && transparent); ++y) {
            const std::uint32_t* row = row_of(src, y);
            for (std::uint32_t x = 0; x < src.width; ++x) {
                const std::uint32_t p = row[x];
                colour = colour || ((p ^ (p >> 8)) & 0xFFFF) != 0;
                transparent = transparent || (p >> 24) != 0;
            }
        }
        auto palette = std::make_unique<PaletteCollector>();
        bool fits_palette = colour;
        for (std::uint32_t y = 0; y < src.height && fits_palette; ++y) {
            const std::uint32_t* row = row_of(src, y);
            for (std::uint32_t x = 0; x < src.width && fits_palette; ++x)
                fits_palette = palette->add(row[x]);
        }
        const std::uint64_t pixels = std::uint64_t{src.width} * src.height;
        h.layout = colour ? kLayoutPlanes : kLayoutGrey;
        h.channels = static_cast<std::uint8_t>((colour ? 3 : 1) + (transparent ? 1 : 0));
        if (fits_palette && h.channels * pixels >= pixels + kPaletteBytes) {
            h.layout = kLayoutPalette;
            h.channels = 1;
        }
        pixel_bytes = static_cast<std::size_t>(h.channels * pixels +
                                               (h.layout == kLayoutPalette ? kPaletteBytes : 0));
        buffer.reset(static_cast<std::uint8_t*>(
            std::malloc(pixel_bytes + std::size_t{meta_size} + kBufferSlack)));
        if (!buffer)
            return fail(u"Out of memory for VT5 pixel data buffer");
        std::uint8_t* out = buffer.get();
        if (h.layout == kLayoutPalette) {
            for (std::size_t k = 0; k < kPaletteEntries; ++k)
                base::store_le32(out + 4 * k, palette->values()[k]);
            out += kPaletteBytes;
            for (std::uint32_t y = 0; y < src.height; ++y) {
                const std::uint32_t* row = row_of(src, y);
                for (std::uint32_t x = 0; x < src.width; ++x)
                    *out++ = palette->index_of(row[x]);
            }
        } else {
            const int planes = h.layout == kLayoutPlanes ? 3 : 1;
            auto put_plane = [&](int shift) {
                for (std::uint32_t y = 0; y < src.height; ++y) {
                    const std::uint32_t* row = row_of(src, y);
                    for (std::uint32_t x = 0; x < src.width; ++x)
                        *out++ = static_cast<std::uint8_t>(row[x] >> shift);
                }
            };
            for (int p = 0; p < planes; ++p)
                put_plane(8 * p);
            if (transparent)
                put_plane(24);
        }
    }
    h.meta_offset = static_cast<std::uint32_t>(pixel_bytes);
    if (meta_size > 0)
        std::memcpy(buffer.get() + pixel_bytes, layer.meta, meta_size);

    const auto element = serialize_element_header(codec::kElementLayer, kLayerHeaderSize);
    const auto header = serialize_layer_header(h);
    if (!put(element) || !put(header))
        return false;
    const std::span<const std::uint8_t> stream(buffer.get(), pixel_bytes + meta_size);
    return Vt5WriteBlockStream(stream, m_sink, m_status, m_options.thorough) == 1;
}

std::uint32_t Writer::run() noexcept {
    Vt5FileHeader header;
    header.magic = kMagic;
    header.header_size = kFileHeaderSize;
    header.version = kCurrentVersion;
    header.kind_code = kind_code_of_doc_kind(m_status.doc_kind);
    header.kind_param = m_status.doc_kind <= 3 ? m_status.kind_param : 0;
    header.layer_count = static_cast<std::uint16_t>(m_count);
    if (!put(serialize_file_header(header)))
        return 0;

    char stamp[1024];
    const StampTime& t = m_options.stamp;
    const int n = std::snprintf(stamp, sizeof stamp, kStampFormat, t.year, t.month, t.day, t.hour,
                                t.minute, t.second);
    const std::uint32_t length = static_cast<std::uint32_t>(std::clamp(n, 0, 1023)) + 1;
    if (!put(serialize_element_header(codec::kElementStamp, length)) ||
        !put(std::span(reinterpret_cast<const std::uint8_t*>(stamp), length)))
        return 0;

    for (std::uint32_t i = 0; i < m_count; ++i)
        if (!write_layer(i))
            return 0;
    if (!put(serialize_element_header(codec::kElementEnd, 0)))
        return 0;
    return m_count;
}

// Layers the format cannot represent are refused before anything is written.
bool check_sizes(Layer* layers, std::uint32_t count, LoadStatus& status) noexcept {
    for (std::uint32_t i = 0; i < count; ++i) {
        Bitmap* bmp = &layers[i].bitmap;
        (void)image::RefreshBitmapInfo(bmp);
        if (bmp->width > kMaxStoredSide || bmp->height > kMaxStoredSide) {
            status.error_text.assign(
                u"Image too large for VT5: layers may have at most 65535\u00D765535 pixels");
            return false;
        }
    }
    return true;
}

} // namespace

StampTime stamp_time_now() noexcept {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    StampTime t;
    t.year = static_cast<std::uint16_t>(utc.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(utc.tm_mon + 1);
    t.day = static_cast<std::uint16_t>(utc.tm_mday);
    t.hour = static_cast<std::uint16_t>(utc.tm_hour);
    t.minute = static_cast<std::uint16_t>(utc.tm_min);
    t.second = static_cast<std::uint16_t>(utc.tm_sec);
    return t;
}

std::uint32_t Vt5Write(Layer* layers, std::uint32_t count, LoadStatus& status,
                       std::vector<std::uint8_t>& out, const WriteOptions& options) noexcept {
    status.error_text.assign(u"Unknown error");
    if (layers == nullptr || !check_sizes(layers, count, status))
        return 0;
    codec::VectorSink sink(out);
    Writer writer(layers, count, status, sink, options);
    return writer.run();
}

std::uint32_t Vt5Write(Layer* layers, std::uint32_t count, LoadStatus& status,
                       std::u16string_view path) noexcept {
    status.error_text.assign(u"Unknown error");
    if (layers == nullptr || !check_sizes(layers, count, status))
        return 0;
    WriteOptions options;
    options.stamp = stamp_time_now();
    platform::File file;
    try {
        options.thorough = platform::suite_config().bytes()[16] != 0;
        if (!file.open_exclusive(path, platform::File::Mode::read_write_create) ||
            !file.truncate_here()) {
            status.error_text.assign(u"Cannot open file for writing");
            return 0;
        }
    } catch (...) {
        status.error_text.assign(u"Cannot open file for writing");
        return 0;
    }
    codec::FileSink sink(file);
    Writer writer(layers, count, status, sink, options);
    return writer.run();
}

} // namespace vt::vt5
