#include "suite/core/core_exif.h"

#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>

#include <exiv2/error.hpp>
#include <exiv2/exif.hpp>
#include <exiv2/types.hpp>

#include "suite/core/exif_markup.h"
#include "suite/core/markup_text.h"

namespace vt::core {

namespace {

constexpr std::uint8_t kExifMarker[6] = {'E', 'x', 'i', 'f', 0, 0};

// A markup text longer than this is not read further (the host's texts are far shorter).
constexpr std::size_t kMaxMarkup = 16u << 20;

bool is_tiff_header(const std::uint8_t* p, std::uint32_t size) {
    return size >= 8 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
                         (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42));
}

} // namespace

void mute_exiv2() noexcept {
    static std::once_flag once;
    std::call_once(once, [] { Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute); });
}

std::int32_t markup_from_exif(char* out, std::uint32_t capacity, const void* exif,
                              std::uint32_t size) {
    if (out == nullptr || capacity == 0)
        return 0;
    out[0] = '\0';
    if (exif == nullptr)
        return 0;
    const auto* data = static_cast<const std::uint8_t*>(exif);
    if (size >= sizeof(kExifMarker) && std::memcmp(data, kExifMarker, sizeof(kExifMarker)) == 0) {
        data += sizeof(kExifMarker);
        size -= static_cast<std::uint32_t>(sizeof(kExifMarker));
    }
    if (!is_tiff_header(data, size))
        return 0;
    mute_exiv2();
    Exiv2::ExifData decoded;
    const Exiv2::ByteOrder order = Exiv2::ExifParser::decode(decoded, data, size);
    MarkupWriter writer(out, capacity);
    for (const KeyValue& entry : exif_to_markup(decoded, order))
        if (!writer.add(entry.key, entry.value))
            break;
    return writer.entries() > 0 ? 1 : 0;
}

std::int32_t markup_to_exif(const char* markup, void* out, std::uint32_t capacity) {
    if (markup == nullptr)
        return 0;
    mute_exiv2();
    const std::string_view text(markup, ::strnlen(markup, kMaxMarkup));
    Exiv2::ExifData exif;
    vt::core::markup_to_exif(parse_markup(text), exif);
    if (exif.empty())
        return 0;
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, nullptr, 0, Exiv2::littleEndian, exif);
    if (blob.empty() ||
        blob.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    const auto needed = static_cast<std::int32_t>(blob.size());
    if (out == nullptr || blob.size() > capacity)
        return -needed;
    std::memcpy(out, blob.data(), blob.size());
    return needed;
}

} // namespace vt::core
