#pragma once
// The conversion between decoded EXIF (exiv2's ExifData) and markup entries.
//
// Vocabulary keys (exif.make, exif.orientation, exif.GPS.latitude.pos, ...) carry the tags the
// rest of the program reads, in human-readable forms. Every other tag of IFD0, the EXIF IFD, the
// GPS IFD and the interoperability IFD goes under a generic key:
//   exif.image.<name>  exif.photo.<name>  exif.GPS.<name>  exif.iop.<name>
// where <name> is exiv2's tag name in snake case (a GPS tag without its "GPS" prefix), or the
// tag number as "0x" and four hex digits for a tag without a name. The generic value is the
// exact text form of exif_value_text.h, preceded by "(type) " when the stored type is not the
// tag's usual one. Left out: IFD1 (the thumbnail), the maker note, tags that hold offsets or
// describe strips and sub-IFDs, and values whose text would exceed kMaxValueText characters.
// Thread: any (no state beyond a name table built once).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <exiv2/exif.hpp>

#include "suite/core/markup_text.h"

namespace vt::core {

inline constexpr std::size_t kMaxValueText = 4096;

struct KeyValue {
    std::string key;
    std::string value;
};

// Entries for every tag that markup carries: the vocabulary first, then the generic keys in the
// order of the data. `order` is the byte order the block was decoded with.
std::vector<KeyValue> exif_to_markup(const Exiv2::ExifData& exif, Exiv2::ByteOrder order);

// Tags from every exif.* entry understood; entries that do not parse give no tag.
void markup_to_exif(const std::vector<MarkupEntry>& entries, Exiv2::ExifData& exif);

// Whether a tag never travels through markup (offsets, pointers, the maker note).
bool is_left_out(std::string_view group, std::uint16_t tag) noexcept;

// The generic key rule.
std::string generic_key(std::string_view group, std::uint16_t tag);

} // namespace vt::core
