// fmx_FITS: the first image of a FITS file through cfitsio, 8-, 16-, 32- or 64-bit integer or
// float samples (BZERO and BSCALE applied) scaled linearly to 8 bits between DATAMIN and DATAMAX
// when the header gives both, else between the data's own least and greatest values; samples of
// more than 8 bits also give the picture scaled the same way to 16 bits when asked. One plane is
// grey, three planes are red, green and blue. FITS counts rows from the bottom. Load only.

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;

std::int32_t result_of(int status) {
    switch (status) {
    case 0:
        return VT_OK;
    case END_OF_FILE:
        return VT_ERR_READ;
    case MEMORY_ALLOCATION:
        return VT_ERR_OUT_OF_MEMORY;
    default:
        return VT_ERR_INVALID_DATA;
    }
}

class FitsFile {
public:
    ~FitsFile() {
        int status = 0;
        if (m_file != nullptr)
            fits_close_file(m_file, &status);
    }
    fitsfile*& get() { return m_file; }

private:
    fitsfile* m_file = nullptr;
};

struct ImageInfo {
    int bitpix = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t planes = 1; // 1 grey, 3 colour
};

// Moves to the first HDU holding an image of at least two axes.
std::int32_t find_image(fitsfile* file, ImageInfo& info) {
    int count = 0;
    int status = 0;
    if (fits_get_num_hdus(file, &count, &status) != 0)
        return result_of(status);
    for (int i = 1; i <= count; ++i) {
        int type = 0;
        if (fits_movabs_hdu(file, i, &type, &status) != 0)
            return result_of(status);
        if (type != IMAGE_HDU)
            continue;
        int naxis = 0;
        long axes[3] = {0, 0, 0};
        if (fits_get_img_param(file, 3, &info.bitpix, &naxis, axes, &status) != 0)
            return result_of(status);
        if (naxis < 2)
            continue;
        if (axes[0] <= 0 || axes[1] <= 0)
            return VT_ERR_NO_IMAGE_DATA;
        if (axes[0] > static_cast<long>(kMaxSide) || axes[1] > static_cast<long>(kMaxSide) ||
            static_cast<std::uint64_t>(axes[0]) * static_cast<std::uint64_t>(axes[1]) > kMaxPixels)
            return VT_ERR_DIMENSIONS;
        info.width = static_cast<std::uint32_t>(axes[0]);
        info.height = static_cast<std::uint32_t>(axes[1]);
        info.planes = naxis >= 3 && axes[2] == 3 ? 3 : 1;
        return VT_OK;
    }
    return VT_ERR_NO_IMAGE_DATA;
}

// The scale's ends: the header's DATAMIN and DATAMAX, else the finite data's own.
void value_range(fitsfile* file, const std::vector<float>& values, double& low, double& high) {
    int status = 0;
    double header_min = 0;
    double header_max = 0;
    fits_read_key(file, TDOUBLE, "DATAMIN", &header_min, nullptr, &status);
    fits_read_key(file, TDOUBLE, "DATAMAX", &header_max, nullptr, &status);
    if (status == 0 && header_max > header_min) {
        low = header_min;
        high = header_max;
        return;
    }
    low = std::numeric_limits<double>::max();
    high = std::numeric_limits<double>::lowest();
    for (const float v : values)
        if (std::isfinite(v)) {
            low = std::min<double>(low, v);
            high = std::max<double>(high, v);
        }
}

// The scale's ends and how a value goes to 8 bits: linearly between them, rounded.
struct Scale {
    double low = 0;
    double high = 0;
    [[nodiscard]] std::uint32_t to8(float v) const {
        if (!std::isfinite(v) || high <= low)
            return 0;
        const double s = std::round((v - low) * (255.0 / (high - low)));
        return static_cast<std::uint32_t>(std::clamp(s, 0.0, 255.0));
    }
    // The same value at 16 bits: the nearest to the exact scale among the values that round to
    // its 8-bit one (a step apart at most), so the deep picture's rounding is the 8-bit frame.
    [[nodiscard]] std::uint16_t to16(float v) const {
        const std::uint32_t eight = to8(v);
        if (!std::isfinite(v) || high <= low)
            return 0;
        const double s = std::clamp(std::round((v - low) * (65535.0 / (high - low))), 0.0, 65535.0);
        const double least = eight == 0 ? 0.0 : 257.0 * eight - 128;
        const double most = eight == 255 ? 65535.0 : 257.0 * eight + 128;
        return static_cast<std::uint16_t>(std::clamp(s, least, most));
    }
};

// Frame 0 at 16 bits for samples of more than 8, scaled as the 8-bit frame is.
void load_deep(FilterCall* call, const ImageInfo& info, const std::vector<float>& values,
               const Scale& scale) {
    const std::uint32_t channels = info.planes == 3 ? 4 : 2;
    const std::size_t plane = std::size_t{info.width} * info.height;
    auto* samples =
        static_cast<std::uint16_t*>(std::malloc(plane * channels * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return;
    for (std::uint32_t y = 0; y < info.height; ++y) {
        const std::size_t row = std::size_t{info.height - 1 - y} * info.width;
        std::uint16_t* out = samples + std::size_t{y} * info.width * channels;
        for (std::uint32_t x = 0; x < info.width; ++x, out += channels) {
            for (std::uint32_t c = 0; c + 1 < channels; ++c)
                out[c] = scale.to16(values[c * plane + row + x]);
            out[channels - 1] = 0xFFFF;
        }
    }
    const auto bits = static_cast<std::uint32_t>(std::min(std::abs(info.bitpix), 16));
    deliver_deep(call,
                 {info.width, info.height, channels, info.width * channels, samples, bits, 0});
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> bytes;
    if (const std::int32_t r = read_file(call->path, bytes); r != VT_OK)
        return r;
    if (bytes.size() < 80 || std::memcmp(bytes.data(), "SIMPLE  =", 9) != 0)
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    // cfitsio reads a file in memory by whole 2880-byte records: the copy is padded to one, while
    // every check below holds the data to what the file really has.
    const std::size_t file_size = bytes.size();
    bytes.resize((file_size + 2879) / 2880 * 2880, 0);
    FitsFile file;
    void* memory = bytes.data();
    std::size_t size = bytes.size();
    int status = 0;
    if (fits_open_memfile(&file.get(), "picture.fits", READONLY, &memory, &size, 0, nullptr,
                          &status) != 0)
        return status == END_OF_FILE ? VT_ERR_READ : VT_ERR_INVALID_DATA;
    ImageInfo info;
    if (const std::int32_t r = find_image(file.get(), info); r != VT_OK)
        return r;
    const std::uint64_t plane = std::uint64_t{info.width} * info.height;
    const std::uint64_t count = plane * info.planes;
    // The samples must be in the file before anything of the picture's size is made.
    LONGLONG header_at = 0;
    LONGLONG data_at = 0;
    LONGLONG data_end = 0;
    if (fits_get_hduaddrll(file.get(), &header_at, &data_at, &data_end, &status) != 0)
        return result_of(status);
    if (data_at < 0 || static_cast<std::uint64_t>(data_at) +
                               count * static_cast<std::uint64_t>(std::abs(info.bitpix)) / 8 >
                           file_size)
        return VT_ERR_READ;
    std::vector<float> values(count);
    float blank = std::numeric_limits<float>::quiet_NaN();
    int any_blank = 0;
    if (fits_read_img(file.get(), TFLOAT, 1, static_cast<LONGLONG>(count), &blank, values.data(),
                      &any_blank, &status) != 0)
        return result_of(status);
    Scale scale;
    value_range(file.get(), values, scale.low, scale.high);
    const auto to8 = [&scale](float v) { return scale.to8(v); };
    if (const std::int32_t r = request_frame(call, info.width, info.height); r != VT_OK)
        return r;
    for (std::uint32_t y = 0; y < info.height; ++y) {
        const std::size_t row = std::size_t{info.height - 1 - y} * info.width;
        std::uint32_t* out = call->pixels + std::size_t{y} * call->stride;
        for (std::uint32_t x = 0; x < info.width; ++x) {
            if (info.planes == 3)
                out[x] = to8(values[2 * plane + row + x]) | (to8(values[plane + row + x]) << 8) |
                         (to8(values[row + x]) << 16);
            else
                out[x] = to8(values[row + x]) * 0x010101u;
        }
    }
    deliver_markup(call, {static_cast<std::uint32_t>(std::abs(info.bitpix)) * info.planes, nullptr,
                          0, nullptr, nullptr, nullptr});
    if (deep_wanted(call) && std::abs(info.bitpix) > 8)
        load_deep(call, info, values, scale);
    return VT_OK;
}

std::int32_t save_image(FilterCall* /*call*/) {
    return VT_ERR_NOT_IMPLEMENTED;
}

bool fits_signature(const FilterCheck& check) {
    return check.head_size >= 9 && std::memcmp(check.head, "SIMPLE  =", 9) == 0;
}

bool fits_extension(const FilterCheck& check) {
    return extension_is(check, u".fits") || extension_is(check, u".fit") ||
           extension_is(check, u".fts");
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(100, fits_signature, fits_extension, ::vt::kit::writes_nothing,
                                    load_image, save_image)
