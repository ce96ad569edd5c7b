// The settings file as another program (or a damaged disk) may have left it.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto record = vt::engine::parse_settings(bytes);
    if (!record)
        return 0;
    // A record that parses writes back the fields it read, with the reserved bytes zero.
    const auto again = vt::engine::SettingsRecord::from_bytes(record->to_bytes().data());
    if (again.to_bytes() != record->to_bytes() || !again.valid())
        std::abort();
    return 0;
}
