// Saves that are killed, refused or run out of disk: every target is its old or its new picture,
// never missing or cut, and nothing is left behind once the program has started again.
// VT_RELIABILITY_ROUNDS sets the number of kills (CI runs a few; people run many).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using vt::test::TempFolder;
constexpr int kFiles = 8;

class SaveReliability : public ::testing::Test {
protected:
    // Runs vtconvert; with `kill_after_ms` it is killed with SIGKILL that long after its start.
    int vtconvert(const std::string& args, int kill_after_ms = -1) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("VANTREL_DATA_ROOT", (data / "root").c_str(), 1);
            if (file_size_limit > 0) {
                ::signal(SIGXFSZ, SIG_IGN); // writes past the limit then fail with EFBIG
                const rlimit limit{file_size_limit, file_size_limit};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            const std::string cmd = "exec '" VTCONVERT "' -q " + args + " >/dev/null 2>&1";
            ::execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
            ::_exit(127);
        }
        if (kill_after_ms >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kill_after_ms));
            ::kill(pid, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void pictures(const TempFolder& into, int seed) {
        for (int i = 0; i < kFiles; ++i) {
            std::string p = "P6\n900 900\n255\n"; // noise, so that the targets are large
            for (unsigned k = 0, x = static_cast<unsigned>(seed * 100 + i); k < 900 * 900 * 3; ++k)
                p.push_back(static_cast<char>((x = x * 1103515245u + 12345u) >> 23));
            into.write("p" + std::to_string(i) + ".ppm", p);
        }
    }
    // Each target is exactly its old or its new version; nothing else is in the folder.
    void expect_old_or_new(const std::string& folder, const std::string& when) {
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "p" + std::to_string(i) + ".tif";
            const std::string now = dst.read(folder.empty() ? name : folder + "/" + name);
            EXPECT_TRUE(now == old_dst.read(name) || now == new_dst.read(name)) << when << name;
        }
        int entries = 0;
        for (const auto& e : fs::directory_iterator(folder.empty() ? dst.path() : dst / folder))
            entries += e.path().filename() != "_error_log.txt";
        EXPECT_EQ(entries, kFiles) << when;
    }
    void reset_targets() {
        fs::remove_all(dst.path());
        fs::copy(old_dst.path(), dst.path());
    }
    void SetUp() override {
        pictures(old_src, 1);
        pictures(new_src, 2);
        ASSERT_EQ(
            vtconvert("-f .tif --overwrite '" + old_src.path() + "' '" + old_dst.path() + "'"), 0);
        ASSERT_EQ(
            vtconvert("-f .tif --overwrite '" + new_src.path() + "' '" + new_dst.path() + "'"), 0);
        ASSERT_NE(old_dst.read("p0.tif"), new_dst.read("p0.tif"));
    }
    // A tmpfs of `bytes` (0: the default) at dst/folder holding the old targets.
    bool mount_old_targets(const std::string& folder, std::uintmax_t bytes) {
        fs::create_directory(dst / folder);
        std::string options = "mode=0700";
        if (bytes > 0)
            options += ",size=" + std::to_string(bytes);
        if (::mount("tmpfs", (dst / folder).c_str(), "tmpfs", 0, options.c_str()) != 0)
            return false;
        for (const auto& e : fs::directory_iterator(old_dst.path()))
            fs::copy(e.path(), dst / folder);
        return true;
    }
    std::string job() {
        return "-f .tif --overwrite --threads 2 '" + new_src.path() + "' '" + dst.path() + "'";
    }
    TempFolder data, old_src, new_src, old_dst, new_dst, dst;
    rlim_t file_size_limit = 0;
};

TEST_F(SaveReliability, KillDuringOverwriteLeavesOldOrNewAndNoLeftovers) {
    const char* env = std::getenv("VT_RELIABILITY_ROUNDS");
    const int rounds = env ? std::atoi(env) : 4;
    std::mt19937 random(12345);
    for (int round = 0; round < rounds; ++round) {
        reset_targets();
        vtconvert(job(), std::uniform_int_distribution(5, 400)(random));
        const std::string when = "round " + std::to_string(round) + ": ";
        ASSERT_EQ(vtconvert("--list-formats"), 0); // the next start tidies up
        expect_old_or_new("", when);
    }
    EXPECT_EQ(vtconvert(job()), 0);
    expect_old_or_new("", "after a full job: ");
    EXPECT_FALSE(fs::exists(data / "root/Converter/pending_operations.txt"));
}

// A read-only folder: by its permissions, or for root (whom permissions do not stop) a
// read-only mount.
TEST_F(SaveReliability, ReadOnlyTargetFolderKeepsTheOldFiles) {
    reset_targets();
    fs::permissions(dst.path(), fs::perms::owner_read | fs::perms::owner_exec);
    std::string folder;
    if (::access(dst.path().c_str(), W_OK) == 0) {
        fs::permissions(dst.path(), fs::perms::owner_all);
        folder = "ro";
        if (!mount_old_targets(folder, 0))
            GTEST_SKIP() << "running as root without mounts: permissions are not enforced";
        ASSERT_EQ(::mount("tmpfs", (dst / folder).c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, ""), 0);
    }
    const std::string target = folder.empty() ? dst.path() : dst / folder;
    // Refused before it starts ("The destination is READ-ONLY."), so nothing is touched.
    EXPECT_EQ(vtconvert("-f .tif --overwrite '" + new_src.path() + "' '" + target + "'"), 3);
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "p" + std::to_string(i) + ".tif";
        EXPECT_EQ(dst.read(folder.empty() ? name : folder + "/" + name), old_dst.read(name));
    }
    if (!folder.empty())
        ::umount((dst / folder).c_str());
}

// A small file system that fills up part way through the job; where nothing can be mounted, a
// file size limit that makes every save fail half-way instead.
TEST_F(SaveReliability, FullDiskKeepsTheOldFiles) {
    const auto old_size = fs::file_size(old_dst / "p0.tif");
    std::string folder = "small";
    if (!mount_old_targets(folder, old_size * kFiles + old_size / 2)) {
        folder.clear();
        reset_targets();
        file_size_limit = old_size / 2;
    }
    const std::string target = folder.empty() ? dst.path() : dst / folder;
    const int status = vtconvert("-f .tif --overwrite '" + new_src.path() + "' '" + target + "'");
    file_size_limit = 0;
    expect_old_or_new(folder, "full disk: ");
    if (!folder.empty())
        ::umount(target.c_str());
    EXPECT_EQ(status, 1);
}

} // namespace
