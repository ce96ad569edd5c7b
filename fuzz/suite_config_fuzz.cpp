// "suite_config.bin" is written by every program of the suite, some of them older than this one.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/le.h"
#include "platform/suite_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vt::platform::SuiteConfig;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const SuiteConfig c = SuiteConfig::from_file_bytes(bytes, size % 2 ? 300 : 0);
    (void)c.language();
    (void)c.temp_override();
    // Texts always end inside their fields, and an accepted record says what it is.
    if (c.language().size() > 63 || c.temp_override().size() > 63)
        std::abort();
    if (c.accepted() && vt::base::load_le32(&c.bytes()[4]) != vt::platform::kSuiteConfigSize)
        std::abort();
    return 0;
}
