// fmx_WIC: JPEG XR files (.jxr, .wdp, .hdp) on jxrlib, the format's reference codec (ITU-T T.832
// and its file format, T.832 Annex A).
// Load: whatever jxrlib's format converter turns into 8-bit grey, RGB or RGBA; deeper and
// floating-point pixels come down to 8 bits on the way, and 16-bit integer files (48bppRGB,
// 64bppRGBA, 16bppGray) also deliver their samples as the deep picture when it is asked for.
// The colour profile becomes an "ICCP" chunk, the resolution a "PHYS" chunk. Save: 8-bit grey,
// RGB, or RGBA when any pixel is not opaque, or from an offered deep picture 16bppGray,
// 48bppRGB or 64bppRGBA; with the profile and resolution; "fmx_WIC.quality" 1-100 and
// "fmx_WIC.lossless".
// jxrlib keeps state in globals and is not safe to enter from two threads: every use of it runs
// under one lock, which a fault inside the library (caught by the host) leaves closed. Loads
// decode in a child process, where a fault on a broken file ends only the child.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "sdk/kit/child.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

// Last: the library's headers define min and max as macros.
#include <JXRGlue.h>
#undef min
#undef max

// The codec's own teardown of a decoding context, exported but not in its public headers.
extern "C" Int ImageStrDecTerm(CTXSTRCODEC context);

namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
// A flat picture codes in very little, but never in less than a byte per this many pixels.
constexpr std::uint64_t kMaxPixelsPerByte = 16384;
// Rows decoded at once: every copy decodes the picture from its start, so all of them.
constexpr std::uint32_t kBandRows = 65536;
// A profile the container says is larger than this is not read.
constexpr std::uint32_t kMaxProfileBytes = 16u << 20;
constexpr int kDefaultQuality = 90;
// How long a decoding child may take at least before it is taken for hung.
constexpr std::uint32_t kDefaultDecodeMs = 120000;

// One thread in jxrlib at a time. A fault inside it is caught by the host, which leaves the call
// by a jump: the holder's release never runs and the library's state cannot be trusted. Later
// calls then answer -30: the faulted thread sees at once that it still holds the lock, other
// threads after waiting kLockWait (longer than any picture within the limits takes).
class CodecLock {
public:
    CodecLock() {
        if (t_held) { // this thread jumped out of the library
            s_broken = true;
            t_held = false;
            s_lock.unlock();
        } else if (!s_broken && s_lock.try_lock_for(kLockWait)) {
            t_held = m_held = true;
            return;
        }
        s_broken = true;
    }
    ~CodecLock() {
        if (m_held) {
            t_held = false;
            s_lock.unlock();
        }
    }
    CodecLock(const CodecLock&) = delete;
    CodecLock& operator=(const CodecLock&) = delete;
    [[nodiscard]] bool held() const { return m_held; }

private:
    static constexpr std::chrono::seconds kLockWait{120};
    static inline std::timed_mutex s_lock;
    static inline std::atomic<bool> s_broken{false};
    static inline thread_local bool t_held = false;
    bool m_held = false;
};

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".jxr") || extension_is(check, u".wdp") ||
           extension_is(check, u".hdp");
}

// "II", 0xBC and the version: 0 for the earliest files, 1 since standardisation.
bool signature_at(const std::uint8_t* head, std::size_t size) {
    return size >= 4 && head[0] == 'I' && head[1] == 'I' && head[2] == 0xBC && head[3] <= 1;
}

bool has_signature(const FilterCheck& check) {
    return signature_at(check.head, std::min<std::uint32_t>(check.head_size, 32));
}

std::int32_t result_of(ERR err) {
    switch (err) {
    case WMP_errOutOfMemory:
        return VT_ERR_OUT_OF_MEMORY;
    case WMP_errFileIO:
    case WMP_errBufferOverflow:
        return VT_ERR_READ;
    case WMP_errUnsupportedFormat:
    case WMP_errNotYetImplemented:
    case WMP_errIncorrectCodecVersion:
    case WMP_errIncorrectCodecSubVersion:
        return VT_ERR_NOT_IMPLEMENTED;
    default:
        return VT_ERR_INVALID_DATA;
    }
}

// The library's objects, released on every path.
struct Objects {
    PKFactory* factory = nullptr;
    WMPStream* stream = nullptr;
    PKImageDecode* decoder = nullptr;
    PKFormatConverter* converter = nullptr;
    PKImageEncode* encoder = nullptr; // owns `stream` once initialised
    bool encoder_owns_stream = false;

    Objects() = default;
    Objects(const Objects&) = delete;
    Objects& operator=(const Objects&) = delete;
    ~Objects() {
        if (converter != nullptr)
            converter->Release(&converter);
        if (decoder != nullptr)
            decoder->Release(&decoder);
        if (encoder != nullptr)
            encoder->Release(&encoder);
        if (stream != nullptr && !encoder_owns_stream)
            stream->Close(&stream);
        if (factory != nullptr)
            factory->Release(&factory);
    }
};

// The 8-bit layouts we turn decoded pixels into.
enum class Layout { grey, rgb, bgr, rgba, bgra };

struct Target {
    const PKPixelFormatGUID* format;
    Layout layout;
    std::uint32_t bytes;
};

const Target kGrey{&GUID_PKPixelFormat8bppGray, Layout::grey, 1};
const Target kRgb{&GUID_PKPixelFormat24bppRGB, Layout::rgb, 3};
const Target kBgr{&GUID_PKPixelFormat24bppBGR, Layout::bgr, 3};
const Target kRgba{&GUID_PKPixelFormat32bppRGBA, Layout::rgba, 4};
const Target kBgra{&GUID_PKPixelFormat32bppBGRA, Layout::bgra, 4};

std::uint32_t to_pixel(const std::uint8_t* p, Layout layout) {
    std::uint32_t r = 0;
    std::uint32_t g = 0;
    std::uint32_t b = 0;
    std::uint32_t a = 255;
    switch (layout) {
    case Layout::grey:
        r = g = b = p[0];
        break;
    case Layout::rgb:
    case Layout::rgba:
        r = p[0], g = p[1], b = p[2];
        a = layout == Layout::rgba ? p[3] : 255;
        break;
    case Layout::bgr:
    case Layout::bgra:
        b = p[0], g = p[1], r = p[2];
        a = layout == Layout::bgra ? p[3] : 255;
        break;
    }
    return b | (g << 8) | (r << 16) | ((255 - a) << 24);
}

// The converter from the file's pixels to the nearest 8-bit layout jxrlib can give.
std::int32_t open_converter(Objects& o, const PKPixelInfo& source, const Target*& chosen) {
    const bool alpha = (source.grBit & PK_pixfmtHasAlpha) != 0;
    const bool grey = source.cfColorFormat == Y_ONLY && !alpha;
    const Target* order[5] = {&kRgb, &kBgr, &kRgba, &kBgra, &kGrey};
    if (alpha)
        order[0] = &kBgra, order[1] = &kRgba, order[2] = &kRgb, order[3] = &kBgr;
    else if (grey)
        order[0] = &kGrey, order[4] = &kRgb;
    char extension[] = ".jxr";
    for (const Target* t : order) {
        if (o.converter == nullptr && PKCodecFactory_CreateFormatConverter(&o.converter) < 0)
            return VT_ERR_OUT_OF_MEMORY;
        if (PKFormatConverter_Initialize(o.converter, o.decoder, extension, *t->format) >= 0) {
            chosen = t;
            return VT_OK;
        }
        o.converter->Release(&o.converter);
        o.converter = nullptr;
    }
    return VT_ERR_NOT_IMPLEMENTED;
}

std::string ppi_text(PKImageDecode* decoder) {
    Float x = 0;
    Float y = 0;
    if (decoder->GetResolution(decoder, &x, &y) < 0 || !(x > 0) || !(y > 0) || x > 1e6f || y > 1e6f)
        return {};
    char text[48];
    std::snprintf(text, sizeof(text), "%d %d", static_cast<int>(std::lround(x)),
                  static_cast<int>(std::lround(y)));
    return text;
}

std::vector<std::uint8_t> profile_of(PKImageDecode* decoder) {
    std::vector<std::uint8_t> icc;
    U32 size = 0;
    if (decoder->GetColorContext(decoder, nullptr, &size) < 0 || size == 0 ||
        size > kMaxProfileBytes)
        return icc;
    icc.resize(size);
    if (decoder->GetColorContext(decoder, icc.data(), &size) < 0 || size > icc.size())
        icc.clear();
    else
        icc.resize(size);
    return icc;
}

std::uint32_t le(std::span<const std::uint8_t> b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return v;
}

// The coded image's header: its signature, and an output colour format and bit depth the codec
// knows (it divides by a pixel size it never set for the others).
std::int32_t check_image_header(std::span<const std::uint8_t> image) {
    constexpr std::uint8_t kSignature[8] = {'W', 'M', 'P', 'H', 'O', 'T', 'O', 0};
    constexpr std::uint32_t kColourFormats =
        9; // grey, YUV 4:2:0/4:2:2/4:4:4, CMYK x2, N, RGB, RGBE
    constexpr std::uint16_t kBitDepths = 0x87DF; // 1, 8, 16, 16S, 16F, 32S, 32F, 5, 10, 565, 1b
    if (image.size() < 12 || std::memcmp(image.data(), kSignature, 8) != 0)
        return VT_ERR_INVALID_DATA;
    const std::uint32_t format = image[11] >> 4;
    const std::uint32_t depth = image[11] & 15;
    if (format >= kColourFormats || ((kBitDepths >> depth) & 1) == 0)
        return VT_ERR_NOT_IMPLEMENTED;
    // One bit a pixel: the codec asserts on it for colour and writes through a null row for
    // grey; black-and-white files are left out.
    if (depth == 0 || depth == 15)
        return VT_ERR_NOT_IMPLEMENTED;
    return VT_OK;
}

// Directory entries jxrlib reads with assertions on their types (descriptive text, ratings, the
// caption) or walks as further directories (EXIF, GPS): none of them is used here, so they are
// renamed to the image type tag, which the library skips.
bool unused_entry(std::uint32_t tag) {
    constexpr std::uint16_t kTags[] = {0x010D, 0x010E, 0x010F, 0x0110, 0x011D, 0x0129,
                                       0x0131, 0x0132, 0x013B, 0x013C, 0x4746, 0x4749,
                                       0x8298, 0x8769, 0x8825, 0x9C9C};
    const bool windows_text = tag >= 0x9C9B && tag <= 0x9C9F; // title, comment, author...
    return windows_text || std::find(std::begin(kTags), std::end(kTags), tag) != std::end(kTags);
}

// The container's directory, checked before the codec sees the file: every entry's data and the
// coded image and alpha planes lie inside the file (the codec reads past a cut end silently),
// and the orientation is one the codec knows (it asserts).
std::int32_t check_container(std::span<std::uint8_t> file) {
    constexpr std::uint32_t kImageTypeTag = 0xBC04;
    constexpr std::uint32_t kOrientations = 8;
    constexpr std::uint8_t kTypeBytes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    if (file.size() < 8)
        return VT_ERR_READ;
    const std::uint64_t ifd = le(file, 4, 4);
    if (ifd < 8 || ifd + 2 > file.size())
        return ifd < 8 ? VT_ERR_INVALID_DATA : VT_ERR_READ;
    const std::uint32_t count = le(file, ifd, 2);
    if (ifd + 2 + std::uint64_t{count} * 12 > file.size())
        return VT_ERR_READ;
    std::uint64_t plane[4] = {}; // image offset, image bytes, alpha offset, alpha bytes
    std::uint32_t required = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::size_t at = ifd + 2 + std::size_t{k} * 12;
        const std::uint32_t tag = le(file, at, 2);
        const std::uint32_t type = le(file, at + 2, 2);
        const std::uint64_t size =
            std::uint64_t{le(file, at + 4, 4)} * (type < 13 ? kTypeBytes[type] : 0);
        if (size > 4 && le(file, at + 8, 4) + size > file.size())
            return VT_ERR_READ;
        const std::uint32_t value = type == 3 ? le(file, at + 8, 2) : le(file, at + 8, 4);
        if (tag >= 0xBCC0 && tag <= 0xBCC3)
            plane[tag - 0xBCC0] = value;
        required |= tag == 0xBC01 ? 1 : tag == 0xBC80 ? 2 : tag == 0xBC81 ? 4 : 0;
        if (tag == 0xBC02 && (le(file, at + 4, 4) != 1 || le(file, at + 8, 4) >= kOrientations))
            return VT_ERR_INVALID_DATA;
        if (unused_entry(tag)) {
            file[at] = kImageTypeTag & 0xFF;
            file[at + 1] = kImageTypeTag >> 8;
        }
    }
    // The pixel format, width and height entries are required (without them jxrlib writes
    // through a null row).
    if (plane[1] == 0 || required != 7)
        return VT_ERR_INVALID_DATA;
    // jxrlib's writer stores the alpha plane's end where its size belongs.
    const bool alpha_inside =
        plane[2] + plane[3] <= file.size() || (plane[3] > plane[2] && plane[3] <= file.size());
    if (plane[0] + plane[1] > file.size() || !alpha_inside)
        return VT_ERR_READ;
    if (plane[2] != 0 && plane[3] != 0 && plane[2] < file.size())
        if (const std::int32_t r = check_image_header(file.subspan(plane[2])); r != VT_OK)
            return r;
    return check_image_header(file.subspan(static_cast<std::size_t>(plane[0])));
}

// jxrlib's copy sets up a codec context for the picture, then one for its alpha plane, and
// leaves the one that failed to decode behind: a picture context is freed when the alpha pass
// was never reached (the alpha picture description is still empty), an alpha context when it
// was.
ERR copy_rows(PKImageDecode* decoder, PKFormatConverter* converter, const PKRect& rect,
              std::uint8_t* rows, std::size_t stride) {
    decoder->WMP.ctxSC = nullptr;
    decoder->WMP.ctxSC_Alpha = nullptr;
    decoder->WMP.wmiI_Alpha.cWidth = 0;
    const ERR err = converter->Copy(converter, &rect, rows, static_cast<U32>(stride));
    if (err < 0) {
        const bool alpha_pass = decoder->WMP.wmiI_Alpha.cWidth != 0;
        ImageStrDecTerm(alpha_pass ? decoder->WMP.ctxSC_Alpha : decoder->WMP.ctxSC);
    }
    decoder->WMP.ctxSC = nullptr;
    decoder->WMP.ctxSC_Alpha = nullptr;
    return err;
}

// What the decoding child sends before the pixels.
struct DecodedHead {
    std::int32_t result = VT_ERR_INVALID_DATA;
    std::uint32_t width = 0, height = 0, bits = 0, icc_size = 0, ppi_size = 0;
    // Channels of the 16-bit picture sent after the 8-bit rows (4 RGBA, 2 grey + alpha), 0: none.
    std::uint32_t deep_channels = 0;
};

// The 16-bit unsigned pixel formats whose samples are delivered as they are: their samples per
// pixel, 0 for any other format.
std::uint32_t deep_samples(const PKPixelFormatGUID& format) {
    if (IsEqualGUID(format, GUID_PKPixelFormat48bppRGB))
        return 3;
    if (IsEqualGUID(format, GUID_PKPixelFormat64bppRGBA))
        return 4;
    if (IsEqualGUID(format, GUID_PKPixelFormat16bppGray))
        return 1;
    return 0;
}

// In the child, after the 8-bit rows: the picture decoded again in its own 16-bit format,
// sent row by row as the host's deep samples (alpha 65535 where the file has none).
void send_deep(int fd, Objects& o, const PKPixelFormatGUID& format, std::uint32_t width,
               std::uint32_t height, std::uint32_t channels) {
    const std::uint32_t samples = deep_samples(format);
    if (o.converter != nullptr)
        o.converter->Release(&o.converter);
    char extension[] = ".jxr";
    if (PKCodecFactory_CreateFormatConverter(&o.converter) < 0 ||
        PKFormatConverter_Initialize(o.converter, o.decoder, extension, format) < 0)
        return; // the parent sees the samples end early
    const std::size_t stride = (static_cast<std::size_t>(width) * samples * 2 + 127) & ~127u;
    std::vector<std::uint8_t> band(stride * std::min(kBandRows, height));
    std::vector<std::uint16_t> row(std::size_t{width} * channels);
    for (std::uint32_t top = 0; top < height; top += kBandRows) {
        const std::uint32_t rows = std::min(kBandRows, height - top);
        const PKRect rect{0, static_cast<I32>(top), static_cast<I32>(width),
                          static_cast<I32>(rows)};
        if (copy_rows(o.decoder, o.converter, rect, band.data(), stride) < 0)
            return;
        for (std::uint32_t y = 0; y < rows; ++y) {
            const std::uint8_t* in = band.data() + y * stride;
            for (std::size_t x = 0; x < width; ++x) {
                std::uint16_t v[4] = {0, 0, 0, 0xFFFF};
                std::memcpy(v, in + x * samples * 2, samples * 2);
                for (std::uint32_t c = 0; c + 1 < channels; ++c)
                    row[x * channels + c] = v[c];
                row[x * channels + channels - 1] = v[3];
            }
            if (!write_all(fd, row.data(), row.size() * 2))
                return;
        }
    }
}

// In the child: decodes and sends the head, the profile, the resolution text and the pixels
// row by row, as the host's 32-bit pixels; with `want_deep`, a 16-bit file's samples after them.
void decode_to(int fd, std::vector<std::uint8_t>& bytes, bool want_deep) {
    DecodedHead head;
    Objects o;
    auto fail = [&](std::int32_t result) {
        head.result = result;
        (void)write_all(fd, &head, sizeof head);
    };
    if (PKCreateFactory(&o.factory, PK_SDK_VERSION) < 0 ||
        o.factory->CreateStreamFromMemory(&o.stream, bytes.data(), bytes.size()) < 0 ||
        PKImageDecode_Create_WMP(&o.decoder) < 0)
        return fail(VT_ERR_OUT_OF_MEMORY);
    if (const ERR err = o.decoder->Initialize(o.decoder, o.stream); err < 0)
        return fail(result_of(err));
    I32 w = 0;
    I32 h = 0;
    o.decoder->GetSize(o.decoder, &w, &h);
    if (w < 1 || h < 1 || static_cast<std::uint32_t>(w) > kMaxSide ||
        static_cast<std::uint32_t>(h) > kMaxSide ||
        static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxPixels)
        return fail(VT_ERR_DIMENSIONS);
    const auto width = static_cast<std::uint32_t>(w);
    const auto height = static_cast<std::uint32_t>(h);
    if (static_cast<std::uint64_t>(width) * height / kMaxPixelsPerByte > bytes.size())
        return fail(VT_ERR_READ);
    PKPixelInfo source{};
    PKPixelFormatGUID format{};
    o.decoder->GetPixelFormat(o.decoder, &format);
    source.pGUIDPixFmt = &format;
    if (PixelFormatLookup(&source, LOOKUP_FORWARD) < 0 || source.cbitUnit == 0 ||
        source.cbitUnit > 256)
        return fail(VT_ERR_NOT_IMPLEMENTED);
    // The alpha plane is decoded only when asked for.
    if (o.decoder->WMP.bHasAlpha || (source.grBit & PK_pixfmtHasAlpha) != 0)
        o.decoder->WMP.wmiSCP.uAlphaMode = 2;
    const Target* target = nullptr;
    if (const std::int32_t r = open_converter(o, source, target); r != VT_OK)
        return fail(r);
    const std::vector<std::uint8_t> icc = profile_of(o.decoder);
    const std::string ppi = ppi_text(o.decoder);
    const std::uint32_t samples = want_deep ? deep_samples(format) : 0;
    head = {VT_OK,
            width,
            height,
            source.cbitUnit,
            static_cast<std::uint32_t>(icc.size()),
            static_cast<std::uint32_t>(ppi.size()),
            samples == 0   ? 0u
            : samples == 1 ? 2u
                           : 4u};
    if (!write_all(fd, &head, sizeof head) || !write_all(fd, icc.data(), icc.size()) ||
        !write_all(fd, ppi.data(), ppi.size()))
        return;
    // The converter works in place: each band holds the wider of the two layouts.
    const std::uint32_t pixel_bytes = std::max(target->bytes, (source.cbitUnit + 7) / 8);
    const std::size_t stride = (static_cast<std::size_t>(width) * pixel_bytes + 127) & ~127u;
    std::vector<std::uint8_t> band(stride * std::min(kBandRows, height));
    std::vector<std::uint32_t> row(width);
    for (std::uint32_t top = 0; top < height; top += kBandRows) {
        const std::uint32_t rows = std::min(kBandRows, height - top);
        const PKRect rect{0, static_cast<I32>(top), static_cast<I32>(width),
                          static_cast<I32>(rows)};
        if (copy_rows(o.decoder, o.converter, rect, band.data(), stride) < 0)
            return; // the parent sees the pixels end early
        for (std::uint32_t y = 0; y < rows; ++y) {
            const std::uint8_t* in = band.data() + y * stride;
            for (std::uint32_t x = 0; x < width; ++x)
                row[x] = to_pixel(in + x * target->bytes, target->layout);
            if (!write_all(fd, row.data(), row.size() * 4))
                return;
        }
    }
    if (head.deep_channels != 0)
        send_deep(fd, o, format, width, height, head.deep_channels);
}

// In the parent: the child's 16-bit picture, when it sends one; a picture that ends early is
// left out (the 8-bit frame stands).
void receive_deep(FilterCall* call, int fd, const DecodedHead& head,
                  std::chrono::steady_clock::time_point until) {
    const std::size_t count = std::size_t{head.width} * head.height * head.deep_channels;
    auto* samples = static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return;
    if (!read_all(fd, samples, count * sizeof(std::uint16_t), until)) {
        std::free(samples);
        return;
    }
    deliver_deep(call, {head.width, head.height, head.deep_channels,
                        head.width * head.deep_channels, samples, 16, 0});
}

// In the parent: the child's picture into a host frame.
std::int32_t receive(FilterCall* call, int fd, std::chrono::steady_clock::time_point until) {
    DecodedHead head;
    if (!read_all(fd, &head, sizeof head, until))
        return VT_ERR_INVALID_DATA;
    if (head.result != VT_OK)
        return head.result < 0 ? head.result : VT_ERR_INVALID_DATA;
    if (head.width == 0 || head.height == 0 || head.width > kMaxSide || head.height > kMaxSide ||
        std::uint64_t{head.width} * head.height > kMaxPixels || head.icc_size > kMaxProfileBytes ||
        head.ppi_size > 64 ||
        (head.deep_channels != 0 && head.deep_channels != 2 && head.deep_channels != 4))
        return VT_ERR_INVALID_DATA;
    std::vector<std::uint8_t> icc(head.icc_size);
    std::string ppi(head.ppi_size, '\0');
    if (!read_all(fd, icc.data(), icc.size(), until) ||
        !read_all(fd, ppi.data(), ppi.size(), until))
        return VT_ERR_INVALID_DATA;
    if (const std::int32_t r = request_frame(call, head.width, head.height); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < head.height; ++y)
        if (!read_all(fd, call->pixels + static_cast<std::size_t>(y) * call->stride,
                      std::size_t{head.width} * 4, until))
            return VT_ERR_INVALID_DATA;
    add_frame_chunk(call, kTagIcc, icc.data(), static_cast<std::uint32_t>(icc.size()));
    deliver_markup(call, {.bits_per_pixel = head.bits});
    if (!ppi.empty()) {
        char* end = nullptr;
        const double x = std::strtod(ppi.c_str(), &end);
        deliver_resolution(call, resolution_per_unit(x, std::strtod(end, nullptr), false));
    }
    if (head.deep_channels != 0)
        receive_deep(call, fd, head, until);
    return VT_OK;
}

// jxrlib reads past its buffers and faults on some broken files, so it decodes in a child
// process: a fault there costs the picture, never the program, and leaves no state behind.
std::int32_t decode(FilterCall* call, std::vector<std::uint8_t>& bytes) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return VT_ERR_SYSTEM_REQUIREMENTS;
    pid_t child = -1;
    {
        // Forked while no thread of ours is inside the library, whose globals the child copies.
        const CodecLock hold;
        if (!hold.held()) {
            ::close(pipe_fds[0]);
            ::close(pipe_fds[1]);
            return VT_ERR_INTERNAL;
        }
        child = ::fork();
    }
    if (child == 0) {
        ::close(pipe_fds[0]);
        default_fault_actions();
        decode_to(pipe_fds[1], bytes, deep_wanted(call));
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    if (child < 0) {
        ::close(pipe_fds[0]);
        return VT_ERR_SYSTEM_REQUIREMENTS;
    }
    const int fd = pipe_fds[0];
    // The host holds the time limit at the frame request; this only ends a child that hangs.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(std::max(call->time_limit_ms, kDefaultDecodeMs));
    const std::int32_t result = receive(call, fd, until);
    ::close(fd);
    end_child(child);
    return result;
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (!signature_at(bytes.data(), bytes.size()))
        return bytes.size() < 4 ? VT_ERR_READ : VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (const std::int32_t r = check_container(bytes); r != VT_OK)
        return r;
    return decode(call, bytes);
}

bool all_grey(const FilterCall* call) {
    for (std::uint32_t y = 0; y < call->height; ++y) {
        const std::uint32_t* row = call->pixels + static_cast<std::size_t>(y) * call->stride;
        for (std::uint32_t x = 0; x < call->width; ++x) {
            const std::uint32_t p = row[x];
            if (((p >> 16) & 0xFF) != (p & 0xFF) || ((p >> 8) & 0xFF) != (p & 0xFF))
                return false;
        }
    }
    return true;
}

// Quality 100 and the lossless option code every sample exactly; lower qualities quantise more.
std::uint8_t quantiser(const FilterCall* call) {
    if (state_option(call, u"fmx_WIC.lossless", 0, 0, 1) != 0)
        return 1;
    const int quality = state_option(call, u"fmx_WIC.quality", kDefaultQuality, 1, 100);
    return static_cast<std::uint8_t>(1 + (100 - quality) * 3 / 4);
}

CWMIStrCodecParam coding(const FilterCall* call, bool alpha) {
    CWMIStrCodecParam p{};
    p.cfColorFormat = YUV_444;
    p.bdBitDepth = BD_LONG;
    p.bfBitstreamFormat = FREQUENCY;
    p.bProgressiveMode = TRUE;
    p.olOverlap = OL_ONE;
    p.sbSubband = SB_ALL;
    const std::uint8_t qp = quantiser(call);
    p.uiDefaultQPIndex = qp;
    p.uiDefaultQPIndexAlpha = qp;
    p.uAlphaMode = alpha ? 2 : 0;
    return p;
}

// 16 bits a sample: grey for a grey picture without alpha, else RGB, or RGBA with alpha.
const Target kGrey16{&GUID_PKPixelFormat16bppGray, Layout::grey, 2};
const Target kRgb16{&GUID_PKPixelFormat48bppRGB, Layout::rgb, 6};
const Target kRgba16{&GUID_PKPixelFormat64bppRGBA, Layout::rgba, 8};

const Target& deep_target(const VtDeepImage& deep, bool alpha) {
    return alpha ? kRgba16 : deep.channels == 2 ? kGrey16 : kRgb16;
}

// The deep picture's samples in the target's layout (native order, as jxrlib takes them).
void pack_deep(const VtDeepImage& deep, const Target& target, std::uint8_t* out,
               std::size_t stride) {
    const std::uint32_t colours = deep.channels == 2 ? 1 : 3;
    const std::size_t samples = target.bytes / 2;
    for (std::uint32_t y = 0; y < deep.height; ++y) {
        const std::uint16_t* in = deep.samples + static_cast<std::size_t>(y) * deep.stride;
        auto* row = reinterpret_cast<std::uint16_t*>(out + y * stride);
        for (std::size_t x = 0; x < deep.width; ++x, in += deep.channels) {
            std::uint16_t* p = row + x * samples;
            for (std::size_t c = 0; c < samples; ++c)
                p[c] = c == 3 ? in[colours] : in[colours == 1 ? 0 : c];
        }
    }
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const VtDeepImage* deep = deep_offered(call);
    if (deep != nullptr && (deep->width != call->width || deep->height != call->height ||
                            (deep->channels != 2 && deep->channels != 4)))
        deep = nullptr; // not this picture's: the 8-bit one is written
    const bool alpha = deep != nullptr ? deep_transparent(*deep) : any_transparent(call);
    const Target& target = deep != nullptr  ? deep_target(*deep, alpha)
                           : alpha          ? kRgba
                           : all_grey(call) ? kGrey
                                            : kRgb;
    const std::uint32_t w = call->width;
    const std::uint32_t h = call->height;
    if (w > kMaxSide || h > kMaxSide)
        return VT_ERR_DIMENSIONS;
    const std::size_t stride = static_cast<std::size_t>(w) * target.bytes;
    std::vector<std::uint8_t> packed(stride * h);
    if (deep != nullptr)
        pack_deep(*deep, target, packed.data(), stride);
    for (std::uint32_t y = 0; deep == nullptr && y < h; ++y) {
        const std::uint32_t* in = call->pixels + static_cast<std::size_t>(y) * call->stride;
        std::uint8_t* out = packed.data() + y * stride;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t p = in[x];
            if (target.layout == Layout::grey) {
                *out++ = static_cast<std::uint8_t>(p);
                continue;
            }
            *out++ = static_cast<std::uint8_t>(p >> 16);
            *out++ = static_cast<std::uint8_t>(p >> 8);
            *out++ = static_cast<std::uint8_t>(p);
            if (alpha)
                *out++ = static_cast<std::uint8_t>(255 - (p >> 24));
        }
    }
    std::vector<std::uint8_t> icc;
    if (const ChunkView view = frame_chunk(call, kTagIcc); view.data != nullptr)
        icc.assign(view.data, view.data + view.size);
    // The source's resolution as loaders deliver it; 96 per inch, the format's default, when
    // it has none.
    const PrintResolution resolution = frame_resolution(call);
    const auto x_ppi = static_cast<float>(resolution.known() ? resolution.x_dpi() : 96);
    const auto y_ppi = static_cast<float>(resolution.known() ? resolution.y_dpi() : 96);
    CWMIStrCodecParam parameters = coding(call, alpha);
    const CodecLock hold;
    if (!hold.held())
        return VT_ERR_INTERNAL;
    const std::int32_t result =
        write_target_named(call->path, [&](const std::string& name) -> std::int32_t {
            Objects o;
            if (PKCreateFactory(&o.factory, PK_SDK_VERSION) < 0)
                return VT_ERR_OUT_OF_MEMORY;
            if (o.factory->CreateStreamFromFilename(&o.stream, name.c_str(), "wb") < 0) {
                // A stream whose file did not open is allocated but cannot be closed.
                PKFree(reinterpret_cast<void**>(&o.stream));
                return VT_ERR_OPEN_WRITE;
            }
            if (PKImageEncode_Create_WMP(&o.encoder) < 0)
                return VT_ERR_OUT_OF_MEMORY;
            if (o.encoder->Initialize(o.encoder, o.stream, &parameters, sizeof(parameters)) < 0)
                return VT_ERR_INTERNAL;
            o.encoder_owns_stream = true;
            if (o.encoder->SetPixelFormat(o.encoder, *target.format) < 0 ||
                o.encoder->SetSize(o.encoder, static_cast<I32>(w), static_cast<I32>(h)) < 0 ||
                o.encoder->SetResolution(o.encoder, x_ppi, y_ppi) < 0)
                return VT_ERR_INTERNAL;
            if (!icc.empty() &&
                o.encoder->SetColorContext(o.encoder, icc.data(), static_cast<U32>(icc.size())) < 0)
                return VT_ERR_INTERNAL;
            if (o.encoder->WritePixels(o.encoder, h, packed.data(), static_cast<U32>(stride)) < 0)
                return VT_ERR_WRITE;
            return VT_OK;
        });
    if (result == VT_OK && deep != nullptr)
        deep_written(call);
    return result;
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, known_extension, load_image,
                                 save_image, 16,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_WIC.quality", "90",
                                "1 to 100: higher keeps more detail in larger files"},
                               {"fmx_WIC.lossless", "0",
                                "1: lossless, every pixel exactly as it is"})
