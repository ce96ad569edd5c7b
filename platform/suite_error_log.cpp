#include "platform/suite_error_log.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include "base/text.h"
#include "base/utf.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/ui_hooks.h"

namespace vt::platform {
namespace {

std::u16string cleaned(std::u16string_view text, char16_t bar) {
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c == u'\t' || c == u'\r' || c == u'\n')
            c = u' ';
        else if (c == u'|')
            c = bar;
    }
    return std::u16string(base::trim(out, u" "));
}

std::u16string log_path(std::u16string_view data_root) {
    const std::u16string root = data_root.empty() ? suite_data_root() : std::u16string(data_root);
    return root.empty() ? std::u16string{} : join_path(root, u"suite_error.log");
}

std::string to_bytes(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

} // namespace

UtcTime utc_from_epoch_ms(std::int64_t ms) noexcept {
    UtcTime t;
    const std::int64_t seconds = ms / 1000;
    std::int64_t days = seconds / 86400;
    const std::int64_t rest = seconds % 86400;
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.millisecond = static_cast<int>(ms % 1000);
    // Civil date from a day count (proleptic Gregorian calendar, eras of 400 years).
    days += 719468;
    const std::int64_t era = days / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    return t;
}

UtcTime utc_now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return utc_from_epoch_ms(std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000);
}

std::u16string suite_log_line(const UtcTime& t, std::u16string_view source,
                              std::u16string_view message) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%.04hu-%.02hu-%.02hu %.02hu:%.02hu:%.02hu.%.03hu",
                  static_cast<unsigned short>(t.year), static_cast<unsigned short>(t.month),
                  static_cast<unsigned short>(t.day), static_cast<unsigned short>(t.hour),
                  static_cast<unsigned short>(t.minute), static_cast<unsigned short>(t.second),
                  static_cast<unsigned short>(t.millisecond));
    std::u16string line = base::ascii_to_utf16(stamp) + u" | " + cleaned(source, u'/') + u" | " +
                          cleaned(message, u'\u00A6');
    constexpr std::u16string_view kEnd = u" \r\n";
    if (line.size() > kSuiteLogLineChars - kEnd.size())
        line.resize(kSuiteLogLineChars - kEnd.size());
    return line.append(kEnd);
}

std::u16string suite_log_text_with(std::u16string_view text, std::u16string_view line) {
    std::u16string kept(text);
    if (kept.size() + line.size() > kSuiteLogLimitChars) {
        std::size_t from = 0;
        while (from < kept.size() && kept.size() - from + line.size() > kSuiteLogKeepChars) {
            const std::size_t end = kept.find(u'\n', from);
            from = end == std::u16string::npos ? kept.size() : end + 1;
        }
        kept.erase(0, from);
        if (!kept.empty() && kept.back() != u'\n')
            kept.append(u"\r\n");
    }
    return kept.append(line);
}

bool write_suite_error(std::u16string_view source, std::u16string_view message,
                       std::u16string_view data_root) {
    const std::u16string line = suite_log_line(utc_now(), source, message);
    const std::u16string path = log_path(data_root);
    File file;
    for (int attempt = 0; !path.empty() && attempt < kSuiteLogOpenAttempts; ++attempt) {
        if (file.open_exclusive(path, File::Mode::read_write_create))
            break;
        std::this_thread::yield();
    }
    if (!file.is_open()) {
        message_box(line, u"Error", MessageButtons::ok, MessageIcon::error);
        return false;
    }
    const std::uint64_t bytes = file_size(path).value_or(0);
    if (bytes > kSuiteLogLimitChars) {
        std::vector<std::uint8_t> raw(bytes);
        raw.resize(file.read(raw));
        std::u16string text(raw.size() / 2, u'\0');
        for (std::size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
        const std::string out = to_bytes(suite_log_text_with(text, line));
        const auto* p = reinterpret_cast<const std::uint8_t*>(out.data());
        return file.seek(0) && file.write({p, out.size()}) == out.size() && file.truncate_here();
    }
    const std::string out = to_bytes(line);
    const auto* p = reinterpret_cast<const std::uint8_t*>(out.data());
    return file.seek_end() && file.write({p, out.size()}) == out.size();
}

void fatal_message(std::u16string_view text, std::u16string_view title,
                   std::u16string_view log_text) {
    message_box(text, title, MessageButtons::ok, MessageIcon::error);
    write_suite_error(kConverterSource, log_text.empty() ? text : log_text);
}

void report_bad_parameter(const char* function, const char* file, int line,
                          const char* expression) noexcept {
    try {
        char text[1024];
        std::snprintf(text, sizeof text,
                      "Bad parameter: func \"%s\" in \"%s\" at \"%d\"; expression = %s", function,
                      file, line, expression);
        write_suite_error(kConverterSource, base::utf8_to_utf16(text));
    } catch (...) {
        // A report that cannot be made must not fail the caller any further.
    }
}

// --- The fault report. Everything the handler needs is prepared before a fault can happen.

namespace {

constexpr int kReportedSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kReportAltStack = 64 * 1024;

char g_log_path[kMaxPath * 3 + 1];
struct sigaction g_before[5]; // what handled the signals before the report
char g_alt_stack[kReportAltStack];

struct Ascii {
    char text[512];
    std::size_t size = 0;
    void add(const char* s) noexcept {
        while (*s && size < sizeof text)
            text[size++] = *s++;
    }
    void add_number(unsigned long long v, int digits, int base) noexcept {
        char d[32];
        int n = 0;
        do {
            d[n++] = "0123456789ABCDEF"[v % static_cast<unsigned>(base)];
            v /= static_cast<unsigned>(base);
        } while (v && n < 32);
        while (n < digits && n < 32)
            d[n++] = '0';
        while (n > 0 && size < sizeof text)
            text[size++] = d[--n];
    }
};

const char* fault_name(int sig, int code, bool writing, bool executing, bool overflow) noexcept {
    switch (sig) {
    case SIGSEGV:
        return overflow    ? "Stack Overflow"
               : executing ? "Access Violation Executing "
               : writing   ? "Access Violation Writing "
                           : "Access Violation Reading ";
    case SIGBUS:
        return "In Page Error ";
    case SIGFPE:
        return code == FPE_INTDIV   ? "Integer Divide By Zero"
               : code == FPE_INTOVF ? "Integer Overflow"
                                    : "Float Exception";
    case SIGILL:
        return "Illegal Instruction";
    default:
        return "Unknown Exception ";
    }
}

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
    // A handler installed earlier (the plug-in guard) sees the fault first: inside a guarded
    // call it never comes back.
    for (std::size_t i = 0; i < 5; ++i) {
        const struct sigaction& before = g_before[i];
        if (kReportedSignals[i] != sig)
            continue;
        if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction)
            before.sa_sigaction(sig, info, context);
        else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN && before.sa_handler)
            before.sa_handler(sig);
    }
    const auto data = reinterpret_cast<std::uintptr_t>(info->si_addr);
    std::uintptr_t code = data;
    bool writing = false, executing = false, overflow = false;
#if defined(__x86_64__)
    const auto* uc = static_cast<const ucontext_t*>(context);
    code = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    const auto err = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_ERR]);
    const auto sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    if (sig == SIGSEGV) {
        writing = (err & 2) != 0;
        executing = (err & 16) != 0;
        overflow = data + 65536 >= sp && data < sp + 65536;
    }
#else
    (void)context;
#endif
    const bool from_kernel = info->si_code > 0; // raise() and kill() carry no fault address
    if (!from_kernel || sig == SIGABRT)
        code = 0;
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const UtcTime t = utc_from_epoch_ms(std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000);
    Ascii a;
    a.add_number(static_cast<unsigned>(t.year), 4, 10);
    a.add("-");
    a.add_number(static_cast<unsigned>(t.month), 2, 10);
    a.add("-");
    a.add_number(static_cast<unsigned>(t.day), 2, 10);
    a.add(" ");
    a.add_number(static_cast<unsigned>(t.hour), 2, 10);
    a.add(":");
    a.add_number(static_cast<unsigned>(t.minute), 2, 10);
    a.add(":");
    a.add_number(static_cast<unsigned>(t.second), 2, 10);
    a.add(".");
    a.add_number(static_cast<unsigned>(t.millisecond), 3, 10);
    a.add(" | Converter | Fatal Error at ");
    a.add_number(code, 16, 16);
    a.add("/");
    a.add_number(from_kernel ? data : 0, 16, 16);
    a.add(": ");
    const char* name = fault_name(sig, info->si_code, writing, executing, overflow);
    a.add(name);
    if (sig == SIGSEGV && !overflow)
        a.add_number(data, 16, 16);
    else if (sig == SIGBUS)
        a.add_number(data, 16, 16);
    else if (sig == SIGABRT)
        a.add_number(static_cast<unsigned>(sig), 8, 16);
    a.add(" \r\n");

    char utf16[sizeof a.text * 2];
    for (std::size_t i = 0; i < a.size; ++i) {
        utf16[2 * i] = a.text[i];
        utf16[2 * i + 1] = 0;
    }
    if (g_log_path[0]) {
        const int fd = ::open(g_log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            for (int i = 0; i < kSuiteLogOpenAttempts && ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++i)
                ::sched_yield();
            (void)!::write(fd, utf16, a.size * 2);
            ::close(fd);
        }
    }
    // The default action ends the process: at once for raise() and abort(), when the faulting
    // instruction runs again for a real fault.
    ::signal(sig, SIG_DFL);
    if (!from_kernel)
        ::raise(sig);
}

} // namespace

void install_fault_report() noexcept {
    try {
        const std::string path = to_os_path(log_path({}));
        if (path.size() < sizeof g_log_path)
            std::memcpy(g_log_path, path.c_str(), path.size() + 1);
    } catch (...) {
        g_log_path[0] = 0;
    }
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t ss{};
        ss.ss_sp = g_alt_stack;
        ss.ss_size = sizeof g_alt_stack;
        (void)::sigaltstack(&ss, nullptr);
    }
    struct sigaction sa {};
    sa.sa_sigaction = on_fatal_signal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (std::size_t i = 0; i < 5; ++i) {
        struct sigaction before {};
        if (::sigaction(kReportedSignals[i], &sa, &before) == 0 &&
            !((before.sa_flags & SA_SIGINFO) && before.sa_sigaction == on_fatal_signal))
            g_before[i] = before;
    }
}

} // namespace vt::platform
