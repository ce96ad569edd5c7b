#include "engine/job_plan.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/escape.h"
#include "base/utf.h"
#include "engine/file_outcome.h"
#include "engine/source_scan.h"
#include "engine/target_naming.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::engine {
namespace {

constexpr const char* kOutcomeNames[] = {
    "converted", "converted with warnings", "cut short", "failed", "not loaded", "skipped"};

constexpr std::uint32_t kMostNumbers = 100000; // numbered names tried before giving up
constexpr std::size_t kMostReportBytes = std::size_t{1} << 30;

// A name as "key":"text", plus "key_bytes":"hex" when the name holds bytes that are not UTF-8:
// the line stays valid UTF-8 and the file can still be found by its exact name.
void put_name(std::string& out, std::string_view key, std::u16string_view name) {
    out += '"';
    out += key;
    out += "\":\"" + base::json_escape(name) + '"';
    if (base::has_undecodable_bytes(name)) {
        out += ",\"";
        out += key;
        out += "_bytes\":\"" + base::hex_bytes(name) + '"';
    }
}

// A text for people: a stray byte becomes U+FFFD itself, so that reading the line back and
// writing it again gives the same line.
void put_text(std::string& out, std::string_view key, std::string_view text) {
    std::u16string units = base::utf8_to_utf16(text);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
            ++i;
        else if (units[i] >= 0xD800 && units[i] <= 0xDFFF)
            units[i] = 0xFFFD;
    }
    out += '"';
    out += key;
    out += "\":\"" + base::json_escape(units) + '"';
}

// A reader of the flat JSON objects report_line writes: string and whole-number values only.
class FlatObject {
public:
    explicit FlatObject(std::string_view text) : m_text(text) {}

    // Calls on_string(key, value) or on_number(key, value) per member; false on bad syntax.
    template <class S, class N>
    bool read(S on_string, N on_number) {
        if (!expect('{'))
            return false;
        skip_blanks();
        if (peek() == '}')
            return finish();
        for (;;) {
            std::string key, value;
            if (!string(key) || !expect(':'))
                return false;
            skip_blanks();
            if (peek() == '"') {
                if (!string(value))
                    return false;
                on_string(key, value);
            } else if (peek() == '[') {
                if (!strings(key, on_string))
                    return false;
            } else {
                std::uint64_t n = 0;
                const char* begin = m_text.data() + m_at;
                const auto [end, ec] = std::from_chars(begin, m_text.data() + m_text.size(), n);
                if (ec != std::errc{})
                    return false;
                m_at += static_cast<std::size_t>(end - begin);
                on_number(key, n);
            }
            skip_blanks();
            if (peek() == '}')
                return finish();
            if (!expect(','))
                return false;
        }
    }

private:
    // A list of strings: on_string(key, element) for each.
    template <class S>
    bool strings(const std::string& key, S& on_string) {
        ++m_at;
        skip_blanks();
        if (peek() == ']')
            return ++m_at, true;
        for (;;) {
            std::string value;
            skip_blanks();
            if (!string(value))
                return false;
            on_string(key, value);
            skip_blanks();
            if (peek() == ']')
                return ++m_at, true;
            if (!expect(','))
                return false;
        }
    }

    char peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
    void skip_blanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\n'))
            ++m_at;
    }
    bool expect(char c) {
        skip_blanks();
        if (peek() != c)
            return false;
        ++m_at;
        return true;
    }
    bool finish() {
        ++m_at;
        skip_blanks();
        return m_at == m_text.size();
    }
    bool hex4(std::uint32_t& out) {
        if (m_text.size() - m_at < 4)
            return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_at++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0)
                return false;
            out = out * 16 + static_cast<std::uint32_t>(d);
        }
        return true;
    }
    bool string(std::string& out) {
        if (!expect('"'))
            return false;
        std::u16string units; // escapes may give surrogate pairs
        const auto flush = [&] {
            out += base::utf16_to_utf8(units);
            units.clear();
        };
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') {
                flush();
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                flush();
                out += c;
                continue;
            }
            if (m_at >= m_text.size())
                return false;
            const char e = m_text[m_at++];
            static const std::string_view plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
            if (const auto at = plain.find(e); at != std::string_view::npos) {
                flush();
                out += meant[at];
            } else if (std::uint32_t u = 0; e == 'u' && hex4(u)) {
                units += static_cast<char16_t>(u);
            } else {
                return false;
            }
        }
        return false;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

bool on_disk(std::u16string_view path) {
    return platform::path_exists(path);
}

std::u16string join_sources(const std::vector<const JobFile*>& files) {
    std::u16string text;
    for (const JobFile* f : files)
        text += (text.empty() ? u"" : u", ") + f->relative;
    return text;
}

} // namespace

const char* outcome_name(Outcome outcome) noexcept {
    return kOutcomeNames[static_cast<int>(outcome)];
}

bool outcome_from_name(std::string_view name, Outcome& outcome) noexcept {
    for (std::size_t i = 0; i < std::size(kOutcomeNames); ++i)
        if (name == kOutcomeNames[i])
            return outcome = static_cast<Outcome>(i), true;
    if (name == "unreadable") // the name reports of earlier versions give
        return outcome = Outcome::not_loaded, true;
    return false;
}

std::uint32_t share_of(std::u16string_view relative, std::uint32_t count) noexcept {
    if (count < 2)
        return 0;
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : base::utf16_to_utf8(relative)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return static_cast<std::uint32_t>(hash % count);
}

std::string report_line(const ReportRecord& r) {
    std::string line = "{";
    put_name(line, "source", r.source);
    line += ',';
    put_name(line, "target", r.target);
    line += ',';
    put_text(line, "outcome", r.outcome);
    line += ',';
    put_text(line, "reason", r.reason);
    if (!r.warnings.empty()) {
        line += ",\"warnings\":[";
        for (std::size_t i = 0; i < r.warnings.size(); ++i) {
            if (i)
                line += ',';
            line += '"' + base::json_escape(base::utf8_to_utf16(r.warnings[i])) + '"';
        }
        line += ']';
    }
    if (r.bits != 0)
        line += ",\"bits\":" + std::to_string(r.bits);
    line += ",\"bytes_in\":" + std::to_string(r.bytes_in) +
            ",\"bytes_out\":" + std::to_string(r.bytes_out) + ",\"ms\":" + std::to_string(r.ms) +
            "}";
    return line;
}

std::optional<ReportRecord> parse_report_line(std::string_view line) {
    ReportRecord r;
    bool has_source = false;
    // The exact bytes of a name win over its text, whichever comes first in the line.
    std::optional<std::u16string> source_bytes, target_bytes;
    FlatObject object(line);
    const bool ok = object.read(
        [&](const std::string& key, const std::string& value) {
            if (key == "source") {
                r.source = base::utf8_to_utf16(value);
                has_source = true;
            } else if (key == "target") {
                r.target = base::utf8_to_utf16(value);
            } else if (key == "outcome") {
                r.outcome = value;
            } else if (key == "reason") {
                r.reason = value;
            } else if (key == "warnings") {
                r.warnings.push_back(value);
            } else if (key == "source_bytes") {
                source_bytes = base::from_hex_bytes(value);
            } else if (key == "target_bytes") {
                target_bytes = base::from_hex_bytes(value);
            }
        },
        [&](const std::string& key, std::uint64_t value) {
            if (key == "bytes_in")
                r.bytes_in = value;
            else if (key == "bits")
                r.bits = static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 64));
            else if (key == "bytes_out")
                r.bytes_out = value;
            else if (key == "ms")
                r.ms = value;
        });
    if (!ok || !has_source)
        return std::nullopt;
    if (source_bytes)
        r.source = std::move(*source_bytes);
    if (target_bytes)
        r.target = std::move(*target_bytes);
    return r;
}

bool DoneList::load(std::u16string_view report) {
    m_done.clear();
    if (!on_disk(report))
        return true;
    const std::optional<std::string> text = platform::read_file_prefix(report, kMostReportBytes);
    if (!text)
        return false;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::optional<ReportRecord> r = parse_report_line(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        Outcome outcome{};
        if (!r || !outcome_from_name(r->outcome, outcome) || !outcome_is_done(outcome) ||
            r->target.empty())
            continue; // a line cut by a kill, or a file that still needs work
        const auto size = platform::file_size(r->target);
        if (size && *size == r->bytes_out)
            m_done[r->source] = r->target;
        else
            m_done.erase(r->source); // a later run may have failed where an earlier succeeded
    }
    return true;
}

const std::u16string* DoneList::target_of(std::u16string_view source) const {
    const auto it = m_done.find(std::u16string(source));
    return it == m_done.end() ? nullptr : &it->second;
}

std::u16string report_path(const ConversionJob& job) {
    if (!job.extras.reportFile.view().empty())
        return job.extras.reportFile.str();
    if (job.extras.writeReport)
        return platform::join_path(job.targetFolder.view(), u"_report.jsonl");
    return {};
}

std::u16string numbered_target(std::u16string_view target, std::uint32_t n) {
    const std::u16string_view name = platform::file_name_of(target);
    const std::size_t dot = name.rfind(u'.');
    const std::u16string_view stem = dot == std::u16string_view::npos ? name : name.substr(0, dot);
    const std::u16string_view ext =
        dot == std::u16string_view::npos ? std::u16string_view{} : name.substr(dot);
    const std::u16string number = base::utf8_to_utf16(" (" + std::to_string(n) + ")");
    return platform::join_path(platform::folder_of(target),
                               fit_file_name(std::u16string(stem) + number, ext));
}

bool names_wait_for_size(const ConversionJob& job) noexcept {
    const std::u16string_view pattern = job.renamePattern.view();
    return job.rename && (pattern.find(u"%w") != std::u16string_view::npos ||
                          pattern.find(u"%h") != std::u16string_view::npos);
}

const char* action_name(PlanAction action) noexcept {
    switch (action) {
    case PlanAction::write:
        return "write";
    case PlanAction::replace:
        return "replace";
    case PlanAction::skip:
        return "skip (exists)";
    case PlanAction::keep_both:
        return "keep both";
    case PlanAction::done:
        return "done before";
    case PlanAction::clash:
        return "clash";
    case PlanAction::unreachable:
        return "unreachable";
    }
    return "?";
}

JobPlan plan_job(const ConversionJob& job, const DoneList& done,
                 std::span<const std::u16string> listed) {
    const std::vector<JobFile> files = list_job_files(job, listed);
    const bool later = names_wait_for_size(job);
    const ExistingPolicy policy = job.extras.existing;

    // The name each file gets before numbering, and who else wants it.
    std::vector<std::u16string> names(files.size());
    std::map<std::u16string, std::vector<const JobFile*>> wanted_by;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const JobFile& f = files[i];
        if (!f.unreachable.empty())
            continue;
        if (const std::u16string* earlier = done.target_of(f.source))
            names[i] = *earlier;
        else if (job.rename && !later)
            names[i] = renamed_target_path(job, {f.target, 0, 0, f.sequence, f.folder_count});
        else
            names[i] = f.target;
        if (!later)
            wanted_by[names[i]].push_back(&f);
    }

    JobPlan plan;
    plan.listed = static_cast<std::uint32_t>(files.size());
    if (policy != ExistingPolicy::keep_both)
        for (const auto& [target, sources] : wanted_by)
            if (sources.size() > 1)
                plan.clashes.push_back(std::u16string(platform::file_name_of(target)) + u" <- " +
                                       join_sources(sources));

    std::unordered_set<std::u16string> taken; // keep both: names given out so far
    for (const auto& entry : wanted_by)
        taken.insert(entry.first);
    std::unordered_set<std::u16string> first_seen;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const JobFile& f = files[i];
        if (!f.unreachable.empty()) {
            // Every share reports it: none of them can tell whose files it holds.
            plan.files.push_back(
                {f.source, {}, {}, 0, 0, PlanAction::unreachable, false, f.unreachable});
            continue;
        }
        PlannedFile p{f.source,       f.relative,        names[i], f.sequence,
                      f.folder_count, PlanAction::write, later,    {}};
        const bool mine =
            !sharded(job) || share_of(f.relative, job.extras.shardCount) == job.extras.shardIndex;
        const bool exists = on_disk(p.target);
        const bool shared = !later && wanted_by[p.target].size() > 1;
        const bool first = first_seen.insert(p.target).second;
        if (done.target_of(f.source)) {
            p.action = PlanAction::done;
        } else if (policy == ExistingPolicy::keep_both && (exists || (shared && !first))) {
            std::uint32_t n = 1;
            while (n < kMostNumbers && (taken.count(numbered_target(names[i], n)) ||
                                        on_disk(numbered_target(names[i], n))))
                ++n;
            p.target = numbered_target(names[i], n);
            taken.insert(p.target);
            p.action = PlanAction::keep_both;
        } else if (shared) {
            p.action = policy == ExistingPolicy::keep_both ? PlanAction::write : PlanAction::clash;
        } else if (exists) {
            p.action = policy == ExistingPolicy::skip ? PlanAction::skip : PlanAction::replace;
        }
        if (mine)
            plan.files.push_back(std::move(p));
    }
    return plan;
}

std::optional<FileTimes> file_times(std::u16string_view path) {
    struct stat st {};
    if (::stat(platform::to_os_path(path).c_str(), &st) != 0)
        return std::nullopt;
    return FileTimes{st.st_atim.tv_sec, st.st_atim.tv_nsec, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

bool set_file_times(std::u16string_view path, const FileTimes& t) {
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(t.access_s);
    times[0].tv_nsec = static_cast<long>(t.access_ns);
    times[1].tv_sec = static_cast<time_t>(t.modify_s);
    times[1].tv_nsec = static_cast<long>(t.modify_ns);
    return ::utimensat(AT_FDCWD, platform::to_os_path(path).c_str(), times, 0) == 0;
}

FileRules::FileRules(const ConversionJob& job, const JobPlan& plan) : m_job(job) {
    const JobExtras& x = job.extras;
    if (x.existing == ExistingPolicy::keep_both) {
        for (const PlannedFile& f : plan.files) {
            if (f.action == PlanAction::unreachable || f.action == PlanAction::done)
                continue;
            if (!f.named_later)
                m_planned[f.source] = f.target;
            m_claimed.insert(f.target);
        }
    }
    const std::u16string report = report_path(job);
    if (!report.empty()) {
        // Resuming into the report it reads adds to it; any other report starts afresh.
        const bool append =
            !x.resumeFile.view().empty() &&
            (x.resumeFile == report || platform::same_file(x.resumeFile.view(), report));
        m_report_fd =
            ::open(platform::to_os_path(report).c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (append ? 0 : O_TRUNC), 0600);
    }
}

FileRules::~FileRules() {
    if (m_report_fd >= 0)
        ::close(m_report_fd);
    // A claimed name whose save failed (or never came) is still the empty file we made.
    for (const auto& [name, id] : m_on_disk)
        (void)platform::drop_unused_claim(name, id);
}

FileRules::Claim FileRules::claim(const std::u16string& name) {
    if (const auto id = platform::claim_new_file(name)) {
        m_on_disk.emplace_back(name, *id);
        return Claim::mine;
    }
    // Anything else (no such folder, no right to write) is left to the save, which says why.
    return errno == EEXIST ? Claim::taken : Claim::failed;
}

bool FileRules::skip_early(std::u16string_view target) const {
    return m_job.extras.existing == ExistingPolicy::skip && !names_wait_for_size(m_job) &&
           on_disk(target);
}

std::optional<std::u16string> FileRules::final_target(std::u16string_view source,
                                                      std::u16string_view target) {
    const ExistingPolicy policy = m_job.extras.existing;
    if (policy == ExistingPolicy::overwrite)
        return std::u16string(target);
    std::lock_guard lock(m_lock);
    if (policy == ExistingPolicy::skip) {
        std::u16string name(target);
        if (!m_claimed.insert(name).second || claim(name) == Claim::taken)
            return std::nullopt;
        return name;
    }
    // Keep both: the planned name if it is still free, else the first free one, counting from
    // the name itself. The plan was made before the job; other jobs may have written since.
    if (const auto it = m_planned.find(std::u16string(source)); it != m_planned.end()) {
        if (claim(it->second) != Claim::taken)
            return it->second;
    }
    for (std::uint32_t n = 0; n < kMostNumbers; ++n) {
        std::u16string name = n == 0 ? std::u16string(target) : numbered_target(target, n);
        if (m_claimed.count(name))
            continue; // planned for another file of this job, or given out already
        if (claim(name) == Claim::taken)
            continue;
        m_claimed.insert(name);
        return name;
    }
    return std::nullopt;
}

void FileRules::report(const ReportRecord& record) {
    if (m_report_fd < 0)
        return;
    const std::string line = report_line(record) + "\n";
    std::lock_guard lock(m_lock);
    // One write per line: with O_APPEND, lines of several processes never interleave.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(m_report_fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace vt::engine
