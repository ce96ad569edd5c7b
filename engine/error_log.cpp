#include "engine/error_log.h"

#include <cstdint>
#include <vector>

#include "base/fixed_text.h"
#include "base/le.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace vt::engine {
namespace {

constexpr int kOpenAttempts = 22; // one try and 21 retries

} // namespace

std::u16string error_log_path(std::u16string_view target_folder) {
    return platform::join_path(target_folder, u"_error_log.txt");
}

bool delete_error_log(std::u16string_view target_folder) {
    return platform::delete_file(error_log_path(target_folder), /*even_read_only=*/true);
}

bool append_error_log_line(std::u16string_view target_folder, std::u16string_view text) {
    const std::u16string path = error_log_path(target_folder);
    platform::File file;
    bool opened = false;
    for (int attempt = 0; attempt < kOpenAttempts && !opened; ++attempt) {
        if (attempt > 0) {
            // A viewer may hold the file a moment; after ten quick retries, wait a little.
            platform::yield_processor();
            if (attempt > 10)
                platform::sleep_ms(10);
        }
        opened = file.open_exclusive(path, platform::File::Mode::read_write_create);
    }
    if (!opened)
        return false;

    std::u16string line(text.substr(0, base::cut_length(text, kErrorLogLineLimit)));
    line.append(u"\r\n");
    std::vector<std::uint8_t> bytes(line.size() * 2);
    for (std::size_t i = 0; i < line.size(); ++i)
        base::store_le16(&bytes[2 * i], line[i]);
    return file.seek_end() && file.write(bytes) == bytes.size();
}

} // namespace vt::engine
