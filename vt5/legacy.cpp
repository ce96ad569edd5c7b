// The single-image layouts: version 2 (channel planes, grey or a palette) and version 1 (tiles
// of 16 x 16 pixels), each compressed as a whole by one codec chain that may hold the password
// step.
//
// Version 2 header (at least 24 bytes, at most 52 read):
//
//   offset  size  field
//        0     4  magic "_VT5"
//        4     4  header size
//        8     4  version, major 2
//       12     2  width
//       14     2  height
//       16     1  layout, low 4 bits: 1 grey, 2 palette, otherwise channel planes
//       17     1  pre-processor; only 0 is known
//       18     1  channels; 0 means 3
//       20     4  data offset (below the header size: the header size)
//       24     4  data length (0: to the end of the file)
//       28    16  codec chain
//       44     4  palette offset (0: none): u32 entry count (low 16 bits), 4-byte entries
//       48     4  offset of a length-prefixed 8-bit text (not used)
//
// Version 1 (and 0) header (at least 24 bytes, at most 40 read): magic, header size, version,
// width (u16 at 12), height (u16 at 14), data offset (u32 at 16; above 1024 the header size,
// never below it), data length (u32 at 20; 0 to the end), codec chain (16 bytes at 24).

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/le.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "platform/ui_hooks.h"
#include "vt5/codec/codecs.h"
#include "vt5/legacy_p.h"
#include "vt5/password.h"
#include "vt5/text_p.h"

namespace vt::vt5 {
namespace {

using codec::ByteSource;
using image::LoadStatus;

constexpr std::uint32_t kMinHeader = 24;
constexpr std::size_t kHeaderV2 = 52;
constexpr std::size_t kHeaderV1 = 40;
constexpr std::uint64_t kMaxDataV2 = 0x0A000000;
constexpr std::uint64_t kMaxDataV1 = 0x10000000;
constexpr std::uint32_t kTile = 16;
constexpr std::size_t kTilePixels = kTile * kTile;

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

Buffer allocate(std::uint64_t n) noexcept {
    return Buffer(static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(n) + 1, 1)));
}

struct SingleHeader {
    std::uint32_t header_size = 0, version = 0;
    std::uint32_t width = 0, height = 0;
    std::uint8_t layout = 0, preprocessor = 0, channels = 3;
    std::uint64_t data_offset = 0, data_length = 0;
    codec::CodecChain chain{};
    std::uint32_t palette_offset = 0;
};

SingleHeader parse_single_header(const std::array<std::uint8_t, kHeaderV2>& raw, int version) {
    SingleHeader h;
    h.header_size = base::load_le32(&raw[4]);
    h.version = base::load_le32(&raw[8]);
    h.width = base::load_le16(&raw[12]);
    h.height = base::load_le16(&raw[14]);
    if (version == 2) {
        h.layout = raw[16] & 0x0F;
        h.preprocessor = raw[17];
        h.channels = raw[18] == 0 ? 3 : raw[18];
        h.data_offset = std::max(base::load_le32(&raw[20]), h.header_size);
        h.data_length = base::load_le32(&raw[24]);
        std::copy_n(raw.begin() + 28, codec::kChainLength, h.chain.begin());
        h.palette_offset = base::load_le32(&raw[44]);
    } else {
        const std::uint32_t offset = base::load_le32(&raw[16]);
        h.data_offset = std::max(offset > 1024 ? h.header_size : offset, h.header_size);
        h.data_length = base::load_le32(&raw[20]);
        std::copy_n(raw.begin() + 24, codec::kChainLength, h.chain.begin());
    }
    return h;
}

// The codecs each layout's reader knows (the password step aside).
bool known_codec(std::uint8_t id, int version) noexcept {
    switch (id) {
    case codec::kCodecRunLength:
    case codec::kCodecDeltaNibble:
    case codec::kCodecRankCode:
    case codec::kCodecRankPack4:
    case codec::kCodecRankPack2:
        return true;
    case codec::kCodecDeltaBits:
        return version == 1;
    default:
        return false;
    }
}

bool is_literal_codec(std::uint8_t id) noexcept {
    return id == codec::kCodecRunLength || id == codec::kCodecDeltaNibble;
}

void warn(const LoadStatus& status, std::u16string_view text, std::u16string_view title) {
    if (!status.silent)
        platform::message_box(text, title, platform::MessageButtons::ok,
                              platform::MessageIcon::warning);
}

// Pixels from bytes R, G, B, T of a tile to the bitmap's B, G, R, T.
constexpr std::uint32_t swap_red_blue(std::uint32_t v) noexcept {
    return (v & 0xFF00FF00u) | (v >> 16 & 0xFFu) | (v & 0xFFu) << 16;
}

// Where the k-th stored pixel of a tile in scan order goes: 2 x 2 cells, left to right over
// each pair of rows, top-left, bottom-left, bottom-right, top-right.
constexpr std::size_t scan_position(std::size_t k) noexcept {
    constexpr std::size_t kCell[4] = {0, 16, 17, 1};
    return 32 * (k / 32) + 2 * (k % 32 / 4) + kCell[k % 4];
}

// The tiles of a version 1 image into the bitmap (clipped at its edges). False when a tile
// would read past the data.
bool unpack_tiles(std::span<const std::uint8_t> data, Bitmap& bmp, std::uint32_t width,
                  std::uint32_t height) noexcept {
    std::uint32_t palette[256] = {};
    std::uint32_t tile[kTilePixels] = {};
    std::uint32_t stored[kTilePixels];
    std::size_t pos = 0;
    auto has = [&](std::size_t n) { return pos <= data.size() && data.size() - pos >= n; };
    for (std::uint32_t ty = 0; ty < height; ty += kTile) {
        for (std::uint32_t tx = 0; tx < width; tx += kTile) {
            if (!has(1))
                return false;
            const std::uint8_t f = data[pos++];
            if ((f & 0x80) != 0 && !has(1))
                return false;
            pos += (f & 0x80) != 0 ? 1 : 0;
            const std::size_t planes = (f & 3u) + 1;
            const bool bit3 = (f & 0x08) != 0, bit4 = (f & 0x10) != 0;
            if (bit3 && bit4) {
                if (!has(kTilePixels + 1))
                    return false;
                const std::uint8_t* index = data.data() + pos;
                pos += kTilePixels;
                const std::size_t c = data[pos++];
                std::size_t start = 0, count = c + 1;
                if ((f & 0x20) != 0) {
                    if (!has(1))
                        return false;
                    start = data[pos++];
                    count = c;
                }
                if (!has(planes * count))
                    return false;
                for (std::size_t k = 0; k < count && start + k < 256; ++k) {
                    std::uint32_t v = 0;
                    for (std::size_t p = 0; p < planes; ++p)
                        v |= std::uint32_t{data[pos + p * count + k]} << (8 * p);
                    palette[start + k] = v;
                }
                pos += planes * count;
                for (std::size_t i = 0; i < kTilePixels; ++i)
                    stored[i] = palette[index[i]];
            } else if (bit3) {
                if (!has(planes * kTilePixels))
                    return false;
                for (std::size_t i = 0; i < kTilePixels; ++i) {
                    std::uint32_t v = 0;
                    for (std::size_t p = 0; p < planes; ++p)
                        v |= std::uint32_t{data[pos + p * kTilePixels + i]} << (8 * p);
                    stored[i] = v;
                }
                pos += planes * kTilePixels;
            } else if (!bit4) {
                if (!has(kTilePixels))
                    return false;
                for (std::size_t i = 0; i < kTilePixels; ++i)
                    stored[i] = data[pos + i] * 0x010101u;
                pos += planes * kTilePixels;
            }
            // A tile without data keeps the pixels of the one before.
            if (bit3 || !bit4)
                for (std::size_t k = 0; k < kTilePixels; ++k)
                    tile[(f & 0x40) != 0 ? scan_position(k) : k] = stored[k];
            for (std::uint32_t y = 0; y < kTile && ty + y < bmp.height; ++y) {
                std::uint32_t* row = bmp.pixels + std::size_t{ty + y} * bmp.stride;
                for (std::uint32_t x = 0; x < kTile && tx + x < bmp.width; ++x)
                    row[tx + x] = swap_red_blue(tile[y * kTile + x]);
            }
        }
    }
    return true;
}

// The planes of a version 2 image into the bitmap; bytes the data lacks stay 0.
void unpack_planes(std::span<const std::uint8_t> data, const SingleHeader& h,
                   const std::uint32_t (&palette)[256], Bitmap& bmp) noexcept {
    const std::size_t n = std::size_t{h.width} * h.height;
    const std::size_t planes = std::min<std::size_t>(h.channels, 4);
    for (std::uint32_t y = 0; y < bmp.height; ++y) {
        std::uint32_t* row = bmp.pixels + std::size_t{y} * bmp.stride;
        for (std::uint32_t x = 0; x < bmp.width; ++x) {
            const std::size_t i = std::size_t{y} * h.width + x;
            std::uint32_t v = 0;
            for (std::size_t p = 0; p < planes && p * n + i < data.size(); ++p)
                v |= std::uint32_t{data[p * n + i]} << (8 * p);
            if (h.layout == 1)
                v = (v & 0xFF0000FFu) | (v & 0xFF) << 8 | (v & 0xFF) << 16;
            else if (h.layout == 2)
                v = palette[v & 0xFF];
            row[x] = v;
        }
    }
}

class SingleReader {
public:
    SingleReader(Layer* layers, std::uint32_t capacity, LoadStatus& status, ByteSource& source,
                 std::uint64_t size, const ReadOptions& options, int version) noexcept
        : m_layers(layers), m_capacity(capacity), m_status(status), m_source(source), m_size(size),
          m_options(options), m_version(version) {}

    std::uint32_t run() noexcept;

private:
    bool read_header() noexcept;
    // Undoes the chain; false when the load fails. `protected_file` is set when the password
    // was not given.
    bool decode(bool& protected_file) noexcept;
    std::uint32_t finish() noexcept;

    Layer* m_layers;
    std::uint32_t m_capacity;
    LoadStatus& m_status;
    ByteSource& m_source;
    std::uint64_t m_size;
    const ReadOptions& m_options;
    int m_version;
    SingleHeader m_header;
    Buffer m_work[2];
    std::span<const std::uint8_t> m_data; // the decoded data
    Buffer m_packed;
};

bool SingleReader::read_header() noexcept {
    std::array<std::uint8_t, kHeaderV2> raw{};
    const std::size_t want = m_version == 2 ? kHeaderV2 : kHeaderV1;
    const std::size_t got = m_source.read(std::span(raw).first(want));
    m_header = parse_single_header(raw, m_version);
    const std::uint32_t major = m_header.version >> 16;
    if (got < 12 || !std::equal(kMagic.begin(), kMagic.end(), raw.begin()) ||
        m_header.header_size < kMinHeader || (m_version == 2 ? major != 2 : major > 1)) {
        m_status.error_text.assign(u"Invalid magic or version in VT5 header");
        return false;
    }
    m_status.is_native = 1;
    m_status.doc_kind = 0;
    m_status.kind_param = 0;
    m_status.version_text = version_text(static_cast<std::uint16_t>(major),
                                         static_cast<std::uint16_t>(m_header.version & 0xFFFF));
    return true;
}

bool SingleReader::decode(bool& protected_file) noexcept {
    const SingleHeader& h = m_header;
    const std::uint64_t limit = m_version == 2 ? kMaxDataV2 : kMaxDataV1;
    const std::uint64_t present = h.data_offset < m_size ? m_size - h.data_offset : 0;
    const std::uint64_t length = h.data_length == 0 ? present : h.data_length;
    if (length > limit)
        return false;
    const std::uint64_t wanted = std::min(length, present);
    m_packed = allocate(wanted);
    if (!m_packed || wanted == 0 || !m_source.seek(h.data_offset))
        return false;
    const std::size_t got = m_source.read({m_packed.get(), static_cast<std::size_t>(wanted)});
    if (got == 0)
        return false;

    // Version 1 pads the image to whole tiles, so that the edge tiles fit the buffers.
    const std::uint64_t pixels = std::uint64_t{h.width} * h.height;
    const std::uint64_t padded = std::uint64_t{(h.width + kTile - 1) / kTile * kTile} *
                                 ((h.height + kTile - 1) / kTile * kTile);
    const std::uint64_t capacity =
        m_version == 2 ? (std::uint64_t{h.channels} + 1) * pixels + 12 : 5 * padded;
    if (pixels > m_options.max_total_pixels || capacity > m_options.max_stream_bytes)
        return false;
    m_work[0] = allocate(capacity);
    m_work[1] = allocate(capacity);
    if (!m_work[0] || !m_work[1])
        return false;

    std::span<const std::uint8_t> current(m_packed.get(), got);
    int next = 0;
    const auto cap = static_cast<std::size_t>(capacity);
    const auto* passwords = m_options.passwords;
    std::vector<std::u16string> known;
    for (std::size_t k = codec::kChainLength; k-- > 0;) {
        const std::uint8_t id = h.chain[k];
        if (id == codec::kCodecNone)
            continue;
        const std::span<std::uint8_t> out(m_work[next].get(), cap);
        std::size_t n = 0;
        if (id == codec::kCodecPassword) {
            if (passwords == nullptr && m_status.silent) {
                known = known_passwords();
                passwords = &known;
            }
            const PasswordResult r = undo_password_step(
                out, current, m_status,
                passwords != nullptr ? std::span<const std::u16string>(*passwords)
                                     : std::span<const std::u16string>{});
            if (r.outcome == PasswordOutcome::not_given) {
                protected_file = true;
                return false;
            }
            n = r.outcome == PasswordOutcome::opened ? r.length : 0;
        } else if (!known_codec(id, m_version)) {
            if (m_version == 1)
                continue;
            warn(m_status, u"Unknown/unsupported compressor. Decode process aborted.",
                 u"VT5 Decoder - Unknown Element");
            return false;
        } else if (is_literal_codec(id)) {
            if (m_version == 2)
                n = codec::decode_step(id, out, current, codec::Literals::current);
            if (n == 0)
                n = codec::decode_step(id, out, current, codec::Literals::legacy);
        } else {
            n = codec::decode_step(id, out, current);
        }
        if (n == 0)
            return false;
        current = out.first(std::min(n, cap));
        next ^= 1;
    }
    m_data = current;
    return true;
}

std::uint32_t SingleReader::finish() noexcept {
    const SingleHeader& h = m_header;
    Layer& slot = m_layers[0];
    image::release_layer(slot);
    std::memset(static_cast<void*>(&slot), 0, sizeof(Layer));
    if (m_version == 2 && h.preprocessor != 0) {
        warn(m_status, u"Unknown/unsupported pre-processor. Decode process aborted.",
             u"VT5 Decoder - Unknown Element");
        return 0;
    }
    const auto w = static_cast<std::int32_t>(h.width);
    const auto ht = static_cast<std::int32_t>(h.height);
    if (image::CreateBitmap(&slot.bitmap, w, ht, 0) == 0)
        return 0;
    if (m_version == 2 && slot.bitmap.width != h.width) {
        image::FreeBitmap(&slot.bitmap);
        warn(m_status, u"Image too big for graphics engine. Decode process aborted.",
             u"VT5 Decoder - Image Too Big");
        return 0;
    }
    bool ok = false;
    {
        image::ScopedBitmapLock lock(&slot.bitmap, 0);
        if (lock.locked()) {
            if (m_version == 2) {
                std::uint32_t palette[256] = {};
                if (h.palette_offset != 0 && m_source.seek(h.palette_offset)) {
                    std::uint8_t raw[4 + 4 * 256] = {};
                    if (m_source.read({raw, 4}) == 4) {
                        const std::size_t n = std::min<std::size_t>(base::load_le16(raw), 256);
                        const std::size_t got = m_source.read({raw + 4, 4 * n}) / 4;
                        for (std::size_t i = 0; i < got; ++i)
                            palette[i] = base::load_le32(raw + 4 + 4 * i);
                    }
                }
                unpack_planes(m_data, h, palette, slot.bitmap);
                ok = true;
            } else {
                ok = unpack_tiles(m_data, slot.bitmap, h.width, h.height);
            }
        }
    }
    if (!ok) {
        image::FreeBitmap(&slot.bitmap);
        return 0;
    }
    return 1;
}

std::uint32_t SingleReader::run() noexcept {
    if (m_layers == nullptr || m_capacity == 0) {
        m_status.error_text.assign(u"The provided image data is invalid");
        return 0;
    }
    if (!m_source.seek(0) || !read_header())
        return 0;
    bool protected_file = false;
    if (!decode(protected_file)) {
        m_work[0].reset();
        m_work[1].reset();
        m_packed.reset();
        if (!protected_file)
            return 0;
        // The noise frames count against the same pixel budget as a picture's layers, so that
        // a few header bytes cannot ask for four of the largest bitmaps.
        const std::uint64_t pixels = std::uint64_t{m_header.width} * m_header.height;
        const std::uint64_t room =
            pixels == 0 ? m_capacity
                        : std::max<std::uint64_t>(1, m_options.max_total_pixels / pixels);
        return make_placeholder_frames(
            m_layers, static_cast<std::uint32_t>(std::min<std::uint64_t>(m_capacity, room)),
            m_status, static_cast<std::int32_t>(m_header.width),
            static_cast<std::int32_t>(m_header.height));
    }
    return finish();
}

} // namespace

std::uint32_t read_single_image(Layer* layers, std::uint32_t capacity, LoadStatus& status,
                                ByteSource& source, std::uint64_t size, const ReadOptions& options,
                                int version) noexcept {
    SingleReader reader(layers, capacity, status, source, size, options, version);
    return reader.run();
}

} // namespace vt::vt5
