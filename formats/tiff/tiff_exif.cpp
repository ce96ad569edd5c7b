#include "formats/tiff/tiff_exif.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace vt::formats::tiff {
namespace {

constexpr std::uint16_t kExifPointer = 0x8769;
constexpr std::uint16_t kGpsPointer = 0x8825;
constexpr std::uint16_t kInteropPointer = 0xA005;
constexpr std::uint32_t kMaxEntries = 1000;
constexpr std::uint64_t kMaxClassicOffset = 0xFFFFFFFFu;

// Tags the page's own directory describes or that libtiff writes itself: never copied.
constexpr std::array<std::uint16_t, 22> kPageTags = {256, 257, 258, 259, 262,   273,  277, 278,
                                                     279, 284, 322, 323, 324,   325,  330, 338,
                                                     339, 513, 514, 700, 34665, 34675};

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v & 0xFFFF);
    put16(p + 2, v >> 16);
}

std::uint32_t type_size(std::uint16_t type) {
    static constexpr std::uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < 13 ? kSizes[type] : 0;
}

struct Entry {
    std::uint16_t tag;
    std::array<std::uint8_t, 12> bytes;
};

// Bytes appended to the file, which start at `base` there.
struct Tail {
    std::uint64_t base;
    std::vector<std::uint8_t> bytes;

    std::uint64_t reserve(std::size_t n) {
        if (bytes.size() % 2 != 0)
            bytes.push_back(0); // TIFF wants even offsets
        const std::uint64_t at = base + bytes.size();
        bytes.resize(bytes.size() + n, 0);
        return at;
    }
    std::uint8_t* at(std::uint64_t offset) { return bytes.data() + (offset - base); }
};

class Copier {
public:
    Copier(std::span<const std::uint8_t> block, Tail& tail) : m_block(block), m_tail(tail) {}

    // Copies one entry's value: inline values as they are, the rest into the tail, pointers to
    // the interoperability directory as a copy of that directory. False on bad data.
    bool copy_entry(const std::uint8_t* source, Entry& out, int depth) {
        out.tag = le16(source);
        std::memcpy(out.bytes.data(), source, 12);
        const std::uint16_t type = le16(source + 2);
        const std::uint32_t count = le32(source + 4);
        if (out.tag == kInteropPointer && depth == 1) {
            std::uint64_t copied = 0;
            if (!copy_directory(le32(source + 8), depth + 1, copied))
                return false;
            put16(out.bytes.data() + 2, 4);
            put32(out.bytes.data() + 4, 1);
            put32(out.bytes.data() + 8, static_cast<std::uint32_t>(copied));
            return true;
        }
        const std::uint64_t size = std::uint64_t{type_size(type)} * count;
        if (type_size(type) == 0)
            return false;
        if (size <= 4)
            return true;
        const std::uint32_t from = le32(source + 8);
        if (from > m_block.size() || size > m_block.size() - from)
            return false;
        const std::uint64_t to = m_tail.reserve(static_cast<std::size_t>(size));
        std::memcpy(m_tail.at(to), m_block.data() + from, static_cast<std::size_t>(size));
        put32(out.bytes.data() + 8, static_cast<std::uint32_t>(to));
        return true;
    }

    // Copies the directory at `offset` of the block into the tail; its new offset in `copied`.
    bool copy_directory(std::uint32_t offset, int depth, std::uint64_t& copied) {
        if (depth > 2 || offset < 8 || m_block.size() < 2 || offset > m_block.size() - 2)
            return false;
        const std::uint32_t count = le16(m_block.data() + offset);
        if (count > kMaxEntries || 2 + 12u * count + 4 > m_block.size() - offset)
            return false;
        copied = m_tail.reserve(2 + 12u * count + 4);
        put16(m_tail.at(copied), count);
        for (std::uint32_t i = 0; i < count; ++i) {
            Entry entry{};
            if (!copy_entry(m_block.data() + offset + 2 + 12 * i, entry, depth))
                return false;
            // The tail may have moved; the directory's place in it has not.
            std::memcpy(m_tail.at(copied) + 2 + 12 * i, entry.bytes.data(), 12);
        }
        return true;
    }

private:
    std::span<const std::uint8_t> m_block;
    Tail& m_tail;
};

bool read_at(std::FILE* file, std::uint64_t offset, void* out, std::size_t n) {
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, n, file) == n;
}

bool write_at(std::FILE* file, std::uint64_t offset, const void* data, std::size_t n) {
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fwrite(data, 1, n, file) == n;
}

// The page's first directory: its entries and the offset of the next one.
bool read_first_directory(std::FILE* file, std::vector<Entry>& entries, std::uint32_t& next) {
    std::uint8_t header[8];
    if (!read_at(file, 0, header, 8) || std::memcmp(header, "II*\0", 4) != 0)
        return false;
    const std::uint32_t first = le32(header + 4);
    std::uint8_t count_bytes[2];
    if (!read_at(file, first, count_bytes, 2))
        return false;
    const std::uint32_t count = le16(count_bytes);
    if (count > kMaxEntries)
        return false;
    std::vector<std::uint8_t> bytes(12u * count + 4);
    if (!read_at(file, first + 2u, bytes.data(), bytes.size()))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        Entry e{};
        e.tag = le16(&bytes[12 * i]);
        std::memcpy(e.bytes.data(), &bytes[12 * i], 12);
        entries.push_back(e);
    }
    next = le32(&bytes[12u * count]);
    return true;
}

bool has_tag(const std::vector<Entry>& entries, std::uint16_t tag) {
    return std::any_of(entries.begin(), entries.end(),
                       [tag](const Entry& e) { return e.tag == tag; });
}

} // namespace

bool attach_exif(std::FILE* file, std::span<const std::uint8_t> exif) {
    static constexpr std::uint8_t kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= 6 && std::memcmp(exif.data(), kExifId, 6) == 0)
        exif = exif.subspan(6);
    if (file == nullptr || exif.size() < 8 || std::memcmp(exif.data(), "II*\0", 4) != 0)
        return false;
    std::vector<Entry> page;
    std::uint32_t next = 0;
    if (!read_first_directory(file, page, next) || std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long end = std::ftell(file);
    if (end < 8)
        return false;

    Tail tail{static_cast<std::uint64_t>(end) + static_cast<std::uint64_t>(end % 2), {}};
    Copier copier(exif, tail);
    const std::uint32_t first = le32(exif.data() + 4);
    if (first < 8 || exif.size() < 2 || first > exif.size() - 2)
        return false;
    const std::uint32_t count = le16(exif.data() + first);
    if (count > kMaxEntries || 2 + 12u * count > exif.size() - first)
        return false;
    std::vector<Entry> added;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* source = exif.data() + first + 2 + 12 * i;
        const std::uint16_t tag = le16(source);
        if (has_tag(page, tag))
            continue;
        Entry entry{};
        if (tag == kExifPointer || tag == kGpsPointer) {
            std::uint64_t copied = 0;
            if (!copier.copy_directory(le32(source + 8), 1, copied))
                return false;
            entry.tag = tag;
            put16(entry.bytes.data(), tag);
            put16(entry.bytes.data() + 2, 4);
            put32(entry.bytes.data() + 4, 1);
            put32(entry.bytes.data() + 8, static_cast<std::uint32_t>(copied));
        } else if (std::find(kPageTags.begin(), kPageTags.end(), tag) != kPageTags.end() ||
                   !copier.copy_entry(source, entry, 0)) {
            continue;
        }
        added.push_back(entry);
    }
    if (added.empty())
        return false;
    page.insert(page.end(), added.begin(), added.end());
    std::stable_sort(page.begin(), page.end(),
                     [](const Entry& a, const Entry& b) { return a.tag < b.tag; });

    const std::uint64_t directory = tail.reserve(2 + 12 * page.size() + 4);
    put16(tail.at(directory), static_cast<std::uint32_t>(page.size()));
    for (std::size_t i = 0; i < page.size(); ++i)
        std::memcpy(tail.at(directory) + 2 + 12 * i, page[i].bytes.data(), 12);
    put32(tail.at(directory) + 2 + 12 * page.size(), next);
    if (tail.base + tail.bytes.size() > kMaxClassicOffset)
        return false;

    // The additions first, the header's pointer to them last.
    std::uint8_t pointer[4];
    put32(pointer, static_cast<std::uint32_t>(directory));
    const std::uint8_t pad = 0;
    return (end % 2 == 0 || write_at(file, static_cast<std::uint64_t>(end), &pad, 1)) &&
           write_at(file, tail.base, tail.bytes.data(), tail.bytes.size()) &&
           std::fflush(file) == 0 && write_at(file, 4, pointer, 4) && std::fflush(file) == 0;
}

} // namespace vt::formats::tiff
