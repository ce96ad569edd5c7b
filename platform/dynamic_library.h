#pragma once
// A loaded shared library (dlopen with RTLD_NOW | RTLD_LOCAL), closed when the object goes.
// Symbolic links are followed, as the loader does.
// Thread: any; one object is not shared between threads without a lock.

#include <string>
#include <string_view>

namespace vt::platform {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { reset(); }
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads `path`, which must be absolute (a bare name is refused, never looked for on the
    // library search path); on failure the object is empty and error() says why.
    bool open(std::u16string_view path);
    void reset() noexcept;

    [[nodiscard]] explicit operator bool() const noexcept { return m_handle != nullptr; }
    [[nodiscard]] void* symbol(const char* name) const noexcept;
    [[nodiscard]] const std::u16string& path() const noexcept { return m_path; }
    [[nodiscard]] const std::string& error() const noexcept { return m_error; }

private:
    void* m_handle = nullptr;
    std::u16string m_path;
    std::string m_error;
};

} // namespace vt::platform
