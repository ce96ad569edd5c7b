// libtiff glue of fmx_TIFF. Pages are decoded with libtiff's RGBA image reader, which turns
// every bit depth, photometric kind, compression and layout into 8-bit samples.

#include "formats/tiff/tiff_codec.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <lcms2.h>
#include <tiffio.h>

#include "sdk/vt_plugin.h"

namespace vt::formats::tiff {

namespace {

// libtiff's allocations for tag arrays and codec state; pictures are bounded on their own.
constexpr tmsize_t kMaxSingleAlloc = tmsize_t{512} << 20;
// One strip or tile is decoded at a time; its buffer may exceed the picture only by this much
// (a legal tile is larger than a tiny picture).
constexpr std::uint64_t kMaxUnitSlack = std::uint64_t{16} << 20;
// Strips or tiles beyond one per 16 pixels (and a floor for narrow pictures) only make libtiff
// slow: a 1x1-pixel tiling of a large picture is refused.
constexpr std::uint64_t kMinUnitsAllowed = 65536;
constexpr std::uint64_t kPixelsPerUnit = 16;
constexpr std::uint32_t kTargetStripBytes = 65536;

struct Messages {
    int errors = 0;
    int warnings = 0;
};

int on_error(TIFF*, void* user, const char*, const char*, va_list) {
    ++static_cast<Messages*>(user)->errors;
    return 1; // handled: nothing reaches the standard streams
}

int on_warning(TIFF*, void* user, const char*, const char*, va_list) {
    ++static_cast<Messages*>(user)->warnings;
    return 1;
}

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};
using Options = std::unique_ptr<TIFFOpenOptions, OptionsDeleter>;

Options make_options(Messages* messages) {
    Options options(TIFFOpenOptionsAlloc());
    if (options) {
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, messages);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, messages);
        TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxSingleAlloc);
    }
    return options;
}

// The file as libtiff's client procedures see it.
struct MemoryFile {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
};

tmsize_t read_memory(thandle_t handle, void* buffer, tmsize_t count) {
    auto* file = static_cast<MemoryFile*>(handle);
    if (count <= 0 || file->position >= file->size)
        return 0;
    const std::uint64_t n =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count), file->size - file->position);
    std::memcpy(buffer, file->data + file->position, static_cast<std::size_t>(n));
    file->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t write_nothing(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t seek_memory(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = file->position;
    else if (whence == SEEK_END)
        base = file->size;
    // Offsets are unsigned but relative seeks may go backwards.
    const auto delta = static_cast<std::int64_t>(offset);
    if (delta < 0 && static_cast<std::uint64_t>(-(delta + 1)) >= base)
        return static_cast<toff_t>(-1);
    file->position = base + static_cast<std::uint64_t>(delta);
    return file->position;
}

int close_nothing(thandle_t) {
    return 0;
}

toff_t size_of_memory(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->size;
}

int map_memory(thandle_t handle, void** base, toff_t* size) {
    auto* file = static_cast<MemoryFile*>(handle);
    // A file opened for reading is never written through its map.
    *base = const_cast<std::uint8_t*>(file->data);
    *size = file->size;
    return 1;
}

void unmap_nothing(thandle_t, void*, toff_t) {}

bool tiff_signature(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return false;
    const bool little =
        data[0] == 'I' && data[1] == 'I' && data[3] == 0 && (data[2] == 42 || data[2] == 43);
    const bool big =
        data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43);
    return little || big;
}

std::uint64_t read_unsigned(const std::uint8_t* p, int bytes, bool little) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<std::uint64_t>(p[little ? i : bytes - 1 - i]) << (8 * i);
    return v;
}

// Whether the header's first directory lies within the file (else the file was cut short).
bool first_directory_present(const std::uint8_t* data, std::size_t size) {
    const bool little = data[0] == 'I';
    const bool big_tiff = data[little ? 2 : 3] == 43;
    const std::size_t header = big_tiff ? 16 : 8;
    if (size < header)
        return false;
    const std::uint64_t offset =
        big_tiff ? read_unsigned(data + 8, 8, little) : read_unsigned(data + 4, 4, little);
    return offset < size && size - offset >= (big_tiff ? 8u : 2u);
}

// The fewest bytes of compressed data that can hold a picture of `raw` bytes and `pixels`
// pixels: each method's best ratio; JPEG needs a byte per 4096 pixels even for a flat picture.
// 0 where there is no useful bound (fax codes, LZMA, ZSTD and the rest).
std::uint64_t minimum_bytes(std::uint16_t compression, std::uint64_t raw, std::uint64_t pixels) {
    switch (compression) {
    case COMPRESSION_NONE:
        return raw;
    case COMPRESSION_PACKBITS:
        return raw / 64;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return raw / 1100;
    case COMPRESSION_LZW:
        return raw / 4096;
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG:
        return pixels / 4096;
    default:
        return 0;
    }
}

struct RgbaImage {
    TIFFRGBAImage image{};
    bool begun = false;
    ~RgbaImage() {
        if (begun)
            TIFFRGBAImageEnd(&image);
    }
};

std::uint32_t to_host_pixel(std::uint32_t abgr, bool premultiplied) {
    std::uint32_t r = abgr & 0xFF;
    std::uint32_t g = (abgr >> 8) & 0xFF;
    std::uint32_t b = (abgr >> 16) & 0xFF;
    const std::uint32_t a = abgr >> 24;
    if (premultiplied && a != 0 && a != 255) {
        r = std::min<std::uint32_t>(255, (r * 255 + a / 2) / a);
        g = std::min<std::uint32_t>(255, (g * 255 + a / 2) / a);
        b = std::min<std::uint32_t>(255, (b * 255 + a / 2) / a);
    }
    return b | (g << 8) | (r << 16) | ((255 - a) << 24);
}

} // namespace

// ------------------------------------------------------------------------------------ reading

struct ReadState {
    MemoryFile file;
    Messages messages;
    TIFF* tif = nullptr;
    // The current page's samples as libtiff hands them over untouched (read as RGB), and what
    // becomes of them: inks through the page's own profile, inks by the naive inverse, or
    // CIELAB through Little CMS. Null and false for pages libtiff's reader colours itself.
    cmsHTRANSFORM to_srgb = nullptr;
    bool naive_inks = false;
    bool float_samples = false;  // 32-bit floating-point grey or RGB, read by our own loop
    bool straight_alpha = false; // the decoded page's extra sample is unassociated alpha
    std::string refusal;         // why `inspect` answered -2
    ~ReadState() {
        forget_transform();
        if (tif != nullptr)
            TIFFClose(tif);
    }
    void forget_transform() noexcept {
        if (to_srgb != nullptr)
            cmsDeleteTransform(to_srgb);
        to_srgb = nullptr;
        naive_inks = false;
        float_samples = false;
    }
};

namespace {

// Whether the page holds four CMYK inks of 8 or 16 bits (and nothing else).
bool plain_cmyk(TIFF* tif, std::uint16_t& bits) {
    std::uint16_t photometric = 0, inkset = INKSET_CMYK, samples = 0;
    bits = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
    return TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 0 &&
           photometric == PHOTOMETRIC_SEPARATED && inkset == INKSET_CMYK &&
           (bits == 8 || bits == 16) && samples == 4;
}

// An 8-bit CIELAB page of three samples: Little CMS takes it to sRGB (D50 to sRGB's white,
// relative colorimetric) where libtiff's reader uses its own rough display model. Null for any
// other page.
cmsHTRANSFORM lab_transform(TIFF* tif) {
    std::uint16_t photometric = 0, bits = 0, samples = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 0 ||
        photometric != PHOTOMETRIC_CIELAB || bits != 8 || samples != 3)
        return nullptr;
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = nullptr;
    if (lab != nullptr && srgb != nullptr)
        transform = cmsCreateTransform(lab, TYPE_Lab_8 | EXTRA_SH(1), srgb, TYPE_BGRA_8,
                                       INTENT_RELATIVE_COLORIMETRIC, 0);
    if (lab != nullptr)
        cmsCloseProfile(lab);
    if (srgb != nullptr)
        cmsCloseProfile(srgb);
    return transform;
}

// A CMYK page of 8 or 16 bits with a CMYK profile: its inks go through the profile to sRGB,
// which libtiff's naive inverse only approximates (16-bit inks are rounded to 8 bits first, as
// libtiff hands them over). Null for any other page.
cmsHTRANSFORM cmyk_transform(TIFF* tif, const PageInfo& info) {
    std::uint16_t bits = 0;
    if (!plain_cmyk(tif, bits) || info.icc == nullptr)
        return nullptr;
    cmsHPROFILE from = cmsOpenProfileFromMem(info.icc, info.icc_size);
    if (from == nullptr)
        return nullptr;
    cmsHTRANSFORM transform = nullptr;
    if (cmsGetColorSpace(from) == cmsSigCmykData) {
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        if (srgb != nullptr) {
            // TIFF's inks: 0 is none, as lcms counts them.
            transform =
                cmsCreateTransform(from, TYPE_CMYK_8, srgb, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
            cmsCloseProfile(srgb);
        }
    }
    cmsCloseProfile(from);
    return transform;
}

// One row of untouched samples (libtiff's A, B, G, R words holding C, M, Y, K or L*, a*, b*)
// to opaque host pixels: through `transform`, or by the naive inverse of the inks when null
// (red = (1 - C)(1 - K), as libtiff turns 8-bit inks).
void convert_raw_row(cmsHTRANSFORM transform, const std::uint32_t* from, std::uint32_t* to,
                     std::uint32_t width, bool lab) {
    if (transform != nullptr) {
        if (lab) { // TIFF's a* and b* are signed bytes; Little CMS counts them from 128
            for (std::uint32_t x = 0; x < width; ++x)
                to[x] = (from[x] & 0xFFu) | ((from[x] ^ 0x808000u) & 0xFFFF00u);
            from = to;
        }
        cmsDoTransform(transform, from, to, width);
        for (std::uint32_t x = 0; x < width; ++x)
            to[x] &= 0x00FFFFFFu;
        return;
    }
    for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint32_t v = from[x];
        const std::uint32_t white = 255 - (v >> 24);
        std::uint32_t out = 0;
        for (int i = 0; i < 3; ++i) {
            const std::uint32_t ink = (v >> (8 * i)) & 0xFF;
            out |= (((255 - ink) * white + 127) / 255) << (16 - 8 * i);
        }
        to[x] = out;
    }
}

} // namespace

TiffReader::TiffReader() : m_state(std::make_unique<ReadState>()) {}
TiffReader::~TiffReader() = default;

std::int32_t TiffReader::open(const std::uint8_t* data, std::size_t size) {
    if (!tiff_signature(data, size))
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    if (!first_directory_present(data, size))
        return VT_ERR_READ;
    m_state->file = {data, size, 0};
    Options options = make_options(&m_state->messages);
    if (!options)
        return VT_ERR_OUT_OF_MEMORY;
    m_state->tif =
        TIFFClientOpenExt("memory", "r", &m_state->file, read_memory, write_nothing, seek_memory,
                          close_nothing, size_of_memory, map_memory, unmap_nothing, options.get());
    return m_state->tif != nullptr ? VT_OK : VT_ERR_INVALID_DATA;
}

std::int32_t TiffReader::inspect(PageInfo& info) {
    TIFF* tif = m_state->tif;
    info = PageInfo{};
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &info.width) == 0 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &info.height) == 0 || info.width == 0 ||
        info.height == 0)
        return VT_ERR_INVALID_DATA;
    const std::uint64_t pixels = std::uint64_t{info.width} * info.height;
    if (info.width > kMaxSide || info.height > kMaxSide || pixels > kMaxPixels)
        return VT_ERR_DIMENSIONS;
    std::uint16_t bits = 1;
    std::uint16_t samples = 1;
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    info.bits_per_pixel = std::uint32_t{bits} * samples;
    char reason[1024] = {};
    m_state->refusal.clear();
    m_state->forget_transform();
    std::uint16_t format = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    if (format == SAMPLEFORMAT_IEEEFP) {
        // libtiff's reader takes no floating point: 32-bit grey or RGB in strips is read here.
        std::uint16_t extra_count = 0;
        std::uint16_t* extra = nullptr;
        TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
        m_state->straight_alpha =
            extra_count == 1 && extra != nullptr && extra[0] == EXTRASAMPLE_UNASSALPHA;
        m_state->float_samples = true;
        if (deep_channels() == 0) {
            m_state->float_samples = false;
            m_state->refusal = std::to_string(bits) +
                               "-bit floating-point samples are read only as 32-bit grey or RGB "
                               "(with unassociated alpha), interleaved, in strips";
            return VT_ERR_NOT_IMPLEMENTED;
        }
    } else if (TIFFRGBAImageOK(tif, reason) == 0) {
        m_state->refusal = bits > 16
                               ? std::to_string(bits) + "-bit samples are not supported"
                               : std::string("this kind of TIFF page is not supported: ") + reason;
        return VT_ERR_NOT_IMPLEMENTED;
    }

    const std::uint64_t raw =
        (std::uint64_t{info.width} * info.bits_per_pixel + 7) / 8 * info.height;
    const bool tiled = TIFFIsTiled(tif) != 0;
    const std::uint64_t unit = tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    const std::uint64_t units = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (unit == 0 || unit > std::max(4 * raw, kMaxUnitSlack) || units == 0 ||
        units > std::max(pixels / kPixelsPerUnit, kMinUnitsAllowed))
        return VT_ERR_INVALID_DATA;
    if (m_state->file.size < minimum_bytes(compression, raw, pixels))
        return VT_ERR_READ;

    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &info.orientation);
    float x = 0;
    float y = 0;
    std::uint16_t unit_code = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit_code);
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) != 0 &&
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) != 0 && x > 0 && y > 0 &&
        (unit_code == RESUNIT_INCH || unit_code == RESUNIT_CENTIMETER)) {
        info.x_resolution = x;
        info.y_resolution = y;
        info.per_cm = unit_code == RESUNIT_CENTIMETER;
    }
    std::uint32_t count = 0;
    void* data = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &count, &data) != 0 && data != nullptr) {
        info.icc = static_cast<const std::uint8_t*>(data);
        info.icc_size = count;
    }
    m_state->to_srgb = m_state->float_samples ? nullptr : cmyk_transform(tif, info);
    if (m_state->float_samples) {
        // Read as they are.
    } else if (m_state->to_srgb != nullptr) { // the pixels will be sRGB: the profile stays behind
        info.icc = nullptr;
        info.icc_size = 0;
    } else if (std::uint16_t ink_bits = 0; plain_cmyk(tif, ink_bits) && ink_bits == 16) {
        // libtiff's reader has no 16-bit inverse of its own.
        m_state->naive_inks = true;
    } else {
        m_state->to_srgb = lab_transform(tif);
    }
    count = 0;
    data = nullptr;
    if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &data) != 0 && data != nullptr) {
        info.xmp = static_cast<const char*>(data);
        info.xmp_size = count;
    }
    return VT_OK;
}

std::int32_t TiffReader::decode(std::uint32_t* pixels, std::uint32_t stride) {
    TIFF* tif = m_state->tif;
    if (m_state->float_samples)
        return decode_float(pixels, stride);
    std::uint16_t samples = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    // libtiff's reader premultiplies unassociated alpha; labelled associated, the samples pass
    // through unchanged and the picture keeps every colour. Associated alpha is divided out here.
    bool premultiplied = false;
    std::uint16_t extra_count = 0;
    std::uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    m_state->straight_alpha =
        extra_count == 1 && extra != nullptr && extra[0] == EXTRASAMPLE_UNASSALPHA;
    if (extra_count > 0 && extra != nullptr) {
        if (extra[0] == EXTRASAMPLE_ASSOCALPHA ||
            (extra[0] == EXTRASAMPLE_UNSPECIFIED && samples > 3)) {
            premultiplied = true;
        } else if (extra[0] == EXTRASAMPLE_UNASSALPHA) {
            std::vector<std::uint16_t> relabelled(extra, extra + extra_count);
            relabelled[0] = EXTRASAMPLE_ASSOCALPHA;
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, extra_count, relabelled.data());
        }
    }

    const cmsHTRANSFORM transform = m_state->to_srgb;
    const bool raw = transform != nullptr || m_state->naive_inks;
    if (raw) {
        // Read as RGB (with an associated fourth sample for inks), libtiff hands the samples
        // over untouched: C, M, Y, K or L*, a*, b* bytes.
        if (samples == 4) {
            const std::uint16_t fourth[1] = {EXTRASAMPLE_ASSOCALPHA};
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, fourth);
        }
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        premultiplied = false;
    }

    RgbaImage rgba;
    char reason[1024] = {};
    if (TIFFRGBAImageBegin(&rgba.image, tif, 1, reason) == 0)
        return VT_ERR_INVALID_DATA;
    rgba.begun = true;
    // Rows in the order stored: the orientation is the host's to apply.
    rgba.image.req_orientation = rgba.image.orientation;
    const std::uint32_t width = rgba.image.width;
    const std::uint32_t height = rgba.image.height;
    std::vector<std::uint32_t> separate;
    std::uint32_t* raster = pixels;
    if (stride != width) {
        separate.assign(std::size_t{width} * height, 0);
        raster = separate.data();
    }
    const int done = TIFFRGBAImageGet(&rgba.image, raster, width, height);
    for (std::uint32_t row = 0; row < height; ++row) {
        const std::uint32_t* from = raster + std::size_t{row} * width;
        std::uint32_t* to = pixels + std::size_t{row} * stride;
        if (raw) {
            convert_raw_row(transform, from, to, width, samples == 3);
            continue;
        }
        for (std::uint32_t x = 0; x < width; ++x)
            to[x] = to_host_pixel(from[x], premultiplied);
    }
    if (done != 0)
        return VT_OK;
    // Strips or tiles that reach past the end of the file mean a file cut short.
    const std::uint32_t units =
        TIFFIsTiled(tif) != 0 ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    for (std::uint32_t i = 0; i < units; ++i) {
        const std::uint64_t offset = TIFFGetStrileOffset(tif, i);
        const std::uint64_t count = TIFFGetStrileByteCount(tif, i);
        if (offset > m_state->file.size || count > m_state->file.size - offset)
            return VT_ERR_READ;
    }
    return VT_ERR_INVALID_DATA;
}

std::uint32_t TiffReader::deep_channels() const {
    TIFF* tif = m_state->tif;
    std::uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    std::uint16_t photometric = 0, extra_count = 0;
    std::uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    const bool float_samples =
        m_state->float_samples && bits == 32 && format == SAMPLEFORMAT_IEEEFP;
    if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 0 ||
        !(float_samples || (bits == 16 && format == SAMPLEFORMAT_UINT)) ||
        planar != PLANARCONFIG_CONTIG || TIFFIsTiled(tif) != 0 || m_state->to_srgb != nullptr ||
        m_state->naive_inks)
        return 0;
    const std::uint16_t colours = photometric == PHOTOMETRIC_RGB          ? 3
                                  : photometric == PHOTOMETRIC_MINISBLACK ? 1
                                                                          : 0;
    if (colours == 0 || samples < colours || samples > colours + 1 ||
        (samples > colours && !m_state->straight_alpha))
        return 0;
    return colours == 3 ? 4 : 2;
}

std::int32_t TiffReader::decode_deep(std::uint16_t* out, std::uint32_t stride) {
    TIFF* tif = m_state->tif;
    const std::uint32_t channels = deep_channels();
    std::uint32_t width = 0, height = 0, rows_per_strip = 0;
    std::uint16_t samples = 1;
    if (channels == 0 || TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) == 0 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) == 0)
        return VT_ERR_NOT_IMPLEMENTED;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    rows_per_strip = std::clamp<std::uint32_t>(rows_per_strip, 1, height);
    const std::size_t row_samples = std::size_t{width} * samples;
    const std::size_t sample_bytes = m_state->float_samples ? 4 : 2;
    const tmsize_t strip_size = TIFFStripSize(tif);
    if (strip_size <= 0 ||
        static_cast<std::uint64_t>(strip_size) < row_samples * sample_bytes * rows_per_strip)
        return VT_ERR_INVALID_DATA;
    std::vector<std::uint32_t> strip(static_cast<std::size_t>(strip_size) / 4 + 1);
    // Floating point: 0 to 1 is the whole range; what lies outside is clipped.
    const auto sample = [&](const std::uint8_t* row, std::size_t i) -> std::uint16_t {
        if (sample_bytes == 2) {
            std::uint16_t v = 0;
            std::memcpy(&v, row + 2 * i, 2);
            return v;
        }
        float f = 0;
        std::memcpy(&f, row + 4 * i, 4);
        return !(f > 0) ? 0 : f >= 1 ? 0xFFFF : static_cast<std::uint16_t>(f * 65535.0f + 0.5f);
    };
    for (std::uint32_t top = 0, index = 0; top < height; top += rows_per_strip, ++index) {
        const std::uint32_t rows = std::min(rows_per_strip, height - top);
        const tmsize_t got = TIFFReadEncodedStrip(tif, index, strip.data(), strip_size);
        if (got < 0 || static_cast<std::uint64_t>(got) < row_samples * sample_bytes * rows)
            return got < 0 ? VT_ERR_INVALID_DATA : VT_ERR_READ;
        for (std::uint32_t r = 0; r < rows; ++r) {
            const auto* from = reinterpret_cast<const std::uint8_t*>(strip.data()) +
                               row_samples * sample_bytes * r;
            std::uint16_t* to = out + std::size_t{top + r} * stride;
            for (std::size_t x = 0; x < width; ++x, to += channels) {
                for (std::uint32_t c = 0; c + 1 < channels; ++c)
                    to[c] = sample(from, x * samples + c);
                to[channels - 1] =
                    samples == channels ? sample(from, x * samples + channels - 1) : 0xFFFF;
            }
        }
    }
    return VT_OK;
}

std::int32_t TiffReader::decode_float(std::uint32_t* pixels, std::uint32_t stride) {
    std::uint32_t width = 0, height = 0;
    TIFFGetField(m_state->tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(m_state->tif, TIFFTAG_IMAGELENGTH, &height);
    const std::uint32_t channels = deep_channels();
    std::vector<std::uint16_t> deep(std::size_t{width} * height * channels);
    if (const std::int32_t r = decode_deep(deep.data(), width * channels); r != VT_OK)
        return r;
    // The 8-bit picture is the rounding of the 16-bit one.
    const auto eight = [](std::uint16_t v) { return (std::uint32_t{v} * 255 + 32767) / 65535; };
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint16_t* from = deep.data() + std::size_t{y} * width * channels;
        std::uint32_t* to = pixels + std::size_t{y} * stride;
        for (std::uint32_t x = 0; x < width; ++x, from += channels) {
            const std::uint32_t r = eight(from[0]);
            const std::uint32_t g = channels == 4 ? eight(from[1]) : r;
            const std::uint32_t b = channels == 4 ? eight(from[2]) : r;
            to[x] = b | g << 8 | r << 16 | (255 - eight(from[channels - 1])) << 24;
        }
    }
    return VT_OK;
}

const std::string& TiffReader::refusal() const {
    return m_state->refusal;
}

bool TiffReader::last_page() const {
    return TIFFLastDirectory(m_state->tif) != 0;
}

bool TiffReader::reduced_page() const {
    std::uint32_t type = 0;
    return TIFFGetField(m_state->tif, TIFFTAG_SUBFILETYPE, &type) != 0 &&
           (type & FILETYPE_REDUCEDIMAGE) != 0;
}

std::int32_t TiffReader::first_page() {
    return TIFFSetDirectory(m_state->tif, 0) != 0 ? VT_OK : VT_ERR_INVALID_DATA;
}

std::int32_t TiffReader::next_page() {
    return TIFFReadDirectory(m_state->tif) != 0 ? VT_OK : VT_ERR_INVALID_DATA;
}

// ------------------------------------------------------------------------------------ writing

struct WriteState {
    Messages messages;
    TIFF* tif = nullptr;
    ~WriteState() {
        if (tif != nullptr)
            TIFFClose(tif);
    }
};

TiffWriter::TiffWriter() : m_state(std::make_unique<WriteState>()) {}
TiffWriter::~TiffWriter() = default;

bool needs_bigtiff(std::uint64_t raw_bytes, std::uint16_t compression) {
    constexpr std::uint64_t kClassicEnd = std::uint64_t{1} << 32;
    constexpr std::uint64_t kTagRoom = std::uint64_t{64} << 20;
    // Stored and PackBits data grow by at most a byte in 128; LZW and Deflate are allowed a half.
    const std::uint64_t coded = compression == kCompressNone || compression == kCompressPackBits
                                    ? raw_bytes + raw_bytes / 128
                                    : raw_bytes + raw_bytes / 2;
    return coded + kTagRoom >= kClassicEnd;
}

std::int32_t TiffWriter::open(const std::string& path, bool big) {
    Options options = make_options(&m_state->messages);
    if (!options)
        return VT_ERR_OUT_OF_MEMORY;
    m_state->tif = TIFFOpenExt(path.c_str(), big ? "w8" : "w", options.get());
    return m_state->tif != nullptr ? VT_OK : VT_ERR_OPEN_WRITE;
}

namespace {

std::uint16_t usable_compression(std::uint16_t wanted, bool transparent) {
    switch (wanted) {
    case kCompressNone:
    case kCompressLzw:
    case kCompressDeflate:
    case kCompressPackBits:
        return wanted;
    case kCompressJpeg:
        return transparent ? kCompressLzw : kCompressJpeg;
    default:
        return kCompressLzw;
    }
}

void set_text(TIFF* tif, ttag_t tag, const std::string& text) {
    if (!text.empty())
        TIFFSetField(tif, tag, text.c_str());
}

bool set_layout(TIFF* tif, std::uint32_t width, std::uint32_t height, bool transparent,
                std::uint16_t compression, int jpeg_quality, std::uint32_t rows_per_strip,
                std::uint16_t bits = 8, std::uint16_t colours = 3) {
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) != 0 &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) != 0 &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits) != 0 &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, colours + (transparent ? 1 : 0)) != 0 &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) != 0 &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, compression) != 0;
    if (ok && transparent) {
        const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &alpha) != 0;
    }
    if (ok && (compression == kCompressLzw || compression == kCompressDeflate))
        ok = TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) != 0;
    if (ok && compression == kCompressJpeg) {
        // YCbCr with chroma halved both ways, as JPEG-in-TIFF readers expect; libjpeg converts.
        ok = TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR) != 0 &&
             TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2) != 0 &&
             TIFFSetField(tif, TIFFTAG_JPEGQUALITY, std::clamp(jpeg_quality, 1, 100)) != 0 &&
             TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) != 0;
    } else if (ok) {
        ok = TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                          colours == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB) != 0;
    }
    return ok && TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip) != 0;
}

void set_tags(TIFF* tif, const PageTags& tags, std::uint32_t page, std::uint32_t pages) {
    if (pages > 1) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, page, pages);
    }
    set_text(tif, TIFFTAG_MAKE, tags.make);
    set_text(tif, TIFFTAG_MODEL, tags.model);
    set_text(tif, TIFFTAG_SOFTWARE, tags.software);
    set_text(tif, TIFFTAG_ARTIST, tags.artist);
    set_text(tif, TIFFTAG_IMAGEDESCRIPTION, tags.description);
    set_text(tif, TIFFTAG_DATETIME, tags.date_time);
    if (tags.orientation >= 1 && tags.orientation <= 8)
        TIFFSetField(tif, TIFFTAG_ORIENTATION, tags.orientation);
    if (tags.x_resolution > 0 && tags.y_resolution > 0) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, tags.x_resolution);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, tags.y_resolution);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, tags.per_cm ? RESUNIT_CENTIMETER : RESUNIT_INCH);
    }
    if (tags.icc != nullptr && tags.icc_size > 0)
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, tags.icc_size, tags.icc);
}

void pack_row(const std::uint32_t* from, std::uint32_t width, bool transparent, std::uint8_t* to) {
    for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint32_t p = from[x];
        *to++ = static_cast<std::uint8_t>(p >> 16);
        *to++ = static_cast<std::uint8_t>(p >> 8);
        *to++ = static_cast<std::uint8_t>(p);
        if (transparent)
            *to++ = static_cast<std::uint8_t>(255 - (p >> 24));
    }
}

} // namespace

std::int32_t TiffWriter::write_page(const std::uint32_t* pixels, std::uint32_t width,
                                    std::uint32_t height, std::uint32_t stride, bool transparent,
                                    const PageCoding& coding, const PageTags& tags,
                                    std::uint32_t page, std::uint32_t pages) {
    TIFF* tif = m_state->tif;
    if (tif == nullptr)
        return VT_ERR_WRITE;
    const std::uint16_t method = usable_compression(coding.compression, transparent);
    const std::size_t row_bytes = std::size_t{width} * (transparent ? 4 : 3);
    std::uint32_t rows_per_strip = static_cast<std::uint32_t>(
        std::max<std::size_t>(1, kTargetStripBytes / std::max<std::size_t>(row_bytes, 1)));
    if (method == kCompressJpeg) // whole MCU rows of 2x2-subsampled YCbCr
        rows_per_strip = (rows_per_strip + 15) / 16 * 16;
    rows_per_strip = std::min(rows_per_strip, height);
    if (!set_layout(tif, width, height, transparent, method, coding.jpeg_quality, rows_per_strip))
        return VT_ERR_WRITE;
    set_tags(tif, tags, page, pages);

    std::vector<std::uint8_t> strip(row_bytes * rows_per_strip);
    for (std::uint32_t top = 0, index = 0; top < height; top += rows_per_strip, ++index) {
        const std::uint32_t rows = std::min(rows_per_strip, height - top);
        for (std::uint32_t r = 0; r < rows; ++r)
            pack_row(pixels + std::size_t{top + r} * stride, width, transparent,
                     strip.data() + row_bytes * r);
        if (TIFFWriteEncodedStrip(tif, index, strip.data(),
                                  static_cast<tmsize_t>(row_bytes * rows)) < 0)
            return VT_ERR_WRITE;
    }
    return TIFFWriteDirectory(tif) != 0 ? VT_OK : VT_ERR_WRITE;
}

std::int32_t TiffWriter::write_deep_page(const std::uint16_t* samples, std::uint32_t width,
                                         std::uint32_t height, std::uint32_t stride,
                                         std::uint32_t channels, bool transparent,
                                         const PageCoding& coding, const PageTags& tags) {
    TIFF* tif = m_state->tif;
    if (tif == nullptr || (channels != 2 && channels != 4))
        return VT_ERR_WRITE;
    const std::uint16_t colours = channels == 4 ? 3 : 1;
    const std::uint32_t out = colours + (transparent ? 1u : 0u);
    std::uint16_t method = usable_compression(coding.compression, true);
    const std::size_t row_samples = std::size_t{width} * out;
    const std::uint32_t rows_per_strip =
        std::min(height, static_cast<std::uint32_t>(std::max<std::size_t>(
                             1, kTargetStripBytes / std::max<std::size_t>(row_samples * 2, 1))));
    if (!set_layout(tif, width, height, transparent, method, coding.jpeg_quality, rows_per_strip,
                    16, colours))
        return VT_ERR_WRITE;
    set_tags(tif, tags, 0, 1);
    std::vector<std::uint16_t> strip(row_samples * rows_per_strip);
    for (std::uint32_t top = 0, index = 0; top < height; top += rows_per_strip, ++index) {
        const std::uint32_t rows = std::min(rows_per_strip, height - top);
        std::uint16_t* to = strip.data();
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint16_t* from = samples + std::size_t{top + r} * stride;
            for (std::uint32_t x = 0; x < width; ++x, from += channels) {
                for (std::uint32_t c = 0; c < colours; ++c)
                    *to++ = from[c];
                if (transparent)
                    *to++ = from[channels - 1];
            }
        }
        if (TIFFWriteEncodedStrip(tif, index, strip.data(),
                                  static_cast<tmsize_t>(row_samples * 2 * rows)) < 0)
            return VT_ERR_WRITE;
    }
    return TIFFWriteDirectory(tif) != 0 ? VT_OK : VT_ERR_WRITE;
}

std::int32_t TiffWriter::close() {
    TIFF* tif = m_state->tif;
    m_state->tif = nullptr;
    if (tif == nullptr)
        return VT_ERR_WRITE;
    TIFFClose(tif);
    return m_state->messages.errors == 0 ? VT_OK : VT_ERR_WRITE;
}

} // namespace vt::formats::tiff
