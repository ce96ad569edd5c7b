#include "engine/preset.h"

#include <charconv>
#include <limits>
#include <type_traits>

#include <fcntl.h>
#include <unistd.h>

#include "base/utf.h"
#include "engine/job_fields.h"
#include "platform/files.h"

namespace vt::engine {
namespace {

constexpr std::string_view kPolicies[] = {"overwrite", "skip", "keep-both"};

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out + '"';
}

// A value as the line gives it: a quoted text with its escapes undone, or the bare text.
bool unquote(std::string_view value, std::string& out) {
    out.clear();
    if (value.empty() || value.front() != '"') {
        out = value;
        return true;
    }
    for (std::size_t i = 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '"')
            return i + 1 == value.size();
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == value.size())
            return false;
        switch (value[i]) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '"':
        case '\\':
            out += value[i];
            break;
        default:
            return false;
        }
    }
    return false;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Writes one field; the counterpart of Reader.
struct Writer {
    std::string& out;
    template <std::size_t N>
    void operator()(const char* key, base::FixedText<N>& text) {
        out += std::string(key) + " = " + quoted(base::utf16_to_utf8(text.view())) + "\n";
    }
    void operator()(const char* key, ExistingPolicy& policy) {
        out += std::string(key) + " = " + std::string(kPolicies[static_cast<int>(policy)]) + "\n";
    }
    template <class T>
    requires std::is_integral_v<T>
    void operator()(const char* key, T& number) {
        out += std::string(key) + " = " + std::to_string(number) + "\n";
    }
};

// Sets the field named `key` from `value`; `found` tells whether the key is a field at all.
struct Reader {
    std::string_view key;
    const std::string& value;
    bool found = false, ok = false;

    template <std::size_t N>
    void operator()(const char* name, base::FixedText<N>& text) {
        if (take(name)) {
            const std::u16string v = base::utf8_to_utf16(value);
            ok = v.size() < N && v.find(u'\0') == std::u16string::npos;
            if (ok)
                text.assign(v);
        }
    }
    void operator()(const char* name, ExistingPolicy& policy) {
        if (take(name))
            for (std::size_t i = 0; i < std::size(kPolicies); ++i)
                if (value == kPolicies[i]) {
                    policy = static_cast<ExistingPolicy>(i);
                    ok = true;
                }
    }
    template <class T>
    requires std::is_integral_v<T>
    void operator()(const char* name, T& number) {
        if (!take(name))
            return;
        long long v = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
        ok = ec == std::errc{} && end == value.data() + value.size() &&
             v >= static_cast<long long>(std::numeric_limits<T>::min()) &&
             static_cast<unsigned long long>(v) <=
                 static_cast<unsigned long long>(std::numeric_limits<T>::max());
        if (sizeof(T) == 1) // flags hold 0 or 1
            ok = ok && (v == 0 || v == 1);
        if (ok)
            number = static_cast<T>(v);
    }

private:
    bool take(const char* name) {
        if (found || key != name)
            return false;
        found = true;
        return true;
    }
};

} // namespace

std::string format_preset(const Preset& preset) {
    std::string out = "# Vantrel Converter preset: \"key = value\" lines, texts in double quotes; "
                      "keys left out keep their value\n";
    out += "name = " + quoted(preset.name) + "\n";
    ConversionJob job = preset.job;
    visit_fields(job, Writer{out});
    for (const auto& [name, value] : preset.options)
        out += "plugin " + base::utf16_to_utf8(name) + " = " + quoted(value) + "\n";
    return out;
}

bool parse_preset(std::string_view text, Preset& preset, std::string& error) {
    if (text.size() > kMaxPresetBytes) {
        error = "the preset is larger than 1 MiB";
        return false;
    }
    Preset result = preset;
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        const auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return fail("expected key = value");
        const std::string_view key = trim(line.substr(0, eq));
        std::string value;
        if (!unquote(trim(line.substr(eq + 1)), value))
            return fail("a text without its closing quote or with a bad escape");
        if (key == "name") {
            result.name = value;
            continue;
        }
        if (key == "plugin" || key.starts_with("plugin ")) {
            const std::string_view option = trim(key.substr(6));
            if (option.empty() || result.options.size() >= kMaxPresetOptions)
                return fail("a plug-in option without a name, or too many options");
            result.options.emplace_back(base::utf8_to_utf16(option), value);
            continue;
        }
        Reader reader{key, value};
        visit_fields(result.job, reader);
        if (!reader.found)
            return fail("unknown key '" + std::string(key) + "'");
        if (!reader.ok)
            return fail("'" + value + "' is not a value of " + std::string(key));
    }
    if (const FieldRange* bad = out_of_range_field(result.job)) {
        error = std::string(bad->field) + " is out of its range " + std::to_string(bad->min) +
                " to " + std::to_string(bad->max);
        return false;
    }
    const JobExtras& x = result.job.extras;
    if (x.shardCount > 1 && x.shardIndex >= x.shardCount) {
        error = "shardIndex must be below shardCount";
        return false;
    }
    preset = std::move(result);
    return true;
}

bool load_preset_file(std::u16string_view path, Preset& preset, std::string& error) {
    const std::optional<std::string> text = platform::read_file_prefix(path, kMaxPresetBytes + 1);
    if (!text) {
        error = "cannot read " + base::utf16_to_utf8(path);
        return false;
    }
    return parse_preset(*text, preset, error);
}

bool save_preset_file(std::u16string_view path, const Preset& preset) {
    const std::string text = format_preset(preset);
    const int fd =
        ::open(platform::to_os_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == text.size();
}

} // namespace vt::engine
