#include "platform/dynamic_library.h"

#include <utility>

#include <dlfcn.h>

#include "platform/files.h"

namespace vt::platform {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_path(std::move(other.m_path)),
      m_error(std::move(other.m_error)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        reset();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_path = std::move(other.m_path);
        m_error = std::move(other.m_error);
    }
    return *this;
}

bool DynamicLibrary::open(std::u16string_view path) {
    reset();
    m_path = path;
    // A bare name would be looked for on the library search path, where an empty entry means
    // the current folder: whatever lies there would run as this user.
    if (path.empty() || path.front() != u'/') {
        m_error = "not an absolute path";
        return false;
    }
    m_handle = ::dlopen(to_os_path(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* why = ::dlerror();
        m_error = why ? why : "cannot load library";
        return false;
    }
    m_error.clear();
    return true;
}

void DynamicLibrary::reset() noexcept {
    if (m_handle)
        ::dlclose(m_handle);
    m_handle = nullptr;
}

void* DynamicLibrary::symbol(const char* name) const noexcept {
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

} // namespace vt::platform
