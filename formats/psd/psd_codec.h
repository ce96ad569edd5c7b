#pragma once
// The layered document reader and writer of fmx_PSD, over bytes in memory. Written from Adobe's
// public Adobe Photoshop file format documentation (the file header, colour mode data, image
// resources, the layer and mask information section and the merged image data, in the PSD and
// the large-document PSB layouts).
// Knows nothing of the plug-in records; results are plug-in result codes (1 done, negative
// failure).
// Thread: any; no shared state.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vt::formats::psd {

inline constexpr std::uint32_t kModeGrey = 1;
inline constexpr std::uint32_t kModeIndexed = 2;
inline constexpr std::uint32_t kModeRgb = 3;
inline constexpr std::uint32_t kModeCmyk = 4;
inline constexpr std::uint32_t kModeDuotone = 8;

// Four characters as the big-endian number the file stores.
constexpr std::uint32_t key(const char (&k)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(k[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(k[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(k[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(k[3]));
}

// One channel of a layer: where its compression word and data lie in the file.
struct ChannelData {
    std::int32_t id = 0; // 0.. colour, -1 transparency, -2 user mask, -3 real user mask
    std::size_t offset = 0;
    std::uint64_t length = 0; // the compression word included
};

struct Rect {
    std::int32_t top = 0, left = 0, bottom = 0, right = 0;
    [[nodiscard]] std::uint32_t width() const { return static_cast<std::uint32_t>(right - left); }
    [[nodiscard]] std::uint32_t height() const { return static_cast<std::uint32_t>(bottom - top); }
    [[nodiscard]] bool empty() const { return right <= left || bottom <= top; }
};

struct LayerRecord {
    Rect rect;
    std::vector<ChannelData> channels;
    std::uint32_t blend = key("norm");
    std::uint8_t opacity = 255;
    std::uint8_t clipping = 0; // 1: clipped to the layer below
    std::uint8_t flags = 0;    // bit 1: hidden
    std::u16string name;       // the Unicode name when the file has one, else the Pascal name
    std::uint32_t section = 0; // a group's marker: 1 open, 2 closed, 3 its end; 0 a layer
    // The user mask: its rectangle, the value outside it, and whether it is switched off.
    Rect mask;
    std::uint8_t mask_default = 255;
    bool mask_disabled = false;
};

struct Document {
    std::uint32_t version = 1; // 2: the large-document layout
    std::uint32_t channels = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t depth = 0;
    std::uint32_t mode = 0;
    std::span<const std::uint8_t> palette; // 768 bytes for indexed pictures
    std::span<const std::uint8_t> icc;
    std::uint32_t ppi_x = 0, ppi_y = 0; // 0: the file does not say
    std::int32_t transparent_index = -1;
    std::vector<LayerRecord> layers; // bottom first
    bool merged_alpha = false;       // the merged image's first extra channel is its alpha
    std::size_t merged_offset = 0;
};

// Reads and checks everything but the pixels: sizes against the format's and the bitmaps'
// limits, every length against the bytes present, every channel against the least number of
// bytes its compression can take, before anything is allocated. -1 not this format, -2 a
// variant not read (bitmap, Lab, multichannel, 32-bit), -13 sizes, -42 a file that ends early,
// -44 invalid data.
[[nodiscard]] std::int32_t read_document(std::span<const std::uint8_t> file, Document& doc);

// Decodes a layer into 32-bit B, G, R, transparency rows of the layer's rectangle; the user
// mask and the transparency channel make the transparency. -44 for data that does not decode.
[[nodiscard]] std::int32_t decode_layer(std::span<const std::uint8_t> file, const Document& doc,
                                        const LayerRecord& layer, std::uint32_t* pixels,
                                        std::uint32_t stride);

// Decodes the merged image of the whole canvas.
[[nodiscard]] std::int32_t decode_merged(std::span<const std::uint8_t> file, const Document& doc,
                                         std::uint32_t* pixels, std::uint32_t stride);

// 16-bit RGB and grey documents, with or without transparency, also decode at full depth: red,
// green, blue, alpha (4) or grey, alpha (2) samples, native order, alpha straight and 65535
// opaque. The number of channels, or 0 for every other document.
[[nodiscard]] std::uint32_t deep_channels(const Document& doc);

// The merged image at full depth into width x height x deep_channels samples, rows packed.
[[nodiscard]] std::int32_t decode_merged_deep(std::span<const std::uint8_t> file,
                                              const Document& doc, std::uint16_t* samples);

// A layer's rectangle at full depth, rows packed. -2 for a layer whose user mask is on: the
// mask makes its transparency at 8 bits only.
[[nodiscard]] std::int32_t decode_layer_deep(std::span<const std::uint8_t> file,
                                             const Document& doc, const LayerRecord& layer,
                                             std::uint16_t* samples);

// What a save writes: 8-bit RGB with transparency, or one 16-bit RGB or grey picture with
// transparency, every layer run-length coded.
struct OutLayer {
    std::vector<std::uint32_t> pixels; // rows packed, width x height
    std::uint32_t width = 0, height = 0;
    std::int32_t x = 0, y = 0;
    std::u16string name;
    std::uint32_t blend = key("norm");
    std::uint8_t opacity = 255;
    std::uint8_t clipping = 0;
    bool hidden = false;
};

struct OutDocument {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint32_t> merged; // rows packed
    std::vector<OutLayer> layers;      // bottom first
    std::vector<std::uint8_t> icc;
    std::uint32_t ppi_x = 72, ppi_y = 72;
    // A 16-bit picture written instead of `merged` and of the one layer of the picture's size,
    // which then only gives its name (with other layers it is left out): red, green, blue, alpha
    // or grey, alpha samples, `deep_stride` apart; or null.
    const std::uint16_t* deep = nullptr;
    std::uint32_t deep_channels = 0, deep_stride = 0;
    bool large = false; // the large-document layout (version 2)
};

// The whole file. Sides of more than 30000 pixels (300000 in the large layout) are refused by the
// caller. The merged image of a transparent picture has its colours matted on white, as other
// readers take it; the layers keep theirs as they are.
[[nodiscard]] std::vector<std::uint8_t> write_document(const OutDocument& doc);

} // namespace vt::formats::psd
