#pragma once
// What the installed plug-ins offer, for the target page and vtconvert --list-formats: which
// plug-in reads and which writes each format, and the options each plug-in keeps in the state
// store. Everything is asked of the plug-ins in the filter registry's list: each is asked, with
// its own flt_CheckLoad and flt_CheckSave, about the extensions of the known formats and those
// its own file holds as UTF-16 texts (its extension tables), so a format is listed because a
// plug-in says it reads or writes it, never because a table here names it.
// Thread: any; the registry locks.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plugins/filter_registry.h"
#include "plugins/state_store.h"

namespace vt::session {

struct KnownFormat {
    std::u16string_view extension; // lower case, with its dot
    std::string_view description;
};

// The formats the target page offers, and the other names the plug-ins commonly answer to,
// with their descriptions.
[[nodiscard]] std::span<const KnownFormat> known_formats() noexcept;

struct FormatEntry {
    std::u16string extension;
    std::string description;
    bool built_in = false; // read and written by the program itself (VT5)
    std::u16string reader; // the plug-in that reads it best; empty: none (write only)
    std::u16string writer; // the plug-in that writes it best; empty: none (read only)
    // The writer's save answer: the most bits per channel it writes (8 or 16) and what it keeps
    // of a picture (VT_KEEPS_* with VT_KEEPS_DECLARED; 0 when it does not say).
    int write_depth = 0;
    std::uint16_t keeps = 0;
};

// VT5 (built in) first, then every extension that a plug-in reads or writes, in the order of
// their code units. The reader and writer are the plug-ins the fronts would choose for a file
// of that name when the registry remembers none: the best answer, the earlier plug-in on a
// tie. A plug-in that claims everything is left out. The description comes from `formats`,
// else from known_formats(), else is empty.
[[nodiscard]] std::vector<FormatEntry>
format_catalogue(plugins::FilterRegistry& registry = plugins::filter_registry(),
                 std::span<const KnownFormat> formats = known_formats());

// What a writer keeps (FormatEntry::keeps) in words: "profile,alpha,resolution,exif,xmp,pages,
// layers,animation" for the flags set, "-" for none of them, "?" when the writer does not say.
[[nodiscard]] std::string keeps_text(std::uint16_t keeps);

struct PluginOption {
    std::string name;
    std::string default_value;
    std::string meaning;
    std::u16string plugin;
};

// The options of every plug-in in the registry's list, in list order, as the plug-ins describe
// them (at most 64 each). A plug-in that faults while answering lists none.
[[nodiscard]] std::vector<PluginOption>
plugin_options(plugins::FilterRegistry& registry = plugins::filter_registry());

// The options of the one plug-in an option name starts with ("fmx_JPEG.quality": fmx_JPEG.so),
// loading only that library; empty when the list has no plug-in of that name.
[[nodiscard]] std::vector<PluginOption>
options_of_owner(std::u16string_view name,
                 plugins::FilterRegistry& registry = plugins::filter_registry());

// Both at once, loading each plug-in once (vtconvert --list-formats).
struct PluginListing {
    std::vector<FormatEntry> formats;
    std::vector<PluginOption> options;
};
[[nodiscard]] PluginListing
list_plugins(plugins::FilterRegistry& registry = plugins::filter_registry(),
             std::span<const KnownFormat> formats = known_formats());

// Whether `value` is one the option declares in its meaning: "A to B" gives a range of whole
// numbers, a meaning that starts with "N: ..." lists the values (a lone "1:" is a switch, 0 or
// 1). Empty when it is, else why not; an option that declares neither takes any value.
[[nodiscard]] std::optional<std::string> check_option_value(const PluginOption& option,
                                                            std::string_view value);

// Sets a plug-in option: a whole number in the 32-bit range is stored as a little-endian 32-bit
// integer, anything else as UTF-8 text.
void set_plugin_option(std::u16string_view name, std::string_view value,
                       plugins::StateStore& store = plugins::state_store());

} // namespace vt::session
