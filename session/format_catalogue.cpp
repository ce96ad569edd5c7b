#include "session/format_catalogue.h"

#include <algorithm>
#include <cstdint>
#include <regex>

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

namespace {

std::optional<long long> whole_number(std::string_view text) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return std::nullopt;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        v = v * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -v : v;
}

} // namespace

std::optional<std::string> check_option_value(const PluginOption& option, std::string_view value) {
    static const std::regex range(R"((-?\d+) to (-?\d+))");
    static const std::regex listed(R"((?:^|, )(\d+):)");
    const std::string& meaning = option.meaning;
    const std::optional<long long> number = whole_number(value);
    const std::string quoted = "'" + std::string(value) + "' for " + option.name;
    if (std::smatch m; std::regex_search(meaning, m, range)) {
        const long long low = std::stoll(m[1]), high = std::stoll(m[2]);
        if (!number || *number < low || *number > high)
            return quoted + " is outside " + m[1].str() + " to " + m[2].str();
        return std::nullopt;
    }
    if (meaning.empty() || meaning[0] < '0' || meaning[0] > '9')
        return std::nullopt;
    std::vector<long long> values;
    for (auto it = std::sregex_iterator(meaning.begin(), meaning.end(), listed);
         it != std::sregex_iterator(); ++it)
        values.push_back(std::stoll((*it)[1]));
    if (values.size() == 1 && values[0] == 1)
        values.push_back(0); // a switch
    if (values.empty() ||
        (number && std::find(values.begin(), values.end(), *number) != values.end()))
        return std::nullopt;
    std::string list;
    for (const long long v : values)
        list += (list.empty() ? "" : ", ") + std::to_string(v);
    return quoted + " is not one of " + list;
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
