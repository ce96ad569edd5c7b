#pragma once
// Why a file of a job was not converted: its source, the step it failed in and the reason the
// format code or the system gave. The run keeps one record per failed or unreadable file so the
// front ends can tell the user more than the last error.
// Thread: plain values.

#include <cstddef>
#include <string>

namespace vt::engine {

enum class FailureStage {
    walk, // the walk could not reach it (an unreadable folder, a path too long)
    load, // it could not be read (counted unknown)
    save, // it was read but not written (counted failed)
};

struct FileFailure {
    std::u16string source;
    FailureStage stage = FailureStage::load;
    std::u16string reason; // one line; empty when nothing more is known
};

// A job keeps at most this many records; the counters go on counting.
inline constexpr std::size_t kMaxFailureRecords = 100000;

[[nodiscard]] constexpr const char* stage_name(FailureStage stage) noexcept {
    switch (stage) {
    case FailureStage::walk:
        return "walk";
    case FailureStage::load:
        return "load";
    case FailureStage::save:
        return "save";
    }
    return "load";
}

} // namespace vt::engine
