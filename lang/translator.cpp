#include "lang/translator.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "base/fixed_text.h"
#include "base/text.h"
#include "lang/language_table.h"
#include "lang/text_decode.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace vt::lang {
namespace {

// Longest names first where one begins another, since the first name that occurs wins.
constexpr std::u16string_view kProtectedNames[] = {
    u"Vantrel Converter", u"Vantrel Painter",
    u"Vantrel Viewer",    u"Vantrel Update",
    u"Vantrel Software",  u"VxGRAF2",
    u"vtl_Core",          u"vtl_Video",
    u"Vantrel",           u"VT5",
};

constexpr std::u16string_view kSeparators = u" .,:;|*?!=-()<>{}[]&^/\\\r\n\t";
constexpr std::u16string_view kAbbreviations[] = {u"etc.", u"e.g.", u"i.e."};
constexpr std::size_t kMaxSegmentChars = 4094;

struct Language {
    std::mutex lock;
    std::shared_ptr<const LanguageTable> table;
    std::int64_t file_time = 0;
};

Language& language() {
    static Language instance;
    return instance;
}

std::atomic<TranslatorFn> g_translator{nullptr};

std::shared_ptr<const LanguageTable> current_table() {
    Language& l = language();
    std::lock_guard guard(l.lock);
    return l.table;
}

bool is_word_char(char16_t c) {
    return is_letter(c) || is_digit(c);
}

std::size_t find_letter(std::u16string_view text, std::size_t from = 0) {
    for (std::size_t i = from; i < text.size(); ++i)
        if (is_letter(text[i]))
            return i;
    return std::u16string_view::npos;
}

std::u16string_view c_text(const char16_t* text) {
    return text ? std::u16string_view(text) : std::u16string_view{};
}

// Copies into a caller's buffer, cut to fit; `in` may overlap `out`.
void copy_out(char16_t* out, std::size_t capacity, std::u16string_view in) noexcept {
    if (!out || capacity == 0)
        return;
    const std::size_t n = base::cut_length(in, capacity - 1);
    std::memmove(out, in.data(), n * sizeof(char16_t));
    out[n] = 0;
}

// Whether the ". " at `dot` ends "etc.", "e.g." or "i.e." standing as a word of its own.
bool ends_abbreviation(std::u16string_view t, std::size_t dot) {
    for (const std::u16string_view abbreviation : kAbbreviations) {
        const std::size_t n = abbreviation.size();
        if (dot + 1 < n)
            continue;
        const std::size_t start = dot + 1 - n;
        if (base::iequal(t.substr(start, n), abbreviation) &&
            (start == 0 || !is_word_char(t[start - 1])))
            return true;
    }
    return false;
}

// The dot of the first ". " followed by a capital that is no abbreviation's, before `limit`.
std::size_t find_sentence_end(std::u16string_view t, std::size_t limit) {
    for (std::size_t i = t.find(u". "); i < limit; i = t.find(u". ", i + 1))
        if (i + 2 < t.size() && is_upper(t[i + 2]) && !ends_abbreviation(t, i))
            return i;
    return std::u16string_view::npos;
}

// The first protected name that occurs in `t` as a word of its own: its position and length.
std::optional<std::pair<std::size_t, std::size_t>> find_protected(std::u16string_view t) {
    for (std::u16string_view name : kProtectedNames) {
        name = base::trim(name, u" ");
        if (name.empty())
            continue;
        const std::size_t at = t.find(name);
        if (at == std::u16string_view::npos)
            continue;
        const std::size_t after = at + name.size();
        if ((at > 0 && is_word_char(t[at - 1])) || (after < t.size() && is_word_char(t[after])))
            continue;
        return std::pair{at, name.size()};
    }
    return std::nullopt;
}

std::u16string translate_segment(const LanguageTable* table, std::u16string_view s) {
    if (!table || find_letter(s) == std::u16string_view::npos)
        return std::u16string(s);
    std::u16string result;
    std::size_t p = 0;
    while (p < s.size()) {
        const std::size_t letter = find_letter(s, p);
        result.append(s.substr(p, letter - p)); // to the end when there is no letter
        if (letter == std::u16string_view::npos)
            break;
        p = letter;
        std::u16string_view c = s.substr(p, kMaxEntryChars);
        while (true) {
            auto value = table->lookup(c, false);
            if (!value)
                value = table->lookup(c, true);
            if (value) {
                result.append(*value);
                break;
            }
            const std::size_t separator = c.find_last_of(kSeparators);
            // c begins with a letter, so a separator never leaves it empty.
            if (separator == std::u16string_view::npos || separator == 0) {
                result.append(c);
                break;
            }
            c = c.substr(0, separator);
        }
        p += c.size();
    }
    return result.empty() ? std::u16string(s) : result;
}

// A text without its letterless ends, cut at protected names, sentences and lines.
class TextTranslation {
public:
    explicit TextTranslation(const LanguageTable* table) : m_table(table) {}

    // False (and nothing written) for a text beyond 4096 characters.
    bool translate(std::u16string_view t) {
        if (t.size() > kMaxTranslatedChars)
            return false;
        struct Part {
            std::u16string_view text;
            bool literal;
        };
        std::vector<Part> todo{{t, false}};
        while (!todo.empty()) {
            const Part part = todo.back();
            todo.pop_back();
            if (part.literal) {
                append(part.text);
                continue;
            }
            const auto name = find_protected(part.text);
            if (!name) {
                translate_segments(part.text);
                continue;
            }
            const auto [at, length] = *name;
            todo.push_back({part.text.substr(at + length), false});
            todo.push_back({part.text.substr(at, length), true});
            todo.push_back({part.text.substr(0, at), false});
        }
        return true;
    }

    void append(std::u16string_view text) {
        m_out.append(text.substr(0, base::cut_length(text, kMaxTranslatedChars - m_out.size())));
    }
    [[nodiscard]] const std::u16string& result() const noexcept { return m_out; }

private:
    void translate_segments(std::u16string_view t) {
        while (!t.empty() && m_out.size() < kMaxTranslatedChars) {
            std::size_t end = std::min({t.find_first_of(u"\r\n\t"), kMaxSegmentChars, t.size()});
            if (const std::size_t dot = find_sentence_end(t, end); dot != std::u16string_view::npos)
                end = dot + 1;
            append(translate_segment(m_table, t.substr(0, end)));
            t.remove_prefix(end);
            const std::size_t blanks = std::min(t.find_first_not_of(u" \r\n\t"), t.size());
            append(t.substr(0, blanks));
            t.remove_prefix(blanks);
        }
    }

    const LanguageTable* m_table;
    std::u16string m_out;
};

// TranslateText on views: 1 with `out` translated, 0 when `in` must be shown unchanged.
int translate_text(const LanguageTable* table, std::u16string_view in, std::u16string& out) {
    if (!table)
        return 0;
    if (in.empty()) {
        out.clear();
        return 1;
    }
    // A text whose only letter is its last character (or that has none) passes unchanged.
    const std::size_t first = find_letter(in.substr(0, in.size() - 1));
    if (first == std::u16string_view::npos) {
        out = in;
        return 1;
    }
    std::size_t last = in.size() - 1;
    while (!is_letter(in[last]))
        --last;
    TextTranslation work(table);
    work.append(in.substr(0, first));
    if (!work.translate(in.substr(first, last + 1 - first)))
        return 0;
    work.append(in.substr(last + 1));
    out = work.result();
    return 1;
}

void install(std::shared_ptr<const LanguageTable> table, std::int64_t file_time) {
    Language& l = language();
    std::lock_guard guard(l.lock);
    l.table = std::move(table);
    l.file_time = file_time;
}

} // namespace

std::span<const std::u16string_view> protected_names() noexcept {
    return kProtectedNames;
}

void set_translator(TranslatorFn fn) noexcept {
    g_translator = fn;
}

TranslatorFn translator() noexcept {
    return g_translator.load();
}

void UnloadLanguageFile() noexcept {
    // Translations still running keep their own reference to the table.
    install(nullptr, 0);
}

int load_language_bytes(std::span<const std::uint8_t> bytes, std::int64_t file_time) noexcept {
    UnloadLanguageFile();
    try {
        auto table = LanguageTable::parse(decode_text_file(bytes));
        if (!table)
            return 0;
        install(std::make_shared<const LanguageTable>(std::move(*table)), file_time);
        set_translator(&TranslateText);
        return 1;
    } catch (...) {
        return 0;
    }
}

int load_language_file(std::u16string_view path) noexcept {
    UnloadLanguageFile();
    try {
        const auto size = platform::file_size(path);
        if (!size || *size > kMaxLanguageFileBytes)
            return 0;
        const auto bytes = platform::read_file_prefix(path, kMaxLanguageFileBytes + 1);
        if (!bytes || bytes->size() > kMaxLanguageFileBytes)
            return 0;
        const auto time = platform::last_write_time(path);
        return load_language_bytes(
            {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()},
            time.value_or(0));
    } catch (...) {
        return 0;
    }
}

// With no language chosen, the one the desktop session speaks, when we ship it: Linux users
// choose their language once, for every program.
std::u16string locale_language_name() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == 0)
            continue;
        const std::string_view locale(value);
        if (locale.starts_with("de"))
            return u"German.lng";
        return {};
    }
    return {};
}

std::u16string language_file_path(const platform::SuiteConfig& config) {
    std::u16string name = config.language();
    if (name.size() < 4)
        name = locale_language_name();
    if (name.size() < 4)
        return {};
    // The user's own file first, then the one shipped with the programs.
    std::u16string path;
    for (const std::u16string& root : {platform::suite_data_root(), platform::data_folder()}) {
        if (root.empty())
            continue;
        path = platform::join_path(platform::join_path(root, u"Language"), name);
        if (platform::path_exists(path))
            break;
    }
    return path;
}

int LoadLanguageFile() noexcept {
    UnloadLanguageFile();
    try {
        const std::u16string path = language_file_path(platform::suite_config(true));
        return path.empty() ? 0 : load_language_file(path);
    } catch (...) {
        return 0;
    }
}

int LanguageFileChanged() noexcept {
    try {
        const std::u16string path = language_file_path(platform::suite_config());
        const std::int64_t now = path.empty() ? 0 : platform::last_write_time(path).value_or(0);
        Language& l = language();
        std::lock_guard guard(l.lock);
        return now != l.file_time ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

std::u16string language_code() {
    const auto table = current_table();
    return table ? table->code() : std::u16string{};
}

int TranslateText(char16_t* out, std::size_t capacity, const char16_t* in) noexcept {
    try {
        const auto table = current_table();
        if (!out && !in)
            return table ? 1 : 0;
        if (!out || !in || capacity == 0)
            return 0;
        std::u16string result;
        if (translate_text(table.get(), c_text(in), result) == 0) {
            copy_out(out, capacity, c_text(in));
            return 0;
        }
        copy_out(out, capacity, result);
        return 1;
    } catch (...) {
        // Out of memory: the English text. Nothing was written to `out` yet.
        copy_out(out, capacity, c_text(in));
        return 0;
    }
}

std::u16string TranslateSegment(std::u16string_view segment) {
    const auto table = current_table();
    return translate_segment(table.get(), segment);
}

int IsTranslationActive() noexcept {
    const TranslatorFn fn = translator();
    return fn ? fn(nullptr, 0, nullptr) : 0;
}

void Translate(char16_t* out, std::size_t capacity, const char16_t* in) noexcept {
    capacity = std::min(capacity, kMaxTranslatedChars);
    const TranslatorFn fn = translator();
    if (fn && fn(nullptr, 0, nullptr))
        (void)fn(out, capacity, in);
    else if (in)
        copy_out(out, capacity, c_text(in));
    else if (out && capacity > 0)
        out[0] = 0;
}

std::u16string Translate(std::u16string_view text) {
    const TranslatorFn fn = translator();
    if (text.size() >= kMaxTranslatedChars || !fn || !fn(nullptr, 0, nullptr))
        return std::u16string(text);
    const std::u16string in(text);
    std::u16string out(kMaxTranslatedChars, u'\0');
    (void)fn(out.data(), out.size(), in.c_str());
    out.resize(std::char_traits<char16_t>::length(out.c_str()));
    return out;
}

} // namespace vt::lang
