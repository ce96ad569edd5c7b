#include "platform/keep_awake.h"

#include <mutex>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock.h"

extern char** environ;

namespace vt::platform {
namespace {

constexpr std::uint32_t kRenewMs = 60000;
constexpr const char* kInhibitor = "/usr/bin/systemd-inhibit";

bool inhibitor_available() {
    return ::access(kInhibitor, X_OK) == 0 && ::access("/run/systemd/system", F_OK) == 0;
}

// The inhibitor holds its lock for as long as its command runs. A shell starts it in the
// background and ends at once, so no child of ours is left to reap.
void start_inhibitor() {
    const char* argv[] = {
        "/bin/sh", "-c",
        "/usr/bin/systemd-inhibit --what=sleep:idle --who='Vantrel Converter' "
        "--why='Converting pictures' --mode=block sleep 120 >/dev/null 2>&1 </dev/null &",
        nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

} // namespace

void keep_system_awake() noexcept {
    static std::mutex lock;
    static bool checked = false, available = false, started = false;
    static TimeStamp last = 0;
    std::lock_guard guard(lock);
    if (!checked) {
        available = inhibitor_available();
        checked = true;
    }
    if (!available || (started && elapsed_ms(last) < kRenewMs))
        return;
    start_inhibitor();
    started = true;
    last = now();
}

} // namespace vt::platform
