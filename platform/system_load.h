#pragma once
// Processor and memory load from /proc/stat and /proc/meminfo.
// Thread: any.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vt::platform {

// The machine's processor times since boot, in clock ticks. As on the system the design comes
// from, kernel time includes idle time, so kernel + user is the whole.
struct ProcessorTimes {
    std::uint64_t idle = 0;
    std::uint64_t kernel = 0;
    std::uint64_t user = 0;
};

// The "cpu" line of a /proc/stat text: idle is idle + iowait; kernel is system + irq + softirq
// + idle; user is user + nice + steal. Nothing when the line is missing or malformed.
[[nodiscard]] std::optional<ProcessorTimes> parse_processor_times(std::string_view proc_stat);
// Percent of memory in use, 0..100, from a /proc/meminfo text: (MemTotal - MemAvailable) of
// MemTotal, truncated (MemFree + Buffers + Cached stand in for MemAvailable on old kernels).
// Nothing without MemTotal.
[[nodiscard]] std::optional<int> parse_memory_load(std::string_view meminfo);

// Load from the processor times between two readings: 100 - 100 * idle / (kernel + user),
// truncated and clamped to 0..100; 0 when no time has passed.
[[nodiscard]] int processor_load(const ProcessorTimes& before, const ProcessorTimes& after);

// The same read from the live files; nothing when they cannot be read.
[[nodiscard]] std::optional<ProcessorTimes> read_processor_times();
[[nodiscard]] std::optional<int> read_memory_load();

// Bytes of memory available to new work: MemAvailable of /proc/meminfo, else the free pages the
// system reports; 0 when neither can be had.
[[nodiscard]] std::uint64_t available_memory_bytes();

// A small text file read whole (files under /proc report no size); empty when unreadable.
[[nodiscard]] std::string read_proc_file(const char* path);

} // namespace vt::platform
