// "user-dirs.dirs" is written by the desktop and edited by hand.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/folders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::u16string folder = vt::platform::user_dir_from(text, "XDG_DOCUMENTS_DIR", u"/h");
    // Whatever the file says, the answer is an absolute folder or nothing.
    if (!folder.empty() && folder.front() != u'/')
        std::abort();
    return 0;
}
