#pragma once
// What the TIFF plug-in tests write and read with libtiff itself: files of every layout the
// plug-in must read, made from a sample function, and libtiff's own RGBA decode of a page as
// the reference. libtiff's messages never reach the test's output.

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vt::test::tiff {

inline int quiet_handler(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tif) const noexcept { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Opens a file with libtiff's messages dropped.
inline TiffHandle open_quiet(const std::string& path, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quiet_handler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quiet_handler, nullptr);
    TiffHandle tif(TIFFOpenExt(path.c_str(), mode, options));
    TIFFOpenOptionsFree(options);
    return tif;
}

// One page to write: the layout and a function giving sample s of pixel (x, y).
struct Page {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    std::uint16_t bits = 8;
    std::uint16_t samples = 3;
    std::uint16_t photometric = PHOTOMETRIC_RGB;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::vector<std::uint16_t> extra{};    // ExtraSamples, when any
    std::uint32_t tile = 0;                // tile side (a multiple of 16), 0 = strips
    std::uint32_t rows_per_strip = 0;      // 0 = libtiff's default
    std::uint16_t orientation = 0;         // 0 = no tag
    std::uint32_t subfile_type = 0;        // NewSubfileType, 0 = no tag
    std::vector<std::uint16_t> colormap{}; // red, green, blue tables of 2^bits entries each
    std::string xmp{};
    std::string icc{};
    std::function<std::uint32_t(std::uint32_t x, std::uint32_t y, std::uint32_t s)> sample;
};

namespace detail {

// Packs samples of `bits` each, most significant bit first, as TIFF stores them.
inline void put_bits(std::vector<std::uint8_t>& row, std::uint64_t index, std::uint16_t bits,
                     std::uint32_t value) {
    if (bits == 16) {
        const auto v = static_cast<std::uint16_t>(value);
        std::memcpy(row.data() + index * 2, &v, 2); // native order, as libtiff expects
        return;
    }
    const std::uint64_t bit = index * bits;
    for (std::uint16_t b = 0; b < bits; ++b) {
        const std::uint64_t at = bit + b;
        if ((value >> (bits - 1 - b)) & 1u)
            row[at / 8] = static_cast<std::uint8_t>(row[at / 8] | (0x80u >> (at % 8)));
    }
}

// One row (or one plane's row) of samples.
inline std::vector<std::uint8_t> pack_row(const Page& page, std::uint32_t y, int plane) {
    const std::uint32_t per_pixel = plane < 0 ? page.samples : 1;
    std::vector<std::uint8_t> row((std::uint64_t{page.width} * per_pixel * page.bits + 7) / 8);
    for (std::uint32_t x = 0; x < page.width; ++x)
        for (std::uint32_t s = 0; s < per_pixel; ++s)
            put_bits(row, std::uint64_t{x} * per_pixel + s, page.bits,
                     page.sample(x, y, plane < 0 ? s : static_cast<std::uint32_t>(plane)));
    return row;
}

inline bool set_layout(TIFF* tif, const Page& page) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, page.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, page.samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, page.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, page.planar);
    if (TIFFSetField(tif, TIFFTAG_COMPRESSION, page.compression) == 0)
        return false;
    if (page.subfile_type != 0)
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, page.subfile_type);
    if (!page.extra.empty())
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(page.extra.size()),
                     page.extra.data());
    if (!page.colormap.empty()) {
        const std::size_t n = page.colormap.size() / 3;
        TIFFSetField(tif, TIFFTAG_COLORMAP, page.colormap.data(), page.colormap.data() + n,
                     page.colormap.data() + 2 * n);
    }
    if (page.orientation != 0)
        TIFFSetField(tif, TIFFTAG_ORIENTATION, page.orientation);
    if (!page.icc.empty())
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(page.icc.size()),
                     page.icc.data());
    if (!page.xmp.empty())
        TIFFSetField(tif, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(page.xmp.size()),
                     page.xmp.data());
    if (page.tile != 0) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, page.tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, page.tile);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                     page.rows_per_strip != 0 ? page.rows_per_strip : TIFFDefaultStripSize(tif, 0));
    }
    return true;
}

// Tiles of byte-aligned samples, contiguous or one plane after another.
inline bool write_tiles(TIFF* tif, const Page& page) {
    const int planes = page.planar == PLANARCONFIG_SEPARATE ? page.samples : 1;
    for (int plane = 0; plane < planes; ++plane) {
        const int which = planes > 1 ? plane : -1;
        const std::uint32_t per_pixel = which < 0 ? page.samples : 1;
        const std::size_t pixel_bytes = std::size_t{per_pixel} * page.bits / 8;
        std::vector<std::uint8_t> tile(static_cast<std::size_t>(TIFFTileSize(tif)), 0);
        for (std::uint32_t ty = 0; ty < page.height; ty += page.tile)
            for (std::uint32_t tx = 0; tx < page.width; tx += page.tile) {
                std::fill(tile.begin(), tile.end(), 0);
                for (std::uint32_t y = ty; y < std::min(ty + page.tile, page.height); ++y) {
                    const std::vector<std::uint8_t> row = pack_row(page, y, which);
                    const std::uint32_t n = std::min(page.tile, page.width - tx);
                    std::memcpy(tile.data() + (y - ty) * page.tile * pixel_bytes,
                                row.data() + tx * pixel_bytes, n * pixel_bytes);
                }
                if (TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<std::uint16_t>(plane)) <
                    0)
                    return false;
            }
    }
    return true;
}

inline bool write_rows(TIFF* tif, const Page& page) {
    const int planes = page.planar == PLANARCONFIG_SEPARATE ? page.samples : 1;
    for (int plane = 0; plane < planes; ++plane)
        for (std::uint32_t y = 0; y < page.height; ++y) {
            std::vector<std::uint8_t> row = pack_row(page, y, planes > 1 ? plane : -1);
            if (TIFFWriteScanline(tif, row.data(), y, static_cast<std::uint16_t>(plane)) < 0)
                return false;
        }
    return true;
}

} // namespace detail

// Writes the pages as one file; false when libtiff refuses.
inline bool write_tiff(const std::string& path, const std::vector<Page>& pages,
                       const char* mode = "w") {
    TiffHandle tif = open_quiet(path, mode);
    if (!tif)
        return false;
    for (const Page& page : pages) {
        if (!detail::set_layout(tif.get(), page))
            return false;
        const bool written = page.tile != 0 ? detail::write_tiles(tif.get(), page)
                                            : detail::write_rows(tif.get(), page);
        if (!written || TIFFWriteDirectory(tif.get()) == 0)
            return false;
    }
    return true;
}

// libtiff's own RGBA decode of every page, in stored row order: packed A, B, G, R per pixel as
// TIFFRGBAImage gives it (alpha premultiplied). Decoding stops at the first page it cannot read.
struct Reference {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> abgr;
};

inline std::vector<Reference> reference_pages(const std::string& path, std::size_t max_pages) {
    std::vector<Reference> pages;
    TiffHandle tif = open_quiet(path, "r");
    if (!tif)
        return pages;
    do {
        char reason[1024] = {};
        TIFFRGBAImage image{};
        if (TIFFRGBAImageOK(tif.get(), reason) == 0 ||
            TIFFRGBAImageBegin(&image, tif.get(), 1, reason) == 0)
            break;
        image.req_orientation = image.orientation;
        Reference page;
        page.width = image.width;
        page.height = image.height;
        page.abgr.assign(std::size_t{page.width} * page.height, 0);
        const int ok = TIFFRGBAImageGet(&image, page.abgr.data(), page.width, page.height);
        TIFFRGBAImageEnd(&image);
        if (ok == 0)
            break;
        pages.push_back(std::move(page));
    } while (pages.size() < max_pages && TIFFReadDirectory(tif.get()) != 0);
    return pages;
}

} // namespace vt::test::tiff
