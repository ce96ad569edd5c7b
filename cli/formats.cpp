#include "cli/formats.h"

#include <string>

#include "base/utf.h"
#include "platform/dynamic_library.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "plugins/plugin_interface.h"

namespace vt::cli {
namespace {

struct KnownFormat {
    const char16_t* extension;
    const char* description;
};

// The formats the target page offers, and the other names the plug-ins commonly answer to.
constexpr KnownFormat kFormats[] = {
    {u".avi", "Video (AVI)"},
    {u".bmp", "Bitmap (Windows Format)"},
    {u".vt5", "Vantrel Image"},
    {u".dds", "DirectDraw Surface"},
    {u".gif", "GIF (Animated)"},
    {u".jpg", "JPEG/JFIF Image"},
    {u".jpeg", "JPEG/JFIF Image"},
    {u".jp2", "JPEG-2000 image-data"},
    {u".j2k", "JPEG-2000 codestream"},
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

std::string plugin_name(const std::u16string& path) {
    return path.empty() ? "-" : base::utf16_to_utf8(platform::file_name_of(path));
}

// Each plug-in's options in the state store, as it describes them.
void print_options(std::FILE* out, plugins::FilterRegistry& registry) {
    bool heading = false;
    const std::size_t count = registry.refresh_plugin_list();
    for (std::size_t i = 0; i < count; ++i) {
        platform::DynamicLibrary library;
        if (!library.open(registry.plugin_path(i)))
            continue;
        const auto entries = reinterpret_cast<VtStateEntriesFn>(library.symbol("plg_StateEntries"));
        const VtStateEntry* entry = entries != nullptr ? entries() : nullptr;
        for (int n = 0; entry != nullptr && entry->name != nullptr && n < 64; ++entry, ++n) {
            if (!heading) {
                std::fprintf(out, "\nOPTIONS (vtconvert --set NAME=VALUE)\n%-26s %-10s %s\n",
                             "NAME", "DEFAULT", "MEANING");
                heading = true;
            }
            std::fprintf(out, "%-26s %-10s %s\n", entry->name,
                         entry->default_value != nullptr ? entry->default_value : "",
                         entry->meaning != nullptr ? entry->meaning : "");
        }
    }
}

} // namespace

void print_formats(std::FILE* out) {
    auto& registry = plugins::filter_registry();
    std::fprintf(out, "%-7s %-26s %-16s %s\n", "FORMAT", "DESCRIPTION", "READ BY", "WRITTEN BY");
    std::fprintf(out, "%-7s %-26s %-16s %s\n", ".vt5", "Vantrel Image", "(built in)", "(built in)");
    int listed = 0;
    for (const KnownFormat& f : kFormats) {
        if (std::u16string_view(f.extension) == u".vt5")
            continue;
        const std::u16string name = std::u16string(u"x") + f.extension;
        std::u16string reader;
        for (const auto& c : plugins::candidates_for_load(plugins::make_check(name), registry)) {
            if (c.score > 0) {
                reader = c.path;
                break;
            }
        }
        const std::u16string writer = plugins::find_save_plugin(name, registry).value_or(u"");
        if (reader.empty() && writer.empty())
            continue;
        std::fprintf(out, "%-7s %-26s %-16s %s\n", base::utf16_to_utf8(f.extension).c_str(),
                     f.description, plugin_name(reader).c_str(), plugin_name(writer).c_str());
        ++listed;
    }
    if (listed == 0)
        std::fprintf(out, "(no format plug-ins found in %s)\n",
                     base::utf16_to_utf8(platform::plugins_folder()).c_str());
    print_options(out, registry);
}

} // namespace vt::cli
