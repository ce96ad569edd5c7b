#include "session/format_catalogue.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <regex>
#include <set>

#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/guarded_call.h"
#include "platform/paths.h"
#include "plugins/plugin_interface.h"

namespace vt::session {
namespace {

constexpr std::u16string_view kNative = u".vt5";
constexpr std::size_t kMaxOptionsPerPlugin = 64;
constexpr std::uint16_t kNativeKeeps = VT_KEEPS_DECLARED | VT_KEEPS_PROFILE | VT_KEEPS_ALPHA |
                                       VT_KEEPS_RESOLUTION | VT_KEEPS_EXIF | VT_KEEPS_XMP |
                                       VT_KEEPS_PAGES | VT_KEEPS_LAYERS | VT_KEEPS_ANIMATION;
// Plug-ins are small; a larger file is still asked about the names it is known by.
constexpr std::size_t kMaxLibraryScanBytes = 64u << 20;
constexpr std::size_t kMaxExtensionLetters = 15; // after the dot

constexpr KnownFormat kFormats[] = {
    {u".avi", "Video (AVI)"},
    {u".avif", "AV1 Image (AVIF)"},
    {u".heic", "HEIF Image (HEVC)"},
    {u".heif", "HEIF Image"},
    {u".bmp", "Bitmap (Windows Format)"},
    {u".dib", "Bitmap (Windows Format)"},
    {u".vt5", "Vantrel Image"},
    {u".dds", "DirectDraw Surface"},
    {u".gif", "GIF (Animated)"},
    {u".jpg", "JPEG/JFIF Image"},
    {u".jpeg", "JPEG/JFIF Image"},
    {u".jpe", "JPEG/JFIF Image"},
    {u".jfif", "JPEG/JFIF Image"},
    {u".jp2", "JPEG-2000 image-data"},
    {u".j2k", "JPEG-2000 codestream"},
    {u".j2c", "JPEG-2000 codestream"},
    {u".jpc", "JPEG-2000 codestream"},
    {u".jpt", "JPEG-2000 JPIP stream"},
    {u".jxl", "JPEG XL Image"},
    {u".jxr", "JPEG-XR / HD-Photo"},
    {u".wdp", "JPEG-XR / HD-Photo"},
    {u".hdp", "JPEG-XR / HD-Photo"},
    {u".mj2", "Motion JPEG-2000"},
    {u".ora", "OpenRaster Image"},
    {u".kra", "Krita Document"},
    {u".pcx", "PC eXchange Image"},
    {u".png", "PNG Image"},
    {u".ppm", "Portable Pixmap Image"},
    {u".pgm", "Portable Graymap Image"},
    {u".pbm", "Portable Bitmap Image"},
    {u".pnm", "Portable Anymap Image"},
    {u".pam", "Portable Arbitrary Map"},
    {u".psd", "Photoshop Document"},
    {u".psb", "Photoshop Large Document"},
    {u".psp", "Paint Shop Pro Image"},
    {u".tga", "Targa Graphics Image"},
    {u".icb", "Targa Graphics Image"},
    {u".vda", "Targa Graphics Image"},
    {u".vst", "Targa Graphics Image"},
    {u".tif", "TIFF Image"},
    {u".tiff", "TIFF Image"},
    {u".webp", "WebP Image"},
    {u".xcf", "GIMP XCF Document"},
    {u".xpm", "X PixMap/BitMap"},
    {u".xbm", "X BitMap"},
    {u".ico", "Windows Icon"},
    {u".cur", "Windows Cursor"},
    {u".svg", "Scalable Vector Graphics"},
    {u".pdf", "PDF Document"},
    {u".fits", "FITS Image"},
    {u".fit", "FITS Image"},
    {u".fts", "FITS Image"},
    {u".dng", "Digital Negative (RAW)"},
    {u".cr2", "Canon RAW"},
    {u".cr3", "Canon RAW"},
    {u".raf", "Fujifilm RAW"},
    {u".nef", "Nikon RAW"},
    {u".nrw", "Nikon RAW"},
    {u".arw", "Sony RAW"},
    {u".srf", "Sony RAW"},
    {u".raw", "Camera RAW"},
    {u".qoi", "QOI Image"},
    {u".hdr", "Radiance HDR Image"},
    {u".pic", "Radiance HDR Image"},
    {u".pfm", "Portable Float Map"},
    {u".exr", "OpenEXR Image"},
    {u".k25", "Kodak RAW"},
    {u".dcr", "Kodak RAW"},
    {u".fff", "Hasselblad RAW"},
    {u".orf", "Olympus RAW"},
    {u".rw2", "Panasonic RAW"},
    {u".ptx", "Pentax RAW"},
    {u".srw", "Samsung RAW"},
    {u".bay", "Casio RAW"},
    {u".mfw", "Mamiya RAW"},
    {u".mp4", "Video (MPEG-4)"},
    {u".m4v", "Video (MPEG-4)"},
    {u".mov", "Video (QuickTime)"},
    {u".mkv", "Video (Matroska)"},
    {u".webm", "Video (WebM)"},
    {u".mpg", "Video (MPEG)"},
    {u".mpeg", "Video (MPEG)"},
    {u".wmv", "Video (Windows Media)"},
    {u".flv", "Video (Flash)"},
    {u".ogv", "Video (Ogg)"},
};

// The extensions a plug-in's own tables may hold: every UTF-16 text in its file of a dot and 1
// to 15 lower-case letters or digits. They are only questions; the plug-in's answers decide.
std::set<std::u16string> extension_texts(const std::u16string& library) {
    std::set<std::u16string> found;
    const auto size = platform::file_size(library);
    const auto bytes =
        size ? platform::read_file_prefix(library, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                       *size, kMaxLibraryScanBytes)))
             : std::nullopt;
    if (!bytes)
        return found;
    const std::string& b = *bytes;
    const auto unit = [&b](std::size_t at) -> char16_t {
        return at + 1 < b.size() && b[at + 1] == 0
                   ? static_cast<char16_t>(static_cast<unsigned char>(b[at]))
                   : u'\xFFFF';
    };
    const auto name_char = [](char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
    };
    // A dot followed by a zero byte is rare in a library; the string search finds them fast
    // (the scan of every plug-in is most of --list-formats' time).
    static constexpr char kDot[2] = {'.', '\0'};
    const std::string_view dot(kDot, 2);
    for (std::size_t at = b.find(dot); at != std::string::npos && at + 5 < b.size();
         at = b.find(dot, at + 1)) {
        std::u16string ext(u".");
        std::size_t next = at + 2;
        for (; name_char(unit(next)) && ext.size() <= kMaxExtensionLetters; next += 2)
            ext.push_back(unit(next));
        if (ext.size() > 1 && ext.size() <= kMaxExtensionLetters + 1 && unit(next) == 0)
            found.insert(std::move(ext));
    }
    return found;
}

// A check function's answer about an extension alone (no file bytes); 0 when it faults.
FilterCheck ask(VtCheckFn check_fn, std::u16string_view ext, std::span<const std::uint8_t> head) {
    FilterCheck check = plugins::make_check(u"x" + std::u16string(ext), head);
    FilterCheck answer = check;
    std::int32_t result = 0;
    auto call = [&] { result = check_fn(&answer); };
    platform::Fault fault;
    if (!platform::guarded(call, fault) || result == 0)
        return check;
    return answer;
}

// A plug-in that says yes to the impossible questions says yes to everything; what it claims
// tells nothing (the fronts blacklist it when they meet it).
bool claims_everything(VtCheckFn check_load, VtCheckFn check_save) {
    static constexpr std::uint8_t kJunk[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    if (check_load && plugins::load_score(ask(check_load, u".***", kJunk)) > 1)
        return true;
    for (std::u16string_view ext : {u".***", u".sys", u".vxd"})
        if (check_save && plugins::save_score(ask(check_save, ext, {})) > 1)
            return true;
    return false;
}

std::string_view description_of(std::u16string_view ext, std::span<const KnownFormat> formats) {
    for (const KnownFormat& f : formats)
        if (f.extension == ext)
            return f.description;
    for (const KnownFormat& f : kFormats)
        if (f.extension == ext)
            return f.description;
    return {};
}

void add_options(const platform::DynamicLibrary& library, std::vector<PluginOption>& options) {
    const auto entries = reinterpret_cast<VtStateEntriesFn>(library.symbol("plg_StateEntries"));
    const VtStateEntry* entry = nullptr;
    platform::Fault fault;
    auto call = [&] { entry = entries(); };
    if (entries == nullptr || !platform::guarded(call, fault))
        return;
    for (std::size_t n = 0; entry != nullptr && entry->name != nullptr && n < kMaxOptionsPerPlugin;
         ++entry, ++n)
        options.push_back({entry->name, entry->default_value ? entry->default_value : "",
                           entry->meaning ? entry->meaning : "", library.path()});
}

struct Best {
    int read_score = 0, write_score = 0;
    std::u16string reader, writer;
    FilterCheck write_answer{};
};

// Opens each plug-in of the list once: asks it about the extensions of `formats` and of its
// own tables, and for its options when `options` is given.
PluginListing walk_plugins(plugins::FilterRegistry& registry, std::span<const KnownFormat> formats,
                           bool with_options) {
    PluginListing listing;
    std::map<std::u16string, Best> best; // by extension, in order
    for (const std::u16string& path : registry.plugin_list()) {
        platform::DynamicLibrary library;
        if (!library.open(path))
            continue;
        if (with_options)
            add_options(library, listing.options);
        const auto check_load = reinterpret_cast<VtCheckFn>(library.symbol("flt_CheckLoad"));
        const auto check_save = reinterpret_cast<VtCheckFn>(library.symbol("flt_CheckSave"));
        const bool reads = check_load && library.symbol("flt_LoadImage");
        const bool writes = check_save && library.symbol("flt_SaveImage");
        if ((!reads && !writes) || claims_everything(check_load, check_save))
            continue;
        std::set<std::u16string> asked = extension_texts(path);
        for (const KnownFormat& f : formats)
            asked.emplace(f.extension);
        for (const std::u16string& ext : asked) {
            if (ext == kNative || ext == u".tmp" || ext == u".temp")
                continue;
            Best& b = best[ext];
            // Equal scores go to the earlier plug-in, as the fronts choose.
            if (const int s = reads ? plugins::load_score(ask(check_load, ext, {})) : 0;
                s > b.read_score) {
                b.read_score = s;
                b.reader = path;
            }
            const FilterCheck answer = writes ? ask(check_save, ext, {}) : FilterCheck{};
            if (const int s = writes ? plugins::save_score(answer) : 0; s > b.write_score) {
                b.write_score = s;
                b.writer = path;
                b.write_answer = answer;
            }
        }
    }
    // VT5 keeps everything a picture of the program holds, at 8 bits per channel.
    listing.formats.push_back(
        {std::u16string(kNative), "Vantrel Image", true, {}, {}, 8, kNativeKeeps});
    for (auto& [ext, b] : best) {
        if (b.reader.empty() && b.writer.empty())
            continue;
        const FilterCheck& w = b.write_answer;
        const int depth = b.writer.empty()  ? 0
                          : w.deep_bits > 8 ? std::min<int>(w.deep_bits, 16)
                                            : 8;
        const std::uint16_t keeps = (w.keeps & VT_KEEPS_DECLARED) != 0 ? w.keeps : 0;
        listing.formats.push_back({ext, std::string(description_of(ext, formats)), false,
                                   std::move(b.reader), std::move(b.writer), depth, keeps});
    }
    return listing;
}

} // namespace

std::string keeps_text(std::uint16_t keeps) {
    if ((keeps & VT_KEEPS_DECLARED) == 0)
        return "?";
    static constexpr struct {
        std::uint16_t flag;
        const char* word;
    } kWords[] = {{VT_KEEPS_PROFILE, "profile"},
                  {VT_KEEPS_ALPHA, "alpha"},
                  {VT_KEEPS_RESOLUTION, "resolution"},
                  {VT_KEEPS_EXIF, "exif"},
                  {VT_KEEPS_XMP, "xmp"},
                  {VT_KEEPS_PAGES, "pages"},
                  {VT_KEEPS_LAYERS, "layers"},
                  {VT_KEEPS_ANIMATION, "animation"}};
    std::string text;
    for (const auto& w : kWords)
        if ((keeps & w.flag) != 0)
            text += (text.empty() ? "" : ",") + std::string(w.word);
    return text.empty() ? "-" : text;
}

std::span<const KnownFormat> known_formats() noexcept {
    return kFormats;
}

std::vector<FormatEntry> format_catalogue(plugins::FilterRegistry& registry,
                                          std::span<const KnownFormat> formats) {
    return walk_plugins(registry, formats, false).formats;
}

std::vector<PluginOption> plugin_options(plugins::FilterRegistry& registry) {
    std::vector<PluginOption> options;
    for (const std::u16string& path : registry.plugin_list()) {
        platform::DynamicLibrary library;
        if (library.open(path))
            add_options(library, options);
    }
    return options;
}

std::vector<PluginOption> options_of_owner(std::u16string_view name,
                                           plugins::FilterRegistry& registry) {
    const std::u16string_view owner = name.substr(0, name.find(u'.'));
    const std::vector<std::u16string> list = registry.plugin_list();
    const auto match = std::find_if(list.begin(), list.end(), [owner](const std::u16string& path) {
        const std::u16string_view file = platform::file_name_of(path);
        return file.size() == owner.size() + plugins::kPluginSuffix.size() &&
               file.starts_with(owner) && file.ends_with(plugins::kPluginSuffix);
    });
    std::vector<PluginOption> options;
    platform::DynamicLibrary library;
    if (!owner.empty() && match != list.end() && library.open(*match))
        add_options(library, options);
    return options;
}

PluginListing list_plugins(plugins::FilterRegistry& registry,
                           std::span<const KnownFormat> formats) {
    return walk_plugins(registry, formats, true);
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
