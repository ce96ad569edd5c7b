#include "cli/options.h"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>
#include <type_traits>

#include "base/utf.h"
#include "engine/job_checks.h"
#include "engine/preset.h"

namespace vt::cli {
namespace {

bool to_int(std::string_view text, long long& out) {
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc{} && ptr == end;
}

// A number within [min, max], else an error naming the option.
bool number(const std::string& option, std::string_view text, long long min, long long max,
            long long& out, std::string& error) {
    if (!to_int(text, out) || out < min || out > max) {
        error = option + " takes a number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not '" + std::string(text) + "'";
        return false;
    }
    return true;
}

bool number(const std::string& option, std::string_view text, const engine::FieldRange& range,
            long long& out, std::string& error) {
    return number(option, text, range.min, range.max, out, error);
}

template <std::size_t N>
void assign(base::FixedText<N>& field, const std::string& utf8) {
    field.assign(base::utf8_to_utf16(utf8));
}

} // namespace

std::string usage_text() {
    return R"(Usage: vtconvert [options] SOURCE TARGET

Converts every picture in the folder SOURCE into the folder TARGET, in one format.

Job:
  -f, --format EXT          target format, e.g. .png, jpg, .bmp (required)
  -r, --recursive           include sub-folders (the target mirrors them)
      --overwrite           allow a target folder that already holds files
      --open                open the target folder when done
      --pass-thru           copy unchanged files byte for byte when the source
                            already has the target extension
Renaming:
      --rename PATTERN      %s name, %f folder, %w width, %h height,
                            %n number, %nn zero-padded number
      --replace-from TEXT --replace-to TEXT
                            replace text in the new names
      --lowercase           lower-case the new names
Metadata:
      --remove-gps          remove the GPS tags
      --remove-dates        remove the date and time tags
Transforms (applied in this order: metadata, levels, denoise, rotation, resize,
watermark; a picture that any of them changes is re-encoded, never passed through):
      --resize MODE:WxH     0 none, 1 smaller than box, 2 larger than box,
                            3 best fit, 4 force box, 5 percent (W and H in %)
      --algorithm 0-3       0 none, 1 balanced, 2 high quality, 3 advanced
      --filter 0-5          advanced resampling filter
      --sinc-window 0-12    window of the windowed sinc filter
      --sinc-size 4-29      size of the windowed sinc filter
      --keep-bounding-box   don't turn the box with the picture
      --change-dpi          keep the physical print size
      --rotate 0-5          0 none, 1 90 cw, 2 90 ccw, 3 180, 4 upright by the
                            EXIF orientation (the default), 5 by the sky
      --autofix-levels      automatic levels
      --denoise R           median noise reduction, radius 1-9
      --watermark FILE      stamp a picture
      --watermark-pos X,Y   its place in percent (0-100 each)
      --watermark-size S    its size in percent (1-100)
      --watermark-fade F    its fade in percent (0-99)
      --fast-decode         decode JPEG and WebP sources reduced to twice the
                            resize target before resampling (faster, not
                            bit-exact)
      --watermark-text TEXT stamp a line of text, sized by --watermark-size and
                            placed by --watermark-pos as a picture mark is
      --watermark-font NAME its font: a fontconfig name ("DejaVu Sans:bold") or
                            a font file (default: sans-serif)
      --watermark-color RRGGBB   its colour (default: ffffff)
      --watermark-opacity P its opacity in percent (0-100, default: 60)
Colour:
      --to-srgb INTENT      convert pictures with a colour profile to sRGB and
                            drop the profile: perceptual or relative (always),
                            auto (perceptual, only for targets that cannot
                            carry a profile: the default) or off
Re-runs, reports and shares:
      --existing POLICY     what becomes of a target that exists: overwrite
                            (the default), skip, or keep-both (a new name
                            "name (1).ext"); skip and keep-both allow a
                            target folder that holds files. Two sources of one
                            job that map to one target refuse the job, unless
                            keep-both numbers the later ones
      --dry-run             print the plan (source -> target, action) and
                            change nothing
      --report FILE         write a JSON line per finished file (source,
                            target, outcome, reason, bytes in/out, ms)
      --resume FILE         leave out the sources that report FILE lists as
                            converted whose targets still have the recorded
                            size (a report to the same FILE is added to)
      --keep-times          give targets the sources' access and modification
                            times
      --preset FILE         start from the job saved in FILE (options given on
                            the command line change it further)
      --save-preset FILE    save the job described by the other options to FILE
                            instead of running it
      --shard I/N           convert only share I (0 to N-1) of N: a file's share
                            is the FNV-1a hash of its relative path modulo N
Program:
      --set NAME=VALUE      set a plug-in option (whole numbers are stored as
                            32-bit integers, anything else as text)
      --threads N           worker threads (default: one per processor)
      --memory-budget MB    memory the job's pictures may take together; each
                            worker's picture gets its share, a bigger one fails
                            with its reason (default: VANTREL_MEMORY_BUDGET_MB,
                            else 3/4 of the available memory)
      --password TEXT       password of protected VT5 sources (repeatable, tried
                            in order)
      --json                end with a one-line JSON summary on standard output
  -q, --quiet               no progress line, no summary
      --list-formats        list the formats the installed plug-ins handle and
                            their options (for --set)
  -h, --help                this text
      --version             the program's version

Exit status: 0 all converted, 1 some failed or could not be read (or the job
was cancelled with Ctrl-C or a closed terminal), 2 bad usage (found before
anything is created), 3 the job could not start. With --json every exit ends
with the JSON line.
)";
}

ParseResult parse_options(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> positional;
    std::string error;
    bool format_given = false;

    // A preset is the starting point whatever its place among the options.
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        std::string file;
        if (args[i] == "--preset" && i + 1 < args.size())
            file = args[i + 1];
        else if (args[i].rfind("--preset=", 0) == 0)
            file = args[i].substr(9);
        else
            continue;
        engine::Preset preset;
        preset.job = o.job;
        if (!engine::load_preset_file(base::utf8_to_utf16(file), preset, error))
            return {std::nullopt, "--preset " + file + ": " + error};
        o.job = preset.job;
        for (const auto& option : preset.options)
            o.states.push_back(option);
        format_given = format_given || !o.job.targetExtension.view().empty();
    }

    // An option that sets one coded field of the job, within the field's range.
    const auto coded = [&error](const engine::FieldRange& range, auto& field) {
        return [&error, range, to = &field](const std::string& n, const std::string& v) {
            long long x = 0;
            if (!number(n, v, range, x, error))
                return false;
            *to = static_cast<std::remove_pointer_t<decltype(to)>>(x);
            return true;
        };
    };
    // Options that take a value: name -> handler(value); false means bad value.
    const std::map<std::string, std::function<bool(const std::string&, const std::string&)>>
        with_value = {
            {"--format",
             [&](const std::string&, const std::string& v) {
                 o.job.targetExtension.assign(engine::normalize_extension(base::utf8_to_utf16(v)));
                 format_given = true;
                 return true;
             }},
            {"--password",
             [&](const std::string&, const std::string& v) {
                 o.passwords.push_back(base::utf8_to_utf16(v));
                 return true;
             }},
            {"--rename",
             [&](const std::string&, const std::string& v) {
                 o.job.rename = 1;
                 assign(o.job.renamePattern, v);
                 return true;
             }},
            {"--replace-from",
             [&](const std::string&, const std::string& v) {
                 o.job.replaceText = 1;
                 assign(o.job.replaceFrom, v);
                 return true;
             }},
            {"--replace-to",
             [&](const std::string&, const std::string& v) {
                 o.job.replaceText = 1;
                 assign(o.job.replaceTo, v);
                 return true;
             }},
            {"--resize",
             [&](const std::string& name, const std::string& v) {
                 long long mode = 0, w = 0, h = 0;
                 const auto colon = v.find(':'), x = v.find_first_of("xX");
                 if (colon == std::string::npos || x == std::string::npos || x < colon ||
                     !number(name, v.substr(0, colon), engine::kResizeModeRange, mode, error) ||
                     !number(name, v.substr(colon + 1, x - colon - 1), 0, 65535, w, error) ||
                     !number(name, v.substr(x + 1), 0, 65535, h, error)) {
                     if (error.empty() || colon == std::string::npos)
                         error = name + " takes MODE:WIDTHxHEIGHT, e.g. 3:1920x1080";
                     return false;
                 }
                 o.job.resizeMode = static_cast<std::int32_t>(mode);
                 o.job.resizeWidth = static_cast<std::uint16_t>(w);
                 o.job.resizeHeight = static_cast<std::uint16_t>(h);
                 return true;
             }},
            {"--algorithm", coded(engine::kResizeAlgorithmRange, o.job.resizeAlgorithm)},
            {"--filter", coded(engine::kScalingFilterRange, o.job.scalingFilter)},
            {"--sinc-window", coded(engine::kSincWindowRange, o.job.sincWindow)},
            {"--sinc-size", coded(engine::kSincSizeRange, o.job.sincSize)},
            {"--rotate", coded(engine::kRotationModeRange, o.job.rotationMode)},
            {"--denoise", coded(engine::kDenoiseRadiusRange, o.job.denoiseRadius)},
            {"--watermark",
             [&](const std::string&, const std::string& v) {
                 assign(o.job.watermarkFile, v);
                 return true;
             }},
            {"--watermark-pos",
             [&](const std::string& n, const std::string& v) {
                 long long x = 0, y = 0;
                 const auto comma = v.find(',');
                 if (comma == std::string::npos) {
                     error = n + " takes X,Y in percent, e.g. 100,100";
                     return false;
                 }
                 if (!number(n, v.substr(0, comma), engine::kWatermarkXRange, x, error) ||
                     !number(n, v.substr(comma + 1), engine::kWatermarkYRange, y, error))
                     return false;
                 o.job.watermarkX = static_cast<std::uint32_t>(x);
                 o.job.watermarkY = static_cast<std::uint32_t>(y);
                 return true;
             }},
            {"--watermark-size", coded(engine::kWatermarkSizeRange, o.job.watermarkSize)},
            {"--watermark-fade", coded(engine::kWatermarkFadeRange, o.job.watermarkFade)},
            {"--watermark-text",
             [&](const std::string&, const std::string& v) {
                 assign(o.job.watermarkText, v);
                 return true;
             }},
            {"--watermark-font",
             [&](const std::string&, const std::string& v) {
                 assign(o.job.watermarkFont, v);
                 return true;
             }},
            {"--watermark-color",
             [&](const std::string& n, const std::string& v) {
                 const std::string hex = !v.empty() && v[0] == '#' ? v.substr(1) : v;
                 unsigned long rgb = 0;
                 const auto [end, ec] =
                     std::from_chars(hex.data(), hex.data() + hex.size(), rgb, 16);
                 if (hex.size() != 6 || ec != std::errc{} || end != hex.data() + hex.size()) {
                     error = n + " takes a colour RRGGBB in hexadecimal, e.g. ffffff";
                     return false;
                 }
                 o.job.watermarkColor = static_cast<std::uint32_t>(rgb);
                 return true;
             }},
            {"--watermark-opacity", coded(engine::kWatermarkOpacityRange, o.job.watermarkOpacity)},
            {"--to-srgb",
             [&](const std::string& n, const std::string& v) {
                 static const std::map<std::string, std::int32_t> kChoices = {
                     {"auto", 0}, {"perceptual", 1}, {"relative", 2}, {"off", 3}};
                 const auto it = kChoices.find(v);
                 if (it == kChoices.end()) {
                     error = n + " takes perceptual, relative, auto or off";
                     return false;
                 }
                 o.job.toSrgb = it->second;
                 return true;
             }},
            {"--set",
             [&](const std::string& n, const std::string& v) {
                 const auto eq = v.find('=');
                 if (eq == std::string::npos || eq == 0) {
                     error = n + " takes NAME=VALUE";
                     return false;
                 }
                 o.states.emplace_back(base::utf8_to_utf16(v.substr(0, eq)), v.substr(eq + 1));
                 return true;
             }},
            {"--existing",
             [&](const std::string& n, const std::string& v) {
                 const std::map<std::string, engine::ExistingPolicy> policies = {
                     {"overwrite", engine::ExistingPolicy::overwrite},
                     {"skip", engine::ExistingPolicy::skip},
                     {"keep-both", engine::ExistingPolicy::keep_both}};
                 const auto p = policies.find(v);
                 if (p == policies.end()) {
                     error = n + " takes overwrite, skip or keep-both, not '" + v + "'";
                     return false;
                 }
                 o.job.extras.existing = p->second;
                 return true;
             }},
            {"--report",
             [&](const std::string&, const std::string& v) {
                 assign(o.job.extras.reportFile, v);
                 return true;
             }},
            {"--resume",
             [&](const std::string&, const std::string& v) {
                 assign(o.job.extras.resumeFile, v);
                 return true;
             }},
            {"--shard",
             [&](const std::string& n, const std::string& v) {
                 long long index = 0, count = 0;
                 const auto slash = v.find('/');
                 if (slash == std::string::npos || !to_int(v.substr(0, slash), index) ||
                     !to_int(v.substr(slash + 1), count) || count < 1 || count > 1000000 ||
                     index < 0 || index >= count) {
                     error = n + " takes I/N with I from 0 to N-1, e.g. 0/4, not '" + v + "'";
                     return false;
                 }
                 o.job.extras.shardIndex = static_cast<std::uint32_t>(index);
                 o.job.extras.shardCount = static_cast<std::uint32_t>(count);
                 return true;
             }},
            {"--preset", [&](const std::string&, const std::string&) { return true; }},
            {"--save-preset",
             [&](const std::string&, const std::string& v) {
                 o.save_preset = base::utf8_to_utf16(v);
                 return !v.empty();
             }},
            {"--threads",
             [&](const std::string& n, const std::string& v) {
                 long long x = 0;
                 return number(n, v, 1, 32, x, error) &&
                        (o.threads = static_cast<unsigned>(x), true);
             }},
            {"--memory-budget",
             [&](const std::string& n, const std::string& v) {
                 long long x = 0;
                 return number(n, v, 16, 1LL << 30, x, error) &&
                        (o.memory_budget_mb = static_cast<std::uint64_t>(x), true);
             }},
        };
    const std::map<std::string, std::function<void()>> flags = {
        {"--recursive", [&] { o.job.includeSubfolders = 1; }},
        {"--overwrite", [&] { o.job.overwrite = 1; }},
        {"--open", [&] { o.job.openTargetWhenDone = 1; }},
        {"--lowercase", [&] { o.job.lowercase = 1; }},
        {"--pass-thru", [&] { o.job.passThru = 1; }},
        {"--remove-gps", [&] { o.job.removeGps = 1; }},
        {"--remove-dates", [&] { o.job.removeDates = 1; }},
        {"--keep-bounding-box", [&] { o.job.keepBoundingBox = 1; }},
        {"--change-dpi", [&] { o.job.changeDpi = 1; }},
        {"--autofix-levels", [&] { o.job.autofixLevels = 1; }},
        {"--fast-decode", [&] { o.job.fastDecode = 1; }},
        {"--keep-times", [&] { o.job.extras.keepTimes = 1; }},
        {"--dry-run", [&] { o.dry_run = true; }},
        {"--json", [&] { o.json = true; }},
        {"--quiet", [&] { o.quiet = true; }},
        {"--list-formats", [&] { o.list_formats = true; }},
        {"--help", [&] { o.help = true; }},
        {"--version", [&] { o.version = true; }},
    };
    const std::map<std::string, std::string> short_names = {
        {"-f", "--format"}, {"-r", "--recursive"}, {"-q", "--quiet"}, {"-h", "--help"}};

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                              args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        bool inline_value = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        if (const auto s = short_names.find(arg); s != short_names.end())
            arg = s->second;
        if (const auto f = flags.find(arg); f != flags.end() && !inline_value) {
            f->second();
            continue;
        }
        const auto w = with_value.find(arg);
        if (w == with_value.end())
            return {std::nullopt, "unknown option '" + args[i] + "'"};
        if (!inline_value) {
            if (i + 1 >= args.size())
                return {std::nullopt, arg + " needs a value"};
            value = args[++i];
        }
        if (!w->second(arg, value))
            return {std::nullopt, error};
    }
    if (o.help || o.version || o.list_formats)
        return {std::move(o), {}};
    const bool folders_given =
        !o.job.sourceFolder.view().empty() && !o.job.targetFolder.view().empty(); // by a preset
    if (positional.size() != 2 &&
        !(positional.empty() && (folders_given || !o.save_preset.empty())))
        return {std::nullopt, "expected SOURCE and TARGET folders"};
    if (!format_given && o.save_preset.empty())
        return {std::nullopt, "the target format is missing (-f EXT)"};
    if (positional.size() == 2) {
        assign(o.job.sourceFolder, positional[0]);
        assign(o.job.targetFolder, positional[1]);
    }
    // Re-runs and shares write into a target folder that holds files by design.
    const engine::JobExtras& x = o.job.extras;
    if (x.existing != engine::ExistingPolicy::overwrite || !x.resumeFile.view().empty() ||
        x.shardCount > 1)
        o.job.overwrite = 1;
    return {std::move(o), {}};
}

} // namespace vt::cli
