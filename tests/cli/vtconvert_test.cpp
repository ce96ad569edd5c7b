// vtconvert end to end: the real program, the real plug-ins, pictures the test draws itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <csignal>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/options.h"
#include "tests/formats/png_reference.h"
#include "tests/support/temp_folder.h"

namespace vt::cli {
namespace {

using test::TempFolder;

struct Result {
    int exit_code = -1;
    std::string out, err;
};

// A P6 picture with a gradient, so that every file differs.
std::string ppm(int w, int h, int seed) {
    std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            data.push_back(static_cast<char>((x * 7 + seed) & 255));
            data.push_back(static_cast<char>((y * 5 + seed) & 255));
            data.push_back(static_cast<char>((x + y + seed * 3) & 255));
        }
    return data;
}

class VtconvertTest : public ::testing::Test {
protected:
    Result run(const std::string& args) {
        const std::string out = work / "stdout", err = work / "stderr";
        const std::string command = "VANTREL_DATA_ROOT='" + work.path() +
                                    "/data' '" VTCONVERT "' " + args + " >'" + out + "' 2>'" + err +
                                    "' </dev/null";
        const int status = std::system(command.c_str());
        Result r;
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = work.read("stdout");
        r.err = work.read("stderr");
        return r;
    }
    std::string q(const std::string& path) { return "'" + path + "'"; }
    // The value of a counter in the one-line JSON summary.
    static long json_number(const std::string& out, const std::string& key) {
        std::smatch m;
        if (!std::regex_search(out, m, std::regex("\"" + key + "\":([0-9]+)")))
            return -1;
        return std::stol(m[1]);
    }

    TempFolder src, dst, work;
};

// Mistakes in the command: exit 2 before the target folder exists, a JSON line all the same.
TEST_F(VtconvertTest, UsageErrorsCreateNothingAndStillAnswerInJson) {
    src.write("a.ppm", ppm(4, 4, 1));
    const std::string target = dst / "new", both = " " + q(src.path()) + " " + q(target);
    const std::pair<std::string, std::string> rows[] = {
        {"-f .xyz" + both, "no installed plug-in writes '.xyz'"},
        {"-f .ppm --set no_such_option=1" + both, "unknown plug-in option 'no_such_option'"},
        {"-f .ppm --watermark /no/such/file.png" + both, "the watermark file"},
        {"-f .ppm '' " + q(target), "must not be empty"},
        {"-f .ppm " + q(src.path()) + " " + q(src.path()), "Source and target must be different"},
    };
    for (const auto& [args, message] : rows) {
        const Result r = run("--json " + args);
        EXPECT_EQ(r.exit_code, 2 + (message[0] == 'S')) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << r.err;
        EXPECT_EQ(json_number(r.out, "total"), 0) << args;
        EXPECT_FALSE(std::filesystem::exists(target)) << args;
    }
}

TEST_F(VtconvertTest, UsageErrorsHelpAndVersion) {
    const Result unknown = run("--bogus " + q(src.path()) + " " + q(dst.path()));
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_NE(unknown.err.find("unknown option '--bogus'"), std::string::npos);
    const Result help = run("--help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage: vtconvert"), std::string::npos);
    EXPECT_EQ(run("--version").out.rfind("vtconvert ", 0), 0u);
}

TEST_F(VtconvertTest, FolderChecksStopTheJobBeforeItStarts) {
    const Result r = run("-f png " + q(src.path()) + " " + q(dst.path()));
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("Source Folder Error: Source path is an empty folder"), std::string::npos);
}

TEST_F(VtconvertTest, ConvertsRenamesAndCountsInJson) {
    src.write("shot 1.ppm", ppm(10, 6, 1));
    src.write("sub/deep.ppm", ppm(3, 2, 99));
    const Result r = run("-r -f .png --json --rename '%nn - %s (%wx%h)' --replace-from ' ' "
                         "--replace-to _ --lowercase " +
                         q(src.path()) + " " + q(dst.path()));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_number(r.out, "total"), 2);
    EXPECT_EQ(json_number(r.out, "converted"), 2);
    EXPECT_NE(r.out.find("\"state\":\"finished\""), std::string::npos);
    EXPECT_TRUE(dst.exists("0_-_shot_1_(10x6).png"));
    EXPECT_TRUE(dst.exists("sub/0_-_deep_(3x2).png"));

    // Back to PPM: the pixels survive the trip through PNG.
    const Result back = run("-r -f ppm --json " + q(dst.path()) + " " + q(work / "back"));
    ASSERT_EQ(back.exit_code, 0) << back.err;
    EXPECT_EQ(work.read("back/sub/0_-_deep_(3x2).ppm"), ppm(3, 2, 99));
}

// Pictures picked one by one: exactly those are converted, under the folders they sit in
// below the folder that holds them all; a listed file that is gone counts as not loaded.
TEST_F(VtconvertTest, ExactlyTheFilesNamedAreConverted) {
    src.write("a.ppm", ppm(4, 3, 1));
    src.write("b.ppm", ppm(4, 3, 2));
    src.write("sub/c.ppm", ppm(2, 2, 3));
    const Result r = run("-f .ppm --json " + q(src / "a.ppm") + " " + q(src / "sub/c.ppm") + " " +
                         q(dst.path()));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_number(r.out, "total"), 2);
    EXPECT_EQ(json_number(r.out, "converted"), 2);
    EXPECT_EQ(dst.read("a.ppm"), ppm(4, 3, 1));
    EXPECT_EQ(dst.read("sub/c.ppm"), ppm(2, 2, 3));
    EXPECT_FALSE(dst.exists("b.ppm"));

    // One file alone is a job of that file, not of its folder.
    const Result one = run("-f .ppm --json " + q(src / "b.ppm") + " " + q(work / "one"));
    ASSERT_EQ(one.exit_code, 0) << one.err;
    EXPECT_EQ(json_number(one.out, "total"), 1);
    EXPECT_EQ(work.read("one/b.ppm"), ppm(4, 3, 2));
    EXPECT_FALSE(work.exists("one/a.ppm"));

    work.write("list", src / "b.ppm" + "\r\n\n" + src / "gone.ppm" + "\n" + src / "b.ppm\n");
    const Result listed =
        run("-f .ppm --json --files-from " + q(work / "list") + " " + q(work / "listed"));
    EXPECT_EQ(listed.exit_code, 1) << listed.err;
    EXPECT_EQ(json_number(listed.out, "total"), 2); // the repeated name counts once
    EXPECT_EQ(json_number(listed.out, "converted"), 1);
    EXPECT_EQ(json_number(listed.out, "unknown"), 1);
    EXPECT_NE(listed.out.find("the file does not exist"), std::string::npos) << listed.out;
    EXPECT_EQ(work.read("listed/b.ppm"), ppm(4, 3, 2));

    // A list of which nothing can be converted is refused before anything is made.
    work.write("none", src / "gone.ppm" + "\n");
    const Result none = run("-f .ppm --files-from " + q(work / "none") + " " + q(work / "never"));
    EXPECT_EQ(none.exit_code, 3);
    EXPECT_NE(none.err.find("None of the files can be converted"), std::string::npos) << none.err;
    EXPECT_FALSE(work.exists("never"));
    EXPECT_EQ(run("-f .ppm --files-from " + q(work / "missing-list") + " x").exit_code, 2);
}

TEST_F(VtconvertTest, UnreadableAndUnsavableFilesAreCountedAndLogged) {
    src.write("good.ppm", ppm(2, 2, 1));
    src.write("broken.ppm", "P6\n99999 99999\n255\nshort");
    src.write("blocked.ppm", ppm(2, 2, 2));
    std::filesystem::create_directories(dst / "blocked.png"); // a folder where the file goes
    const Result r = run("--overwrite -f png --json " + q(src.path()) + " " + q(dst.path()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(json_number(r.out, "converted"), 1);
    EXPECT_EQ(json_number(r.out, "unknown"), 1);
    EXPECT_EQ(json_number(r.out, "failed"), 1);
    EXPECT_TRUE(dst.exists("_error_log.txt"));
    EXPECT_NE(r.err.find("failed files are listed in"), std::string::npos);
    // Each failure with its step and the reason the plug-in or the system gave.
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex(
            R"("source":"[^"]*broken\.ppm","outcome":"not loaded","stage":"load","reason":"[^"]+")")));
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex(
            R"("source":"[^"]*blocked\.ppm","outcome":"failed","stage":"save","reason":"[^"]+")")));
    EXPECT_NE(r.err.find("save failed: " + (src / "blocked.ppm")), std::string::npos) << r.err;
}

// A folder deeper than the system's path limit, made and removed one level at a time.
class DeepFolder {
public:
    explicit DeepFolder(const std::string& top) : m_fds{::open(top.c_str(), O_DIRECTORY)} {
        for (int i = 0; i < 17; ++i) {
            ::mkdirat(m_fds.back(), m_name.c_str(), 0700);
            m_fds.push_back(::openat(m_fds.back(), m_name.c_str(), O_DIRECTORY));
        }
        ::close(::openat(m_fds.back(), "deep.ppm", O_CREAT | O_WRONLY, 0600));
    }
    ~DeepFolder() {
        ::unlinkat(m_fds.back(), "deep.ppm", 0);
        for (std::size_t i = m_fds.size() - 1; i > 0; --i) {
            ::close(m_fds[i]);
            ::unlinkat(m_fds[i - 1], m_name.c_str(), AT_REMOVEDIR);
        }
        ::close(m_fds[0]);
    }

private:
    std::string m_name = std::string(250, 'd');
    std::vector<int> m_fds;
};

// A name that is not UTF-8 still gives a JSON line of valid UTF-8, the bytes kept in hex; a
// folder past the path limit (and an unreadable one) is counted and named: the counters add up.
TEST_F(VtconvertTest, OddNamesAndUnreachableFoldersInJson) {
    src.write("bad\xff.ppm", "P6\n1 1\n255\n"); // cut short: fails to load
    const DeepFolder deep(src.path());
    const bool locks = geteuid() != 0; // root reads every folder
    src.write("locked/in.ppm", ppm(2, 2, 3));
    std::filesystem::permissions(src / "locked", locks ? std::filesystem::perms::none
                                                       : std::filesystem::perms::all);
    const Result r = run("-r -f png --json " + q(src.path()) + " " + q(dst.path()));
    std::filesystem::permissions(src / "locked", std::filesystem::perms::owner_all);
    EXPECT_EQ(json_number(r.out, "total"), 3);
    EXPECT_EQ(json_number(r.out, "unknown"), locks ? 3 : 2);
    EXPECT_EQ(r.out.find('\xff'), std::string::npos);
    EXPECT_NE(r.out.find("bad\\ufffd.ppm\",\"source_bytes\":\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("626164ff2e70706d"), std::string::npos) << r.out; // "bad\xff.ppm"
    EXPECT_NE(r.out.find(R"(","stage":"walk","reason":"the path is longer)"), std::string::npos);
    EXPECT_EQ(r.out.find(R"(locked","stage":"walk","reason":"cannot open the folder)") !=
                  std::string::npos,
              locks);
}

// A picture over its share of the memory budget fails with that reason, counted as failed (not
// unreadable), and the next file goes on; a value outside a plug-in's declared range is refused.
TEST_F(VtconvertTest, MemoryBudgetAndOptionRanges) {
    src.write("big.ppm", ppm(1500, 1500, 1)); // 9 MB of pixels, over 16 MB / 2 workers
    src.write("small.ppm", ppm(4, 4, 2));
    const Result r =
        run("--json --threads 2 --memory-budget 16 -f png " + q(src.path()) + " " + q(dst.path()));
    EXPECT_EQ(json_number(r.out, "converted"), 1);
    EXPECT_EQ(json_number(r.out, "failed"), 1);
    EXPECT_NE(r.out.find("over the memory budget of 8 MB per picture"), std::string::npos) << r.out;
    EXPECT_EQ(run("--set fmx_PNG.level=10 -f png " + q(src.path()) + " " + q(work / "o")).exit_code,
              2);
    // The limits the desktop's Other Settings keep are state entries the job honours too.
    const Result stored =
        run("--json --set Converter.workers=2 --set Converter.memory_mb=16 -f png " +
            q(src.path()) + " " + q(work / "stored"));
    EXPECT_EQ(json_number(stored.out, "failed"), 1) << stored.out;
    EXPECT_NE(stored.out.find("over the memory budget of 8 MB per picture"), std::string::npos);
    EXPECT_EQ(
        run("--set Converter.memory_mb=15 -f png " + q(src.path()) + " " + q(work / "p")).exit_code,
        2);
}

// An animation of one-pixel changes on a large screen: kept as its changes, it fits a budget
// its whole frames (40 x 16 MB) would break many times over.
TEST_F(VtconvertTest, SmallChangesOnALargeScreenStaySmall) {
    using namespace std::string_literals;
    std::string gif =
        "GIF89a\xd0\x07\xd0\x07\xf0\0\0\0\0\0\xff\xff\xff"s + "!\xff\x0bNETSCAPE2.0\x03\x01\0\0\0"s;
    for (char i = 0; i < 40; ++i)
        gif += "!\xf9\x04\0\x0a\0\0\0,"s + i + "\0\0\0\x01\0\x01\0\0\x02\x02\x4c\x01\0"s;
    src.write("anim.gif", gif + ";");
    const Result r =
        run("--json --threads 2 --memory-budget 64 -f png " + q(src.path()) + " " + q(dst.path()));
    EXPECT_EQ(json_number(r.out, "converted"), 1) << r.out;
}

// The decode libpng itself gives, as 8-bit RGBA.
std::vector<std::uint8_t> libpng_rgba(const std::string& path, std::uint32_t& w, std::uint32_t& h) {
    std::uint8_t* rgba = nullptr;
    if (reference_png_rgba(path.c_str(), &w, &h, &rgba) != 1)
        return {};
    std::vector<std::uint8_t> pixels(rgba, rgba + std::size_t{w} * h * 4);
    std::free(rgba);
    return pixels;
}

TEST_F(VtconvertTest, PngSuiteSurvivesPngAndBmpRoundTripsPixelForPixel) {
    const char* shared = std::getenv("VT_SHARED_TESTDATA");
    const std::filesystem::path suite =
        shared ? std::filesystem::path(shared) / "pngsuite/png" : "";
    if (!shared || !std::filesystem::is_directory(suite))
        GTEST_SKIP() << "PngSuite not found beside the checkout";
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(suite)) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() != ".png" || name[0] == 'x')
            continue; // x*.png are broken on purpose
        std::filesystem::copy_file(e.path(), src / name);
        ++files;
    }
    ASSERT_GT(files, 100);
    ASSERT_EQ(run("-f png " + q(src.path()) + " " + q(dst / "png")).exit_code, 0);
    ASSERT_EQ(run("-f bmp " + q(src.path()) + " " + q(dst / "bmp")).exit_code, 0);
    ASSERT_EQ(run("-f png " + q(dst / "bmp") + " " + q(dst / "bmp-png")).exit_code, 0);
    for (const auto& e : std::filesystem::directory_iterator(src.path())) {
        const std::string name = e.path().filename().string();
        std::uint32_t w0 = 0, h0 = 0, w1 = 0, h1 = 0, w2 = 0, h2 = 0;
        const auto original = libpng_rgba(e.path().string(), w0, h0);
        const auto direct = libpng_rgba(dst / ("png/" + name), w1, h1);
        const auto via_bmp = libpng_rgba(dst / ("bmp-png/" + name), w2, h2);
        ASSERT_FALSE(original.empty()) << name;
        EXPECT_TRUE(w1 == w0 && h1 == h0 && direct == original) << name << " PNG -> PNG";
        EXPECT_TRUE(w2 == w0 && h2 == h0 && via_bmp == original) << name << " PNG -> BMP -> PNG";
    }
}

// Paths, sizes, nanosecond times and bytes of every file under `root`.
std::string tree_state(const std::string& root) {
    std::string state;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (!e.is_regular_file())
            continue;
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        std::ifstream in(e.path(), std::ios::binary);
        state += e.path().string() + std::to_string(st.st_mtim.tv_nsec + st.st_mtim.tv_sec) +
                 std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
    }
    return state;
}

// Converted lines per source in a report.
std::map<std::string, int> converted_per_source(const std::string& report) {
    std::map<std::string, int> seen;
    std::smatch m;
    const std::regex line("\"source\":\"([^\"]+)\".*\"outcome\":\"converted\"");
    std::istringstream in(report);
    for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line))
            ++seen[m[1]];
    return seen;
}

TEST_F(VtconvertTest, ExistingTargetsAndClashesFollowThePolicy) {
    const struct {
        std::string policy;
        bool existing, clashing;
        int exit;
        std::vector<std::string> kept_x, new_files; // "x": the earlier target left alone
    } rows[] = {
        {"overwrite", false, false, 0, {}, {"a.png"}},
        {"overwrite", true, false, 0, {}, {"a.png"}},
        {"overwrite", false, true, 3, {}, {}},
        {"skip", true, false, 0, {"a.png"}, {}},
        {"skip", false, true, 3, {}, {}},
        {"keep-both", true, false, 0, {"a.png"}, {"a (1).png"}},
        {"keep-both", false, true, 0, {}, {"a.png", "a (1).png"}},
        {"keep-both", true, true, 0, {"a.png"}, {"a (1).png", "a (2).png"}},
    };
    for (const auto& row : rows) {
        const TempFolder in, out;
        const std::string label =
            row.policy + (row.existing ? " existing" : "") + (row.clashing ? " clashing" : "");
        in.write("a.ppm", ppm(3, 3, 1));
        if (row.clashing)
            in.write("a.pnm", ppm(3, 3, 2));
        if (row.existing)
            out.write("a.png", "x");
        const Result r = run("--overwrite -f png --existing " + row.policy + " " + q(in.path()) +
                             " " + q(out.path()));
        EXPECT_EQ(r.exit_code, row.exit) << label << r.err;
        for (const auto& name : row.kept_x)
            EXPECT_EQ(out.read(name), "x") << label << name;
        for (const auto& name : row.new_files)
            EXPECT_EQ(out.read(name).substr(1, 3), "PNG") << label << name;
        if (row.exit == 3) {
            EXPECT_NE(r.err.find("a.png <- a.pnm, a.ppm"), std::string::npos) << label;
        }
    }
}

TEST_F(VtconvertTest, DryRunPrintsThePlanAndChangesNothing) {
    src.write("a.ppm", ppm(3, 3, 1));
    src.write("sub/b.ppm", ppm(3, 3, 2));
    dst.write("a.png", "x");
    const std::string before = tree_state(src.path()) + tree_state(dst.path());
    const Result r = run("-r --dry-run --existing keep-both --report " + q(dst / "r.jsonl") +
                         " -f png " + q(src.path()) + " " + q(dst.path()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("a.ppm -> " + dst.path() + "/a (1).png  (keep both)"), std::string::npos);
    EXPECT_NE(r.out.find("b.ppm -> " + dst.path() + "/sub/b.png  (write)"), std::string::npos);
    EXPECT_EQ(tree_state(src.path()) + tree_state(dst.path()), before);
}

// A job killed at a random point and resumed converts every file exactly once in all.
TEST_F(VtconvertTest, ResumeAfterAKillConvertsEachRemainingFileOnce) {
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i)
        src.write("f" + std::to_string(i) + ".ppm", ppm(300, 200, i));
    const std::string report = work / "r.jsonl", args = " -f png --threads 1 --report " +
                                                        q(report) + " " + q(src.path()) + " " +
                                                        q(dst.path());
    std::system(("VANTREL_DATA_ROOT='" + work.path() + "/data' '" VTCONVERT "' -q " + args +
                 " >/dev/null 2>&1 & echo $! >'" + (work / "pid") + "'")
                    .c_str());
    const std::size_t kill_after = 1 + static_cast<std::size_t>(std::random_device{}() % 30);
    const pid_t pid = std::stoi(work.read("pid"));
    while (converted_per_source(work.read("r.jsonl")).size() < kill_after && ::kill(pid, 0) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const Result r = run("--resume " + q(report) + args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto seen = converted_per_source(work.read("r.jsonl"));
    EXPECT_EQ(seen.size(), std::size_t{kFiles}) << "killed after " << kill_after;
    for (const auto& [source, times] : seen)
        EXPECT_EQ(times, 1) << source;
}

TEST_F(VtconvertTest, KeptTimesMatchToTheNanosecond) {
    src.write("a.ppm", ppm(3, 3, 1));
    const timespec times[2] = {{1600000000, 123456789}, {1500000000, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (src / "a.ppm").c_str(), times, 0), 0);
    struct stat st {};
    ::stat((src / "a.ppm").c_str(), &st);
    if (st.st_mtim.tv_nsec != 987654321)
        GTEST_SKIP() << "the file system keeps no nanoseconds";
    ASSERT_EQ(run("--keep-times -f png " + q(src.path()) + " " + q(dst.path())).exit_code, 0);
    ::stat((dst / "a.png").c_str(), &st);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
}

// The example of docs/scale-out.md: N processes on one machine give exactly one run's files.
TEST_F(VtconvertTest, SharesTogetherGiveExactlyTheFilesOfOneRun) {
    for (int i = 0; i < 30; ++i)
        src.write("d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".ppm", ppm(4, 4, i));
    ASSERT_EQ(run("-r -f png " + q(src.path()) + " " + q(work / "one")).exit_code, 0);
    const std::string command = "seq 0 2 | VANTREL_DATA_ROOT='" + work.path() +
                                "/data' xargs -P 3 -I{} '" VTCONVERT "' -q -r -f png --shard {}/3 "
                                "--report '" +
                                dst.path() + "/report-{}.jsonl' " + q(src.path()) + " " +
                                q(work / "shared");
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::set<std::string> one, shared;
    for (const auto& e : std::filesystem::recursive_directory_iterator(work / "one"))
        one.insert(std::filesystem::relative(e.path(), work / "one").string());
    for (const auto& e : std::filesystem::recursive_directory_iterator(work / "shared"))
        shared.insert(std::filesystem::relative(e.path(), work / "shared").string());
    EXPECT_EQ(shared, one);
    const auto seen = converted_per_source(dst.read("report-0.jsonl") + dst.read("report-1.jsonl") +
                                           dst.read("report-2.jsonl"));
    EXPECT_EQ(seen.size(), 30u);
    for (const auto& [source, times] : seen)
        EXPECT_EQ(times, 1) << source;
}

TEST(Options, ValuesAndRanges) {
    const auto parsed =
        parse_options({"-f", "JPEG", "--resize", "3:1920x1080", "--watermark-pos", "10,90", "--set",
                       "fmx_PNG.level=9", "--threads=4", "in", "out"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const Options& o = *parsed.options;
    EXPECT_EQ(o.job.targetExtension, u".jpeg");
    EXPECT_EQ(o.job.resizeMode, 3);
    EXPECT_EQ(o.job.resizeWidth, 1920);
    EXPECT_EQ(o.job.watermarkY, 90u);
    EXPECT_EQ(o.threads, 4u);
    ASSERT_EQ(o.states.size(), 1u);
    EXPECT_EQ(o.states[0].second, "9");
    EXPECT_FALSE(parse_options({"-f", "png", "--resize", "3:1920", "a", "b"}).options);
    EXPECT_FALSE(parse_options({"-f", "png", "--watermark-fade", "100", "a", "b"}).options);
    EXPECT_FALSE(parse_options({"-f", "png", "--threads", "0", "a", "b"}).options);
    EXPECT_FALSE(parse_options({"-f", "png", "a"}).options);
    EXPECT_FALSE(parse_options({"-f", "png", "--rotate", "7", "a", "b"}).options);
    // A missing format is the job's to refuse, as in the wizard (tests/app/door_test.cpp).
    EXPECT_TRUE(parse_options({"in", "out"}).options->job.targetExtension.empty());
}

// Deep colour end to end: 16 bits kept where both ends hold them, rounded to exactly the 8-bit
// result where they do not, and never lost silently to a step that works at 8 bits.
TEST_F(VtconvertTest, DepthIsKeptWhereBothEndsHoldItAndRoundsToTheEightBitResult) {
    const std::string deep = src / "deep.png";
    if (std::system(("convert -size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 "
                     "+noise Uniform -depth 16 PNG48:" +
                     q(deep) + " >/dev/null 2>&1")
                        .c_str()) != 0)
        GTEST_SKIP() << "no ImageMagick";
    const std::string even = src / "even.png";
    ASSERT_EQ(std::system(("convert -size 40x24 gradient:'#f0e0d0-#102030' -seed 3 -attenuate 0.3 "
                           "+noise Uniform -depth 16 PNG48:" +
                           q(even) + " >/dev/null 2>&1")
                              .c_str()),
              0);
    src.write("flat.ppm", ppm(12, 9, 5));
    // ImageMagick's decode of a file as raw samples of `depth` bits.
    const auto samples = [this](const std::string& file, int depth) {
        const std::string raw = work / "samples.raw";
        std::filesystem::remove(raw);
        (void)std::system(("convert " + q(file) + " -depth " + std::to_string(depth) +
                           " -endian LSB rgb:" + q(raw) + " >/dev/null 2>&1")
                              .c_str());
        return work.read("samples.raw");
    };
    const auto bit_depth = [](const std::string& png) {
        return png.size() > 24 ? static_cast<int>(png[24]) : -1;
    };
    const struct {
        const char* options;
        const char* folder;
    } jobs[] = {
        {"-f .png", "auto"},
        {"-f .png --depth 16", "sixteen"},
        {"-f .png --depth 8", "eight"},
        {"-f .png --depth 16 --resize 5:50x50", "resized16"},
        {"-f .png --depth 8 --resize 5:50x50", "resized8"},
        {"-f .png --rotate 1", "turned"},
        {"-f .bmp", "bmp-auto"},
        {"-f .bmp --depth 8", "bmp-eight"},
        {"-f .avif --depth 16", "avif"},
    };
    std::map<std::string, std::string> reports;
    for (const auto& job : jobs) {
        const std::string report = work / (std::string(job.folder) + ".json");
        const Result r = run(std::string(job.options) + " --report " + q(report) + " " +
                             q(src.path()) + " " + q(work / job.folder));
        ASSERT_EQ(r.exit_code, 0) << job.options << r.err;
        reports[job.folder] = work.read(std::string(job.folder) + ".json");
    }
    const auto file = [this](const std::string& folder, const std::string& name) {
        return work.read(folder + "/" + name);
    };
    // Kept: 16 bits, every sample as in the source.
    for (const char* folder : {"auto", "sixteen"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(bit_depth(file(folder, "deep.png")), 16);
        EXPECT_EQ(samples(work / (std::string(folder) + "/deep.png"), 16), samples(deep, 16));
        EXPECT_EQ(reports[folder].find("\"warnings\":[\""), std::string::npos);
        EXPECT_NE(reports[folder].find("\"bits\":16"), std::string::npos) << reports[folder];
    }
    // The report says what each file got.
    for (const char* folder : {"eight", "resized8", "bmp-auto"})
        EXPECT_EQ(reports[folder].find("\"bits\":16"), std::string::npos) << folder;
    EXPECT_NE(reports["eight"].find("\"bits\":8"), std::string::npos) << reports["eight"];
    // AVIF keeps 12 of the 16 bits (fmx_HEIF.depth), and says so.
    EXPECT_NE(reports["avif"].find("\"bits\":12"), std::string::npos) << reports["avif"];
    // Rounded: the 8-bit file is the 16-bit one rounded to nearest, and an 8-bit source gives
    // the same bytes whatever the depth asked.
    EXPECT_EQ(bit_depth(file("eight", "deep.png")), 8);
    const std::string deep16 = samples(work / "auto/deep.png", 16);
    std::string rounded;
    for (std::size_t i = 0; i + 1 < deep16.size(); i += 2) {
        const unsigned v = static_cast<unsigned char>(deep16[i]) |
                           static_cast<unsigned>(static_cast<unsigned char>(deep16[i + 1])) << 8;
        rounded.push_back(static_cast<char>((v * 255 + 32767) / 65535));
    }
    EXPECT_EQ(samples(work / "eight/deep.png", 8), rounded);
    EXPECT_EQ(file("auto", "flat.png"), file("eight", "flat.png"));
    EXPECT_EQ(file("sixteen", "flat.png"), file("eight", "flat.png"));
    // Any resize keeps 16 bits (37 x 23 to 19 x 12 takes the cubic path): rounded, within a
    // step of the 8-bit job, which works on rounded samples and truncates.
    EXPECT_EQ(bit_depth(file("resized16", "deep.png")), 16);
    EXPECT_EQ(reports["resized16"].find("converted at 8 bits"), std::string::npos)
        << reports["resized16"];
    const std::string resized16 = samples(work / "resized16/deep.png", 16);
    const std::string resized8 = samples(work / "resized8/deep.png", 8);
    ASSERT_EQ(resized16.size(), resized8.size() * 2);
    int apart = 0;
    for (std::size_t i = 0; i < resized8.size(); ++i) {
        const unsigned v = static_cast<unsigned char>(resized16[2 * i]) |
                           static_cast<unsigned>(static_cast<unsigned char>(resized16[2 * i + 1]))
                               << 8;
        apart = std::max(apart, std::abs(static_cast<int>((v * 255 + 32767) / 65535) -
                                         static_cast<unsigned char>(resized8[i])));
    }
    EXPECT_LE(apart, 1);
    EXPECT_EQ(reports["resized8"].find("converted at 8 bits"), std::string::npos);
    // Halving shrinks by whole 2 x 2 blocks, which keeps 16 bits: each sample is the block's
    // mean within half a step.
    EXPECT_EQ(bit_depth(file("resized16", "even.png")), 16);
    const auto words = [](const std::string& raw) {
        std::vector<double> out;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
            out.push_back(static_cast<unsigned char>(raw[i]) +
                          256.0 * static_cast<unsigned char>(raw[i + 1]));
        return out;
    };
    const std::vector<double> whole = words(samples(even, 16));
    const std::vector<double> half = words(samples(work / "resized16/even.png", 16));
    ASSERT_EQ(half.size(), std::size_t{20} * 12 * 3);
    double worst = 0;
    for (std::size_t y = 0; y < 12; ++y)
        for (std::size_t x = 0; x < 20; ++x)
            for (std::size_t c = 0; c < 3; ++c) {
                double sum = 0;
                for (std::size_t j = 0; j < 2; ++j)
                    for (std::size_t i = 0; i < 2; ++i)
                        sum += whole[((2 * y + j) * 40 + 2 * x + i) * 3 + c];
                worst = std::max(worst, std::abs(sum / 4 - half[(y * 20 + x) * 3 + c]));
            }
    EXPECT_LE(worst, 0.5);
    // A turn moves samples unchanged: still 16 bits, each sample where ImageMagick turns it.
    EXPECT_EQ(bit_depth(file("turned", "deep.png")), 16);
    const std::string turned = work / "turned-reference.png";
    ASSERT_EQ(std::system(("convert " + q(deep) + " -rotate 90 " + q(turned)).c_str()), 0);
    EXPECT_EQ(samples(work / "turned/deep.png", 16), samples(turned, 16));
    EXPECT_EQ(reports["turned"].find("\"warnings\":[\""), std::string::npos);
    // A format of 8 bits: today's file, and nothing to warn about.
    EXPECT_EQ(file("bmp-auto", "deep.bmp"), file("bmp-eight", "deep.bmp"));
    EXPECT_EQ(reports["bmp-auto"].find("converted at 8 bits"), std::string::npos);
}

} // namespace
} // namespace vt::cli
