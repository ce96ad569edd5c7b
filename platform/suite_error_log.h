#pragma once
// "suite_error.log" in the suite data root: the error log all programs of the suite share.
// UTF-16 little-endian without a byte-order mark, one entry a line:
//
//   2026-12-06 05:40:18.123 | Converter | Critical engine initialization failure \r\n
//
// The time is UTC. Tabs, CR and LF become blanks; a "|" becomes "/" in the source and "¦" in
// the message; both are trimmed of blanks. A line holds at most 2048 characters, its end
// included. A file beyond 32768 characters loses whole lines from its start until at most 24576
// remain with the new line.
// Thread: any; processes take turns through an exclusive lock on the file.

#include <cstdint>
#include <string>
#include <string_view>

namespace vt::platform {

inline constexpr std::size_t kSuiteLogLineChars = 2048;
inline constexpr std::size_t kSuiteLogLimitChars = 32768;
inline constexpr std::size_t kSuiteLogKeepChars = 24576;
inline constexpr int kSuiteLogOpenAttempts = 11;
inline constexpr char16_t kConverterSource[] = u"Converter";

struct UtcTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};
[[nodiscard]] UtcTime utc_now() noexcept;
// Days since 1970-01-01 as a calendar date; no library call, so a signal handler may use it.
[[nodiscard]] UtcTime utc_from_epoch_ms(std::int64_t ms) noexcept;

// One line as written, line end included.
[[nodiscard]] std::u16string suite_log_line(const UtcTime& time, std::u16string_view source,
                                            std::u16string_view message);
// The file's text after appending `line`, trimmed from its start when it grows too long.
[[nodiscard]] std::u16string suite_log_text_with(std::u16string_view text,
                                                 std::u16string_view line);

// Appends one entry to the log in `data_root` (empty: the suite data root). When the file
// cannot be opened after 11 attempts, the line is shown in a message box titled "Error"
// instead. True when the line was written.
bool write_suite_error(std::u16string_view source, std::u16string_view message,
                       std::u16string_view data_root = {});

// A message box without owner (error icon), then the same text or `log_text` as a suite error
// of this program.
void fatal_message(std::u16string_view text, std::u16string_view title,
                   std::u16string_view log_text);

// What the program does where a function finds a broken precondition: it writes
// "Bad parameter: func "f" in "file" at "line"; expression = expr" as a suite error and lets the
// call fail (the caller returns its failure value). Never ends the process.
void report_bad_parameter(const char* function, const char* file, int line,
                          const char* expression) noexcept;

// Evaluates to the condition; reports it when false.
#define VT_PARAMETER_OK(expr)                                                                      \
    ((expr) ? true                                                                                 \
            : (::vt::platform::report_bad_parameter(__func__, __FILE__, __LINE__, #expr), false))

// The fault report: a SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGABRT that no guarded call catches
// writes "Fatal Error at <code>/<data>: <name>" to the log in the suite data root, then the
// signal takes its default action. The handler only formats into fixed buffers and calls
// write(2); the log's path is prepared here. A handler that was there before (the plug-in
// guard) is asked first, so guarded calls keep their faults.
void install_fault_report() noexcept;

} // namespace vt::platform
