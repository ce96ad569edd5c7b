// Motion JPEG 2000 as ISO/IEC 15444-3 describes it: the ISO base media file format boxes of
// ISO/IEC 14496-12 (ftyp, moov with mvhd and one video trak, its sample table stsd/stts/stsc/
// stsz/stco, mdat) around samples that are JPEG 2000 codestreams in 'jp2c' boxes, the sample
// description 'mjp2' carrying a 'jp2h' header box. Frames are decoded and encoded by OpenJPEG.
// How often the animation runs ("animation.plays") has no place in the format; it travels in a
// 'uuid' box of our own in the movie's user data, which other readers skip.

#include "formats/jp2k/mj2.h"

#include <openjpeg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "formats/jp2k/opj_glue.h"
#include "sdk/kit/plugin_kit.h"

namespace vt::formats::jp2k {
namespace {

using namespace vt::kit;

constexpr std::uint32_t kTimescale = 1000; // milliseconds
constexpr std::uint32_t kDefaultDelayMs = 100;
constexpr std::uint8_t kDocFrameAnimation = 2;
// Samples read from a table at most; a longer one is cut here, with the warning for dropped
// frames.
constexpr std::size_t kMaxSamples = 1u << 20;
constexpr std::uint8_t kPlaysUuid[16] = {0x8c, 0x1e, 0x56, 0x4b, 0x2d, 0x93, 0x4f, 0x61,
                                         0xa0, 0x37, 0x76, 0x74, 0x6c, 0x6d, 0x6a, 0x32};
constexpr std::uint8_t kSignatureBox[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 13, 10, 0x87, 10};

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return (std::uint32_t{static_cast<std::uint8_t>(s[0])} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(s[1])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(s[2])} << 8) | static_cast<std::uint8_t>(s[3]);
}

std::uint64_t be(Bytes b, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return v;
}

constexpr std::int32_t kEnd = 0; // no more boxes: neither VT_OK nor a failure

struct Box {
    std::uint32_t type = 0;
    Bytes body;
};

// The next box of `rest`: VT_OK, kEnd at the end, or the result code of a box that overruns.
std::int32_t next_box(Bytes& rest, Box& box) {
    if (rest.empty())
        return kEnd;
    if (rest.size() < 8)
        return VT_ERR_READ;
    std::uint64_t size = be(rest, 0, 4);
    box.type = static_cast<std::uint32_t>(be(rest, 4, 4));
    std::size_t header = 8;
    if (size == 1) {
        if (rest.size() < 16)
            return VT_ERR_READ;
        size = be(rest, 8, 8);
        header = 16;
    } else if (size == 0) {
        size = rest.size();
    }
    if (size < header)
        return VT_ERR_INVALID_DATA;
    if (size > rest.size())
        return VT_ERR_READ;
    box.body = rest.subspan(header, static_cast<std::size_t>(size) - header);
    rest = rest.subspan(static_cast<std::size_t>(size));
    return VT_OK;
}

// The first child of `parent` of `type`; an empty body when there is none.
std::int32_t find_box(Bytes parent, std::uint32_t type, Box& found) {
    Box box;
    std::int32_t r = VT_OK;
    while ((r = next_box(parent, box)) == VT_OK)
        if (box.type == type) {
            found = box;
            return VT_OK;
        }
    found = {};
    return r == kEnd ? VT_OK : r;
}

// A path of boxes below `parent`, each the first of its type.
std::int32_t find_path(Bytes parent, std::initializer_list<std::uint32_t> path, Box& found) {
    found.body = parent;
    for (const std::uint32_t type : path) {
        if (const std::int32_t r = find_box(found.body, type, found); r != VT_OK)
            return r;
        if (found.type != type)
            return VT_OK;
    }
    return VT_OK;
}

bool brand_is_mj2(std::uint32_t brand) {
    return brand == fourcc("mjp2") || brand == fourcc("mj2s");
}

struct Sample {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
};

struct Track {
    std::uint32_t timescale = 0;
    std::vector<Sample> samples;
    bool cut_short = false; // the table held more samples than we read
    std::uint64_t file_size = 0;
};

// A full box's body past its version and flags, at least `need` bytes long.
std::int32_t full_body(const Box& box, std::size_t need, Bytes& body) {
    if (box.body.size() < 4 + need)
        return VT_ERR_INVALID_DATA;
    body = box.body.subspan(4);
    return VT_OK;
}

std::int32_t read_sizes(const Box& stsz, Track& track) {
    Bytes b;
    if (const std::int32_t r = full_body(stsz, 8, b); r != VT_OK)
        return r;
    const auto fixed = static_cast<std::uint32_t>(be(b, 0, 4));
    std::uint64_t count = be(b, 4, 4);
    if (fixed == 0 && count > (b.size() - 8) / 4)
        return VT_ERR_INVALID_DATA;
    // Samples of one stated size beyond the file's end are never read: none is made.
    if (fixed != 0)
        count = std::min<std::uint64_t>(count, track.file_size / fixed + 1);
    if (count > kMaxSamples) {
        count = kMaxSamples;
        track.cut_short = true;
    }
    track.samples.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < track.samples.size(); ++i)
        track.samples[i].size =
            fixed != 0 ? fixed : static_cast<std::uint32_t>(be(b, 8 + i * 4, 4));
    return VT_OK;
}

std::int32_t read_durations(const Box& stts, Track& track) {
    Bytes b;
    if (const std::int32_t r = full_body(stts, 4, b); r != VT_OK)
        return r;
    const std::uint64_t entries = be(b, 0, 4);
    if (entries > (b.size() - 4) / 8)
        return VT_ERR_INVALID_DATA;
    std::size_t at = 0;
    for (std::size_t e = 0; e < entries && at < track.samples.size(); ++e) {
        const std::uint64_t run = be(b, 4 + e * 8, 4);
        const auto delta = static_cast<std::uint32_t>(be(b, 8 + e * 8, 4));
        for (std::uint64_t k = 0; k < run && at < track.samples.size(); ++k)
            track.samples[at++].duration = delta;
    }
    return VT_OK;
}

// Sample offsets from the chunk offsets (stco or co64) and the sample-to-chunk runs (stsc).
std::int32_t read_offsets(const Box& stsc, const Box& stco, bool wide, Track& track) {
    Bytes runs;
    Bytes chunks;
    if (const std::int32_t r = full_body(stsc, 4, runs); r != VT_OK)
        return r;
    if (const std::int32_t r = full_body(stco, 4, chunks); r != VT_OK)
        return r;
    const std::uint64_t run_count = be(runs, 0, 4);
    const std::uint64_t chunk_count = be(chunks, 0, 4);
    const std::size_t width = wide ? 8 : 4;
    if (run_count > (runs.size() - 4) / 12 || chunk_count > (chunks.size() - 4) / width)
        return VT_ERR_INVALID_DATA;
    std::size_t sample = 0;
    for (std::uint64_t run = 0; run < run_count && sample < track.samples.size(); ++run) {
        const std::uint64_t first = be(runs, 4 + run * 12, 4);
        const std::uint64_t per_chunk = be(runs, 8 + run * 12, 4);
        const std::uint64_t end =
            run + 1 < run_count ? be(runs, 16 + run * 12, 4) : chunk_count + 1;
        if (first < 1 || end <= first || end > chunk_count + 1)
            return VT_ERR_INVALID_DATA;
        for (std::uint64_t chunk = first; chunk < end && sample < track.samples.size(); ++chunk) {
            std::uint64_t at = be(chunks, 4 + (chunk - 1) * width, static_cast<int>(width));
            for (std::uint64_t k = 0; k < per_chunk && sample < track.samples.size(); ++k) {
                track.samples[sample].offset = at;
                at += track.samples[sample++].size;
            }
        }
    }
    if (sample < track.samples.size())
        return VT_ERR_INVALID_DATA;
    return VT_OK;
}

// The first track whose sample description is 'mjp2'.
std::int32_t read_track(Bytes moov, Track& track) {
    Box trak;
    std::int32_t r = VT_OK;
    while ((r = next_box(moov, trak)) == VT_OK) {
        if (trak.type != fourcc("trak"))
            continue;
        Box mdhd;
        Box stbl;
        Box stsd;
        if ((r = find_path(trak.body, {fourcc("mdia"), fourcc("mdhd")}, mdhd)) != VT_OK ||
            (r = find_path(trak.body, {fourcc("mdia"), fourcc("minf"), fourcc("stbl")}, stbl)) !=
                VT_OK ||
            (r = find_box(stbl.body, fourcc("stsd"), stsd)) != VT_OK)
            return r;
        if (stsd.body.size() < 16 || be(stsd.body, 12, 4) != fourcc("mjp2"))
            continue;
        Bytes m;
        if ((r = full_body(mdhd, 20, m)) != VT_OK)
            return r;
        const bool v1 = mdhd.body[0] == 1;
        if (v1 && m.size() < 32)
            return VT_ERR_INVALID_DATA;
        track.timescale = static_cast<std::uint32_t>(be(m, v1 ? 16 : 8, 4));
        Box stsz;
        Box stts;
        Box stsc;
        Box stco;
        Box co64;
        if ((r = find_box(stbl.body, fourcc("stsz"), stsz)) != VT_OK ||
            (r = find_box(stbl.body, fourcc("stts"), stts)) != VT_OK ||
            (r = find_box(stbl.body, fourcc("stsc"), stsc)) != VT_OK ||
            (r = find_box(stbl.body, fourcc("stco"), stco)) != VT_OK ||
            (r = find_box(stbl.body, fourcc("co64"), co64)) != VT_OK)
            return r;
        if (track.timescale == 0 || stsz.type == 0 || stts.type == 0 || stsc.type == 0 ||
            (stco.type == 0 && co64.type == 0))
            return VT_ERR_INVALID_DATA;
        if ((r = read_sizes(stsz, track)) != VT_OK || (r = read_durations(stts, track)) != VT_OK)
            return r;
        return read_offsets(stsc, stco.type != 0 ? stco : co64, stco.type == 0, track);
    }
    return r == kEnd ? VT_ERR_NOT_IMPLEMENTED : r; // no Motion JPEG 2000 track
}

std::uint32_t read_plays(Bytes moov) {
    Box udta;
    if (find_box(moov, fourcc("udta"), udta) != VT_OK || udta.type == 0)
        return 0xFFFFFFFF;
    Bytes rest = udta.body;
    Box box;
    while (next_box(rest, box) == VT_OK)
        if (box.type == fourcc("uuid") && box.body.size() >= 20 &&
            std::memcmp(box.body.data(), kPlaysUuid, 16) == 0)
            return static_cast<std::uint32_t>(be(box.body, 16, 4));
    return 0xFFFFFFFF;
}

// The codestream of a sample: its first 'jp2c' box (the first field of an interlaced pair), or
// the sample itself when it is a bare codestream.
Bytes codestream_of(Bytes sample) {
    if (sample.size() >= 2 && sample[0] == 0xFF && sample[1] == 0x4F)
        return sample;
    Box box;
    while (next_box(sample, box) == VT_OK)
        if (box.type == fourcc("jp2c"))
            return box.body;
    return {};
}

// One sample decoded into a new frame; `bits` its bits per pixel.
std::int32_t decode_frame(FilterCall* call, Bytes sample, std::uint32_t& bits) {
    const Bytes code = codestream_of(sample);
    if (code.size() < 4)
        return VT_ERR_INVALID_DATA;
    Decoded decoded;
    const std::int32_t r = decode_into_frame(call, code, false, decoded);
    bits = decoded.bits;
    return r;
}

// ---- Writing ----

class Writer {
public:
    void u8(std::uint32_t v) { m_out.push_back(static_cast<std::uint8_t>(v)); }
    void u16(std::uint32_t v) { u8(v >> 8), u8(v); }
    void u32(std::uint32_t v) { u16(v >> 16), u16(v & 0xFFFF); }
    void zeros(std::size_t n) { m_out.insert(m_out.end(), n, 0); }
    void bytes(const void* data, std::size_t n) {
        // resize and copy: GCC 12 at -O3 misreads an insert into a fresh vector as an overflow
        const std::size_t at = m_out.size();
        m_out.resize(at + n);
        if (n != 0)
            std::memcpy(m_out.data() + at, data, n);
    }
    // A box whose body `fill` writes; with `version_flags` a full box (flags in the low 24 bits).
    template <class Fill>
    void box(const char (&type)[5], Fill&& fill, std::int64_t version_flags = -1) {
        const std::size_t start = m_out.size();
        u32(0);
        u32(fourcc(type));
        if (version_flags >= 0)
            u32(static_cast<std::uint32_t>(version_flags));
        fill();
        const auto size = static_cast<std::uint32_t>(m_out.size() - start);
        for (int i = 0; i < 4; ++i)
            m_out[start + static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(size >> (24 - 8 * i));
    }
    void matrix() {
        for (const std::uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u})
            u32(v);
    }
    std::vector<std::uint8_t>& out() { return m_out; }

private:
    std::vector<std::uint8_t> m_out;
};

struct Movie {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool alpha = false;
    std::uint32_t plays = 0;
    std::vector<std::vector<std::uint8_t>> samples; // codestreams
    std::vector<std::uint32_t> durations;           // milliseconds
};

void write_header_box(Writer& w, const Movie& m) {
    const std::uint32_t n = m.alpha ? 4 : 3;
    w.box("jp2h", [&] {
        w.box("ihdr", [&] {
            w.u32(m.height), w.u32(m.width), w.u16(n);
            w.u8(7), w.u8(7), w.u8(0), w.u8(0); // 8 bits, wavelet coded, known colour, no IPR
        });
        w.box("colr", [&] { w.u8(1), w.u8(0), w.u8(0), w.u32(16); }); // sRGB
        if (m.alpha)
            w.box("cdef", [&] {
                w.u16(4);
                for (std::uint32_t k = 0; k < 4; ++k)
                    w.u16(k), w.u16(k == 3 ? 1 : 0), w.u16(k == 3 ? 0 : k + 1);
            });
    });
}

void write_sample_table(Writer& w, const Movie& m, std::uint32_t mdat_body) {
    const auto count = static_cast<std::uint32_t>(m.samples.size());
    w.box("stbl", [&] {
        w.box(
            "stsd",
            [&] {
                w.u32(1);
                w.box("mjp2", [&] {
                    w.zeros(6), w.u16(1), w.zeros(16);
                    w.u16(m.width), w.u16(m.height);
                    w.u32(0x00480000), w.u32(0x00480000), w.u32(0), w.u16(1);
                    w.zeros(32);
                    w.u16(m.alpha ? 32 : 24), w.u16(0xFFFF);
                    write_header_box(w, m);
                });
            },
            0);
        w.box(
            "stts",
            [&] {
                std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
                for (const std::uint32_t d : m.durations)
                    if (!runs.empty() && runs.back().second == d)
                        ++runs.back().first;
                    else
                        runs.emplace_back(1, d);
                w.u32(static_cast<std::uint32_t>(runs.size()));
                for (const auto& [run, d] : runs)
                    w.u32(run), w.u32(d);
            },
            0);
        w.box(
            "stsc", [&] { w.u32(1), w.u32(1), w.u32(count), w.u32(1); }, 0);
        w.box(
            "stsz",
            [&] {
                w.u32(0), w.u32(count);
                for (const auto& s : m.samples)
                    w.u32(static_cast<std::uint32_t>(s.size() + 8));
            },
            0);
        w.box(
            "stco", [&] { w.u32(1), w.u32(mdat_body); }, 0);
    });
}

std::vector<std::uint8_t> write_movie(const Movie& m, std::uint32_t mdat_body) {
    std::uint32_t total = 0;
    for (const std::uint32_t d : m.durations)
        total += d;
    Writer w;
    w.bytes(kSignatureBox, sizeof(kSignatureBox));
    w.box("ftyp", [&] { w.u32(fourcc("mjp2")), w.u32(0), w.u32(fourcc("mjp2")); });
    w.box("moov", [&] {
        w.box(
            "mvhd",
            [&] {
                w.u32(0), w.u32(0), w.u32(kTimescale), w.u32(total);
                w.u32(0x00010000), w.u16(0x0100), w.zeros(10);
                w.matrix();
                w.zeros(24), w.u32(2);
            },
            0);
        w.box("trak", [&] {
            w.box(
                "tkhd",
                [&] {
                    w.u32(0), w.u32(0), w.u32(1), w.u32(0), w.u32(total);
                    w.zeros(8), w.u16(0), w.u16(0), w.u16(0), w.u16(0);
                    w.matrix();
                    w.u32(m.width << 16), w.u32(m.height << 16);
                },
                7);
            w.box("mdia", [&] {
                w.box(
                    "mdhd",
                    [&] {
                        w.u32(0), w.u32(0), w.u32(kTimescale), w.u32(total), w.u16(0x55C4),
                            w.u16(0);
                    },
                    0);
                w.box(
                    "hdlr",
                    [&] {
                        w.u32(0), w.u32(fourcc("vide")), w.zeros(12);
                        w.bytes("Video", 6);
                    },
                    0);
                w.box("minf", [&] {
                    w.box(
                        "vmhd", [&] { w.zeros(8); }, 1);
                    w.box("dinf", [&] {
                        w.box(
                            "dref",
                            [&] {
                                w.u32(1);
                                w.box(
                                    "url ", [] {}, 1);
                            },
                            0);
                    });
                    write_sample_table(w, m, mdat_body);
                });
            });
        });
        w.box("udta", [&] {
            w.box("uuid", [&] {
                w.bytes(kPlaysUuid, sizeof(kPlaysUuid));
                w.u32(m.plays);
            });
        });
    });
    return std::move(w.out());
}

std::int32_t encode_frame(const FilterCall* call, const std::vector<std::uint32_t>& canvas,
                          std::uint32_t w, std::uint32_t h, bool alpha,
                          std::vector<std::uint8_t>& code) {
    const Image image = image_of(canvas.data(), w, w, h, alpha);
    if (!image)
        return VT_ERR_OUT_OF_MEMORY;
    opj_cparameters_t parameters = encoder_parameters(call, w, h);
    Codec codec = quiet_codec(opj_create_compress(OPJ_CODEC_J2K));
    if (!codec)
        return VT_ERR_OUT_OF_MEMORY;
    if (!opj_setup_encoder(codec.get(), &parameters, image.get()))
        return VT_ERR_INTERNAL;
    Memory memory{&code, {}, 0};
    Stream stream = memory_stream(memory, false);
    if (!stream)
        return VT_ERR_OUT_OF_MEMORY;
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        return VT_ERR_INTERNAL;
    return VT_OK;
}

// Frame `index` of an animation, or the picture a still save selects.
std::int32_t select(FilterCall* call, bool animation, std::uint32_t index) {
    return animation ? select_frame_at(call, static_cast<std::int32_t>(index))
                     : select_picture(call);
}

// The selected frame centred on the movie's canvas, as the host flattens a frame animation.
std::vector<std::uint32_t> on_canvas(const FilterCall* call, const Movie& m) {
    std::vector<std::uint32_t> canvas(static_cast<std::size_t>(m.width) * m.height, 0xFF000000u);
    const std::uint32_t left = (m.width - call->width) / 2;
    const std::uint32_t top = (m.height - call->height) / 2;
    for (std::uint32_t y = 0; y < call->height; ++y)
        std::copy_n(call->pixels + static_cast<std::size_t>(y) * call->stride, call->width,
                    canvas.begin() + static_cast<std::ptrdiff_t>((top + y) * m.width + left));
    return canvas;
}

} // namespace

bool is_mj2_path(const std::uint16_t* path) noexcept {
    std::size_t n = 0;
    while (path[n] != 0)
        ++n;
    const char16_t want[] = u".mj2";
    for (std::size_t i = 0; n >= 4 && i < 4; ++i) {
        const std::uint16_t c = path[n - 4 + i];
        if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != want[i])
            return false;
    }
    return n >= 4;
}

bool is_mj2(std::span<const std::uint8_t> file) noexcept {
    if (file.size() >= sizeof(kSignatureBox) &&
        std::memcmp(file.data(), kSignatureBox, sizeof(kSignatureBox)) == 0)
        file = file.subspan(sizeof(kSignatureBox));
    Box ftyp;
    if (next_box(file, ftyp) != VT_OK || ftyp.type != fourcc("ftyp") || ftyp.body.size() < 8)
        return false;
    if (brand_is_mj2(static_cast<std::uint32_t>(be(ftyp.body, 0, 4))))
        return true;
    for (std::size_t at = 8; at + 4 <= ftyp.body.size(); at += 4)
        if (brand_is_mj2(static_cast<std::uint32_t>(be(ftyp.body, at, 4))))
            return true;
    return false;
}

std::int32_t load_mj2(FilterCall* call, std::span<const std::uint8_t> file) {
    Box moov;
    if (const std::int32_t r = find_box(file, fourcc("moov"), moov); r != VT_OK)
        return r;
    if (moov.type == 0)
        return VT_ERR_READ; // a movie's header may follow its samples
    Track track;
    track.file_size = file.size();
    if (const std::int32_t r = read_track(moov.body, track); r != VT_OK)
        return r;
    if (track.samples.empty())
        return VT_ERR_INVALID_DATA;
    std::uint32_t bits = 0;
    std::size_t loaded = 0;
    for (const Sample& s : track.samples) {
        if (loaded > 0 && static_cast<std::int64_t>(loaded) > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        if (s.offset > file.size() || s.size > file.size() - s.offset) {
            if (loaded == 0)
                return VT_ERR_READ;
            call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        const std::uint64_t ms = std::uint64_t{s.duration} * 1000 / track.timescale;
        call->mode2 = static_cast<std::uint16_t>(std::min<std::uint64_t>(ms, 65535));
        const std::int32_t r =
            decode_frame(call, file.subspan(static_cast<std::size_t>(s.offset), s.size), bits);
        if (r != VT_OK) {
            // A frame the host holds already is kept; one that failed before it was asked for
            // ends the movie there.
            if (loaded == 0 || r == VT_ERR_TIMEOUT || r == VT_ERR_BITMAP_REQUEST)
                return r;
            call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        if (++loaded == 2)
            call->doc_kind = kDocFrameAnimation;
        if (loaded == 1) {
            const std::uint32_t plays = read_plays(moov.body);
            const std::string text = plays != 0xFFFFFFFF ? std::to_string(plays) : "";
            deliver_markup(
                call, {.bits_per_pixel = bits, .plays = text.empty() ? nullptr : text.c_str()});
        }
    }
    if (loaded == track.samples.size() && track.cut_short)
        call->warnings |= VT_WARN_LAYERS_DROPPED;
    return VT_OK;
}

std::int32_t save_mj2(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    const bool animation = call->doc_kind == kDocFrameAnimation && call->frame_count > 1;
    const std::uint32_t frames = animation ? call->frame_count : 1;
    Movie m;
    bool sizes_differ = false;
    for (std::uint32_t i = 0; i < frames; ++i) {
        if (const std::int32_t r = select(call, animation, i); r != VT_OK)
            return r;
        sizes_differ =
            sizes_differ || (i > 0 && (call->width != m.width || call->height != m.height));
        m.width = std::max(m.width, call->width);
        m.height = std::max(m.height, call->height);
        m.alpha = m.alpha || any_transparent(call);
        if (i == 0)
            m.plays = markup_plays(call);
    }
    // Smaller frames leave the canvas around them transparent.
    m.alpha = m.alpha || sizes_differ;
    if (m.width > 65535 || m.height > 65535)
        return VT_ERR_DIMENSIONS;
    std::uint64_t mdat = 8;
    for (std::uint32_t i = 0; i < frames; ++i) {
        if (const std::int32_t r = select(call, animation, i); r != VT_OK)
            return r;
        m.durations.push_back(animation && call->mode2 != 0 ? call->mode2 : kDefaultDelayMs);
        m.samples.emplace_back();
        if (const std::int32_t r = encode_frame(call, on_canvas(call, m), m.width, m.height,
                                                m.alpha, m.samples.back());
            r != VT_OK)
            return r;
        mdat += m.samples.back().size() + 8;
    }
    // The movie's header first, so a reader streaming the file knows the samples before them.
    const std::size_t head = write_movie(m, 0).size();
    if (mdat + head > 0xFFFFFFFFu)
        return VT_ERR_DIMENSIONS;
    std::vector<std::uint8_t> file = write_movie(m, static_cast<std::uint32_t>(head + 8));
    file.reserve(static_cast<std::size_t>(head + mdat));
    Writer body;
    body.u32(static_cast<std::uint32_t>(mdat));
    body.u32(fourcc("mdat"));
    for (const auto& s : m.samples) {
        body.u32(static_cast<std::uint32_t>(s.size() + 8));
        body.u32(fourcc("jp2c"));
        body.bytes(s.data(), s.size());
    }
    file.insert(file.end(), body.out().begin(), body.out().end());
    return write_target_bytes(call->path, file);
}

} // namespace vt::formats::jp2k
