#include "sdk/kit/paths.h"

#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf.h"

namespace vt::kit {
namespace {

// A half-written file must not pass for a picture.
std::int32_t close_target(std::FILE* file, const std::string& name, std::int32_t result) {
    if (std::fclose(file) != 0 && result == VT_OK)
        result = VT_ERR_WRITE;
    if (result != VT_OK)
        std::remove(name.c_str());
    return result;
}

} // namespace

std::string to_utf8(const std::uint16_t* path) {
    if (path == nullptr)
        return {};
    return base::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(path)));
}

void append_utf8(std::string& out, char32_t code_point) {
    base::append_utf8(out, code_point);
}

SourceFile::~SourceFile() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

std::int32_t SourceFile::open(const std::uint16_t* path) {
    const std::string name = to_utf8(path);
    if (name.empty() || m_file != nullptr)
        return VT_ERR_OPEN_READ;
    m_file = std::fopen(name.c_str(), "rb");
    if (m_file == nullptr)
        return VT_ERR_OPEN_READ;
    if (std::fseek(m_file, 0, SEEK_END) != 0)
        return VT_ERR_READ;
    const long size = std::ftell(m_file);
    if (size < 0 || std::fseek(m_file, 0, SEEK_SET) != 0)
        return VT_ERR_READ;
    m_size = static_cast<std::uint64_t>(size);
    return VT_OK;
}

MappedFile::~MappedFile() {
    if (m_data != nullptr)
        ::munmap(const_cast<std::uint8_t*>(m_data), m_size);
}

std::int32_t MappedFile::open(const std::uint16_t* path) {
    const std::string name = to_utf8(path);
    if (name.empty() || m_data != nullptr)
        return VT_ERR_OPEN_READ;
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return VT_ERR_OPEN_READ;
    struct stat st {};
    std::int32_t result = VT_OK;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        result = VT_ERR_READ;
    } else if (st.st_size > 0) {
        void* map =
            ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) {
            result = errno == ENOMEM ? VT_ERR_OUT_OF_MEMORY : VT_ERR_READ;
        } else {
            m_data = static_cast<const std::uint8_t*>(map);
            m_size = static_cast<std::size_t>(st.st_size);
        }
    }
    ::close(fd);
    return result;
}

std::int32_t read_file(const std::uint16_t* path, std::vector<std::uint8_t>& bytes) {
    SourceFile file;
    if (const std::int32_t r = file.open(path); r != VT_OK)
        return r;
    if (file.size() > static_cast<std::uint64_t>(kMaxFileBytes))
        return VT_ERR_DIMENSIONS;
    bytes.resize(static_cast<std::size_t>(file.size()));
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        return VT_ERR_READ;
    return VT_OK;
}

std::int32_t write_target_bytes(const std::uint16_t* path, std::span<const std::uint8_t> bytes) {
    return write_target(path, [bytes](std::FILE* file) {
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size()
                   ? std::int32_t{VT_OK}
                   : std::int32_t{VT_ERR_WRITE};
    });
}

TargetStream::~TargetStream() {
    if (m_file != nullptr) { // an encoder threw: nothing of it stays
        std::fclose(m_file);
        std::remove(m_name.c_str());
    }
}

std::size_t TargetStream::write(const void* data, std::size_t size) {
    if (m_file == nullptr && !m_open_failed) {
        m_file = std::fopen(m_name.c_str(), "wb");
        m_open_failed = m_file == nullptr;
    }
    if (m_file == nullptr || size == 0)
        return 0;
    return std::fwrite(data, 1, size, m_file);
}

std::int32_t TargetStream::finish(std::int32_t result) {
    if (m_open_failed)
        result = VT_ERR_OPEN_WRITE;
    if (m_file == nullptr)
        return result;
    std::FILE* file = m_file;
    m_file = nullptr;
    return close_target(file, m_name, result);
}

namespace detail {

std::int32_t write_target(const std::uint16_t* path,
                          std::int32_t (*encode)(void* context, std::FILE* file), void* context) {
    const std::string name = to_utf8(path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return VT_ERR_OPEN_WRITE;
    std::int32_t result = VT_ERR_INTERNAL;
    try {
        result = encode(context, file);
    } catch (...) {
        (void)close_target(file, name, VT_ERR_INTERNAL);
        throw;
    }
    return close_target(file, name, result);
}

std::int32_t write_target_lazily(const std::uint16_t* path,
                                 std::int32_t (*encode)(void* context, TargetStream& out),
                                 void* context) {
    std::string name = to_utf8(path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    TargetStream out(std::move(name));
    const std::int32_t result = encode(context, out);
    return out.finish(result);
}

std::int32_t write_target_named(const std::uint16_t* path,
                                std::int32_t (*encode)(void* context, const std::string& name),
                                void* context) {
    const std::string name = to_utf8(path);
    if (name.empty())
        return VT_ERR_OPEN_WRITE;
    std::int32_t result = VT_ERR_INTERNAL;
    try {
        result = encode(context, name);
    } catch (...) {
        std::remove(name.c_str());
        throw;
    }
    if (result != VT_OK && result != VT_ERR_OPEN_WRITE)
        std::remove(name.c_str());
    return result;
}

} // namespace detail
} // namespace vt::kit
