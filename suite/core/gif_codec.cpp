// GIF: the first frame on its logical screen; saved with one palette of up to 256 colours.

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <gif_lib.h>

#include "suite/core/image_codecs.h"

namespace vt::core {

namespace {

constexpr std::uint32_t kTransparentPixel = 0xFF000000u;

struct Reader {
    std::span<const std::uint8_t> data;
    std::size_t at = 0;
};

int read_bytes(GifFileType* gif, GifByteType* buffer, int wanted) {
    auto* reader = static_cast<Reader*>(gif->UserData);
    const std::size_t n = std::min(static_cast<std::size_t>(wanted < 0 ? 0 : wanted),
                                   reader->data.size() - reader->at);
    std::memcpy(buffer, reader->data.data() + reader->at, n);
    reader->at += n;
    return static_cast<int>(n);
}

int write_bytes(GifFileType* gif, const GifByteType* buffer, int count) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), buffer, buffer + count);
    return count;
}

struct DecoderFile {
    GifFileType* gif = nullptr;
    ~DecoderFile() {
        if (gif != nullptr)
            DGifCloseFile(gif, nullptr);
    }
};

struct EncoderFile {
    GifFileType* gif = nullptr;
    ~EncoderFile() {
        if (gif != nullptr)
            EGifCloseFile(gif, nullptr);
    }
    bool close() {
        GifFileType* g = gif;
        gif = nullptr;
        return EGifCloseFile(g, nullptr) == GIF_OK;
    }
};

struct MapObject {
    ColorMapObject* map = nullptr;
    ~MapObject() { GifFreeMapObject(map); }
};

bool skip_extension(GifFileType* gif, int& transparent) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) != GIF_OK)
        return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4)
        transparent = (block[1] & 1) != 0 ? block[4] : -1;
    while (block != nullptr)
        if (DGifGetExtensionNext(gif, &block) != GIF_OK)
            return false;
    return true;
}

bool read_frame(GifFileType* gif, int transparent, Decoded& out) {
    if (DGifGetImageDesc(gif) != GIF_OK)
        return false;
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
    if (map == nullptr || desc.Width <= 0 || desc.Height <= 0 || desc.Left < 0 || desc.Top < 0)
        return false;
    const auto width = static_cast<std::uint32_t>(
        std::max<std::int64_t>(gif->SWidth, std::int64_t{desc.Left} + desc.Width));
    const auto height = static_cast<std::uint32_t>(
        std::max<std::int64_t>(gif->SHeight, std::int64_t{desc.Top} + desc.Height));
    Pixels pixels = allocate_pixels(width, height);
    if (pixels == nullptr)
        return false;
    std::fill_n(pixels.get(), static_cast<std::size_t>(width) * height, kTransparentPixel);
    Bytes line(static_cast<std::size_t>(desc.Width));
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    const int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        for (int y = desc.Interlace ? kStart[pass] : 0; y < desc.Height;
             y += desc.Interlace ? kStep[pass] : 1) {
            if (DGifGetLine(gif, line.data(), desc.Width) != GIF_OK)
                return false;
            std::uint32_t* row =
                pixels.get() + static_cast<std::size_t>(desc.Top + y) * width + desc.Left;
            for (int x = 0; x < desc.Width; ++x) {
                const int index = line[static_cast<std::size_t>(x)];
                if (index == transparent)
                    continue;
                if (index < map->ColorCount) {
                    const GifColorType& c = map->Colors[index];
                    row[x] = make_pixel(c.Blue, c.Green, c.Red, 0);
                } else {
                    row[x] = 0;
                }
            }
        }
    }
    out.width = width;
    out.height = height;
    out.pixels = std::move(pixels);
    return true;
}

struct Indexed {
    std::vector<GifColorType> colors;
    int transparent = -1;
    Bytes indices;
};

bool is_clear(std::uint32_t pixel) {
    return (pixel >> 24) >= 128;
}

// The picture's own colours when there are few enough of them.
bool exact_palette(const Picture& picture, Indexed& out) {
    std::unordered_map<std::uint32_t, std::uint8_t> index;
    out.indices.resize(static_cast<std::size_t>(picture.width) * picture.height);
    std::size_t at = 0;
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const std::uint32_t key = is_clear(row[x]) ? kTransparentPixel : row[x] & 0xFFFFFFu;
            auto it = index.find(key);
            if (it == index.end()) {
                if (index.size() == 256)
                    return false;
                const auto i = static_cast<std::uint8_t>(index.size());
                it = index.emplace(key, i).first;
                if (key == kTransparentPixel)
                    out.transparent = i;
                out.colors.push_back({static_cast<GifByteType>(key >> 16),
                                      static_cast<GifByteType>(key >> 8),
                                      static_cast<GifByteType>(key)});
            }
            out.indices[at++] = it->second;
        }
    }
    return true;
}

// A fixed palette of 6 x 7 x 6 levels with ordered dithering: plain and quick, for the plug-ins
// that ask the core library for a GIF. The GIF plug-in has the careful quantizer.
constexpr int kRedLevels = 6;
constexpr int kGreenLevels = 7;
constexpr int kBlueLevels = 6;
constexpr std::uint8_t kBayer[4][4] = {
    {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

std::uint8_t dithered_level(std::uint32_t value, int levels, std::uint8_t threshold) {
    // The position between two levels, nudged by the pattern before it is cut.
    const std::uint32_t scaled = value * static_cast<std::uint32_t>(levels - 1) * 16u +
                                 static_cast<std::uint32_t>(threshold) * 255u / 16u;
    return static_cast<std::uint8_t>(
        std::min<std::uint32_t>(scaled / (255u * 16u), static_cast<std::uint32_t>(levels - 1)));
}

bool quantized_palette(const Picture& picture, Indexed& out) {
    out.colors.clear();
    for (int r = 0; r < kRedLevels; ++r)
        for (int g = 0; g < kGreenLevels; ++g)
            for (int b = 0; b < kBlueLevels; ++b)
                out.colors.push_back({static_cast<GifByteType>(r * 255 / (kRedLevels - 1)),
                                      static_cast<GifByteType>(g * 255 / (kGreenLevels - 1)),
                                      static_cast<GifByteType>(b * 255 / (kBlueLevels - 1))});
    const auto clear_index = static_cast<std::uint8_t>(out.colors.size());
    bool any_clear = false;
    out.indices.resize(static_cast<std::size_t>(picture.width) * picture.height);
    std::size_t at = 0;
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const std::uint32_t v = row[x];
            if (is_clear(v)) {
                out.indices[at++] = clear_index;
                any_clear = true;
                continue;
            }
            const std::uint8_t t = kBayer[y & 3][x & 3];
            const std::uint8_t r = dithered_level((v >> 16) & 255, kRedLevels, t);
            const std::uint8_t g = dithered_level((v >> 8) & 255, kGreenLevels, t);
            const std::uint8_t b = dithered_level(v & 255, kBlueLevels, t);
            out.indices[at++] = static_cast<std::uint8_t>((r * kGreenLevels + g) * kBlueLevels + b);
        }
    }
    if (any_clear) {
        out.transparent = clear_index;
        out.colors.push_back({0, 0, 0});
    }
    return true;
}

} // namespace

bool decode_gif(std::span<const std::uint8_t> data, Decoded& out) {
    Reader reader{data, 0};
    DecoderFile file;
    file.gif = DGifOpen(&reader, read_bytes, nullptr);
    if (file.gif == nullptr)
        return false;
    int transparent = -1;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(file.gif, &type) != GIF_OK)
            return false;
        if (type == IMAGE_DESC_RECORD_TYPE)
            return read_frame(file.gif, transparent, out);
        if (type == EXTENSION_RECORD_TYPE) {
            if (!skip_extension(file.gif, transparent))
                return false;
        } else {
            return false;
        }
    }
}

bool encode_gif(const Picture& picture, Bytes& out) {
    Indexed indexed;
    if (!exact_palette(picture, indexed)) {
        indexed = Indexed{};
        if (!quantized_palette(picture, indexed))
            return false;
    }
    int bits = 1;
    while ((1u << bits) < indexed.colors.size())
        ++bits;
    indexed.colors.resize(std::size_t{1} << bits, GifColorType{0, 0, 0});
    MapObject map;
    map.map = GifMakeMapObject(1 << bits, indexed.colors.data());
    if (map.map == nullptr)
        return false;
    out.clear();
    EncoderFile file;
    file.gif = EGifOpen(&out, write_bytes, nullptr);
    if (file.gif == nullptr)
        return false;
    EGifSetGifVersion(file.gif, true);
    const int w = static_cast<int>(picture.width);
    const int h = static_cast<int>(picture.height);
    if (EGifPutScreenDesc(file.gif, w, h, bits, 0, map.map) != GIF_OK)
        return false;
    if (indexed.transparent >= 0) {
        const GifByteType control[4] = {1, 0, 0, static_cast<GifByteType>(indexed.transparent)};
        if (EGifPutExtension(file.gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_OK)
            return false;
    }
    if (EGifPutImageDesc(file.gif, 0, 0, w, h, false, nullptr) != GIF_OK)
        return false;
    for (int y = 0; y < h; ++y)
        if (EGifPutLine(file.gif,
                        indexed.indices.data() + static_cast<std::size_t>(y) * picture.width,
                        w) != GIF_OK)
            return false;
    return file.close();
}

} // namespace vt::core
