#pragma once
// What the suite core tests share: the built library opened the way the host opens it, the
// conformance folder, and reading markup text back into entries.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "sdk/vt_core.h"

namespace vt::test {

class CoreLibrary {
public:
    CoreLibrary() : m_handle(::dlopen(VT_CORE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (m_handle == nullptr)
            return;
        load = reinterpret_cast<VtCoreLoadImageFn>(::dlsym(m_handle, "core_LoadImage"));
        save = reinterpret_cast<VtCoreSaveImageFn>(::dlsym(m_handle, "core_SaveImage"));
        to_exif = reinterpret_cast<VtCoreMarkupToExifFn>(::dlsym(m_handle, "core_MarkupToEXIF"));
        from_exif =
            reinterpret_cast<VtCoreMarkupFromExifFn>(::dlsym(m_handle, "core_MarkupFromEXIF"));
    }
    ~CoreLibrary() {
        if (m_handle != nullptr)
            ::dlclose(m_handle);
    }
    CoreLibrary(const CoreLibrary&) = delete;
    CoreLibrary& operator=(const CoreLibrary&) = delete;

    bool complete() const { return m_handle != nullptr && load && save && to_exif && from_exif; }

    VtCoreLoadImageFn load = nullptr;
    VtCoreSaveImageFn save = nullptr;
    VtCoreMarkupToExifFn to_exif = nullptr;
    VtCoreMarkupFromExifFn from_exif = nullptr;

private:
    void* m_handle;
};

// The shared conformance images, or empty when this machine has none.
inline std::filesystem::path testdata(std::string_view sub) {
    const char* root = std::getenv("VT_SHARED_TESTDATA");
    if (root == nullptr || *root == 0)
        return {};
    const std::filesystem::path p = std::filesystem::path(root) / sub;
    return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

// Whether the text is nothing but entries "\r\nkey=value;" with dotted ASCII keys.
inline bool well_formed_markup(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.compare(at, 2, "\r\n") != 0)
            return false;
        at += 2;
        const std::size_t eq = text.find('=', at);
        if (eq == std::string_view::npos || eq == at)
            return false;
        for (std::size_t i = at; i < eq; ++i) {
            const char c = text[i];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_'))
                return false;
        }
        const std::size_t end = text.find_first_of(";\r\n", eq + 1);
        if (end == std::string_view::npos || text[end] != ';')
            return false;
        at = end + 1;
    }
    return true;
}

// The entries of a text written by the library, key -> value.
inline std::map<std::string, std::string> markup_entries(std::string_view text) {
    std::map<std::string, std::string> entries;
    std::size_t at = 0;
    while ((at = text.find("\r\n", at)) != std::string_view::npos) {
        at += 2;
        const std::size_t eq = text.find('=', at);
        const std::size_t end = text.find(';', eq);
        if (eq == std::string_view::npos || end == std::string_view::npos)
            break;
        entries.emplace(text.substr(at, eq - at), text.substr(eq + 1, end - eq - 1));
        at = end + 1;
    }
    return entries;
}

} // namespace vt::test
