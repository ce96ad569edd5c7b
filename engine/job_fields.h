#pragma once
// The fields of a job in one place: each field of the record by the key a preset gives it, and
// each command-line option with the field it sets, its syntax, its range and its help. The
// option parser, `vtconvert --help` and the presets are all driven from here, so they cannot
// drift apart.
// Thread: any; constant tables and plain functions.

#include <span>
#include <string>
#include <string_view>

#include "engine/conversion_job.h"

namespace vt::engine {

// Every field of the job, by its preset key, in the record's order: v(key, field).
template <class Visit>
void visit_fields(ConversionJob& j, Visit&& v) {
    v("sourceFolder", j.sourceFolder);
    v("targetFolder", j.targetFolder);
    v("targetExtension", j.targetExtension);
    v("renamePattern", j.renamePattern);
    v("replaceFrom", j.replaceFrom);
    v("replaceTo", j.replaceTo);
    v("includeSubfolders", j.includeSubfolders);
    v("overwrite", j.overwrite);
    v("openTargetWhenDone", j.openTargetWhenDone);
    v("rename", j.rename);
    v("replaceText", j.replaceText);
    v("lowercase", j.lowercase);
    v("passThru", j.passThru);
    v("removeGps", j.removeGps);
    v("removeDates", j.removeDates);
    v("resizeWidth", j.resizeWidth);
    v("resizeHeight", j.resizeHeight);
    v("resizeMode", j.resizeMode);
    v("resizeAlgorithm", j.resizeAlgorithm);
    v("scalingFilter", j.scalingFilter);
    v("sincWindow", j.sincWindow);
    v("sincSize", j.sincSize);
    v("keepBoundingBox", j.keepBoundingBox);
    v("changeDpi", j.changeDpi);
    v("rotationMode", j.rotationMode);
    v("autofixLevels", j.autofixLevels);
    v("denoiseRadius", j.denoiseRadius);
    v("watermarkX", j.watermarkX);
    v("watermarkY", j.watermarkY);
    v("watermarkSize", j.watermarkSize);
    v("watermarkFade", j.watermarkFade);
    v("watermarkFile", j.watermarkFile);
    v("fastDecode", j.fastDecode);
    v("toSrgb", j.toSrgb);
    v("watermarkText", j.watermarkText);
    v("watermarkFont", j.watermarkFont);
    v("watermarkColor", j.watermarkColor);
    v("watermarkOpacity", j.watermarkOpacity);
    v("depth", j.depth);
    v("existing", j.extras.existing);
    v("keepTimes", j.extras.keepTimes);
    v("writeReport", j.extras.writeReport);
    v("reportFile", j.extras.reportFile);
    v("resumeFile", j.extras.resumeFile);
    v("shardIndex", j.extras.shardIndex);
    v("shardCount", j.extras.shardCount);
}

// How an option's value becomes its field.
enum class OptionKind : unsigned char {
    on,      // a switch: the field becomes 1
    text,    // the value as text
    number,  // a whole number within `range`
    choice,  // one of `choices`, stored as its position
    special, // `apply` reads the value (several fields, or a syntax of its own)
};

// Sections of the help, in the order it shows them.
enum class HelpSection : unsigned char {
    job,
    renaming,
    metadata,
    transforms,
    colour,
    reruns,
    program
};

struct JobOption {
    const char* flag;  // "--format"
    char short_flag;   // 'f', or 0
    const char* value; // the value's syntax in the help ("EXT"); null for a switch
    OptionKind kind;
    const char* key;         // the preset key of the field it sets (of the first, for several)
    const FieldRange* range; // number: the field's range
    const char* choices;     // choice: the names, separated by '|'
    bool (*apply)(ConversionJob& job, std::string_view value, std::string& error); // special
    HelpSection section;
    const char* help; // "\n" starts another line
};

// Every option that sets a field of the job, in the help's order.
[[nodiscard]] std::span<const JobOption> job_options() noexcept;

// A whole number within [min, max] from an option's value; false with `error` naming the option.
bool parse_whole(std::string_view option, std::string_view text, long long min, long long max,
                 long long& out, std::string& error);

// Sets the job's field(s) from an option's value; false with `error` naming the option.
bool apply_job_option(const JobOption& option, ConversionJob& job, std::string_view value,
                      std::string& error);

} // namespace vt::engine
