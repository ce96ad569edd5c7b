#pragma once
// The one translator: the language file named by the suite configuration, loaded into a table,
// and the translation of user-interface texts through it.
//
// A text is translated by whole phrases: its ends without letters stay as they are, protected
// names (product and format names) are never touched, the rest is cut into sentences and lines,
// and each piece is matched against the table with as long a prefix as possible, falling back to
// shorter prefixes at separators (" .,:;|*?!=-()<>{}[]&^/\" and CR, LF, tab). Whatever finds no
// entry stays English. Texts longer than 4096 characters are never translated.
//
// Thread contract: LoadLanguageFile and UnloadLanguageFile belong to start-up and shutdown on
// the UI thread. Everything else may be called from any thread: a translation takes the table
// that is loaded when it starts and keeps it alive until it ends, so even a reload while
// workers translate is safe (they finish with the table they started with). Work buffers are
// per call; nothing else is shared.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/suite_config.h"

namespace vt::lang {

inline constexpr std::size_t kMaxTranslatedChars = 4096;
// Language files larger than this are not loaded: real ones are far below a megabyte.
inline constexpr std::size_t kMaxLanguageFileBytes = std::size_t{64} << 20;

// --- The language

// Unloads any earlier table, then loads the file that the suite configuration (read afresh)
// names: "Language/<name>" in the suite data root; a name of fewer than 4 characters chooses
// none. 1 loaded, and the translator slot then holds TranslateText; 0 not loaded (a missing
// file, no "#XLAT_BEGIN", a file beyond kMaxLanguageFileBytes, no memory): the UI stays English
// and nothing is shown.
[[nodiscard]] int LoadLanguageFile() noexcept;
// The same for a given file, and for a file's bytes with its last-modification time.
[[nodiscard]] int load_language_file(std::u16string_view path) noexcept;
[[nodiscard]] int load_language_bytes(std::span<const std::uint8_t> bytes,
                                      std::int64_t file_time) noexcept;
// Frees the table and forgets the file's time. The translator slot stays set.
void UnloadLanguageFile() noexcept;
// 1 when the configured file's last-modification time (0 for no name or a missing file) differs
// from the loaded one (0 when nothing is loaded), else 0. The configuration comes through the
// 5-second cache.
[[nodiscard]] int LanguageFileChanged() noexcept;
// The language file a configuration names; empty when it names none.
[[nodiscard]] std::u16string language_file_path(const platform::SuiteConfig& config);
// The "#CODE" of the loaded file; empty when none (or nothing loaded).
[[nodiscard]] std::u16string language_code();

// --- The translator slot: set by the first successful load, else null. Wrappers call the
// translator only through it; with it null they show the English text.

using TranslatorFn = int (*)(char16_t* out, std::size_t capacity, const char16_t* in) noexcept;
void set_translator(TranslatorFn translator) noexcept;
[[nodiscard]] TranslatorFn translator() noexcept;

// --- Translation

// Translates the NUL-terminated `in` into `out` (capacity in units, terminator included; the
// result is cut to fit). 1 translated, 0 copied unchanged (no language loaded, a text longer
// than 4096 characters, no memory). With `out` and `in` both null: 1 when a language is
// loaded, else 0. `in` may equal `out`.
[[nodiscard]] int TranslateText(char16_t* out, std::size_t capacity, const char16_t* in) noexcept;
// One segment (no sentence end, CR, LF or tab inside) by longest prefixes; unchanged when no
// language is loaded or nothing matches.
[[nodiscard]] std::u16string TranslateSegment(std::u16string_view segment);
// The translator's answer to the null call; 0 when no translator is set.
[[nodiscard]] int IsTranslationActive() noexcept;
// Through the translator when one is active, else a bounded copy; at most 4096 units of
// `capacity` are used.
void Translate(char16_t* out, std::size_t capacity, const char16_t* in) noexcept;
// The same for a string: texts of 4096 characters or more come back unchanged.
[[nodiscard]] std::u16string Translate(std::u16string_view text);

// The names translation never changes, in the order they are tried.
[[nodiscard]] std::span<const std::u16string_view> protected_names() noexcept;

} // namespace vt::lang
