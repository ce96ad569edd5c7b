#include "platform/system_load.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace vt::platform {
namespace {

// The whole line starting with `key` followed by a blank or colon; empty when there is none.
std::string_view line_of(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            (line[key.size()] == ' ' || line[key.size()] == ':' || line[key.size()] == '\t'))
            return line.substr(key.size() + 1);
        at = end + 1;
    }
    return {};
}

std::vector<std::uint64_t> numbers_of(std::string_view text) {
    std::vector<std::uint64_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            break;
        std::uint64_t value = 0;
        const auto [next, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
        if (ec != std::errc{})
            break;
        out.push_back(value);
        i = static_cast<std::size_t>(next - text.data());
    }
    return out;
}

std::optional<std::uint64_t> kilobytes(std::string_view meminfo, std::string_view key) {
    const std::string_view line = line_of(meminfo, key);
    if (line.empty())
        return std::nullopt;
    const std::vector<std::uint64_t> n = numbers_of(line);
    if (n.empty())
        return std::nullopt;
    return n.front();
}

} // namespace

std::optional<ProcessorTimes> parse_processor_times(std::string_view proc_stat) {
    const std::vector<std::uint64_t> n = numbers_of(line_of(proc_stat, "cpu"));
    if (n.size() < 4) // user nice system idle, then iowait irq softirq steal on newer kernels
        return std::nullopt;
    const auto at = [&](std::size_t i) { return i < n.size() ? n[i] : 0; };
    ProcessorTimes t;
    t.idle = at(3) + at(4);
    t.kernel = at(2) + at(5) + at(6) + t.idle;
    t.user = at(0) + at(1) + at(7);
    return t;
}

std::optional<int> parse_memory_load(std::string_view meminfo) {
    const std::optional<std::uint64_t> total = kilobytes(meminfo, "MemTotal");
    if (!total || *total == 0)
        return std::nullopt;
    std::optional<std::uint64_t> available = kilobytes(meminfo, "MemAvailable");
    if (!available)
        available = kilobytes(meminfo, "MemFree").value_or(0) +
                    kilobytes(meminfo, "Buffers").value_or(0) +
                    kilobytes(meminfo, "Cached").value_or(0);
    const std::uint64_t used = *total - std::min(*available, *total);
    return static_cast<int>(used * 100 / *total);
}

int processor_load(const ProcessorTimes& before, const ProcessorTimes& after) {
    // Counters only grow; a smaller one means a reset, which counts as no time passed.
    const auto diff = [](std::uint64_t a, std::uint64_t b) { return b > a ? b - a : 0; };
    const std::uint64_t whole = diff(before.kernel, after.kernel) + diff(before.user, after.user);
    if (whole == 0)
        return 0;
    const std::uint64_t idle = diff(before.idle, after.idle);
    const std::int64_t load = 100 - static_cast<std::int64_t>(100 * std::min(idle, whole) / whole);
    return static_cast<int>(std::clamp<std::int64_t>(load, 0, 100));
}

std::string read_proc_file(const char* path) {
    std::string text;
    if (std::FILE* f = std::fopen(path, "re")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < (1u << 20))
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

std::optional<ProcessorTimes> read_processor_times() {
    return parse_processor_times(read_proc_file("/proc/stat"));
}

std::optional<int> read_memory_load() {
    return parse_memory_load(read_proc_file("/proc/meminfo"));
}

std::uint64_t available_memory_bytes() {
    const std::string meminfo = read_proc_file("/proc/meminfo");
    if (const auto kb = kilobytes(meminfo, "MemAvailable"))
        return *kb * 1024;
    const long pages = ::sysconf(_SC_AVPHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size)
               : 0;
}

} // namespace vt::platform
