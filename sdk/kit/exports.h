#pragma once
// A format plug-in's exports and the firewall around every call that crosses the plug-in edge.
//
// VT_FORMAT_PLUGIN_EXPORTS(level, has_signature, known_extension, load_image, save_image) defines
// the five extern "C" entry points of a plug-in from its own functions:
//   bool has_signature(const FilterCheck&)    the head of the file is this format
//   bool known_extension(const FilterCheck&)  the check record's extension is one of ours
//   std::int32_t load_image(FilterCall*)      a result code; may throw
//   std::int32_t save_image(FilterCall*)      a result code; may throw
// flt_CheckLoad ranks a matching head at `level`, flt_CheckSave answers 100 for a known
// extension, plg_ShowDialog shows nothing (options live in the state store).
// VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(...) takes the extensions it writes as a test of its own.
// VT_FORMAT_PLUGIN_EXPORTS_KEEPING(...) adds the depth of deep saves and what the writer keeps;
// the shorter forms say nothing of what it keeps ("not said", the host's old assumptions).
// VT_FORMAT_PLUGIN_STATE_ENTRIES(entries...) adds plg_StateEntries for a plug-in with options.
// Use each once, at file scope, after the functions they name.
// Thread: any; the functions named must be safe to call from several threads at once.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "sdk/vt_plugin.h"

namespace vt::kit {

// No exception may leave an export: std::bad_alloc answers `out_of_memory`, anything else
// `failed` (the plug-in edge's -20 and -30 unless told otherwise).
template <class F>
std::int32_t firewall(F&& body, std::int32_t out_of_memory = VT_ERR_OUT_OF_MEMORY,
                      std::int32_t failed = VT_ERR_INTERNAL) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return out_of_memory;
    } catch (...) {
        return failed;
    }
}

using CheckTest = bool (*)(const FilterCheck& check);
using CallBody = std::int32_t (*)(FilterCall* call);

// The check record's extension is `ext` (the host gives it in lower case).
inline bool extension_is(const FilterCheck& check, const char16_t* ext) noexcept {
    for (std::size_t i = 0; i < 32; ++i) {
        if (check.extension[i] != static_cast<std::uint16_t>(ext[i]))
            return false;
        if (ext[i] == 0)
            return true;
    }
    return false;
}

// The head of the file starts with `signature`.
inline bool head_starts_with(const FilterCheck& check, const std::uint8_t* signature,
                             std::uint32_t size) noexcept {
    const std::uint32_t have = check.head_size < 32 ? check.head_size : 32;
    return have >= size && std::memcmp(check.head, signature, size) == 0;
}

// The answer to flt_CheckLoad: the file's bytes rank `level` (50 more with the extension too);
// the extension alone ranks 10 with both restrictions, after every plug-in that knows the bytes.
inline std::int32_t check_load(FilterCheck* check, std::uint8_t level, CheckTest has_signature,
                               CheckTest known_extension) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = 0;
        const bool extension = known_extension(*check);
        if (has_signature(*check)) {
            check->level = level;
            check->bonus1 = extension ? 50 : 0;
        } else if (extension) {
            check->level = 10;
            check->flags = 3;
        }
        return 1;
    });
}

// What a writer keeps for one extension (VT_KEEPS_* without VT_KEEPS_DECLARED); a null
// extension ends a table and stands for every other extension the plug-in writes.
struct Keeps {
    const char16_t* extension;
    unsigned flags;
};

// The save answer's keeps field: "not said" for a plug-in that declares nothing, the same flags
// for every extension, or the row of a table whose extension matches (else its null row).
inline std::uint16_t keeps_for(const FilterCheck& /*check*/, std::nullptr_t) noexcept {
    return 0;
}
inline std::uint16_t keeps_for(const FilterCheck& /*check*/, unsigned flags) noexcept {
    return static_cast<std::uint16_t>((flags & 0xFFu) | VT_KEEPS_DECLARED);
}
template <std::size_t N>
std::uint16_t keeps_for(const FilterCheck& check, const Keeps (&table)[N]) noexcept {
    for (const Keeps& row : table)
        if (row.extension == nullptr || extension_is(check, row.extension))
            return keeps_for(check, row.flags);
    return 0;
}

// The most bits per channel a writer keeps from a deep picture for one extension (0: 8-bit
// pictures only); a null extension ends a table and stands for every other one.
struct DeepBits {
    const char16_t* extension;
    std::uint8_t bits;
};

// The save answer's deep_bits field: the same for every extension, or a table's row.
inline std::uint8_t deep_bits_for(const FilterCheck& /*check*/, int bits) noexcept {
    return static_cast<std::uint8_t>(bits);
}
template <std::size_t N>
std::uint8_t deep_bits_for(const FilterCheck& check, const DeepBits (&table)[N]) noexcept {
    for (const DeepBits& row : table)
        if (row.extension == nullptr || extension_is(check, row.extension))
            return row.bits;
    return 0;
}

// The answer to flt_CheckSave: level 100 for the extensions the plug-in writes, the most bits
// per channel it writes from a deep picture (a number or a DeepBits table) and what it keeps.
template <class DeepSpec = int, class KeepsSpec = std::nullptr_t>
std::int32_t check_save(FilterCheck* check, CheckTest known_extension,
                        const DeepSpec& deep_bits = 0, const KeepsSpec& keeps = nullptr) noexcept {
    return firewall([&] {
        if (check == nullptr)
            return 0;
        check->level = check->bonus1 = check->bonus2 = check->flags = check->deep_bits = 0;
        check->keeps = 0;
        if (known_extension(*check)) {
            check->level = 100;
            check->deep_bits = deep_bits_for(*check, deep_bits);
            check->keeps = keeps_for(*check, keeps);
        }
        return 1;
    });
}

// The write-extension test of a plug-in that only reads.
inline bool writes_nothing(const FilterCheck& /*check*/) noexcept {
    return false;
}

// flt_LoadImage and flt_SaveImage: a null record is out of range.
inline std::int32_t run_call(FilterCall* call, CallBody body) noexcept {
    return firewall([&] { return call == nullptr ? VT_ERR_PARAMETER_RANGE : body(call); });
}

} // namespace vt::kit

// The version a plug-in built with the program shows (the build gives the program's own).
#ifndef VT_PLUGIN_VERSION
#define VT_PLUGIN_VERSION ""
#endif

#define VT_FORMAT_PLUGIN_EXPORTS(level, has_signature, known_extension, load_image, save_image)    \
    VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(level, has_signature, known_extension, known_extension,    \
                                        load_image, save_image)

// The same for a plug-in that reads more extensions than it writes (a reader alone writes none).
#define VT_FORMAT_PLUGIN_EXPORTS_READ_WRITE(level, has_signature, read_extension, write_extension, \
                                            load_image, save_image)                                \
    VT_FORMAT_PLUGIN_EXPORTS_DEEP(level, has_signature, read_extension, write_extension,           \
                                  load_image, save_image, 0)

// The same for a plug-in whose saves also write deep pictures of `deep_bits` bits per channel
// (or the name of a ::vt::kit::DeepBits table).
#define VT_FORMAT_PLUGIN_EXPORTS_DEEP(level, has_signature, read_extension, write_extension,       \
                                      load_image, save_image, deep_bits)                           \
    VT_FORMAT_PLUGIN_EXPORTS_KEEPING(level, has_signature, read_extension, write_extension,        \
                                     load_image, save_image, deep_bits, nullptr)

// The same, saying what the writer keeps: VT_KEEPS_* flags for every extension it writes, or
// the name of a ::vt::kit::Keeps table (one row per extension, a null extension for the rest).
#define VT_FORMAT_PLUGIN_EXPORTS_KEEPING(level, has_signature, read_extension, write_extension,    \
                                         load_image, save_image, deep_bits, keeps)                 \
    extern "C" {                                                                                   \
    VT_PLUGIN_EXPORT std::int32_t flt_CheckLoad(FilterCheck* check) noexcept {                     \
        return ::vt::kit::check_load(check, level, has_signature, read_extension);                 \
    }                                                                                              \
    VT_PLUGIN_EXPORT std::int32_t flt_LoadImage(FilterCall* call) noexcept {                       \
        return ::vt::kit::run_call(call, load_image);                                              \
    }                                                                                              \
    VT_PLUGIN_EXPORT std::int32_t flt_CheckSave(FilterCheck* check) noexcept {                     \
        return ::vt::kit::check_save(check, write_extension, deep_bits, keeps);                    \
    }                                                                                              \
    VT_PLUGIN_EXPORT std::int32_t flt_SaveImage(FilterCall* call) noexcept {                       \
        return ::vt::kit::run_call(call, save_image);                                              \
    }                                                                                              \
    VT_PLUGIN_EXPORT std::int32_t plg_ShowDialog(FilterDialog* /*dialog*/) noexcept {              \
        return 0;                                                                                  \
    }                                                                                              \
    VT_PLUGIN_EXPORT const char* plg_Version() noexcept {                                          \
        return VT_PLUGIN_VERSION;                                                                  \
    }                                                                                              \
    }

// The plug-in's options as {name, default, description} rows; the end marker is added.
#define VT_FORMAT_PLUGIN_STATE_ENTRIES(...)                                                        \
    extern "C" VT_PLUGIN_EXPORT const VtStateEntry* plg_StateEntries() noexcept {                  \
        static const VtStateEntry kEntries[] = {__VA_ARGS__, {nullptr, nullptr, nullptr}};         \
        return kEntries;                                                                           \
    }
