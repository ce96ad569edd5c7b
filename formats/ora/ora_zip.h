#pragma once
// The zip side of the layered zip formats (OpenRaster, Krita): entries read from a file held in
// memory with their sizes checked before anything is allocated, and a new archive built in
// memory with its entries in the order they are added.
// Result codes are the plug-in edge's. Thread: any, each object on one thread.

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

struct zip;
struct zip_source;

namespace vt::formats {

class ZipReader {
public:
    ZipReader() = default;
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // Opens the archive in `bytes`, which must outlive the reader: VT_OK, or -1 when it is no
    // zip archive, -42 when it ends early, -44 when its directory is inconsistent.
    [[nodiscard]] std::int32_t open(std::span<const std::uint8_t> bytes);
    [[nodiscard]] bool has(const char* name) const;
    // The entry's bytes when it unpacks to at most `limit` bytes and no more than deflate's best
    // ratio allows (a zip bomb is refused before its memory is taken): VT_OK, -3 no such entry,
    // -13 too large, -44 a lying size, a bad checksum or an unknown method.
    [[nodiscard]] std::int32_t read(const char* name, std::vector<std::uint8_t>& out,
                                    std::uint64_t limit) const;

private:
    struct zip* m_zip = nullptr;
};

class ZipWriter {
public:
    ZipWriter();
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Adds an entry holding `bytes`, stored as it is or deflated; false when it cannot.
    bool add(const char* name, std::vector<std::uint8_t> bytes, bool deflate);
    // The finished archive: VT_OK, or -20 / -30.
    [[nodiscard]] std::int32_t finish(std::vector<std::uint8_t>& out);

private:
    struct zip_source* m_buffer = nullptr;
    struct zip* m_zip = nullptr;
    std::deque<std::vector<std::uint8_t>> m_kept; // libzip reads the entries at finish
};

// The "mimetype" entry names `type`: the first entry of every such container.
[[nodiscard]] bool zip_has_mimetype(const ZipReader& zip, const char* type);

// The head of a file is a zip whose first entry is "mimetype" (its first two letters, as far
// as the host's 32 bytes reach).
[[nodiscard]] bool zip_mimetype_first(std::span<const std::uint8_t> head);

} // namespace vt::formats
