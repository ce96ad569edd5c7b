#pragma once
// A fresh folder under the temporary folder, removed with everything in it at the end.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "base/utf.h"

namespace vt::test {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vt-test-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data()) ? pattern : std::string{};
    }
    ~TempFolder() {
        std::error_code ec;
        // Read-only leftovers must not stop the clean-up.
        for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    [[nodiscard]] const std::string& path() const { return m_path; }
    [[nodiscard]] std::u16string path16() const { return base::utf8_to_utf16(m_path); }
    [[nodiscard]] std::string operator/(std::string_view name) const {
        return m_path + "/" + std::string(name);
    }
    [[nodiscard]] std::u16string sub16(std::string_view name) const {
        return base::utf8_to_utf16(*this / name);
    }

    // Writes a file (creating its folders) with the given bytes.
    void write(std::string_view name, std::string_view bytes = "x") const {
        const std::filesystem::path p = *this / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    [[nodiscard]] std::string read(std::string_view name) const {
        std::ifstream in(*this / name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    [[nodiscard]] bool exists(std::string_view name) const {
        return std::filesystem::exists(*this / name);
    }

private:
    std::string m_path;
};

inline std::string u8(std::u16string_view text) {
    return base::utf16_to_utf8(text);
}

} // namespace vt::test
