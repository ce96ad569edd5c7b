#pragma once
// What became of one file of a job. Every file ends in exactly one outcome; the classic counters
// (converted, failed, unknown) keep their rules beside it, so a picture saved after its
// transforms were cut short counts as converted and is still reported as cut short.
// Thread: plain values.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vt::engine {

enum class Outcome {
    converted,
    warned,     // converted, but something was lost or repaired on the way (the warnings say what)
    cut_short,  // saved after a cancel or a failed transform: not the picture asked for
    failed,     // read but not written (counted failed)
    not_loaded, // could not be read (counted unknown; failed when it was memory)
    skipped,    // its target exists and the job leaves it
};

// "converted", "converted with warnings", "cut short", "failed", "not loaded", "skipped".
[[nodiscard]] const char* outcome_name(Outcome outcome) noexcept;
[[nodiscard]] bool outcome_from_name(std::string_view name, Outcome& outcome) noexcept;
// Whether a later run (--resume) may leave the file alone.
[[nodiscard]] constexpr bool outcome_is_done(Outcome outcome) noexcept {
    return outcome == Outcome::converted || outcome == Outcome::warned;
}

enum class FailureStage {
    walk,      // the walk could not reach it (an unreadable folder, a path too long)
    load,      // it could not be read
    transform, // a transform failed or was cancelled
    save,      // it was read but not written
};

[[nodiscard]] constexpr const char* stage_name(FailureStage stage) noexcept {
    switch (stage) {
    case FailureStage::walk:
        return "walk";
    case FailureStage::load:
        return "load";
    case FailureStage::transform:
        return "transform";
    case FailureStage::save:
        return "save";
    }
    return "load";
}

// The record the run keeps of every file that was not plainly converted or skipped, so the
// front ends can tell the user more than the last error.
struct FileOutcome {
    std::u16string source;
    std::u16string target; // empty when nothing was written
    Outcome outcome = Outcome::not_loaded;
    FailureStage stage = FailureStage::load; // where it went wrong; not for warned
    std::u16string reason;                   // one line; empty when nothing more is known
    std::vector<std::u16string> warnings;    // one line each
};

// A job keeps at most this many records; the counters go on counting.
inline constexpr std::size_t kMaxOutcomeRecords = 100000;

} // namespace vt::engine
