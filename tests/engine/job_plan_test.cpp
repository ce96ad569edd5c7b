// The report's lines and the names a job claims while others write into the same folder.

#include <gtest/gtest.h>

#include <filesystem>

#include "base/escape.h"
#include "base/utf.h"
#include "engine/job_plan.h"
#include "engine/prepared_job.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

using test::TempFolder;

bool valid_utf8(const std::string& text) {
    return !base::has_undecodable_bytes(base::utf8_to_utf16(text));
}

// Names as Linux has them: any bytes but "/" and NUL.
TEST(ReportLine, IsValidUtf8AndGivesBackEveryNameExactly) {
    const std::string names[] = {
        "plain.jpg",
        "bad\xff\xfe.jpg",
        "line\nbreak\t\"q\"\\.jpg",
        "\xc3\xa9t\xc3\xa9.jpg",
        "\xf0\x9f\x98\x80 \xed\xa0\x80.jpg", // an emoji, then an encoded surrogate (not UTF-8)
        "\x80",
        "caf\xe9.png",
    };
    for (const std::string& name : names) {
        ReportRecord r;
        r.source = base::utf8_to_utf16("/src/" + name);
        r.target = base::utf8_to_utf16("/dst/" + name);
        r.outcome = "failed";
        r.reason = "could not save " + name;
        r.bytes_in = 12;
        const std::string line = report_line(r);
        EXPECT_TRUE(valid_utf8(line)) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const auto back = parse_report_line(line);
        ASSERT_TRUE(back) << line;
        EXPECT_EQ(back->source, r.source) << line;
        EXPECT_EQ(back->target, r.target) << line;
        EXPECT_EQ(back->bytes_in, 12u);
        EXPECT_TRUE(valid_utf8(back->reason));
        EXPECT_EQ(report_line(*back), line); // read and written again: the same line
    }
}

// Reports written before names were escaped held raw bytes; they still resume.
TEST(ReportLine, EarlierRawByteLinesStillRead) {
    const auto r = parse_report_line("{\"source\":\"/s/caf\xe9.png\",\"target\":\"\",\"outcome\":"
                                     "\"converted\",\"reason\":\"\",\"bytes_in\":1,"
                                     "\"bytes_out\":2,\"ms\":3}");
    ASSERT_TRUE(r);
    EXPECT_EQ(base::utf16_to_utf8(r->source), "/s/caf\xe9.png");
}

TEST(DoneList, FindsASourceWhoseNameIsNotUtf8) {
    TempFolder dir;
    const std::string target = dir / "out\xff.ppm";
    dir.write("out\xff.ppm", "12345");
    ReportRecord r;
    r.source = base::utf8_to_utf16(dir / "in\xfe.ppm");
    r.target = base::utf8_to_utf16(target);
    r.outcome = "converted";
    r.bytes_out = 5;
    dir.write("report.jsonl", report_line(r) + "\n");
    DoneList done;
    ASSERT_TRUE(done.load(dir.sub16("report.jsonl")));
    const std::u16string* found = done.target_of(r.source);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, r.target);
}

struct KeepBothFolder {
    TempFolder src, dst;
    ConversionJob job = default_job();
    explicit KeepBothFolder(ExistingPolicy policy) {
        src.write("a.png", "source a");
        src.write("b.png", "source b");
        dst.write("a.jpg", "earlier a");
        job.sourceFolder.assign(src.path16());
        job.targetFolder.assign(dst.path16());
        job.targetExtension.assign(u".jpg");
        job.extras.existing = policy;
    }
    std::u16string target(std::string_view name) const { return dst.sub16(name); }
};

// The plan is made when the job starts; another job into the same folder may take a planned
// number before this one writes it. The name is claimed on disk, so the later one moves on.
TEST(FileRules, KeepBothClaimsItsNumberOnDiskAndMovesOnWhenAnotherJobTookIt) {
    KeepBothFolder f(ExistingPolicy::keep_both);
    FileRules rules(f.job, plan_job(f.job, DoneList{}));
    f.dst.write("a (1).jpg", "another job's a"); // planned for a.png, now taken
    const auto a = rules.final_target(f.src.sub16("a.png"), f.target("a.jpg"));
    ASSERT_TRUE(a);
    EXPECT_EQ(*a, f.target("a (2).jpg"));
    EXPECT_EQ(f.dst.read("a (1).jpg"), "another job's a");
    EXPECT_TRUE(f.dst.exists("a (2).jpg")); // claimed: nobody else gets it now

    // b.jpg is free and planned: claimed as it is; a second claim of it gets a number.
    EXPECT_EQ(rules.final_target(f.src.sub16("b.png"), f.target("b.jpg")), f.target("b.jpg"));
    EXPECT_EQ(rules.final_target(u"/elsewhere/b.png", f.target("b.jpg")), f.target("b (1).jpg"));
}

TEST(FileRules, ClaimsNeverFilledAreRemovedAndWrittenOnesKept) {
    KeepBothFolder f(ExistingPolicy::keep_both);
    {
        FileRules rules(f.job, plan_job(f.job, DoneList{}));
        ASSERT_TRUE(rules.final_target(f.src.sub16("a.png"), f.target("a.jpg")));
        ASSERT_TRUE(rules.final_target(f.src.sub16("b.png"), f.target("b.jpg")));
        f.dst.write("b.jpg", "written by the save");
        EXPECT_TRUE(f.dst.exists("a (1).jpg"));
    } // the save of a (1).jpg failed
    EXPECT_FALSE(f.dst.exists("a (1).jpg"));
    EXPECT_EQ(f.dst.read("b.jpg"), "written by the save");
    EXPECT_EQ(f.dst.read("a.jpg"), "earlier a");
}

TEST(FileRules, SkipLeavesATargetAnotherJobWroteMeanwhile) {
    KeepBothFolder f(ExistingPolicy::skip);
    FileRules rules(f.job, plan_job(f.job, DoneList{}));
    EXPECT_FALSE(rules.final_target(f.src.sub16("a.png"), f.target("a.jpg")));
    f.dst.write("b.jpg", "another job's b");
    EXPECT_FALSE(rules.final_target(f.src.sub16("b.png"), f.target("b.jpg")));
    EXPECT_EQ(f.dst.read("b.jpg"), "another job's b");
}

// A job of listed files: exactly those, numbered in the order given within each folder (what
// "%n" renames by), each file once; what is not a file inside the source folder is unreachable.
TEST(ListedFiles, PlanHoldsExactlyThemInTheirOrder) {
    TempFolder src, other;
    for (const char* name : {"a.ppm", "b.ppm", "c.ppm", "sub/d.ppm"})
        src.write(name);
    other.write("e.ppm");
    ConversionJob job = default_job();
    job.sourceFolder.assign(src.path16());
    job.targetFolder.assign(src.sub16("out"));
    job.targetExtension.assign(u".png");
    job.rename = 1;
    job.renamePattern.assign(u"%n-%s");
    const std::vector<std::u16string> listed{
        src.sub16("c.ppm"), src.sub16("a.ppm"),     src.sub16("sub"),     other.sub16("e.ppm"),
        src.sub16("c.ppm"), src.sub16("sub/d.ppm"), src.sub16("gone.ppm")};
    const JobPlan plan = plan_job(job, DoneList{}, listed);
    struct Want {
        std::u16string source, target, unreachable;
    };
    const std::vector<Want> want{
        {src.sub16("c.ppm"), src.sub16("out/0-c.png"), u""},
        {src.sub16("a.ppm"), src.sub16("out/1-a.png"), u""},
        {src.sub16("sub"), u"", u"it is not a file"},
        {other.sub16("e.ppm"), u"", u"the file lies outside the source folder"},
        {src.sub16("sub/d.ppm"), src.sub16("out/sub/0-d.png"), u""},
        {src.sub16("gone.ppm"), u"", u"the file does not exist"},
    };
    ASSERT_EQ(plan.files.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(plan.files[i].source, want[i].source) << i;
        EXPECT_EQ(plan.files[i].target, want[i].target) << i;
        EXPECT_EQ(plan.files[i].unreachable, want[i].unreachable) << i;
    }
    EXPECT_EQ(plan.files[1].folder_count, 2u);
    EXPECT_EQ(common_folder({src.sub16("sub/d.ppm"), src.sub16("a.ppm")}), src.path16());
    EXPECT_EQ(common_folder({u"/x/ab/c", u"/x/a/d"}), u"/x");
}

} // namespace
} // namespace vt::engine
