// vtconvert end to end on names: every file lands inside the target folder under the name the
// plan shows, long names convert, keep-both jobs running at once keep every picture, and the
// report stays UTF-8 whatever the names.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "base/escape.h"
#include "base/utf.h"
#include "tests/support/temp_folder.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

// A small P6 picture; `seed` makes each one different.
std::string ppm(int w, int h, int seed) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int i = 0; i < w * h * 3; ++i)
        data.push_back(static_cast<char>((i * 7 + seed * 31) & 255));
    return data;
}

std::string q(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct Result {
    int exit_code = -1;
    std::string out, err;
};

// Every file under `root`, as paths relative to it.
std::set<std::string> files_under(const std::string& root) {
    std::set<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_directory())
            found.insert(fs::relative(e.path(), root).string());
    return found;
}

long json_number(const std::string& out, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\"" + key + "\":([0-9]+)")))
        return -1;
    return std::stol(m[1]);
}

class NamesTest : public ::testing::Test {
protected:
    // vtconvert with `args` (already quoted); `tag` keeps the outputs of parallel runs apart.
    std::string command(const std::string& args, const std::string& tag = "") {
        return "VANTREL_DATA_ROOT=" + q(work / "data") + " " + q(VTCONVERT) + " " + args + " >" +
               q(work / ("out" + tag)) + " 2>" + q(work / ("err" + tag)) + " </dev/null";
    }
    Result run(const std::string& args) {
        const int status = std::system(command(args).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, work.read("out"), work.read("err")};
    }

    TempFolder root, work;
};

// `root` holds src/ and a/b/dst/: "../../" from the target is root/a, "../src" the sources.
TEST_F(NamesTest, RenamesThatWouldLeaveTheTargetAreRefusedAndWriteNothing) {
    root.write("src/one.ppm", ppm(3, 2, 1));
    root.write("src/two.ppm", ppm(3, 2, 2));
    const std::string src = root / "src", dst = root / "a/b/dst";
    const std::string preset = work / "escape.vtpreset";
    // vtconvert refuses to save such a preset; one written by hand is refused when it is used.
    EXPECT_EQ(run("-f .ppm --rename '../../x_%s' --save-preset " + q(preset)).exit_code, 2);
    work.write("escape.vtpreset", "targetExtension = \".ppm\"\nrename = 1\n"
                                  "renamePattern = \"../../x_%s\"\n");
    const struct {
        std::string options, title;
    } rows[] = {
        {"--rename '../../escape_%s'", "Rename Pattern Error"},
        {"--rename '../src/%s'", "Rename Pattern Error"},
        {"--rename 'a/b_%s'", "Rename Pattern Error"},
        {"--rename '.hidden_%s'", "Rename Pattern Error"},
        {"--rename '%s' --replace-from o --replace-to '../../x'", "Rename Replacement Error"},
        {"--preset " + q(preset), "Rename Pattern Error"},
        {"--rename '../../escape_%s' --dry-run", "Rename Pattern Error"},
        {"--preset " + q(preset) + " --dry-run", "Rename Pattern Error"},
    };
    const std::set<std::string> before = files_under(root.path());
    for (const auto& r : rows) {
        const Result result =
            run("-f .ppm --existing keep-both " + r.options + " " + q(src) + " " + q(dst));
        // Refused before the job starts (bad usage, or a job that cannot start).
        EXPECT_TRUE(result.exit_code == 2 || result.exit_code == 3) << r.options << result.err;
        EXPECT_NE(result.err.find(r.title), std::string::npos) << r.options << result.err;
        EXPECT_EQ(result.out.find("escape"), std::string::npos) << r.options << result.out;
        EXPECT_EQ(files_under(root.path()), before) << r.options;
    }
}

// Source names can still bring a leading dot: the name is made visible, and the plan shows
// exactly the names the run writes.
TEST_F(NamesTest, DryRunShowsTheNamesTheRunWrites) {
    root.write("src/.hidden.ppm", ppm(2, 2, 1));
    root.write("src/plain.ppm", ppm(2, 2, 2));
    root.write("src/sub/.x.ppm", ppm(2, 2, 3));
    const std::string src = root / "src", dst = root / "dst";
    const std::string job = "-r -f .ppm --rename '%s' " + q(src) + " " + q(dst);
    const Result plan = run("--dry-run " + job);
    ASSERT_EQ(plan.exit_code, 0) << plan.err;
    std::set<std::string> planned;
    const std::regex line(" -> (.*)  \\(");
    for (auto it = std::sregex_iterator(plan.out.begin(), plan.out.end(), line);
         it != std::sregex_iterator(); ++it)
        planned.insert(fs::relative((*it)[1].str(), dst).string());
    const Result done = run("--json " + job);
    ASSERT_EQ(done.exit_code, 0) << done.err;
    const std::set<std::string> written = files_under(dst);
    EXPECT_EQ(written, (std::set<std::string>{"_hidden.ppm", "plain.ppm", "sub/_x.ppm"}));
    EXPECT_EQ(planned, written) << plan.out;
    EXPECT_EQ(root.read("dst/_hidden.ppm"), ppm(2, 2, 1));
}

// NAME_MAX is 255 bytes; the save's temporary name must fit too.
TEST_F(NamesTest, NamesOfUpTo255BytesConvertAndReplace) {
    const std::string names[] = {std::string(246, 'n') + ".ppm", std::string(251, 'm') + ".ppm"};
    for (int i = 0; i < 2; ++i)
        root.write("src/" + names[i], ppm(4, 3, i));
    const std::string job = "--json -f .ppm " + q(root / "src") + " " + q(root / "dst");
    Result r = run(job);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_number(r.out, "converted"), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(root.read("dst/" + names[i]), ppm(4, 3, i)) << names[i].size();
    // Over existing targets the replacement goes through a temporary name of its own.
    for (int i = 0; i < 2; ++i)
        root.write("src/" + names[i], ppm(4, 3, i + 7));
    r = run("--overwrite " + job);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(root.read("dst/" + names[i]), ppm(4, 3, i + 7));
    EXPECT_EQ(files_under(root / "dst").size(), 2u);
}

// Two jobs from different sources into one folder that holds 8 of their targets, at once: each
// claims its numbers on disk, so none replaces the other's pictures.
TEST_F(NamesTest, TwoKeepBothJobsAtOnceKeepEveryPicture) {
    constexpr int kFiles = 8;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "p" + std::to_string(i) + ".ppm";
        root.write("one/" + name, ppm(256, 256, 100 + i));
        root.write("two/" + name, ppm(256, 256, 200 + i));
        root.write("dst/" + name, ppm(16, 16, 300 + i));
    }
    const std::string dst = root / "dst";
    const std::string both =
        command("--json --threads 2 --existing keep-both -f .ppm " + q(root / "one") + " " + q(dst),
                "1") +
        " & " +
        command("--json --threads 2 --existing keep-both -f .ppm " + q(root / "two") + " " + q(dst),
                "2") +
        "; wait";
    ASSERT_EQ(std::system(("(" + both + ")").c_str()), 0);
    for (const char* tag : {"1", "2"}) {
        const std::string out = work.read(std::string("out") + tag);
        EXPECT_EQ(json_number(out, "converted"), kFiles)
            << out << work.read(std::string("err") + tag);
    }
    const std::set<std::string> written = files_under(dst);
    EXPECT_EQ(written.size(), 3u * kFiles);
    std::set<std::string> contents;
    for (const std::string& name : written)
        contents.insert(root.read("dst/" + name));
    EXPECT_EQ(contents.size(), 3u * kFiles); // 24 different pictures: nothing was replaced
    for (int i = 0; i < kFiles; ++i) {
        EXPECT_EQ(root.read("dst/p" + std::to_string(i) + ".ppm"), ppm(16, 16, 300 + i));
        EXPECT_TRUE(contents.count(ppm(256, 256, 100 + i)) &&
                    contents.count(ppm(256, 256, 200 + i)));
    }
}

// A name that is not UTF-8 is escaped in the report, which stays valid UTF-8; its exact bytes
// ride along, so that a resumed job still knows the file.
TEST_F(NamesTest, ReportStaysUtf8AndResumeStillKnowsEveryName) {
    root.write("src/caf\xe9.ppm", ppm(2, 2, 1));
    root.write("src/line\nbreak.ppm", ppm(2, 2, 2));
    root.write("src/ok.ppm", ppm(2, 2, 3));
    const std::string report = work / "report.jsonl";
    const std::string job = "--json -f .ppm " + q(root / "src") + " " + q(root / "dst");
    Result r = run(job + " --report " + q(report));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string text = work.read("report.jsonl");
    EXPECT_FALSE(base::has_undecodable_bytes(base::utf8_to_utf16(text))) << text;
    EXPECT_NE(text.find("\"source_bytes\":\""), std::string::npos) << text;
    std::size_t lines = 0;
    for (const char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 3u) << text; // one line per file, the newline in a name escaped

    r = run(job + " --existing overwrite --resume " + q(report));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_number(r.out, "total"), 0) << r.out;
    EXPECT_EQ(json_number(r.out, "converted"), 0) << r.out;
    EXPECT_EQ(root.read("dst/caf\xe9.ppm"), ppm(2, 2, 1));
}

} // namespace
} // namespace vt
