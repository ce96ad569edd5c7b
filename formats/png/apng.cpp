#include "formats/png/apng.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/png/png_glue.h"
#include "formats/png/png_idat.h"
#include "sdk/kit/frame_changes.h"
#include "sdk/kit/plugin_kit.h"

namespace vt::formats::png {
namespace {

using namespace vt::kit;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kClear = 0xFF000000u; // fully transparent, in the host's pixels
constexpr std::uint8_t kDisposeBackground = 1, kDisposePrevious = 2;
constexpr std::uint8_t kBlendOver = 1;
constexpr std::int32_t kBrokenFrame = 0; // a frame libpng does not decode

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void put_be32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(bytes, 4);
}

struct Chunk {
    std::uint32_t type;
    std::span<const std::uint8_t> data;
    bool crc_ok;
};

constexpr std::uint32_t tag(const char (&name)[5]) {
    return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16 |
           std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint8_t(name[3]);
}

// The file's chunks up to IEND or the first one that does not fit.
std::vector<Chunk> chunks_of(std::span<const std::uint8_t> file) {
    std::vector<Chunk> chunks;
    std::size_t at = 8;
    while (at + 12 <= file.size()) {
        const std::uint32_t length = be32(&file[at]);
        if (length > file.size() - at - 12)
            break;
        const std::uint32_t type = be32(&file[at + 4]);
        const auto crc = crc32(0, &file[at + 4], static_cast<uInt>(length + 4));
        chunks.push_back({type, file.subspan(at + 8, length), crc == be32(&file[at + 8 + length])});
        if (type == tag("IEND"))
            break;
        at += std::size_t{length} + 12;
    }
    return chunks;
}

void append_chunk(std::string& png, std::uint32_t type, std::span<const std::uint8_t> data) {
    put_be32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    put_be32(png, type);
    png.append(reinterpret_cast<const char*>(data.data()), data.size());
    const auto* bytes = reinterpret_cast<const Bytef*>(png.data() + start);
    put_be32(png,
             static_cast<std::uint32_t>(crc32(0, bytes, static_cast<uInt>(png.size() - start))));
}

struct FrameControl {
    std::uint32_t width = 0, height = 0, x = 0, y = 0;
    std::uint16_t delay_num = 0, delay_den = 0;
    std::uint8_t dispose = 0, blend = 0;
    std::vector<std::span<const std::uint8_t>> data; // the zlib stream's pieces
};

struct Animation {
    std::uint32_t width = 0, height = 0;
    std::uint32_t plays = 0;
    std::span<const std::uint8_t> header; // IHDR's 13 bytes
    std::vector<Chunk> shared;            // every chunk before the image data
    std::vector<FrameControl> frames;
};

bool parse_frame_control(std::span<const std::uint8_t> d, const Animation& a, FrameControl& f) {
    if (d.size() != 26)
        return false;
    f.width = be32(&d[4]);
    f.height = be32(&d[8]);
    f.x = be32(&d[12]);
    f.y = be32(&d[16]);
    f.delay_num = static_cast<std::uint16_t>(d[20] << 8 | d[21]);
    f.delay_den = static_cast<std::uint16_t>(d[22] << 8 | d[23]);
    f.dispose = d[24];
    f.blend = d[25];
    return f.width > 0 && f.height > 0 && f.x < a.width && f.y < a.height &&
           f.width <= a.width - f.x && f.height <= a.height - f.y && f.dispose <= 2 && f.blend <= 1;
}

// The animation the chunks describe; no frames when there is none.
Animation parse(const std::vector<Chunk>& chunks) {
    Animation a;
    bool animated = false, image_data_seen = false;
    constexpr std::size_t kNone = ~std::size_t{0};
    std::size_t current = kNone, default_frame = kNone; // indices into a.frames
    for (const Chunk& c : chunks) {
        if (c.type == tag("IHDR")) {
            // A second header would resize the canvas under frames checked against the first.
            if (!a.header.empty() || c.data.size() != 13)
                break;
            a.header = c.data;
            a.width = be32(&c.data[0]);
            a.height = be32(&c.data[4]);
        } else if (c.type == tag("acTL") && c.data.size() == 8 && !image_data_seen) {
            animated = be32(&c.data[0]) > 0;
            a.plays = be32(&c.data[4]);
        } else if (c.type == tag("fcTL")) {
            FrameControl f;
            if (!animated || !parse_frame_control(c.data, a, f))
                break;
            a.frames.push_back(std::move(f));
            current = a.frames.size() - 1;
        } else if (c.type == tag("IDAT")) {
            // The default image is the first frame only when a frame control comes before it.
            if (!image_data_seen)
                default_frame = current;
            if (default_frame != kNone && current == default_frame)
                a.frames[current].data.push_back(c.data);
            image_data_seen = true;
        } else if (c.type == tag("fdAT")) {
            if (!image_data_seen) // frame data before the default image: not a valid file
                break;
            if (current != kNone && current != default_frame && c.data.size() > 4)
                a.frames[current].data.push_back(c.data.subspan(4));
        } else if (!image_data_seen && c.type != tag("IEND") && c.crc_ok) {
            // An ancillary chunk with a bad CRC is left out, as libpng leaves it out of a still.
            a.shared.push_back(c);
        }
    }
    if (a.header.empty() || !animated)
        a.frames.clear();
    while (!a.frames.empty() && a.frames.back().data.empty()) // a frame without its data
        a.frames.pop_back();
    return a;
}

// A PNG of one frame: the file's header with the frame's size, the shared chunks, its data.
std::string frame_png(const Animation& a, const FrameControl& f) {
    std::string png(reinterpret_cast<const char*>(kSignature), 8);
    std::uint8_t header[13];
    std::memcpy(header, a.header.data(), 13);
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<std::uint8_t>(f.width >> (24 - 8 * i));
        header[4 + i] = static_cast<std::uint8_t>(f.height >> (24 - 8 * i));
    }
    append_chunk(png, tag("IHDR"), header);
    for (const Chunk& c : a.shared)
        if (c.type != tag("IHDR") && c.type != tag("acTL") && c.type != tag("fcTL"))
            append_chunk(png, c.type, c.data);
    for (const std::span<const std::uint8_t> piece : f.data)
        append_chunk(png, tag("IDAT"), piece);
    append_chunk(png, tag("IEND"), {});
    return png;
}

// What the first frame's file says beside its pixels, kept past libpng's callback.
struct KeptMetadata {
    bool taken = false;
    std::uint32_t bits_per_pixel = 0;
    std::vector<std::uint8_t> exif, icc;
    std::string xmp;
    std::uint32_t ppm_x = 0, ppm_y = 0;
};

struct FrameDecode {
    std::vector<std::uint32_t>* pixels;
    std::uint32_t width, height;
    KeptMetadata* metadata;
};

std::int32_t begin_frame(void* context, const VtPngHeader* header, VtPngTarget* target) noexcept {
    auto* d = static_cast<FrameDecode*>(context);
    if (header->width != d->width || header->height != d->height)
        return VT_ERR_INVALID_DATA;
    d->metadata->bits_per_pixel = header->bits_per_pixel;
    target->pixels = d->pixels->data();
    target->stride = d->width;
    return VT_OK;
}

void keep_metadata(void* context, const VtPngMetadata* meta) noexcept {
    KeptMetadata& kept = *static_cast<FrameDecode*>(context)->metadata;
    if (kept.taken)
        return;
    kept.taken = true;
    try {
        if (meta->exif != nullptr)
            kept.exif.assign(meta->exif, meta->exif + meta->exif_size);
        if (meta->icc != nullptr)
            kept.icc.assign(meta->icc, meta->icc + meta->icc_size);
        if (meta->xmp != nullptr)
            kept.xmp.assign(meta->xmp, meta->xmp_size);
    } catch (const std::bad_alloc&) {
        kept.exif.clear(); // metadata never fails a load
        kept.icc.clear();
        kept.xmp.clear();
    }
    kept.ppm_x = meta->ppm_x;
    kept.ppm_y = meta->ppm_y;
}

std::uint16_t delay_ms(const FrameControl& f) {
    const std::uint32_t den = f.delay_den == 0 ? 100 : f.delay_den; // as the format says
    return static_cast<std::uint16_t>(
        std::min<std::uint32_t>(std::uint32_t{f.delay_num} * 1000 / den, 0xFFFF));
}

// Alpha compositing of one host pixel over another (transparency = 255 - alpha).
std::uint32_t over(std::uint32_t src, std::uint32_t dst) {
    const std::uint32_t sa = 255 - (src >> 24), da = 255 - (dst >> 24);
    if (sa == 255 || da == 0)
        return src;
    if (sa == 0)
        return dst;
    const std::uint32_t keep = da * (255 - sa) / 255, out_a = sa + keep;
    std::uint32_t out = (255 - out_a) << 24;
    for (int shift = 0; shift < 24; shift += 8) {
        const std::uint32_t s = (src >> shift) & 255, d = (dst >> shift) & 255;
        out |= ((s * sa + d * keep + out_a / 2) / out_a) << shift;
    }
    return out;
}

class Composer {
public:
    Composer(FilterCall* call, const Animation& animation)
        : m_call(call), m_animation(animation), m_changes(call) {}

    std::int32_t run() {
        if (const std::int32_t r = allocate(); r != VT_OK)
            return r;
        for (std::size_t i = 0; i < m_animation.frames.size(); ++i) {
            if (i > 0 && static_cast<std::int64_t>(i) > m_call->max_frame) {
                m_call->warnings |= VT_WARN_LAYERS_DROPPED;
                return VT_OK;
            }
            const std::int32_t r = frame(i);
            if (r == kBrokenFrame && i > 0) { // keep the frames before it
                m_call->warnings |= VT_WARN_DATA_LOST;
                return VT_OK;
            }
            if (r != VT_OK)
                return r == kBrokenFrame ? VT_ERR_INVALID_DATA : r;
        }
        return VT_OK;
    }

private:
    std::int32_t allocate() {
        try {
            m_canvas.assign(std::size_t{m_animation.width} * m_animation.height, kClear);
        } catch (const std::bad_alloc&) {
            return VT_ERR_OUT_OF_MEMORY;
        }
        return VT_OK;
    }

    std::int32_t frame(std::size_t index) {
        const FrameControl& f = m_animation.frames[index];
        std::vector<std::uint32_t> pixels;
        try {
            pixels.resize(std::size_t{f.width} * f.height);
        } catch (const std::bad_alloc&) {
            return VT_ERR_OUT_OF_MEMORY;
        }
        const std::string png = frame_png(m_animation, f);
        FrameDecode decode{&pixels, f.width, f.height, &m_metadata};
        const VtPngReadSink sink{&decode, begin_frame, keep_metadata};
        if (vt_png_read(reinterpret_cast<const std::uint8_t*>(png.data()), png.size(), &sink) !=
            VT_OK)
            return kBrokenFrame;
        // The first frame's "previous" is the cleared canvas.
        const std::uint8_t dispose =
            index == 0 && f.dispose == kDisposePrevious ? kDisposeBackground : f.dispose;
        std::vector<std::uint32_t> before;
        if (dispose == kDisposePrevious)
            before = region(f);
        for (std::uint32_t y = 0; y < f.height; ++y) {
            std::uint32_t* row = &m_canvas[std::size_t{f.y + y} * m_animation.width + f.x];
            const std::uint32_t* from = &pixels[std::size_t{y} * f.width];
            for (std::uint32_t x = 0; x < f.width; ++x)
                row[x] = f.blend == kBlendOver ? over(from[x], row[x]) : from[x];
        }
        if (const std::int32_t r = deliver(index, f); r != VT_OK)
            return r;
        if (dispose == kDisposeBackground)
            fill(f, nullptr);
        else if (dispose == kDisposePrevious)
            fill(f, before.data());
        return VT_OK;
    }

    std::vector<std::uint32_t> region(const FrameControl& f) const {
        std::vector<std::uint32_t> kept;
        kept.reserve(std::size_t{f.width} * f.height);
        for (std::uint32_t y = 0; y < f.height; ++y) {
            const std::uint32_t* row = &m_canvas[std::size_t{f.y + y} * m_animation.width + f.x];
            kept.insert(kept.end(), row, row + f.width);
        }
        return kept;
    }

    // The frame's rectangle cleared, or set back to `kept`.
    void fill(const FrameControl& f, const std::uint32_t* kept) {
        for (std::uint32_t y = 0; y < f.height; ++y) {
            std::uint32_t* row = &m_canvas[std::size_t{f.y + y} * m_animation.width + f.x];
            if (kept != nullptr)
                std::copy_n(kept + std::size_t{y} * f.width, f.width, row);
            else
                std::fill_n(row, f.width, kClear);
        }
    }

    std::int32_t deliver(std::size_t index, const FrameControl& f) {
        m_call->mode2 = delay_ms(f);
        const std::uint32_t width = m_animation.width, height = m_animation.height;
        if (index > 0 && m_changes.ready())
            return m_changes.deliver(m_canvas.data(), width);
        // Frame 0 was asked for before anything else; a later one goes whole without the copy.
        if (index > 0)
            if (const std::int32_t r = request_frame(m_call, width, height); r != VT_OK)
                return r;
        for (std::uint32_t y = 0; y < height; ++y)
            std::memcpy(m_call->pixels + std::size_t{y} * m_call->stride,
                        &m_canvas[std::size_t{y} * width], width * sizeof(std::uint32_t));
        if (index > 0) {
            m_call->doc_kind = 2;
            return VT_OK;
        }
        const std::string plays = std::to_string(m_animation.plays);
        deliver_markup(m_call, {m_metadata.bits_per_pixel,
                                m_metadata.exif.empty() ? nullptr : m_metadata.exif.data(),
                                static_cast<std::uint32_t>(m_metadata.exif.size()),
                                m_metadata.xmp.empty() ? nullptr : m_metadata.xmp.c_str(), nullptr,
                                m_animation.frames.size() > 1 ? plays.c_str() : nullptr});
        add_frame_chunk(m_call, kTagIcc, m_metadata.icc.data(),
                        static_cast<std::uint32_t>(m_metadata.icc.size()));
        deliver_resolution(m_call, resolution_per_metre(m_metadata.ppm_x, m_metadata.ppm_y));
        m_changes.keep_first(m_call->pixels, width, height, m_call->stride);
        return VT_OK;
    }

    FilterCall* m_call;
    const Animation& m_animation;
    ChangedFrames m_changes;
    KeptMetadata m_metadata;
    std::vector<std::uint32_t> m_canvas; // the animation as it shows after the frame so far
};

} // namespace

std::string damaged_chunk(std::span<const std::uint8_t> file) {
    if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0)
        return {};
    for (const Chunk& c : chunks_of(file)) {
        const bool critical = (c.type & 0x20000000u) == 0;
        if (!c.crc_ok &&
            (critical || c.type == tag("acTL") || c.type == tag("fcTL") || c.type == tag("fdAT"))) {
            std::string name;
            for (int shift = 24; shift >= 0; shift -= 8) {
                const auto ch = static_cast<char>(c.type >> shift);
                name += ch >= 0x21 && ch <= 0x7E ? ch : '?';
            }
            return name;
        }
    }
    return {};
}

std::int32_t read_apng(std::span<const std::uint8_t> file, FilterCall* call) {
    if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0)
        return kNotAnimated;
    const Animation animation = parse(chunks_of(file));
    if (animation.frames.empty() || animation.width == 0 || animation.height == 0 ||
        animation.width > VT_PNG_MAX_SIDE || animation.height > VT_PNG_MAX_SIDE ||
        std::uint64_t{animation.width} * animation.height > VT_PNG_MAX_PIXELS)
        return kNotAnimated;
    // The host judges the canvas (as frame 0) before the plug-in takes memory for it.
    call->mode2 = delay_ms(animation.frames[0]);
    if (const std::int32_t r = request_frame(call, animation.width, animation.height); r != VT_OK)
        return r;
    Composer composer(call, animation);
    return composer.run();
}

// ---- Writing -------------------------------------------------------------------------------

namespace {

constexpr std::uint16_t kDelayWhenNone = 100; // ms, as GIF and WebP saves use for a delay of 0

// The selected frame centred on a clear canvas, as the host flattens a frame animation.
void place_on(const FilterCall* call, std::vector<std::uint32_t>& canvas, std::uint32_t width,
              std::uint32_t height) {
    std::fill(canvas.begin(), canvas.end(), kClear);
    const std::uint32_t x0 = (width - call->width) / 2, y0 = (height - call->height) / 2;
    for (std::uint32_t y = 0; y < call->height; ++y)
        std::memcpy(&canvas[std::size_t{y0 + y} * width + x0],
                    call->pixels + std::size_t{y} * call->stride,
                    call->width * sizeof(std::uint32_t));
}

// The rectangle that differs, as a frame control; 1 x 1 at the corner when nothing does (a frame
// must cover a pixel).
FrameControl changed_area(const std::vector<std::uint32_t>& before,
                          const std::vector<std::uint32_t>& after, std::uint32_t width,
                          std::uint32_t height) {
    const ChangeBox box = changed_box(after.data(), width, before.data(), width, height);
    FrameControl f;
    f.width = f.height = 1;
    if (box.left <= box.right) {
        f.width = box.right - box.left + 1;
        f.height = box.bottom - box.top + 1;
        f.x = box.left;
        f.y = box.top;
    }
    return f;
}

void put_frame_control(std::string& out, std::uint32_t& sequence, const FrameControl& f) {
    std::string d;
    for (const std::uint32_t v : {sequence++, f.width, f.height, f.x, f.y})
        put_be32(d, v);
    const char rest[6] = {static_cast<char>(f.delay_num >> 8),
                          static_cast<char>(f.delay_num),
                          static_cast<char>(f.delay_den >> 8),
                          static_cast<char>(f.delay_den),
                          0 /* dispose: none */,
                          0 /* blend: source */};
    d.append(rest, 6);
    append_chunk(out, tag("fcTL"), {reinterpret_cast<const std::uint8_t*>(d.data()), d.size()});
}

// The still PNG of the first frame, with the metadata, as vt_png_write makes it.
std::int32_t still_png(const std::vector<std::uint32_t>& canvas, std::uint32_t width,
                       std::uint32_t height, bool alpha, int level, const VtPngWriteMetadata& meta,
                       std::vector<std::uint8_t>& png) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    if (stream == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    const std::int32_t r =
        vt_png_write(stream, canvas.data(), width, height, width, alpha ? 1 : 0, level, &meta);
    const bool closed = std::fclose(stream) == 0;
    if (r == VT_OK && closed && buffer != nullptr)
        png.assign(buffer, buffer + size);
    std::free(buffer);
    return r != VT_OK ? r : (closed ? VT_OK : VT_ERR_OUT_OF_MEMORY);
}

struct Canvas {
    std::uint32_t width = 0, height = 0;
    bool alpha = false;
};

// The canvas every frame fits on, and whether any pixel is not opaque (a frame smaller than the
// canvas leaves clear borders).
std::int32_t measure(FilterCall* call, Canvas& canvas) {
    std::uint32_t least_width = ~0u, least_height = ~0u;
    for (std::uint32_t i = 0; i < call->frame_count; ++i) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(i)); r != VT_OK)
            return r;
        canvas.width = std::max(canvas.width, call->width);
        canvas.height = std::max(canvas.height, call->height);
        least_width = std::min(least_width, call->width);
        least_height = std::min(least_height, call->height);
        canvas.alpha = canvas.alpha || any_transparent(call);
    }
    canvas.alpha = canvas.alpha || least_width != canvas.width || least_height != canvas.height;
    if (canvas.width > VT_PNG_MAX_SIDE || canvas.height > VT_PNG_MAX_SIDE ||
        std::uint64_t{canvas.width} * canvas.height > VT_PNG_MAX_PIXELS)
        return VT_ERR_DIMENSIONS;
    return VT_OK;
}

std::int32_t write_frames(FilterCall* call, const VtPngWriteMetadata& meta, int level,
                          std::string& out) {
    Canvas canvas;
    if (const std::int32_t r = measure(call, canvas); r != VT_OK)
        return r;
    const std::uint32_t width = canvas.width, height = canvas.height;
    std::vector<std::uint32_t> shown(std::size_t{width} * height), next(shown.size());
    std::vector<std::uint8_t> first;
    // Frame 0 is also the default image, which viewers without animation show.
    if (const std::int32_t r = select_frame_at(call, 0); r != VT_OK)
        return r;
    const std::uint32_t plays = markup_plays(call);
    const auto delay = [call] { return call->mode2 != 0 ? call->mode2 : kDelayWhenNone; };
    FrameControl control;
    control.width = width;
    control.height = height;
    control.delay_num = delay();
    control.delay_den = 1000;
    place_on(call, shown, width, height);
    if (const std::int32_t r = still_png(shown, width, height, canvas.alpha, level, meta, first);
        r != VT_OK)
        return r;

    out.assign(reinterpret_cast<const char*>(kSignature), 8);
    std::uint32_t sequence = 0;
    bool image_data_seen = false;
    const std::vector<Chunk> chunks = chunks_of(first);
    for (const Chunk& c : chunks) {
        if (c.type == tag("IEND"))
            break;
        if (c.type == tag("IDAT") && !image_data_seen) {
            put_frame_control(out, sequence, control);
            image_data_seen = true;
        }
        append_chunk(out, c.type, c.data);
        if (c.type == tag("IHDR")) {
            std::string actl;
            put_be32(actl, call->frame_count);
            put_be32(actl, plays);
            append_chunk(out, tag("acTL"),
                         {reinterpret_cast<const std::uint8_t*>(actl.data()), actl.size()});
        }
    }
    // Later frames: the rectangle that changed, drawn over what shows (dispose none, blend
    // source), so a small change costs a small frame.
    for (std::uint32_t i = 1; i < call->frame_count; ++i) {
        if (const std::int32_t r = select_frame_at(call, static_cast<std::int32_t>(i)); r != VT_OK)
            return r;
        place_on(call, next, width, height);
        control = changed_area(shown, next, width, height);
        control.delay_num = delay();
        control.delay_den = 1000;
        std::size_t size = 0;
        std::uint8_t* data =
            vt_png_idat(&next[std::size_t{control.y} * width + control.x], control.width,
                        control.height, width, canvas.alpha ? 1 : 0, std::max(level, 1), &size);
        if (data == nullptr || size > 0x7FFFFFFBu) {
            std::free(data);
            return VT_ERR_OUT_OF_MEMORY;
        }
        put_frame_control(out, sequence, control);
        std::string fdat;
        put_be32(fdat, sequence++);
        fdat.append(reinterpret_cast<const char*>(data), size);
        std::free(data);
        append_chunk(out, tag("fdAT"),
                     {reinterpret_cast<const std::uint8_t*>(fdat.data()), fdat.size()});
        shown.swap(next);
    }
    append_chunk(out, tag("IEND"), {});
    return VT_OK;
}

} // namespace

std::int32_t write_apng(FilterCall* call, const VtPngWriteMetadata& meta, int level,
                        std::string& file) {
    try {
        return write_frames(call, meta, level, file);
    } catch (const std::bad_alloc&) {
        return VT_ERR_OUT_OF_MEMORY;
    }
}

} // namespace vt::formats::png
