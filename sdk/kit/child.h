#pragma once
// What a plug-in that decodes in a child process needs on both ends of the pipe: whole reads and
// writes, a deadline for the parent's reads, the kernel's own fault handling in the child, and
// the child's end. A decoder that may fault or hang costs the picture there, never the program.
// Thread: any.

#include <sys/types.h>

#include <chrono>
#include <cstddef>

namespace vt::kit {

// Writes all `size` bytes; false when the other end is gone.
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t size) noexcept;
// Reads all `size` bytes; false when the other end stops sending first.
[[nodiscard]] bool read_all(int fd, void* data, std::size_t size) noexcept;
// The same, giving up at `until` (a child that hangs).
[[nodiscard]] bool read_all(int fd, void* data, std::size_t size,
                            std::chrono::steady_clock::time_point until) noexcept;

// In the child: a fault ends it quietly, by the kernel's default actions, set past any handler a
// sanitizer or fuzzer put in front of sigaction.
void default_fault_actions() noexcept;

// In the parent, when the answer is read: the child is killed (one that hangs or still sends is
// not waited for) and reaped.
void end_child(pid_t child) noexcept;

} // namespace vt::kit
