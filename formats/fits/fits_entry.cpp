// fmx_FITS: the first image of a FITS file through cfitsio, 8-, 16-, 32- or 64-bit integer or
// float samples (BZERO and BSCALE applied) scaled linearly to 8 bits between DATAMIN and DATAMAX
// when the header gives both, else between the data's own least and greatest values. One plane
// is grey, three planes are red, green and blue. FITS counts rows from the bottom. Load only.

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
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
    double low = 0;
    double high = 0;
    value_range(file.get(), values, low, high);
    const double scale = high > low ? 255.0 / (high - low) : 0.0;
    const auto to8 = [&](float v) -> std::uint32_t {
        if (!std::isfinite(v))
            return 0;
        const double s = std::round((v - low) * scale);
        return static_cast<std::uint32_t>(std::clamp(s, 0.0, 255.0));
    };
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
