// AVIF sequences through libavif, and the loop count in the tracks' edit lists.

#include "formats/heif/avif_sequence.h"

#include <avif/avif.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "sdk/vt_plugin.h"

namespace vt::formats::heif {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint32_t kMaxPixels = 250000000;
// libavif's own bound on a sequence's frames, kept: more are refused before anything decodes.
constexpr std::uint32_t kMaxFrames = 3600;
constexpr int kSpeed = 6; // libheif's default for AV1 stills
// libaom 3.6 crashes coding the second frame of a sequence taller than about 43,600 rows at
// speeds up to 6, whatever the width or content; speed 7 codes them.
constexpr std::uint32_t kTallFrom = 32768;
constexpr int kTallSpeed = 7;
// A track or movie duration of all ones is unknown: a sequence that repeats without end.
constexpr std::uint64_t kUnknown64 = ~std::uint64_t{0};
constexpr std::uint64_t kUnknown32 = 0xFFFFFFFFu;

// ---- boxes

std::uint64_t be(std::span<const std::uint8_t> b, std::size_t at, std::size_t bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        v = (v << 8) | b[at + i];
    return v;
}

void put_be(std::vector<std::uint8_t>& b, std::size_t at, std::size_t bytes, std::uint64_t v) {
    for (std::size_t i = bytes; i-- > 0; v >>= 8)
        b[at + i] = static_cast<std::uint8_t>(v);
}

struct Box {
    std::size_t start = 0;
    std::size_t body = 0; // after the size and type
    std::size_t end = 0;
    std::string_view type;
    bool small = true; // a 32-bit size
};

// The box at `at`, which must end by `end`.
std::optional<Box> box_at(std::span<const std::uint8_t> b, std::size_t at, std::size_t end) {
    if (end < at || end - at < 8)
        return std::nullopt;
    std::uint64_t size = be(b, at, 4);
    Box box;
    box.start = at;
    box.body = at + 8;
    box.type = std::string_view(reinterpret_cast<const char*>(b.data() + at + 4), 4);
    if (size == 1) {
        if (end - at < 16)
            return std::nullopt;
        size = be(b, at + 8, 8);
        box.body = at + 16;
        box.small = false;
    } else if (size == 0) {
        size = end - at;
    }
    if (size < box.body - at || size > end - at)
        return std::nullopt;
    box.end = at + static_cast<std::size_t>(size);
    return box;
}

// The boxes of one type in [from, to), in order.
template <typename Visit>
void each_box(std::span<const std::uint8_t> b, std::size_t from, std::size_t to,
              std::string_view type, Visit visit) {
    while (const std::optional<Box> box = box_at(b, from, to)) {
        if (box->type == type && !visit(*box))
            return;
        from = box->end;
    }
}

std::optional<Box> first_box(std::span<const std::uint8_t> b, std::size_t from, std::size_t to,
                             std::string_view type) {
    std::optional<Box> found;
    each_box(b, from, to, type, [&found](const Box& box) {
        found = box;
        return false;
    });
    return found;
}

// A child reached through a path of box types from inside `parent`.
std::optional<Box> descend(std::span<const std::uint8_t> b, const Box& parent,
                           std::initializer_list<std::string_view> path) {
    std::optional<Box> at = parent;
    for (const std::string_view type : path) {
        at = first_box(b, at->body, at->end, type);
        if (!at)
            return std::nullopt;
    }
    return at;
}

// Where a full box's duration sits and how wide it is: 'mvhd' and 'tkhd' of version 0 or 1.
std::optional<std::pair<std::size_t, std::size_t>> duration_field(std::span<const std::uint8_t> b,
                                                                  const Box& box) {
    if (box.end - box.body < 4)
        return std::nullopt;
    const bool v1 = b[box.body] == 1;
    const std::size_t at = box.body + 4 + (v1 ? 16 : 8) + 4 + (box.type == "tkhd" ? 4 : 0);
    const std::size_t width = v1 ? 8 : 4;
    if (b[box.body] > 1 || box.end - at < width || at > box.end)
        return std::nullopt;
    return std::pair{at, width};
}

// The track the pictures are in: the first without a reference (an alpha track refers to its
// colour track), else the first.
std::optional<Box> picture_track(std::span<const std::uint8_t> b, const Box& moov) {
    std::optional<Box> first;
    std::optional<Box> plain;
    each_box(b, moov.body, moov.end, "trak", [&](const Box& trak) {
        if (!first)
            first = trak;
        if (!first_box(b, trak.body, trak.end, "tref")) {
            plain = trak;
            return false;
        }
        return true;
    });
    return plain ? plain : first;
}

// ---- libavif

struct DecoderFree {
    void operator()(avifDecoder* d) const noexcept { avifDecoderDestroy(d); }
};
struct EncoderFree {
    void operator()(avifEncoder* e) const noexcept { avifEncoderDestroy(e); }
};
struct ImageFree {
    void operator()(avifImage* i) const noexcept { avifImageDestroy(i); }
};
struct OwnedData {
    avifRWData data = AVIF_DATA_EMPTY;
    ~OwnedData() { avifRWDataFree(&data); }
};

std::int32_t result_of(avifResult r) {
    switch (r) {
    case AVIF_RESULT_OK:
        return VT_OK;
    case AVIF_RESULT_OUT_OF_MEMORY:
        return VT_ERR_OUT_OF_MEMORY;
    case AVIF_RESULT_TRUNCATED_DATA:
        return VT_ERR_READ;
    case AVIF_RESULT_NO_CODEC_AVAILABLE:
        return VT_ERR_COMPONENT_MISSING;
    case AVIF_RESULT_NOT_IMPLEMENTED:
    case AVIF_RESULT_UNSUPPORTED_DEPTH:
        return VT_ERR_NOT_IMPLEMENTED;
    case AVIF_RESULT_ENCODE_COLOR_FAILED:
    case AVIF_RESULT_ENCODE_ALPHA_FAILED:
    case AVIF_RESULT_REFORMAT_FAILED:
    case AVIF_RESULT_UNKNOWN_ERROR:
        return VT_ERR_COMPONENT_FAILED;
    default:
        return VT_ERR_INVALID_DATA;
    }
}

std::uint32_t delay_of(const avifImageTiming& timing) {
    if (timing.timescale == 0)
        return 0;
    const long double ms = static_cast<long double>(timing.durationInTimescales) * 1000.0L /
                           static_cast<long double>(timing.timescale);
    return ms >= 65535.0L ? 65535u : static_cast<std::uint32_t>(ms + 0.5L);
}

// libavif's 8-bit B, G, R, A bytes are a Bitmap's pixels but for alpha, which the host keeps as
// transparency.
void to_transparency(std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                     std::uint32_t stride) {
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t* row = pixels + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < width; ++x)
            row[x] ^= 0xFF000000u;
    }
}

} // namespace

namespace {

// One item of an 'iloc' box: its fields, and where the moveable ones sit in the file.
struct IlocExtent {
    std::size_t offset_at;
    std::uint64_t offset, length;
};
struct IlocItem {
    std::uint64_t id = 0, method = 0, reference = 0, base = 0;
    std::size_t base_at = 0, base_size = 0, offset_size = 0;
    std::vector<IlocExtent> extents;
};

// Visits the items of an 'iloc' box (versions 0 to 2) until `visit` answers false; false when
// the box cannot be read.
template <typename Visit>
bool each_iloc_item(std::span<const std::uint8_t> b, const Box& iloc, Visit visit) {
    std::size_t at = iloc.body;
    auto need = [&](std::size_t n) { return iloc.end >= at && iloc.end - at >= n; };
    if (!need(6))
        return false;
    const std::uint8_t version = b[at];
    const std::size_t offset_size = b[at + 4] >> 4, length_size = b[at + 4] & 15;
    const std::size_t base_size = b[at + 5] >> 4;
    const std::size_t index_size = version >= 1 ? (b[at + 5] & 15) : 0;
    at += 6;
    for (const std::size_t s : {offset_size, length_size, base_size, index_size})
        if (s != 0 && s != 4 && s != 8)
            return false;
    const std::size_t id_size = version < 2 ? 2 : 4;
    if (version > 2 || !need(id_size))
        return false;
    const std::uint64_t items = be(b, at, id_size);
    at += id_size;
    for (std::uint64_t i = 0; i < items; ++i) {
        if (!need(id_size + (version >= 1 ? 2 : 0) + 2 + base_size + 2))
            return false;
        IlocItem item;
        item.base_size = base_size;
        item.offset_size = offset_size;
        item.id = be(b, at, id_size);
        at += id_size;
        item.method = version >= 1 ? be(b, at, 2) & 15 : 0;
        at += version >= 1 ? 2 : 0;
        item.reference = be(b, at, 2);
        at += 2;
        item.base_at = at;
        item.base = base_size ? be(b, at, base_size) : 0;
        at += base_size;
        const std::uint64_t extents = be(b, at, 2);
        at += 2;
        for (std::uint64_t e = 0; e < extents; ++e) {
            if (!need(index_size + offset_size + length_size))
                return false;
            at += index_size;
            IlocExtent extent{at, offset_size ? be(b, at, offset_size) : 0, 0};
            at += offset_size;
            extent.length = length_size ? be(b, at, length_size) : 0;
            at += length_size;
            item.extents.push_back(extent);
        }
        if (!visit(item))
            return true;
    }
    return true;
}

// The type of item `item` in 'iinf' (its 'infe' boxes of version 2 or 3), or empty.
std::string_view item_type(std::span<const std::uint8_t> b, const Box& iinf, std::uint32_t item) {
    if (iinf.end - iinf.body < 6)
        return {};
    const std::size_t count_size = b[iinf.body] == 0 ? 2 : 4;
    std::string_view found;
    each_box(b, iinf.body + 4 + count_size, iinf.end, "infe", [&](const Box& infe) {
        if (infe.end - infe.body < 4)
            return true;
        const std::uint8_t version = b[infe.body];
        const std::size_t id_size = version == 2 ? 2 : 4;
        if (version < 2 || infe.end - infe.body < 4 + id_size + 2 + 4)
            return true;
        if (be(b, infe.body + 4, id_size) != item)
            return true;
        found = std::string_view(
            reinterpret_cast<const char*>(b.data() + infe.body + 4 + id_size + 2), 4);
        return false;
    });
    return found;
}

// The first `want` bytes of item `item`, from its 'iloc' extents in the file or in 'idat'
// (fewer when the item is shorter or its extents leave the file).
std::vector<std::uint8_t> item_head(std::span<const std::uint8_t> b, const Box& meta,
                                    std::uint32_t item, std::size_t want) {
    std::vector<std::uint8_t> head;
    const std::optional<Box> iloc = first_box(b, meta.body + 4, meta.end, "iloc");
    if (!iloc)
        return head;
    (void)each_iloc_item(b, *iloc, [&](const IlocItem& at) {
        if (at.id != item)
            return true;
        // Method 0 counts from the file's start, method 1 from the body of 'idat'.
        std::span<const std::uint8_t> source = b;
        if (at.method == 1) {
            const std::optional<Box> idat = first_box(b, meta.body + 4, meta.end, "idat");
            source = idat ? b.subspan(idat->body, idat->end - idat->body)
                          : std::span<const std::uint8_t>();
        }
        for (const IlocExtent& extent : at.extents) {
            const std::uint64_t offset = at.base + extent.offset;
            if (at.method > 1 || offset >= source.size() || head.size() >= want)
                break;
            std::uint64_t length = extent.length;
            if (length == 0 || length > source.size() - offset)
                length = source.size() - offset;
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, want - head.size()));
            head.insert(head.end(), source.begin() + static_cast<std::ptrdiff_t>(offset),
                        source.begin() + static_cast<std::ptrdiff_t>(offset + take));
        }
        return false;
    });
    return head;
}

} // namespace

std::optional<std::pair<std::uint32_t, std::uint32_t>>
grid_output_size(std::span<const std::uint8_t> file, std::uint32_t item) noexcept {
    try {
        const std::optional<Box> meta = first_box(file, 0, file.size(), "meta");
        if (!meta || meta->end - meta->body < 4)
            return std::nullopt;
        const std::optional<Box> iinf = first_box(file, meta->body + 4, meta->end, "iinf");
        if (!iinf || item_type(file, *iinf, item) != "grid")
            return std::nullopt;
        // version, flags (bit 0: 32-bit sizes), rows - 1, columns - 1, width, height
        const std::vector<std::uint8_t> grid = item_head(file, *meta, item, 12);
        if (grid.size() < 4 || grid[0] != 0)
            return std::nullopt;
        const std::size_t side = (grid[1] & 1) != 0 ? 4 : 2;
        if (grid.size() < 4 + 2 * side)
            return std::nullopt;
        return std::pair{static_cast<std::uint32_t>(be(grid, 4, side)),
                         static_cast<std::uint32_t>(be(grid, 4 + side, side))};
    } catch (...) {
        return std::nullopt; // no memory for twelve bytes: libheif decides
    }
}

bool has_movie(std::span<const std::uint8_t> file) noexcept {
    return first_box(file, 0, file.size(), "moov").has_value();
}

std::uint32_t sequence_plays(std::span<const std::uint8_t> file) noexcept {
    const std::optional<Box> moov = first_box(file, 0, file.size(), "moov");
    const std::optional<Box> trak = moov ? picture_track(file, *moov) : std::nullopt;
    if (!trak)
        return 0;
    const std::optional<Box> elst = descend(file, *trak, {"edts", "elst"});
    const std::optional<Box> tkhd = first_box(file, trak->body, trak->end, "tkhd");
    if (!elst || !tkhd)
        return 0; // no edit list: viewers loop it
    if (elst->end - elst->body < 8)
        return 1;
    const bool v1 = file[elst->body] == 1;
    const bool repeats = (file[elst->body + 3] & 1) != 0;
    const std::size_t width = v1 ? 8 : 4;
    if (!repeats || be(file, elst->body + 4, 4) == 0 || elst->end - elst->body < 8 + width)
        return 1;
    const std::uint64_t segment = be(file, elst->body + 8, width);
    const auto field = duration_field(file, *tkhd);
    if (!field)
        return 1;
    const std::uint64_t track = be(file, field->first, field->second);
    if (track == (field->second == 8 ? kUnknown64 : kUnknown32) || segment == 0)
        return 0;
    const std::uint64_t runs = track / segment + (track % segment != 0 ? 1 : 0);
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(runs, 1, 65535));
}

namespace {

// A change to make in the original file's coordinates: bytes to insert at a place, or a field
// to overwrite.
struct Insert {
    std::size_t at;
    std::array<std::uint8_t, 44> bytes;
};
struct Field {
    std::size_t at;
    std::size_t width;
    std::uint64_t value;
};

std::array<std::uint8_t, 44> edit_list(std::uint64_t segment) {
    std::vector<std::uint8_t> b(44, 0);
    put_be(b, 0, 4, 44);
    std::memcpy(b.data() + 4, "edts", 4);
    put_be(b, 8, 4, 36);
    std::memcpy(b.data() + 12, "elst", 4);
    put_be(b, 16, 4, 0x01000001); // version 1, flags: repeat the edits
    put_be(b, 20, 4, 1);          // one entry
    put_be(b, 24, 8, segment);    // the whole media ...
    put_be(b, 32, 8, 0);          // ... from its start
    put_be(b, 40, 4, 0x00010000); // at rate 1
    std::array<std::uint8_t, 44> out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

// The absolute offsets of an 'iloc' box that point at or past `from`, as fields to move by
// `delta`; false when it cannot be read or an offset it implies cannot be moved.
bool move_item_offsets(std::span<const std::uint8_t> b, const Box& iloc, std::size_t from,
                       std::uint64_t delta, std::vector<Field>& fields) {
    bool movable = true;
    const bool read = each_iloc_item(b, iloc, [&](const IlocItem& item) {
        const bool in_file = item.method == 0 && item.reference == 0;
        bool base_moved = false;
        for (const IlocExtent& extent : item.extents) {
            if (!in_file || item.base + extent.offset < from || base_moved)
                continue;
            if (item.base_size != 0 && item.base >= from) {
                fields.push_back({item.base_at, item.base_size, item.base + delta});
                base_moved = true;
            } else if (item.offset_size != 0 && extent.offset >= from) {
                fields.push_back({extent.offset_at, item.offset_size, extent.offset + delta});
            } else {
                movable = false;
                return false;
            }
        }
        return true;
    });
    return read && movable;
}

} // namespace

bool set_sequence_plays(std::vector<std::uint8_t>& file, std::uint32_t plays) {
    if (plays == 0 || plays > 65535)
        return false;
    const std::span<const std::uint8_t> b(file);
    const std::optional<Box> moov = first_box(b, 0, b.size(), "moov");
    if (!moov || !moov->small)
        return false;
    const std::optional<Box> mvhd = first_box(b, moov->body, moov->end, "mvhd");
    const auto movie = mvhd ? duration_field(b, *mvhd) : std::nullopt;
    if (!movie)
        return false;
    const std::uint64_t segment = be(b, movie->first, movie->second);
    const std::uint64_t total = segment * plays;
    if (segment == 0 || segment > kUnknown32 || (movie->second == 4 && total >= kUnknown32))
        return false;
    std::vector<Insert> inserts;
    std::vector<Field> fields{{movie->first, movie->second, total}};
    bool fits = true;
    each_box(b, moov->body, moov->end, "trak", [&](const Box& trak) {
        const std::optional<Box> tkhd = first_box(b, trak.body, trak.end, "tkhd");
        const auto track = tkhd ? duration_field(b, *tkhd) : std::nullopt;
        if (!trak.small || !track || first_box(b, trak.body, trak.end, "edts") ||
            (track->second == 4 && total >= kUnknown32)) {
            fits = false;
            return false;
        }
        fields.push_back({track->first, track->second, total});
        fields.push_back({trak.start, 4, (trak.end - trak.start) + 44});
        inserts.push_back({tkhd->end, edit_list(segment)});
        return true;
    });
    if (!fits || inserts.empty())
        return false;
    const std::uint64_t delta = 44 * inserts.size();
    fields.push_back({moov->start, 4, (moov->end - moov->start) + delta});
    if ((moov->end - moov->start) + delta > kUnknown32)
        return false;
    // Sample offsets of every track, and the items' offsets, that lie behind the movie.
    each_box(b, moov->body, moov->end, "trak", [&](const Box& trak) {
        for (const auto& [type, width] : {std::pair{"stco", 4}, std::pair{"co64", 8}}) {
            const std::optional<Box> table = descend(b, trak, {"mdia", "minf", "stbl", type});
            if (!table)
                continue;
            const std::uint64_t count =
                table->end - table->body >= 8 ? be(b, table->body + 4, 4) : 0;
            if (table->end - table->body < 8 ||
                count > (table->end - table->body - 8) / static_cast<std::size_t>(width)) {
                fits = false;
                return false;
            }
            for (std::uint64_t i = 0; i < count; ++i) {
                const std::size_t at = table->body + 8 + static_cast<std::size_t>(i) * width;
                const std::uint64_t offset = be(b, at, static_cast<std::size_t>(width));
                if (offset >= moov->start) {
                    if (width == 4 && offset + delta > kUnknown32) {
                        fits = false;
                        return false;
                    }
                    fields.push_back({at, static_cast<std::size_t>(width), offset + delta});
                }
            }
        }
        return true;
    });
    if (!fits)
        return false;
    if (const std::optional<Box> meta = first_box(b, 0, b.size(), "meta")) {
        if (meta->end - meta->body < 4)
            return false;
        const Box inside{meta->start, meta->body + 4, meta->end, meta->type, meta->small};
        if (const std::optional<Box> iloc = first_box(b, inside.body, inside.end, "iloc"))
            if (!move_item_offsets(b, *iloc, moov->start, delta, fields))
                return false;
    }
    std::vector<std::uint8_t> out(file);
    for (const Field& f : fields) {
        if (f.width == 4 && f.value > kUnknown32)
            return false;
        put_be(out, f.at, f.width, f.value);
    }
    // Inserted last to first, so each place is still where it was.
    std::sort(inserts.begin(), inserts.end(),
              [](const Insert& a, const Insert& c) { return a.at > c.at; });
    for (const Insert& i : inserts)
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(i.at), i.bytes.begin(), i.bytes.end());
    file = std::move(out);
    return true;
}

std::int32_t read_avif_sequence(std::span<const std::uint8_t> file, SequenceSink& sink,
                                std::uint16_t& warnings) {
    const std::unique_ptr<avifDecoder, DecoderFree> decoder(avifDecoderCreate());
    if (!decoder)
        return VT_ERR_OUT_OF_MEMORY;
    avifDecoder* d = decoder.get();
    d->maxThreads = 1;
    d->imageSizeLimit = kMaxPixels;
    d->imageDimensionLimit = kMaxSide;
    d->imageCountLimit = kMaxFrames;
    d->requestedSource = AVIF_DECODER_SOURCE_TRACKS;
    if (const avifResult r = avifDecoderSetIOMemory(d, file.data(), file.size());
        r != AVIF_RESULT_OK)
        return result_of(r);
    if (const avifResult r = avifDecoderParse(d); r != AVIF_RESULT_OK)
        return result_of(r);
    if (d->imageCount < 2)
        return kNotASequence;
    SequenceInfo info;
    info.width = d->image->width;
    info.height = d->image->height;
    info.bits = d->image->depth;
    info.alpha = d->alphaPresent != 0;
    info.plays = sequence_plays(file);
    if (info.width < 1 || info.height < 1)
        return VT_ERR_INVALID_DATA;
    if (info.width > kMaxSide || info.height > kMaxSide ||
        std::uint64_t{info.width} * info.height > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    for (std::uint32_t index = 0;; ++index) {
        const avifResult next = avifDecoderNextImage(d);
        if (next == AVIF_RESULT_NO_IMAGES_REMAINING && index > 0)
            return VT_OK;
        if (next != AVIF_RESULT_OK) {
            if (index == 0)
                return result_of(next);
            warnings |= VT_WARN_DATA_LOST; // the frames before it stay
            return VT_OK;
        }
        // Every frame of a sequence has the track's size; a frame that does not is broken.
        if (d->image->width != info.width || d->image->height != info.height) {
            if (index == 0)
                return VT_ERR_INVALID_DATA;
            warnings |= VT_WARN_DATA_LOST;
            return VT_OK;
        }
        if (index == 0) {
            info.icc = {d->image->icc.data, d->image->icc.size};
            info.exif = {d->image->exif.data, d->image->exif.size};
        }
        std::uint32_t* pixels = nullptr;
        std::uint32_t stride = 0;
        if (const std::int32_t r =
                sink.begin_frame(info, index, delay_of(d->imageTiming), pixels, stride);
            r != VT_OK)
            return r == kEnoughFrames ? VT_OK : r;
        if (pixels == nullptr || stride < info.width || stride > (1u << 28))
            return VT_ERR_BITMAP_REQUEST;
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, d->image);
        rgb.format = AVIF_RGB_FORMAT_BGRA;
        rgb.depth = 8;
        rgb.pixels = reinterpret_cast<std::uint8_t*>(pixels);
        rgb.rowBytes = stride * 4;
        if (const avifResult r = avifImageYUVToRGB(d->image, &rgb); r != AVIF_RESULT_OK) {
            if (index == 0)
                return result_of(r);
            warnings |= VT_WARN_DATA_LOST;
            return VT_OK;
        }
        to_transparency(pixels, info.width, info.height, stride);
        if (const std::int32_t r = sink.end_frame(info, index); r != VT_OK)
            return r;
    }
}

std::int32_t encode_avif_sequence(std::uint32_t width, std::uint32_t height, std::uint32_t count,
                                  bool alpha, const SequenceSource& source,
                                  const SequenceOptions& options, std::vector<std::uint8_t>& out) {
    if (width < 1 || height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (width > kMaxSide || height > kMaxSide || std::uint64_t{width} * height > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    const std::unique_ptr<avifEncoder, EncoderFree> encoder(avifEncoderCreate());
    if (!encoder)
        return VT_ERR_OUT_OF_MEMORY;
    avifEncoder* e = encoder.get();
    e->maxThreads = 1;
    e->speed = height > kTallFrom ? kTallSpeed : kSpeed;
    e->timescale = 1000;
    // libheif's mapping of its quality to the AV1 quantizer, so stills and sequences agree.
    const int q = options.lossless ? AVIF_QUANTIZER_LOSSLESS
                                   : ((100 - std::clamp(options.quality, 0, 100)) * 63 + 50) / 100;
    e->minQuantizer = e->maxQuantizer = q;
    e->minQuantizerAlpha = e->maxQuantizerAlpha = q;
    std::vector<std::uint32_t> canvas;
    try {
        canvas.resize(std::size_t{width} * height);
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        SequenceFrame frame;
        if (const std::int32_t r = source(index, frame); r != VT_OK)
            return r;
        if (frame.width > width || frame.height > height || frame.stride < frame.width)
            return VT_ERR_DIMENSIONS;
        // B, G, R, A bytes: the frame centred on clear pixels.
        std::fill(canvas.begin(), canvas.end(), 0u);
        const std::uint32_t left = (width - frame.width) / 2, top = (height - frame.height) / 2;
        for (std::uint32_t y = 0; y < frame.height; ++y) {
            const std::uint32_t* in = frame.pixels + static_cast<std::size_t>(y) * frame.stride;
            std::uint32_t* row = canvas.data() + std::size_t{top + y} * width + left;
            for (std::uint32_t x = 0; x < frame.width; ++x)
                row[x] = in[x] ^ 0xFF000000u;
        }
        const std::unique_ptr<avifImage, ImageFree> image(avifImageCreate(
            width, height, 8,
            options.lossless ? AVIF_PIXEL_FORMAT_YUV444 : AVIF_PIXEL_FORMAT_YUV420));
        if (!image)
            return VT_ERR_OUT_OF_MEMORY;
        avifImage* img = image.get();
        img->yuvRange = AVIF_RANGE_FULL;
        img->colorPrimaries = AVIF_COLOR_PRIMARIES_BT709;
        img->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
        img->matrixCoefficients =
            options.lossless ? AVIF_MATRIX_COEFFICIENTS_IDENTITY : AVIF_MATRIX_COEFFICIENTS_BT601;
        if (!options.icc.empty())
            avifImageSetProfileICC(img, options.icc.data(), options.icc.size());
        if (index == 0 && !options.exif.empty())
            avifImageSetMetadataExif(img, options.exif.data(), options.exif.size());
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, img);
        rgb.format = AVIF_RGB_FORMAT_BGRA;
        rgb.depth = 8;
        rgb.ignoreAlpha = alpha ? AVIF_FALSE : AVIF_TRUE;
        rgb.pixels = reinterpret_cast<std::uint8_t*>(canvas.data());
        rgb.rowBytes = width * 4;
        if (const avifResult r = avifImageRGBToYUV(img, &rgb); r != AVIF_RESULT_OK)
            return result_of(r);
        const std::uint32_t delay = frame.delay_ms != 0 ? frame.delay_ms : 100;
        if (const avifResult r = avifEncoderAddImage(e, img, delay, AVIF_ADD_IMAGE_FLAG_NONE);
            r != AVIF_RESULT_OK)
            return result_of(r) == VT_ERR_INVALID_DATA ? VT_ERR_COMPONENT_FAILED : result_of(r);
    }
    OwnedData data;
    if (const avifResult r = avifEncoderFinish(e, &data.data); r != AVIF_RESULT_OK)
        return result_of(r) == VT_ERR_INVALID_DATA ? VT_ERR_COMPONENT_FAILED : result_of(r);
    try {
        out.assign(data.data.data, data.data.data + data.data.size);
        if (options.plays != 0)
            (void)set_sequence_plays(out, options.plays);
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    }
    return VT_OK;
}

} // namespace vt::formats::heif
