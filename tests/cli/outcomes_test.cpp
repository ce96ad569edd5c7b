// vtconvert end to end on outcomes: a damaged picture is "converted with warnings" and says
// so everywhere, a picture whose advanced resample a Ctrl-C stopped is "cut short" and is done
// again by --resume, and a picture read only in part never counts as plainly converted.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/temp_folder.h"

extern char** environ;

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

std::string q(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

long json_number(const std::string& out, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\"" + key + "\":([0-9]+)")))
        return -1;
    return std::stol(m[1]);
}

bool have_imagemagick() {
    return std::system("command -v convert >/dev/null 2>&1") == 0;
}

// The width and height a PNG's header gives.
std::pair<int, int> png_size(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char h[24] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    const auto be = [&](int at) {
        return h[at] << 24 | h[at + 1] << 16 | h[at + 2] << 8 | h[at + 3];
    };
    return {be(16), be(20)};
}

// The resident memory of a running process, in MB (0 once it is gone).
long resident_mb(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

class OutcomesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_imagemagick())
            GTEST_SKIP() << "ImageMagick's convert makes the pictures";
        fs::create_directories(root / "src");
    }
    // vtconvert with `args` (already quoted) and the folders; its exit code.
    int run(const std::string& args) {
        const std::string command = "VANTREL_DATA_ROOT=" + q(root / "data") + " " + q(VTCONVERT) +
                                    " " + args + " >" + q(root / "out") + " 2>" + q(root / "err") +
                                    " </dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string report() const { return root.read("r.jsonl"); }

    TempFolder root;
};

TEST_F(OutcomesTest, ATruncatedJpegIsConvertedWithWarningsAndSaysSo) {
    const std::string jpeg = root / "src/cut.jpg";
    ASSERT_EQ(
        std::system(("convert -size 640x480 gradient:red-blue -quality 92 " + q(jpeg)).c_str()), 0);
    fs::resize_file(jpeg, fs::file_size(jpeg) * 6 / 10);
    ASSERT_EQ(run("-f .png --json --report " + q(root / "r.jsonl") + " " + q(root / "src") + " " +
                  q(root / "dst")),
              0)
        << root.read("err");
    const std::string out = root.read("out");
    EXPECT_EQ(json_number(out, "converted"), 1);
    EXPECT_EQ(json_number(out, "warned"), 1);
    EXPECT_NE(out.find("\"outcome\":\"converted with warnings\""), std::string::npos) << out;
    EXPECT_NE(root.read("err").find("vtconvert: warning: "), std::string::npos) << root.read("err");
    EXPECT_NE(root.read("err").find("1 with warnings"), std::string::npos);
    EXPECT_NE(report().find("\"outcome\":\"converted with warnings\",\"reason\":\"\","
                            "\"warnings\":[\""),
              std::string::npos)
        << report();
    // What was written is the whole picture, its lost rows filled.
    EXPECT_EQ(png_size(root / "dst/cut.png"), std::pair(640, 480));
}

TEST_F(OutcomesTest, APictureCutShortByCtrlCIsReportedAndDoneAgainByResume) {
    ASSERT_EQ(std::system(("convert -size 3000x2000 gradient:red-blue -quality 90 " +
                           q(root / "src/big.jpg"))
                              .c_str()),
              0);
    const std::string report_file = root / "r.jsonl";
    // Started directly, so that the interrupt reaches vtconvert and not a shell.
    const std::string data = "VANTREL_DATA_ROOT=" + std::string(root / "data");
    const std::string out = root / "out", err = root / "err";
    std::vector<std::string> argv = {
        VTCONVERT,   "-f",          ".png",     "--threads", "1",          "--resize",
        "5:200x200", "--algorithm", "3",        "--filter",  "5",          "--sinc-size",
        "29",        "--json",      "--report", report_file, root / "src", root / "dst"};
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> env_text = {data};
    for (char** e = environ; *e; ++e)
        env_text.emplace_back(*e);
    std::vector<char*> env;
    for (std::string& e : env_text)
        env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, VTCONVERT, &files, nullptr, args.data(), env.data()), 0);
    posix_spawn_file_actions_destroy(&files);
    // The interrupt must come while the picture is resampled: once the process holds the
    // decoded source and the 6000 x 4000 destination (more than 110 MB), whatever the load of
    // the machine. A cancel that comes before the resample starts stops it at its first row
    // all the same.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    bool ended = false;
    while (!ended && resident_mb(pid) < 110 && std::chrono::steady_clock::now() < deadline) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
        kill(pid, SIGINT);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << root.read("err");
    EXPECT_EQ(json_number(root.read("out"), "cut_short"), 1) << root.read("out");
    EXPECT_NE(report().find("\"outcome\":\"cut short\""), std::string::npos) << report();
    EXPECT_NE(root.read("err").find("vtconvert: cut short: "), std::string::npos);

    // The resumed job does it again, and this time whole.
    ASSERT_EQ(run("-f .png --resize 5:50x50 --json --report " + q(report_file) + " --resume " +
                  q(report_file) + " " + q(root / "src") + " " + q(root / "dst")),
              0)
        << root.read("err");
    EXPECT_EQ(json_number(root.read("out"), "converted"), 1) << root.read("out");
    EXPECT_EQ(json_number(root.read("out"), "cut_short"), 0);
    EXPECT_EQ(png_size(root / "dst/big.png"), std::pair(1500, 1000));
}

} // namespace
} // namespace vt
