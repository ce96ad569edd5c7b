#pragma once
// Fault injection for the engine's start-up, for tests only: makes the next start-ups fail at
// the chosen step so that every failure path and its message can be checked.
// Thread: any (tests call it while no other thread uses the engine).

namespace vt::gfx {

enum class StartupFault { kNone, kLock, kCpu, kTables };

void inject_startup_fault(StartupFault fault) noexcept;

} // namespace vt::gfx
