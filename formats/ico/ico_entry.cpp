// fmx_ICO: Windows icons and cursors (.ico, .cur), our own codec after the layout Microsoft
// documents for icon resources (ICONDIR and ICONDIRENTRY records, each image a PNG stream or a
// BMP device-independent bitmap of BITMAPINFOHEADER, colour rows then a 1-bit AND mask, both
// bottom-up). Every image is a frame, the largest first. A save writes the sizes 256, 48, 32 and
// 16 that are not larger than the picture (aspect kept), and the picture itself when it fits.
// A cursor is one image (the picture, reduced to 256 a side when larger) with its hotspot: the
// options "fmx_ICO.hotspot_x"/"hotspot_y", else the one a loaded cursor kept, else the corner.

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::uint8_t kDocPages = 1;
constexpr std::uint32_t kSaveSizes[] = {256, 48, 32, 16};
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// A cursor image's hotspot, kept with its frame: x and y, 16 bits each, little-endian.
constexpr std::uint32_t kTagHotspot = VT_TAG('H', 'O', 'T', 'S');

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}

struct Entry {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t width = 0; // from the image itself
    std::uint32_t height = 0;
    std::uint32_t bits = 0;
    bool png = false;
    bool cursor = false;
    std::uint32_t hot_x = 0, hot_y = 0; // a cursor's hotspot, where an icon keeps its depth
};

bool within_limits(std::uint64_t width, std::uint64_t height) {
    return width <= kMaxSide && height <= kMaxSide && width * height <= kMaxPixels;
}

// The image's size and depth from its own header: VT_OK, or why it cannot be read.
std::int32_t inspect(const std::vector<std::uint8_t>& file, Entry& e) {
    const std::uint8_t* p = file.data() + e.offset;
    if (e.size >= 8 && std::memcmp(p, kPngSignature, 8) == 0) {
        // The size in the IHDR chunk, big-endian.
        if (e.size < 33)
            return VT_ERR_READ;
        e.png = true;
        e.width = (std::uint32_t{p[16]} << 24) | (std::uint32_t{p[17]} << 16) |
                  (std::uint32_t{p[18]} << 8) | p[19];
        e.height = (std::uint32_t{p[20]} << 24) | (std::uint32_t{p[21]} << 16) |
                   (std::uint32_t{p[22]} << 8) | p[23];
        e.bits = 32;
    } else {
        if (e.size < 40 || le32(p) < 40)
            return VT_ERR_INVALID_DATA;
        const auto width = static_cast<std::int32_t>(le32(p + 4));
        const auto height = static_cast<std::int32_t>(le32(p + 8));
        e.bits = le16(p + 14);
        const std::uint32_t compression = le32(p + 16);
        if (width <= 0 || height <= 0 || (height & 1) != 0)
            return VT_ERR_INVALID_DATA;
        if (compression != 0 && !(compression == 3 && e.bits == 32))
            return VT_ERR_NOT_IMPLEMENTED;
        if (e.bits != 1 && e.bits != 4 && e.bits != 8 && e.bits != 24 && e.bits != 32)
            return VT_ERR_NOT_IMPLEMENTED;
        e.width = static_cast<std::uint32_t>(width);
        e.height = static_cast<std::uint32_t>(height) / 2;
    }
    if (e.width == 0 || e.height == 0)
        return VT_ERR_INVALID_DATA;
    return within_limits(e.width, e.height) ? VT_OK : VT_ERR_DIMENSIONS;
}

std::int32_t decode_png(FilterCall* call, const std::uint8_t* data, const Entry& e) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, data, e.size) == 0)
        return VT_ERR_INVALID_DATA;
    if (image.width != e.width || image.height != e.height) {
        png_image_free(&image);
        return VT_ERR_INVALID_DATA;
    }
    // A PNG stream must hold at least its raw picture over deflate's best ratio.
    if (std::uint64_t{e.width} * e.height * 4 / 1032 > e.size) {
        png_image_free(&image);
        return VT_ERR_READ;
    }
    if (const std::int32_t r = request_frame(call, e.width, e.height); r != VT_OK) {
        png_image_free(&image);
        return r;
    }
    image.format = PNG_FORMAT_BGRA;
    if (png_image_finish_read(&image, nullptr, call->pixels,
                              static_cast<png_int_32>(call->stride * 4), nullptr) == 0)
        return VT_ERR_INVALID_DATA;
    for (std::uint32_t y = 0; y < e.height; ++y)
        for (std::uint32_t x = 0; x < e.width; ++x)
            call->pixels[std::size_t{y} * call->stride + x] ^= 0xFF000000u;
    return VT_OK;
}

std::int32_t decode_bmp(FilterCall* call, const std::uint8_t* data, const Entry& e) {
    const std::uint32_t header = le32(data);
    std::uint32_t colours = 0;
    if (e.bits <= 8) {
        colours = le32(data + 32);
        if (colours == 0 || colours > (1u << e.bits))
            colours = 1u << e.bits;
    }
    const std::uint64_t palette_at = header + (le32(data + 16) == 3 ? 12u : 0u);
    const std::uint64_t pixels_at = palette_at + std::uint64_t{colours} * 4;
    const std::uint64_t row_bytes = (std::uint64_t{e.width} * e.bits + 31) / 32 * 4;
    const std::uint64_t mask_row = (std::uint64_t{e.width} + 31) / 32 * 4;
    const std::uint64_t mask_at = pixels_at + row_bytes * e.height;
    // 32-bit images may leave the mask out; the others need it for their transparency.
    const bool has_mask = mask_at + mask_row * e.height <= e.size;
    if (mask_at > e.size || (!has_mask && e.bits != 32))
        return VT_ERR_READ;
    if (const std::int32_t r = request_frame(call, e.width, e.height); r != VT_OK)
        return r;
    bool any_alpha = false;
    for (std::uint32_t y = 0; y < e.height; ++y) {
        const std::uint8_t* row = data + pixels_at + row_bytes * (e.height - 1 - y);
        std::uint32_t* out = call->pixels + std::size_t{y} * call->stride;
        for (std::uint32_t x = 0; x < e.width; ++x) {
            std::uint32_t bgr = 0;
            std::uint32_t alpha = 255;
            if (e.bits == 32) {
                bgr = le32(row + 4 * x) & 0xFFFFFFu;
                alpha = row[4 * x + 3];
                any_alpha |= alpha != 0;
            } else if (e.bits == 24) {
                bgr = row[3 * x] | (std::uint32_t{row[3 * x + 1]} << 8) |
                      (std::uint32_t{row[3 * x + 2]} << 16);
            } else {
                const std::uint32_t bit = x * e.bits;
                const std::uint32_t index =
                    (row[bit / 8] >> (8 - e.bits - bit % 8)) & ((1u << e.bits) - 1);
                if (index >= colours)
                    return VT_ERR_INVALID_DATA;
                bgr = le32(data + palette_at + 4 * index) & 0xFFFFFFu;
            }
            out[x] = bgr | ((255 - alpha) << 24);
        }
    }
    // The AND mask makes pixels transparent where the colour has no alpha of its own.
    if (has_mask && !any_alpha) {
        for (std::uint32_t y = 0; y < e.height; ++y) {
            const std::uint8_t* row = data + mask_at + mask_row * (e.height - 1 - y);
            std::uint32_t* out = call->pixels + std::size_t{y} * call->stride;
            for (std::uint32_t x = 0; x < e.width; ++x)
                out[x] = (out[x] & 0xFFFFFFu) |
                         (((row[x / 8] >> (7 - x % 8)) & 1) != 0 ? 0xFF000000u : 0);
        }
    }
    return VT_OK;
}

std::int32_t read_entries(const std::vector<std::uint8_t>& file, std::vector<Entry>& entries) {
    if (file.size() < 6 || le16(file.data()) != 0 ||
        (le16(file.data() + 2) != 1 && le16(file.data() + 2) != 2))
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    const bool cursor = le16(file.data() + 2) == 2;
    const std::uint32_t count = le16(file.data() + 4);
    if (count == 0)
        return VT_ERR_NO_IMAGE_DATA;
    if (6 + std::uint64_t{count} * 16 > file.size())
        return VT_ERR_READ;
    std::int32_t first_failure = VT_OK;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* d = file.data() + 6 + 16 * i;
        Entry e;
        e.size = le32(d + 8);
        e.offset = le32(d + 12);
        e.cursor = cursor;
        e.hot_x = le16(d + 4);
        e.hot_y = le16(d + 6);
        std::int32_t r = std::uint64_t{e.offset} + e.size > file.size() ? VT_ERR_READ : VT_OK;
        if (r == VT_OK)
            r = inspect(file, e);
        if (r == VT_OK)
            entries.push_back(e);
        else if (first_failure == VT_OK)
            first_failure = r;
    }
    if (entries.empty())
        return first_failure;
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const std::uint64_t pa = std::uint64_t{a.width} * a.height;
        const std::uint64_t pb = std::uint64_t{b.width} * b.height;
        return pa != pb ? pa > pb : a.bits > b.bits;
    });
    return first_failure == VT_OK ? VT_OK : 2; // 2: some images were left out
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    std::vector<std::uint8_t> file;
    if (const std::int32_t r = read_file(call->path, file); r != VT_OK)
        return r;
    std::vector<Entry> entries;
    const std::int32_t listed = read_entries(file, entries);
    if (listed < 0)
        return listed;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && static_cast<std::int64_t>(i) > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        const Entry& e = entries[i];
        const std::uint8_t* data = file.data() + e.offset;
        const std::int32_t r = e.png ? decode_png(call, data, e) : decode_bmp(call, data, e);
        if (r != VT_OK) {
            if (i == 0 || r == VT_ERR_TIMEOUT)
                return r;
            call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        deliver_markup(call, {e.bits, nullptr, 0, nullptr, nullptr, nullptr});
        if (e.cursor) {
            const std::uint8_t hot[4] = {
                static_cast<std::uint8_t>(e.hot_x), static_cast<std::uint8_t>(e.hot_x >> 8),
                static_cast<std::uint8_t>(e.hot_y), static_cast<std::uint8_t>(e.hot_y >> 8)};
            add_frame_chunk(call, kTagHotspot, hot, sizeof(hot));
        }
        if (i > 0)
            call->doc_kind = kDocPages;
    }
    if (listed != VT_OK)
        call->warnings |= VT_WARN_DATA_LOST;
    return VT_OK;
}

// A picture of B, G, R, transparency pixels, rows top-down without gaps.
struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels;
};

// The picture reduced to width x height, each pixel the alpha-weighted mean of the area it covers.
Picture reduced(const FilterCall* call, std::uint32_t width, std::uint32_t height) {
    Picture out{width, height, std::vector<std::uint32_t>(std::size_t{width} * height)};
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t y0 = y * call->height / height;
        const std::uint32_t y1 = std::max(y0 + 1, (y + 1) * call->height / height);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t x0 = x * call->width / width;
            const std::uint32_t x1 = std::max(x0 + 1, (x + 1) * call->width / width);
            std::uint64_t sum[4] = {};
            std::uint64_t n = 0;
            for (std::uint32_t sy = y0; sy < y1; ++sy)
                for (std::uint32_t sx = x0; sx < x1; ++sx, ++n) {
                    const std::uint32_t p = call->pixels[std::size_t{sy} * call->stride + sx];
                    const std::uint32_t a = 255 - (p >> 24);
                    for (int c = 0; c < 3; ++c)
                        sum[c] += ((p >> (8 * c)) & 0xFF) * a;
                    sum[3] += a;
                }
            std::uint32_t pixel = std::uint32_t(255 - (sum[3] + n / 2) / n) << 24;
            if (sum[3] > 0)
                for (int c = 0; c < 3; ++c)
                    pixel |= std::uint32_t((sum[c] + sum[3] / 2) / sum[3]) << (8 * c);
            out.pixels[std::size_t{y} * width + x] = pixel;
        }
    }
    return out;
}

void put16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// 256 a side and more: PNG, as icon readers expect; smaller: a 32-bit bitmap with its mask.
bool encode_image(const Picture& p, std::string& out) {
    if (p.width >= 256 || p.height >= 256) {
        std::vector<std::uint32_t> bgra(p.pixels);
        for (std::uint32_t& v : bgra)
            v ^= 0xFF000000u;
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = p.width;
        image.height = p.height;
        image.format = PNG_FORMAT_BGRA;
        png_alloc_size_t size = 0;
        if (png_image_write_to_memory(&image, nullptr, &size, 0, bgra.data(), 0, nullptr) == 0)
            return false;
        out.resize(size);
        return png_image_write_to_memory(&image, out.data(), &size, 0, bgra.data(), 0, nullptr) !=
               0;
    }
    put32(out, 40);
    put32(out, p.width);
    put32(out, p.height * 2);
    put16(out, 1);
    put16(out, 32);
    put32(out, 0);
    const std::uint32_t mask_row = (p.width + 31) / 32 * 4;
    put32(out, (p.width * 4 + mask_row) * p.height);
    for (int i = 0; i < 4; ++i)
        put32(out, 0);
    for (std::uint32_t y = p.height; y-- > 0;)
        for (std::uint32_t x = 0; x < p.width; ++x)
            put32(out, p.pixels[std::size_t{y} * p.width + x] ^ 0xFF000000u);
    for (std::uint32_t y = p.height; y-- > 0;) {
        std::string row(mask_row, '\0');
        for (std::uint32_t x = 0; x < p.width; ++x)
            if ((p.pixels[std::size_t{y} * p.width + x] >> 24) == 255)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        out += row;
    }
    return true;
}

// A target named ".cur" is a cursor.
bool cursor_target(const std::uint16_t* path) {
    std::size_t n = 0;
    while (path[n] != 0)
        ++n;
    const char16_t want[] = u".cur";
    for (std::size_t i = 0; n >= 4 && i < 4; ++i) {
        const std::uint16_t c = path[n - 4 + i];
        if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != want[i])
            return false;
    }
    return n >= 4;
}

// The cursor's hotspot on the picture: each option set wins, then the one the picture kept.
void hotspot_of(FilterCall* call, std::uint32_t& x, std::uint32_t& y) {
    x = y = 0;
    const ChunkView kept = frame_chunk(call, kTagHotspot);
    if (kept.data != nullptr && kept.size == 4) {
        x = le16(kept.data);
        y = le16(kept.data + 2);
    }
    const int ox = state_option(call, u"fmx_ICO.hotspot_x", -1, 0, 65535);
    const int oy = state_option(call, u"fmx_ICO.hotspot_y", -1, 0, 65535);
    if (ox >= 0)
        x = static_cast<std::uint32_t>(ox);
    if (oy >= 0)
        y = static_cast<std::uint32_t>(oy);
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const bool cursor = cursor_target(call->path);
    const std::uint32_t longest = std::max(call->width, call->height);
    std::vector<Picture> pictures;
    if (longest <= 256) {
        Picture own{call->width, call->height, {}};
        own.pixels.reserve(std::size_t{call->width} * call->height);
        for (std::uint32_t y = 0; y < call->height; ++y)
            own.pixels.insert(own.pixels.end(), call->pixels + std::size_t{y} * call->stride,
                              call->pixels + std::size_t{y} * call->stride + call->width);
        pictures.push_back(std::move(own));
    }
    for (const std::uint32_t side : kSaveSizes) {
        if (side >= longest || (cursor && !pictures.empty()))
            continue;
        const auto scaled = [&](std::uint32_t v) {
            return std::max<std::uint32_t>(
                1, static_cast<std::uint32_t>((std::uint64_t{v} * side + longest / 2) / longest));
        };
        pictures.push_back(reduced(call, scaled(call->width), scaled(call->height)));
    }
    std::uint32_t hot_x = 0;
    std::uint32_t hot_y = 0;
    if (cursor)
        hotspot_of(call, hot_x, hot_y);
    std::string head;
    std::string body;
    put16(head, 0);
    put16(head, cursor ? 2 : 1);
    put16(head, static_cast<std::uint32_t>(pictures.size()));
    const std::uint32_t data_at = 6 + 16 * static_cast<std::uint32_t>(pictures.size());
    for (const Picture& p : pictures) {
        std::string image;
        if (!encode_image(p, image))
            return VT_ERR_OUT_OF_MEMORY;
        head += static_cast<char>(p.width >= 256 ? 0 : p.width);
        head += static_cast<char>(p.height >= 256 ? 0 : p.height);
        head += std::string(2, '\0');
        if (cursor) {
            // The hotspot moves with the picture's reduction and stays on it.
            const auto at = [](std::uint32_t v, std::uint32_t side, std::uint32_t original) {
                return std::min<std::uint32_t>(
                    side - 1, static_cast<std::uint32_t>(std::uint64_t{v} * side / original));
            };
            put16(head, at(hot_x, p.width, call->width));
            put16(head, at(hot_y, p.height, call->height));
        } else {
            put16(head, 1);
            put16(head, 32);
        }
        put32(head, static_cast<std::uint32_t>(image.size()));
        put32(head, data_at + static_cast<std::uint32_t>(body.size()));
        body += image;
    }
    const std::string file = head + body;
    return write_target_bytes(call->path,
                              {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
}

// Reserved zero, type 1 (icon) or 2 (cursor), at least one image.
bool ico_signature(const FilterCheck& check) {
    if (check.head_size < 6)
        return false;
    const std::uint8_t* h = check.head;
    return h[0] == 0 && h[1] == 0 && (h[2] == 1 || h[2] == 2) && h[3] == 0 &&
           (h[4] != 0 || h[5] != 0);
}

bool ico_extension(const FilterCheck& check) {
    return extension_is(check, u".ico") || extension_is(check, u".cur");
}

bool ico_save_extension(const FilterCheck& check) {
    return ico_extension(check);
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(50, ico_signature, ico_extension, ico_save_extension, load_image,
                                 save_image, 0, VT_KEEPS_ALPHA)
VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_ICO.hotspot_x", "",
     "a cursor's hotspot, pixels from the left (unset: the picture's own, else 0)"},
    {"fmx_ICO.hotspot_y", "",
     "a cursor's hotspot, pixels from the top (unset: the picture's own, else 0)"})
