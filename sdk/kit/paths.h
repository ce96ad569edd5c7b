#pragma once
// Files by the host's UTF-16 path: the path in the file system's bytes, a file read whole, and
// the target of a save written, closed and, when anything failed, removed.
//
// Paths follow the one conversion rule of the whole program: a lone surrogate U+DC80..U+DCFF
// stands for a file name byte that is not UTF-8 and goes back to that byte, so every name the
// host lists can be opened.
//
// The target is the very path the host gives: the host has already moved an existing file of
// that name aside and puts it back when the save fails.
//
// Result codes: VT_ERR_OPEN_READ (-40) and VT_ERR_OPEN_WRITE (-41) when the file cannot be
// opened (an empty or null path included), VT_ERR_READ (-42), VT_ERR_WRITE (-43), and
// VT_ERR_DIMENSIONS (-13) for a file too large to read whole; else what the encoder answers.
// An encoder that throws leaves no file behind; the exception goes on to the caller.
// Thread: any.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "sdk/vt_plugin.h"

namespace vt::kit {

// A file read whole must fit the largest picture's worth of bytes and some.
inline constexpr long kMaxFileBytes = 1L << 31;

// The host's NUL-terminated UTF-16 path as the file system's bytes; empty for a null path.
[[nodiscard]] std::string to_utf8(const std::uint16_t* path);
// One code point (not a surrogate, at most U+10FFFF) appended as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

// The whole file; VT_OK or the result code.
[[nodiscard]] std::int32_t read_file(const std::uint16_t* path, std::vector<std::uint8_t>& bytes);

// A file open for reading in pieces, with its length; closed when it goes.
class SourceFile {
public:
    SourceFile() = default;
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    // VT_OK, or the result code (the length is not limited here).
    [[nodiscard]] std::int32_t open(const std::uint16_t* path);
    [[nodiscard]] std::FILE* get() const noexcept { return m_file; }
    [[nodiscard]] std::uint64_t size() const noexcept { return m_size; }

private:
    std::FILE* m_file = nullptr;
    std::uint64_t m_size = 0;
};

// A file mapped read-only: its bytes without a copy, whatever its size. The pages come from the
// file as the decoder reads them and go back to the system under memory pressure; a file
// shortened under the reader raises SIGBUS, which the host's guard around every plug-in call
// turns into a failed load.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // VT_OK, or the result code; an empty file maps to no bytes.
    [[nodiscard]] std::int32_t open(const std::uint16_t* path);
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {m_data, m_size}; }

private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

// Writes `bytes` as the target file.
[[nodiscard]] std::int32_t write_target_bytes(const std::uint16_t* path,
                                              std::span<const std::uint8_t> bytes);

// The target opened at the first byte written (the first call to write, even with no bytes):
// an encoder that fails before it writes anything leaves nothing behind.
class TargetStream {
public:
    explicit TargetStream(std::string name) : m_name(std::move(name)) {}
    ~TargetStream();
    TargetStream(const TargetStream&) = delete;
    TargetStream& operator=(const TargetStream&) = delete;

    // The bytes written: all of them, or fewer when the file cannot be opened or written.
    std::size_t write(const void* data, std::size_t size);

    // Closes the file: `result`, or the result code of what went wrong in opening or closing;
    // a failed file is removed.
    std::int32_t finish(std::int32_t result);

private:
    std::string m_name;
    std::FILE* m_file = nullptr;
    bool m_open_failed = false;
};

namespace detail {
std::int32_t write_target(const std::uint16_t* path,
                          std::int32_t (*encode)(void* context, std::FILE* file), void* context);
std::int32_t write_target_lazily(const std::uint16_t* path,
                                 std::int32_t (*encode)(void* context, TargetStream& out),
                                 void* context);
std::int32_t write_target_named(const std::uint16_t* path,
                                std::int32_t (*encode)(void* context, const std::string& name),
                                void* context);
} // namespace detail

// Opens the target, runs encode(std::FILE*) -> result code, closes it.
template <class Encode>
[[nodiscard]] std::int32_t write_target(const std::uint16_t* path, Encode&& encode) {
    return detail::write_target(
        path,
        [](void* c, std::FILE* file) -> std::int32_t {
            return (*static_cast<std::remove_reference_t<Encode>*>(c))(file);
        },
        &encode);
}

// Runs encode(TargetStream&) -> result code with the target opened at its first byte.
template <class Encode>
[[nodiscard]] std::int32_t write_target_lazily(const std::uint16_t* path, Encode&& encode) {
    return detail::write_target_lazily(
        path,
        [](void* c, TargetStream& out) -> std::int32_t {
            return (*static_cast<std::remove_reference_t<Encode>*>(c))(out);
        },
        &encode);
}

// For a codec library that opens files itself: runs encode(const std::string& utf8_name) ->
// result code, which creates, writes and closes the file. VT_ERR_OPEN_WRITE from it means it
// made no file; after any other failure the file is removed.
template <class Encode>
[[nodiscard]] std::int32_t write_target_named(const std::uint16_t* path, Encode&& encode) {
    return detail::write_target_named(
        path,
        [](void* c, const std::string& name) -> std::int32_t {
            return (*static_cast<std::remove_reference_t<Encode>*>(c))(name);
        },
        &encode);
}

} // namespace vt::kit
