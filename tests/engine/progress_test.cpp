#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/job_checks.h"
#include "engine/progress_estimate.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

constexpr platform::TimeStamp kSecond = 1000000000ull;

TEST(ProgressEstimate, DurationsAndTheFortyEightHourLimit) {
    EXPECT_EQ(format_duration(std::nullopt), u"-:--:--");
    EXPECT_EQ(format_duration(0), u"0:00:00");
    EXPECT_EQ(format_duration(3723), u"1:02:03");
    EXPECT_EQ(format_duration(48 * 3600 - 1), u"47:59:59");
    EXPECT_EQ(format_duration(48 * 3600), u"-:--:--");
}

TEST(ProgressEstimate, SmallJobsNeverShowTimeLeft) {
    TimeLeftEstimate estimate;
    JobStats s;
    s.total = 3;
    s.converted = 2;
    s.startTime = kSecond;
    EXPECT_FALSE(estimate.update(s, true, 100 * kSecond));
}

TEST(ProgressEstimate, FirstEstimateAfterThreeThenMovesByAFifth) {
    TimeLeftEstimate estimate;
    JobStats s;
    s.total = 100;
    s.startTime = kSecond;
    s.converted = 3;
    EXPECT_FALSE(estimate.update(s, true, 11 * kSecond)); // done must exceed 3
    s.converted = 4;
    EXPECT_EQ(estimate.update(s, true, 11 * kSecond), 240u); // 10 s x 96 / 4
    s.converted = 10;
    // raw: 20 s x 90 / 10 = 180; blended with a = 1/5: 0.8 x 240 + 0.2 x 180 = 228
    EXPECT_EQ(estimate.update(s, true, 21 * kSecond), 228u);
    s.pausedMs = 10000;                                      // paused time does not count as work
    EXPECT_EQ(estimate.update(s, true, 31 * kSecond), 218u); // raw 180 again: 0.8x228+36
    EXPECT_FALSE(estimate.update(s, false, 31 * kSecond));
}

TEST(JobChecks, SourceAndTargetFolderRules) {
    test::TempFolder tmp;
    std::u16string folder = u"/";
    EXPECT_EQ(check_source_folder(folder)->text, u"Source path invalid or too short");
    folder = u"relative/path";
    EXPECT_EQ(check_source_folder(folder)->text, u"Source path invalid or too short");
    folder = tmp.sub16("missing");
    EXPECT_EQ(check_source_folder(folder)->text, u"Source path does not exist");
    folder = tmp.path16() + u"/ ";
    EXPECT_EQ(check_source_folder(folder)->text, u"Source path is an empty folder");
    EXPECT_EQ(folder, tmp.path16()); // tidied
    tmp.write("a.jpg");
    EXPECT_FALSE(check_source_folder(folder));

    // A folder the user may not list is unreadable, not empty. Root may list anything, so then
    // the check runs in a child that has become nobody.
    test::TempFolder locked;
    locked.write("a.jpg");
    ASSERT_EQ(::chmod(locked.path().c_str(), ::geteuid() == 0 ? 0700 : 0300), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        std::u16string path = locked.path16();
        const auto refusal = check_source_folder(path);
        ::_exit(refusal && refusal->text == u"Source path cannot be read" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(::chmod(locked.path().c_str(), 0700), 0);

    std::u16string target = tmp.path16();
    EXPECT_EQ(check_target_folder(target, false)->text, u"Target path is not empty");
    EXPECT_EQ(check_target_folder(target, false)->title, u"Target Folder Error");
    EXPECT_FALSE(check_target_folder(target, true));
    target = tmp.sub16("new/deeper/");
    EXPECT_FALSE(check_target_folder(target, false)); // made with its parents
    EXPECT_TRUE(tmp.exists("new/deeper"));
    EXPECT_FALSE(tmp.exists("new/deeper/_tst$54321.tmp"));
    target = tmp.sub16("a.jpg/below");
    EXPECT_EQ(check_target_folder(target, false)->title, u"The destination is READ-ONLY.");
}

TEST(JobChecks, ProposedTargetGetsANumberInsteadOfStackingOne) {
    test::TempFolder tmp;
    const std::u16string source = tmp.sub16("Photos");
    EXPECT_EQ(propose_target_folder(source, u"", false), source + u" (Converted)");
    tmp.write("Photos (Converted)/x.png");
    EXPECT_EQ(propose_target_folder(source, u"", false), source + u" (Converted) (0001)");
    tmp.write("Photos (Converted) (0001)/x.png");
    EXPECT_EQ(propose_target_folder(source, source + u" (Converted) (0001)", false),
              source + u" (Converted) (0002)");
    EXPECT_EQ(propose_target_folder(source, u"", true), source + u" (Converted)");
}

TEST(JobChecks, PatternFormatSizeAndExtensionRules) {
    ConversionJob job = default_job();
    job.rename = 1;
    job.renamePattern.assign(u"%w x %h");
    EXPECT_EQ(check_renaming(job)->title, u"Rename Pattern Error");
    job.renamePattern.assign(u"%nn");
    EXPECT_FALSE(check_renaming(job));
    job.replaceText = 1;
    job.replaceFrom.clear();
    EXPECT_EQ(check_renaming(job)->text, u"The first replacement verb can't be empty");
    EXPECT_EQ(check_target_format(job)->text, u"You must specify an output file format");
    job.resizeMode = 3;
    job.resizeWidth = job.resizeHeight = 0;
    EXPECT_EQ(check_resizing(job)->text, u"Output dimensions are not valid");
    // A box the resize step would ignore is refused rather than silently not resized.
    for (const auto& [w, h] :
         {std::pair<std::uint16_t, std::uint16_t>{800, 0}, {80, 1}, {0, 600}}) {
        job.resizeWidth = w;
        job.resizeHeight = h;
        EXPECT_TRUE(check_resizing(job)) << w << "x" << h;
    }
    job.resizeWidth = 800;
    job.resizeHeight = 2;
    EXPECT_FALSE(check_resizing(job));
    EXPECT_EQ(normalize_extension(u"JPEG"), u".jpeg");
    EXPECT_EQ(normalize_extension(u"photo.Tiff"), u".tiff");
    EXPECT_EQ(normalize_extension(u".PNG"), u".png");
}

} // namespace
} // namespace vt::engine
