#include "session/format_catalogue.h"

#include <cstdint>

#include "platform/dynamic_library.h"
#include "platform/guarded_call.h"
#include "plugins/plugin_interface.h"

namespace vt::session {
namespace {

constexpr std::u16string_view kNative = u".vt5";
constexpr std::size_t kMaxOptionsPerPlugin = 64;

constexpr KnownFormat kFormats[] = {
    {u".avi", "Video (AVI)"},
    {u".avif", "AV1 Image (AVIF)"},
    {u".heic", "HEIF Image (HEVC)"},
    {u".bmp", "Bitmap (Windows Format)"},
    {u".vt5", "Vantrel Image"},
    {u".dds", "DirectDraw Surface"},
    {u".gif", "GIF (Animated)"},
    {u".jpg", "JPEG/JFIF Image"},
    {u".jpeg", "JPEG/JFIF Image"},
    {u".jp2", "JPEG-2000 image-data"},
    {u".j2k", "JPEG-2000 codestream"},
    {u".jxl", "JPEG XL Image"},
    {u".jxr", "JPEG-XR / HD-Photo"},
    {u".mj2", "Motion JPEG-2000"},
    {u".ora", "OpenRaster Image"},
    {u".pcx", "PC eXchange Image"},
    {u".png", "PNG Image"},
    {u".ppm", "Portable Pixmap Image"},
    {u".pgm", "Portable Graymap Image"},
    {u".pbm", "Portable Bitmap Image"},
    {u".pnm", "Portable Anymap Image"},
    {u".pam", "Portable Arbitrary Map"},
    {u".psd", "Photoshop Document"},
    {u".tga", "Targa Graphics Image"},
    {u".tif", "TIFF Image"},
    {u".tiff", "TIFF Image"},
    {u".webp", "WebP Image"},
    {u".xcf", "GIMP XCF Document"},
    {u".xpm", "X PixMap/BitMap"},
};

std::u16string best_reader(const std::u16string& file_name, plugins::FilterRegistry& registry) {
    for (const auto& c : plugins::candidates_for_load(plugins::make_check(file_name), registry))
        if (c.score > 0)
            return c.path;
    return {};
}

} // namespace

std::span<const KnownFormat> known_formats() noexcept {
    return kFormats;
}

std::vector<FormatEntry> format_catalogue(plugins::FilterRegistry& registry,
                                          std::span<const KnownFormat> formats) {
    std::vector<FormatEntry> list;
    list.push_back({std::u16string(kNative), "Vantrel Image", true, {}, {}});
    for (const KnownFormat& f : formats) {
        if (f.extension == kNative)
            continue;
        const std::u16string name = u"x" + std::u16string(f.extension);
        FormatEntry entry{std::u16string(f.extension), std::string(f.description), false,
                          best_reader(name, registry),
                          plugins::find_save_plugin(name, registry).value_or(u"")};
        if (!entry.reader.empty() || !entry.writer.empty())
            list.push_back(std::move(entry));
    }
    return list;
}

std::vector<PluginOption> plugin_options(plugins::FilterRegistry& registry) {
    std::vector<PluginOption> options;
    for (const std::u16string& path : registry.plugin_list()) {
        platform::DynamicLibrary library;
        if (!library.open(path))
            continue;
        const auto entries = reinterpret_cast<VtStateEntriesFn>(library.symbol("plg_StateEntries"));
        const VtStateEntry* entry = nullptr;
        platform::Fault fault;
        auto ask = [&] { entry = entries(); };
        if (entries == nullptr || !platform::guarded(ask, fault))
            continue;
        for (std::size_t n = 0;
             entry != nullptr && entry->name != nullptr && n < kMaxOptionsPerPlugin; ++entry, ++n)
            options.push_back({entry->name, entry->default_value ? entry->default_value : "",
                               entry->meaning ? entry->meaning : "", path});
    }
    return options;
}

void set_plugin_option(std::u16string_view name, std::string_view value,
                       plugins::StateStore& store) {
    const std::string text(value);
    long long number = 0;
    std::size_t used = 0;
    try {
        number = std::stoll(text, &used);
    } catch (...) {
        used = 0;
    }
    if (used == text.size() && !text.empty() && number >= INT32_MIN && number <= INT32_MAX) {
        const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(number));
        std::uint8_t bytes[4];
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
        store.set(name, bytes);
    } else {
        store.set(name, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }
}

} // namespace vt::session
