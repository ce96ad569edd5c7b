#include "sdk/kit/child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vt::kit {

namespace {

// Moves all `size` bytes through `step` (one read or write of what is left, which answers as
// they do), retrying interrupted calls.
template <typename Byte, typename Step>
bool transfer_all(Byte* p, std::size_t size, Step step) noexcept {
    while (size > 0) {
        const ssize_t n = step(p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool write_all(int fd, const void* data, std::size_t size) noexcept {
    return transfer_all(
        static_cast<const std::uint8_t*>(data), size,
        [fd](const std::uint8_t* p, std::size_t left) { return ::write(fd, p, left); });
}

bool read_all(int fd, void* data, std::size_t size) noexcept {
    return transfer_all(static_cast<std::uint8_t*>(data), size,
                        [fd](std::uint8_t* p, std::size_t left) { return ::read(fd, p, left); });
}

bool read_all(int fd, void* data, std::size_t size,
              std::chrono::steady_clock::time_point until) noexcept {
    // Each piece is waited for no later than `until`; a wait that runs out reads as the end.
    return transfer_all(
        static_cast<std::uint8_t*>(data), size,
        [fd, until](std::uint8_t* p, std::size_t left) -> ssize_t {
            const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd wait{fd, POLLIN, 0};
            const int ready =
                ::poll(&wait, 1, static_cast<int>(std::max<long long>(wait_ms.count(), 0)));
            return ready <= 0 ? ready : ::read(fd, p, left);
        });
}

void default_fault_actions() noexcept {
    struct {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        std::uint64_t mask;
    } action{SIG_DFL, 0, nullptr, 0};
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
        (void)::syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
}

void end_child(pid_t child) noexcept {
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace vt::kit
