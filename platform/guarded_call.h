#pragma once
// Calls into foreign code (format plug-ins) under a per-thread fault guard. A SIGSEGV, SIGBUS,
// SIGFPE or SIGILL raised inside the guarded call is handled on an alternate signal stack and
// returns to the caller with a description of the fault instead of ending the process. Outside
// a guarded call the process keeps its earlier handling of these signals.
//
// The guarded function is left by a jump: it must not own objects with destructors on its own
// stack frame (call a plain C function through it, nothing more).
// Thread: any; each thread has its own guard, and guards may nest.

#include <cstdint>
#include <string>

namespace vt::platform {

struct Fault {
    int signal = 0;
    int code = 0; // si_code
    std::uintptr_t code_address = 0;
    std::uintptr_t data_address = 0;
    bool writing = false;
    bool executing = false;
    bool stack_overflow = false;

    // "Continuable Error at 00007F.../0000000000000010: Access Violation Reading 0000..."
    [[nodiscard]] std::u16string description(bool fatal = false) const;
    // The fault's own name: "Access Violation Writing ...", "Integer Divide By Zero", ...
    [[nodiscard]] std::u16string name() const;
};

// Runs fn(context). True when it returned; false when it faulted, with `fault` filled.
bool guarded_call(void (*fn)(void* context), void* context, Fault& fault) noexcept;

// Convenience for a callable that owns nothing on its own stack frame (usually a lambda that
// calls one C function pointer and stores its result through a captured pointer).
template <typename F>
bool guarded(F& callable, Fault& fault) noexcept {
    return guarded_call([](void* c) { (*static_cast<F*>(c))(); }, &callable, fault);
}

} // namespace vt::platform
