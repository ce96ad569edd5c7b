#include "engine/job_fields.h"

#include <charconv>
#include <type_traits>

#include "base/utf.h"
#include "engine/job_checks.h"

namespace vt::engine {
namespace {

bool to_int(std::string_view text, long long& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc{} && ptr == end && !text.empty();
}

// Sets the field named `key` to a number or a text, whatever its type.
struct SetField {
    std::string_view key;
    long long number = 0;
    std::string_view text;
    bool done = false;

    template <std::size_t N>
    void operator()(const char* name, base::FixedText<N>& field) {
        if (key == name)
            field.assign(base::utf8_to_utf16(text)), done = true;
    }
    template <class T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
    void operator()(const char* name, T& field) {
        if (key == name)
            field = static_cast<T>(number), done = true;
    }
};

bool set_number(ConversionJob& job, std::string_view key, long long value) {
    SetField set{key, value, {}};
    visit_fields(job, set);
    return set.done;
}

bool set_text(ConversionJob& job, std::string_view key, std::string_view value) {
    SetField set{key, 0, value};
    visit_fields(job, set);
    return set.done;
}

bool apply_format(ConversionJob& job, std::string_view value, std::string&) {
    job.targetExtension.assign(normalize_extension(base::utf8_to_utf16(value)));
    return true;
}

bool apply_rename(ConversionJob& job, std::string_view value, std::string&) {
    job.rename = 1;
    job.renamePattern.assign(base::utf8_to_utf16(value));
    return true;
}

bool apply_replace_from(ConversionJob& job, std::string_view value, std::string&) {
    job.replaceText = 1;
    job.replaceFrom.assign(base::utf8_to_utf16(value));
    return true;
}

bool apply_replace_to(ConversionJob& job, std::string_view value, std::string&) {
    job.replaceText = 1;
    job.replaceTo.assign(base::utf8_to_utf16(value));
    return true;
}

bool apply_resize(ConversionJob& job, std::string_view v, std::string& error) {
    long long mode = 0, w = 0, h = 0;
    const auto colon = v.find(':'), x = v.find_first_of("xX");
    if (colon == std::string_view::npos || x == std::string_view::npos || x < colon) {
        error = "--resize takes MODE:WIDTHxHEIGHT, e.g. 3:1920x1080";
        return false;
    }
    if (!parse_whole("--resize", v.substr(0, colon), kResizeModeRange.min, kResizeModeRange.max,
                     mode, error) ||
        !parse_whole("--resize", v.substr(colon + 1, x - colon - 1), 0, 65535, w, error) ||
        !parse_whole("--resize", v.substr(x + 1), 0, 65535, h, error))
        return false;
    job.resizeMode = static_cast<std::int32_t>(mode);
    job.resizeWidth = static_cast<std::uint16_t>(w);
    job.resizeHeight = static_cast<std::uint16_t>(h);
    return true;
}

bool apply_watermark_pos(ConversionJob& job, std::string_view v, std::string& error) {
    long long x = 0, y = 0;
    const auto comma = v.find(',');
    if (comma == std::string_view::npos) {
        error = "--watermark-pos takes X,Y in percent, e.g. 100,100";
        return false;
    }
    if (!parse_whole("--watermark-pos", v.substr(0, comma), 0, 100, x, error) ||
        !parse_whole("--watermark-pos", v.substr(comma + 1), 0, 100, y, error))
        return false;
    job.watermarkX = static_cast<std::uint32_t>(x);
    job.watermarkY = static_cast<std::uint32_t>(y);
    return true;
}

bool apply_color(ConversionJob& job, std::string_view v, std::string& error) {
    const std::string_view hex = !v.empty() && v[0] == '#' ? v.substr(1) : v;
    unsigned long rgb = 0;
    const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), rgb, 16);
    if (hex.size() != 6 || ec != std::errc{} || end != hex.data() + hex.size()) {
        error = "--watermark-color takes a colour RRGGBB in hexadecimal, e.g. ffffff";
        return false;
    }
    job.watermarkColor = static_cast<std::uint32_t>(rgb);
    return true;
}

bool apply_shard(ConversionJob& job, std::string_view v, std::string& error) {
    long long index = 0, count = 0;
    const auto slash = v.find('/');
    if (slash == std::string_view::npos || !to_int(v.substr(0, slash), index) ||
        !to_int(v.substr(slash + 1), count) || count < 1 || count > 1000000 || index < 0 ||
        index >= count) {
        error = "--shard takes I/N with I from 0 to N-1, e.g. 0/4, not '" + std::string(v) + "'";
        return false;
    }
    job.extras.shardIndex = static_cast<std::uint32_t>(index);
    job.extras.shardCount = static_cast<std::uint32_t>(count);
    return true;
}

using K = OptionKind;
using S = HelpSection;

constexpr JobOption kOptions[] = {
    {"--format", 'f', "EXT", K::special, "targetExtension", nullptr, nullptr, apply_format, S::job,
     "target format, e.g. .png, jpg, .bmp (required)"},
    {"--recursive", 'r', nullptr, K::on, "includeSubfolders", nullptr, nullptr, nullptr, S::job,
     "include sub-folders (the target mirrors them)"},
    {"--overwrite", 0, nullptr, K::on, "overwrite", nullptr, nullptr, nullptr, S::job,
     "allow a target folder that already holds files"},
    {"--open", 0, nullptr, K::on, "openTargetWhenDone", nullptr, nullptr, nullptr, S::job,
     "open the target folder when done"},
    {"--pass-thru", 0, nullptr, K::on, "passThru", nullptr, nullptr, nullptr, S::job,
     "copy unchanged files byte for byte when the source\nalready has the target extension"},
    {"--rename", 0, "PATTERN", K::special, "renamePattern", nullptr, nullptr, apply_rename,
     S::renaming,
     "%s name, %f folder, %w width, %h height,\n%n number, %nn zero-padded number; a \"/\" "
     "or a\nleading \".\" is refused: names stay visible in the\ntarget folder"},
    {"--replace-from", 0, "TEXT", K::special, "replaceFrom", nullptr, nullptr, apply_replace_from,
     S::renaming, "replace TEXT in the new names ..."},
    {"--replace-to", 0, "TEXT", K::special, "replaceTo", nullptr, nullptr, apply_replace_to,
     S::renaming, "... by this TEXT"},
    {"--lowercase", 0, nullptr, K::on, "lowercase", nullptr, nullptr, nullptr, S::renaming,
     "lower-case the new names"},
    {"--remove-gps", 0, nullptr, K::on, "removeGps", nullptr, nullptr, nullptr, S::metadata,
     "remove the GPS tags"},
    {"--remove-dates", 0, nullptr, K::on, "removeDates", nullptr, nullptr, nullptr, S::metadata,
     "remove the date and time tags"},
    {"--resize", 0, "MODE:WxH", K::special, "resizeMode", nullptr, nullptr, apply_resize,
     S::transforms,
     "0 none, 1 smaller than box, 2 larger than box,\n3 best fit, 4 force box, 5 percent (W "
     "and H in %);\nW and H at least 2"},
    {"--algorithm", 0, "0-3", K::number, "resizeAlgorithm", &kResizeAlgorithmRange, nullptr,
     nullptr, S::transforms, "0 none, 1 balanced, 2 high quality, 3 advanced"},
    {"--filter", 0, "0-5", K::number, "scalingFilter", &kScalingFilterRange, nullptr, nullptr,
     S::transforms, "advanced resampling filter"},
    {"--sinc-window", 0, "0-12", K::number, "sincWindow", &kSincWindowRange, nullptr, nullptr,
     S::transforms, "window of the windowed sinc filter"},
    {"--sinc-size", 0, "4-29", K::number, "sincSize", &kSincSizeRange, nullptr, nullptr,
     S::transforms, "size of the windowed sinc filter"},
    {"--keep-bounding-box", 0, nullptr, K::on, "keepBoundingBox", nullptr, nullptr, nullptr,
     S::transforms, "don't turn the box with the picture"},
    {"--change-dpi", 0, nullptr, K::on, "changeDpi", nullptr, nullptr, nullptr, S::transforms,
     "keep the physical print size"},
    {"--rotate", 0, "0-5", K::number, "rotationMode", &kRotationModeRange, nullptr, nullptr,
     S::transforms,
     "0 none, 1 90 cw, 2 90 ccw, 3 180, 4 upright by the\nEXIF orientation (the default), 5 by "
     "the sky"},
    {"--autofix-levels", 0, nullptr, K::on, "autofixLevels", nullptr, nullptr, nullptr,
     S::transforms, "automatic levels"},
    {"--denoise", 0, "R", K::number, "denoiseRadius", &kDenoiseRadiusRange, nullptr, nullptr,
     S::transforms, "median noise reduction, radius 1-9"},
    {"--watermark", 0, "FILE", K::text, "watermarkFile", nullptr, nullptr, nullptr, S::transforms,
     "stamp a picture"},
    {"--watermark-pos", 0, "X,Y", K::special, "watermarkX", nullptr, nullptr, apply_watermark_pos,
     S::transforms, "its place in percent (0-100 each)"},
    {"--watermark-size", 0, "S", K::number, "watermarkSize", &kWatermarkSizeRange, nullptr, nullptr,
     S::transforms, "its size in percent (1-100)"},
    {"--watermark-fade", 0, "F", K::number, "watermarkFade", &kWatermarkFadeRange, nullptr, nullptr,
     S::transforms, "its fade in percent (0-99)"},
    {"--fast-decode", 0, nullptr, K::on, "fastDecode", nullptr, nullptr, nullptr, S::transforms,
     "decode JPEG, JPEG 2000 and WebP sources already\nreduced towards the resize target, "
     "then resample\n(faster, not bit-exact)"},
    {"--watermark-text", 0, "TEXT", K::text, "watermarkText", nullptr, nullptr, nullptr,
     S::transforms,
     "stamp a line of text, sized by --watermark-size and\nplaced by --watermark-pos as a "
     "picture mark is"},
    {"--watermark-font", 0, "NAME", K::text, "watermarkFont", nullptr, nullptr, nullptr,
     S::transforms,
     "its font: a fontconfig name (\"DejaVu Sans:bold\") or\na font file (default: sans-serif)"},
    {"--watermark-color", 0, "RRGGBB", K::special, "watermarkColor", nullptr, nullptr, apply_color,
     S::transforms, "its colour (default: ffffff)"},
    {"--watermark-opacity", 0, "P", K::number, "watermarkOpacity", &kWatermarkOpacityRange, nullptr,
     nullptr, S::transforms, "its opacity in percent (0-100, default: 60)"},
    {"--to-srgb", 0, "INTENT", K::choice, "toSrgb", nullptr, "auto|perceptual|relative|off",
     nullptr, S::colour,
     "convert pictures with a colour profile to sRGB and\ndrop the profile: perceptual or "
     "relative (always),\nauto (perceptual, only for targets that cannot\ncarry a profile: the "
     "default) or off"},
    {"--depth", 0, "BITS", K::choice, "depth", nullptr, "auto|8|16", nullptr, S::colour,
     "bits per channel: auto keeps 16 when both the\nsource and the target format hold more "
     "than 8 (the\ndefault), 8 always rounds to 8, 16 keeps 16 wherever\nthe target format "
     "holds it"},
    {"--existing", 0, "POLICY", K::choice, "existing", nullptr, "overwrite|skip|keep-both", nullptr,
     S::reruns,
     "what becomes of a target that exists: overwrite\n(the default), skip, or keep-both (a new "
     "name\n\"name (1).ext\"); skip and keep-both allow a\ntarget folder that holds files. Two "
     "sources of one\njob that map to one target refuse the job, unless\nkeep-both numbers the "
     "later ones"},
    {"--report", 0, "FILE", K::text, "reportFile", nullptr, nullptr, nullptr, S::reruns,
     "write a JSON line per finished file (source,\ntarget, outcome, reason, warnings, bits, "
     "bytes\nin/out, ms)"},
    {"--resume", 0, "FILE", K::text, "resumeFile", nullptr, nullptr, nullptr, S::reruns,
     "leave out the sources that report FILE lists as\nconverted whose targets still have the "
     "recorded\nsize (a report to the same FILE is added to); files\ncut short are done again"},
    {"--keep-times", 0, nullptr, K::on, "keepTimes", nullptr, nullptr, nullptr, S::reruns,
     "give targets the sources' access and modification\ntimes"},
    {"--shard", 0, "I/N", K::special, "shardIndex", nullptr, nullptr, apply_shard, S::reruns,
     "convert only share I (0 to N-1) of N: a file's share\nis the FNV-1a hash of its relative "
     "path modulo N"},
};

} // namespace

bool parse_whole(std::string_view option, std::string_view text, long long min, long long max,
                 long long& out, std::string& error) {
    if (!to_int(text, out) || out < min || out > max) {
        error = std::string(option) + " takes a number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not '" + std::string(text) + "'";
        return false;
    }
    return true;
}

std::span<const JobOption> job_options() noexcept {
    return kOptions;
}

bool apply_job_option(const JobOption& option, ConversionJob& job, std::string_view value,
                      std::string& error) {
    switch (option.kind) {
    case OptionKind::on:
        return set_number(job, option.key, 1);
    case OptionKind::text:
        return set_text(job, option.key, value);
    case OptionKind::number: {
        long long n = 0;
        return parse_whole(option.flag, value, option.range->min, option.range->max, n, error) &&
               set_number(job, option.key, n);
    }
    case OptionKind::choice: {
        std::string_view names = option.choices;
        for (long long i = 0;; ++i) {
            const std::size_t bar = names.find('|');
            if (names.substr(0, bar) == value)
                return set_number(job, option.key, i);
            if (bar == std::string_view::npos)
                break;
            names.remove_prefix(bar + 1);
        }
        std::string list(option.choices);
        for (char& c : list)
            c = c == '|' ? ',' : c;
        error = std::string(option.flag) + " takes one of " + list + ", not '" +
                std::string(value) + "'";
        return false;
    }
    case OptionKind::special:
        return option.apply(job, value, error);
    }
    return false;
}

} // namespace vt::engine
