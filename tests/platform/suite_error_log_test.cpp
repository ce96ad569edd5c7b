#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/guarded_call.h"
#include "platform/suite_error_log.h"
#include "platform/ui_hooks.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

using test::TempFolder;

std::u16string from_le(const std::string& bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return text;
}

TEST(SuiteErrorLog, LinesFollowTheSharedFormat) {
    const UtcTime t{2026, 3, 7, 4, 5, 6, 9};
    struct Case {
        std::u16string source, message, expected;
    } cases[] = {
        {u"Converter", u"Critical engine initialization failure",
         u"2026-03-07 04:05:06.009 | Converter | Critical engine initialization failure \r\n"},
        {u" a|b\t", u"x | y\r\nz ", u"2026-03-07 04:05:06.009 | a/b | x \u00A6 y  z \r\n"},
        {u"", u"", u"2026-03-07 04:05:06.009 |  |  \r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(suite_log_line(t, c.source, c.message), c.expected) << test::u8(c.message);
    const std::u16string long_line = suite_log_line(t, u"Converter", std::u16string(5000, u'm'));
    EXPECT_EQ(long_line.size(), kSuiteLogLineChars);
    EXPECT_EQ(long_line.substr(long_line.size() - 4), u"m \r\n");
}

TEST(SuiteErrorLog, UtcDatesFromEpochMilliseconds) {
    struct Case {
        std::int64_t ms;
        UtcTime expected;
    } cases[] = {
        {0, {1970, 1, 1, 0, 0, 0, 0}},
        {951782400000 + 86399999, {2000, 2, 29, 23, 59, 59, 999}},
        {1796535618123, {2026, 12, 6, 5, 40, 18, 123}},
    };
    for (const Case& c : cases) {
        const UtcTime t = utc_from_epoch_ms(c.ms);
        EXPECT_EQ((std::array{t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond}),
                  (std::array{c.expected.year, c.expected.month, c.expected.day, c.expected.hour,
                              c.expected.minute, c.expected.second, c.expected.millisecond}))
            << c.ms;
    }
}

TEST(SuiteErrorLog, LongLogsLoseWholeLinesFromTheirStart) {
    const std::u16string line(98, u'a');
    std::u16string text;
    for (int i = 0; i < 400; ++i)
        text += std::u16string(98, static_cast<char16_t>(u'A' + i % 26)) + u"\r\n";
    const std::u16string added = line + u"\r\n";
    struct Case {
        std::size_t chars;
        bool trimmed;
    } cases[] = {{32768 - added.size(), false}, {32768 - added.size() + 1, true}, {40000, true}};
    for (const Case& c : cases) {
        const std::u16string old = text.substr(0, c.chars);
        const std::u16string out = suite_log_text_with(old, added);
        ASSERT_TRUE(out.ends_with(added));
        if (!c.trimmed) {
            EXPECT_EQ(out, old + added);
            continue;
        }
        EXPECT_LE(out.size(), kSuiteLogKeepChars + 2) << c.chars;
        EXPECT_GT(out.size(), kSuiteLogKeepChars - 100 - 2) << c.chars;
        const std::u16string kept = out.substr(0, out.size() - added.size());
        EXPECT_TRUE(kept.ends_with(u"\r\n"));
        EXPECT_TRUE(old.ends_with(kept) || old.ends_with(kept.substr(0, kept.size() - 2)));
        EXPECT_TRUE(kept.starts_with(std::u16string(98, kept[0]) + u"\r\n")) << c.chars;
    }
}

MessageAnswer g_box_answer(std::u16string_view text, std::u16string_view title, MessageButtons,
                           MessageIcon);
std::u16string g_box_text, g_box_title;
MessageAnswer g_box_answer(std::u16string_view text, std::u16string_view title, MessageButtons,
                           MessageIcon) {
    g_box_text = text;
    g_box_title = title;
    return MessageAnswer::ok;
}

TEST(SuiteErrorLog, FileIsAppendedTrimmedAndShownWhenLocked) {
    TempFolder root;
    UiHooks hooks;
    hooks.message_box = g_box_answer;
    set_ui_hooks(hooks);
    ASSERT_TRUE(write_suite_error(u"Converter", u"one", root.path16()));
    ASSERT_TRUE(write_suite_error(u"Converter", u"two", root.path16()));
    std::u16string text = from_le(root.read("suite_error.log"));
    ASSERT_EQ(text.size(), 2 * 44u);
    EXPECT_EQ(text.substr(23, 21), u" | Converter | one \r\n");
    EXPECT_EQ(text.substr(44 + 23), u" | Converter | two \r\n");

    // A log another program let grow: cut to the kept size when the next line is written.
    std::string big;
    for (int i = 0; i < 500; ++i)
        for (const char c : std::string(98, 'q') + "\r\n")
            big += std::string{c, '\0'};
    root.write("suite_error.log", big);
    ASSERT_TRUE(write_suite_error(u"Converter", u"three", root.path16()));
    text = from_le(root.read("suite_error.log"));
    EXPECT_LE(text.size(), kSuiteLogKeepChars);
    EXPECT_TRUE(text.ends_with(u"| Converter | three \r\n"));

    // Another process holds the file: the line goes to a box instead.
    const int fd = ::open((root / "suite_error.log").c_str(), O_RDWR);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    g_box_text.clear();
    EXPECT_FALSE(write_suite_error(u"Converter", u"four", root.path16()));
    EXPECT_EQ(g_box_title, u"Error");
    EXPECT_TRUE(g_box_text.ends_with(u"| Converter | four \r\n"));
    ::close(fd);
    set_ui_hooks({});
}

TEST(SuiteErrorLog, BrokenPreconditionsAreReportedAndFail) {
    TempFolder root;
    ::setenv("VANTREL_DATA_ROOT", root.path().c_str(), 1);
    const int value = -1;
    EXPECT_FALSE(VT_PARAMETER_OK(value >= 0));
    EXPECT_TRUE(VT_PARAMETER_OK(value < 0));
    ::unsetenv("VANTREL_DATA_ROOT");
    const std::u16string text = from_le(root.read("suite_error.log"));
    EXPECT_NE(text.find(u"| Converter | Bad parameter: func \"TestBody\" in \""),
              std::u16string::npos)
        << test::u8(text);
    EXPECT_TRUE(text.ends_with(u"; expression = value >= 0 \r\n")) << test::u8(text);
}

// A child installs the report and dies of the signal; the parent reads what it left.
void crash_in_child(const TempFolder& root, void (*crash)()) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("VANTREL_DATA_ROOT", root.path().c_str(), 1);
        install_fault_report();
        crash();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
}

volatile int* g_null = nullptr;
volatile int g_zero = 0;

TEST(SuiteErrorLog, UnguardedFaultsAreReportedBeforeTheProcessEnds) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers take fatal signals before the program's own handler";
#endif
    struct Case {
        void (*crash)();
        std::u16string name;
    } cases[] = {
        {[] { *g_null = 1; }, u"Access Violation Writing 0000000000000000"},
        {[] { (void)*(g_null + 2); }, u"Access Violation Reading 0000000000000008"},
        {[] { g_zero = 10 / g_zero; }, u"Integer Divide By Zero"},
        {[] { std::abort(); }, u"Unknown Exception 00000006"},
    };
    for (const Case& c : cases) {
        TempFolder root;
        crash_in_child(root, c.crash);
        const std::u16string text = from_le(root.read("suite_error.log"));
        EXPECT_NE(text.find(u" | Converter | Fatal Error at "), std::u16string::npos)
            << test::u8(text);
        EXPECT_TRUE(text.ends_with(u": " + c.name + u" \r\n")) << test::u8(text);
    }
}

TEST(SuiteErrorLog, GuardedFaultsStayWithTheGuard) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers take fatal signals before the program's own handler";
#endif
    TempFolder root;
    crash_in_child(root, [] {
        Fault fault;
        auto touch = [] { *g_null = 1; };
        if (!guarded(touch, fault))
            ::raise(SIGILL); // the guard caught it: end with a signal the report names
    });
    const std::u16string text = from_le(root.read("suite_error.log"));
    EXPECT_TRUE(text.ends_with(u": Illegal Instruction \r\n")) << test::u8(text);
    EXPECT_EQ(text.find(u"Access Violation"), std::u16string::npos);
}

} // namespace
} // namespace vt::platform
