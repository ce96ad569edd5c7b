#include "plugins/core_bridge.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "base/text.h"
#include "base/utf.h"
#include "image/markup_buffer.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/suite_config.h"
#include "plugins/host_services.h"
#include "sdk/vt_core.h"

namespace vt::plugins {
namespace {

constexpr int kTempNameTries = 100;
constexpr std::size_t kMaxNameExtension = 15;

platform::DynamicLibrary open_core() {
    platform::DynamicLibrary library;
    if (const std::u16string path = core_library_path(); !path.empty())
        (void)library.open(path);
    return library;
}

template <class Fn>
Fn core_function(const platform::DynamicLibrary& library, const char* name) {
    return library ? reinterpret_cast<Fn>(library.symbol(name)) : nullptr;
}

bool starts_with(std::span<const std::uint8_t> data, std::size_t offset, const char* text) {
    const std::size_t n = std::strlen(text);
    return data.size() >= offset + n && std::memcmp(data.data() + offset, text, n) == 0;
}

std::u16string sniff_extension(std::span<const std::uint8_t> data) {
    static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (starts_with(data, 0, "_VT5"))
        return u"vt5";
    if (data.size() >= 8 && std::memcmp(data.data(), kPng, 8) == 0)
        return u"png";
    if (starts_with(data, 0, "GIF87a") || starts_with(data, 0, "GIF89a"))
        return u"gif";
    if (data.size() >= 4 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF &&
        (starts_with(data, 6, "JFIF") || data[3] == 0xDB || data[3] == 0xEE ||
         starts_with(data, 4, "Exif")))
        return u"jpg";
    if (starts_with(data, 0, "RIFF") && starts_with(data, 8, "ACON"))
        return u"ani";
    if (starts_with(data, 0, "RIFF") && starts_with(data, 8, "WEBP"))
        return u"webp";
    return u"tmp";
}

std::uint32_t thread_number() {
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

std::uint32_t random_below_32768() {
    thread_local std::minstd_rand generator(std::random_device{}() ^ thread_number());
    return static_cast<std::uint32_t>(generator() % 32768u);
}

// A temporary file holding `data`, deleted when the object goes.
class TempFile {
public:
    TempFile() = default;
    ~TempFile() {
        if (!m_path.empty())
            (void)platform::delete_file(m_path, true);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool create(std::u16string_view extension, std::span<const std::uint8_t> data) {
        const std::u16string folder =
            platform::temp_folder(platform::suite_config().temp_override());
        for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
            char name[64];
            std::snprintf(name, sizeof(name), "_vtl_pibi_%08x%04x.", thread_number(),
                          random_below_32768());
            const std::u16string path =
                platform::join_path(folder, base::ascii_to_utf16(name) + std::u16string(extension));
            const int fd = ::open(platform::to_os_path(path).c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                return false;
            }
            m_path = path;
            const bool complete = write_all(fd, data);
            const bool closed = ::close(fd) == 0;
            return complete && closed;
        }
        return false;
    }
    [[nodiscard]] const std::u16string& path() const { return m_path; }

private:
    static bool write_all(int fd, std::span<const std::uint8_t> data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::u16string m_path;
};

// The path the core library reads: the request's own, or a temporary copy of its data.
bool source_path(const VtImageRequest& request, TempFile& temp, const std::uint16_t*& path) {
    if (request.path != nullptr) {
        path = request.path;
        return true;
    }
    if (request.data == nullptr || request.size < 4)
        return false;
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(request.data),
                                             request.size);
    std::u16string name;
    for (const std::uint16_t* c = request.name; c != nullptr && *c != 0 && name.size() < 4096; ++c)
        name += static_cast<char16_t>(*c);
    if (!temp.create(memory_load_extension(name, data), data))
        return false;
    path = reinterpret_cast<const std::uint16_t*>(temp.path().c_str());
    return true;
}

// Copies the library's pixels into a new host image.
bool take_pixels(VtImage* image, const VtCoreImage& loaded) {
    const pi_BasicImage* service = basic_image_table();
    if (loaded.pixels == nullptr || loaded.width == 0 || loaded.height == 0 ||
        loaded.stride < loaded.width || service->create(image, loaded.width, loaded.height) == 0)
        return false;
    for (std::uint32_t y = 0; y < loaded.height; ++y)
        std::memcpy(image->pixels + static_cast<std::size_t>(y) * image->stride,
                    loaded.pixels + static_cast<std::size_t>(y) * loaded.stride,
                    static_cast<std::size_t>(loaded.width) * 4);
    return true;
}

} // namespace

std::u16string core_library_path() {
    const std::u16string folder = platform::suite_program_folder();
    if (folder.empty() || folder.front() != u'/')
        return {};
    return platform::join_path(folder, u"" VT_CORE_LIBRARY_NAME);
}

std::u16string memory_load_extension(std::u16string_view name, std::span<const std::uint8_t> data) {
    const std::u16string_view ext = platform::extension_of(name);
    if (ext.size() >= 2 && ext.size() <= kMaxNameExtension + 1)
        return std::u16string(ext.substr(1));
    return sniff_extension(data);
}

std::int32_t core_export_exif(const MarkupBuffer* mb, void* out, std::uint32_t capacity) noexcept {
    if (mb == nullptr || out == nullptr || capacity == 0)
        return 0;
    try {
        const platform::DynamicLibrary library = open_core();
        const auto to_exif = core_function<VtCoreMarkupToExifFn>(library, "core_MarkupToEXIF");
        if (to_exif == nullptr)
            return 0;
        return to_exif(mb->text != nullptr ? mb->text : "", out, capacity);
    } catch (...) {
        return 0;
    }
}

std::int32_t core_import_exif(MarkupBuffer* mb, const void* exif, std::uint32_t size) noexcept {
    if (mb == nullptr || exif == nullptr || size < 4)
        return 0;
    try {
        const platform::DynamicLibrary library = open_core();
        const auto from_exif =
            core_function<VtCoreMarkupFromExifFn>(library, "core_MarkupFromEXIF");
        if (from_exif == nullptr)
            return 0;
        const auto text = std::make_unique<char[]>(VT_CORE_MARKUP_CAPACITY);
        text[0] = '\0';
        if (from_exif(text.get(), VT_CORE_MARKUP_CAPACITY, exif, size) == 0)
            return 0;
        text[VT_CORE_MARKUP_CAPACITY - 1] = '\0';
        return image::markup_buffer_append(mb, text.get());
    } catch (...) {
        return 0;
    }
}

std::int32_t core_load_image(VtImage* image, VtImageRequest* request) noexcept {
    if (image == nullptr || request == nullptr)
        return 0;
    try {
        const platform::DynamicLibrary library = open_core();
        const auto load = core_function<VtCoreLoadImageFn>(library, "core_LoadImage");
        if (load == nullptr) {
            request->core_missing = 1;
            return 0;
        }
        TempFile temp;
        const std::uint16_t* path = nullptr;
        if (!source_path(*request, temp, path))
            return 0;
        VtCoreRequest block{};
        block.version = VT_CORE_REQUEST_VERSION;
        block.flags = request->flags;
        block.option = request->option;
        VtCoreImage loaded{};
        const std::int32_t result = load(&loaded, path, &block);
        request->answer = block.answer;
        request->extra1 = block.extra1;
        request->extra2 = block.extra2;
        if (result == 0) {
            std::free(loaded.pixels);
            return 0;
        }
        const bool taken = take_pixels(image, loaded);
        std::free(loaded.pixels);
        if (!taken) {
            std::free(reinterpret_cast<void*>(block.extra1));
            request->extra1 = 0;
            return 0;
        }
        return result;
    } catch (...) {
        return 0;
    }
}

std::int32_t core_save_image(VtImage* image, VtImageRequest* request) noexcept {
    if (image == nullptr || request == nullptr || request->path == nullptr)
        return 0;
    try {
        const platform::DynamicLibrary library = open_core();
        const auto save = core_function<VtCoreSaveImageFn>(library, "core_SaveImage");
        if (save == nullptr) {
            request->core_missing = 1;
            return 0;
        }
        const pi_BasicImage* service = basic_image_table();
        if (service->lock(image) == 0)
            return 0;
        const VtCoreImage picture{image->width, image->height, image->stride, image->pixels};
        VtCoreRequest block{};
        block.version = VT_CORE_REQUEST_VERSION;
        block.flags = request->flags;
        block.extra1 = request->extra1;
        block.extra2 = request->extra2;
        const std::int32_t result = save(&picture, request->path, &block);
        request->answer = block.answer;
        service->unlock(image);
        return result;
    } catch (...) {
        return 0;
    }
}

} // namespace vt::plugins
