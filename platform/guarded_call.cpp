#include "platform/guarded_call.h"

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <sys/ucontext.h>
#include <unistd.h>

#include "base/utf.h"

namespace vt::platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kAltStackSize = 64 * 1024;
constexpr std::uintptr_t kStackSlack = 64 * 1024;

struct Guard {
    sigjmp_buf jump;
    Fault fault;
    Guard* outer;
};

thread_local Guard* t_guard = nullptr;
thread_local bool t_alt_stack = false;

struct sigaction g_previous[4];

int index_of(int sig) {
    for (int i = 0; i < 4; ++i)
        if (kSignals[i] == sig)
            return i;
    return -1;
}

void fill_fault(Fault& f, int sig, const siginfo_t* info, const void* context) {
    f.signal = sig;
    f.code = info->si_code;
    f.data_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
#if defined(__x86_64__)
    const auto* uc = static_cast<const ucontext_t*>(context);
    f.code_address = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    const auto err = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_ERR]);
    const auto sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    if (sig == SIGSEGV) {
        f.writing = (err & 2) != 0;
        f.executing = (err & 16) != 0;
        f.stack_overflow = f.data_address + kStackSlack >= sp && f.data_address < sp + kStackSlack;
    }
#else
    (void)context;
    f.code_address = f.data_address;
#endif
}

void on_fault(int sig, siginfo_t* info, void* context) {
    if (Guard* g = t_guard) {
        fill_fault(g->fault, sig, info, context);
        siglongjmp(g->jump, 1);
    }
    // Not ours: hand it to whoever handled it before, or let the default action happen.
    const int i = index_of(sig);
    const struct sigaction& prev = g_previous[i];
    if ((prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction) {
        prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
        prev.sa_handler(sig);
        return;
    }
    signal(sig, SIG_DFL); // the faulting instruction runs again and ends the process
}

void install_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = on_fault;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 4; ++i)
            sigaction(kSignals[i], &sa, &g_previous[i]);
    });
}

// A stack overflow leaves no room for the handler on the thread's own stack.
void ensure_alt_stack() {
    if (t_alt_stack)
        return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
        t_alt_stack = true; // the thread already has one (a sanitizer's, say)
        return;
    }
    // Kept for the thread's life: the kernel may use it until the thread ends.
    static thread_local struct AltStack {
        void* memory = std::malloc(kAltStackSize);
        ~AltStack() {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
            std::free(memory);
        }
    } alt;
    if (!alt.memory)
        return;
    stack_t ss{};
    ss.ss_sp = alt.memory;
    ss.ss_size = kAltStackSize;
    t_alt_stack = sigaltstack(&ss, nullptr) == 0;
}

std::u16string hex(std::uintptr_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(v));
    return base::ascii_to_utf16(text);
}

} // namespace

std::u16string Fault::name() const {
    switch (signal) {
    case SIGSEGV:
        if (stack_overflow)
            return u"Stack Overflow";
        return u"Access Violation " +
               std::u16string(executing ? u"Executing"
                              : writing ? u"Writing"
                                        : u"Reading") +
               u" " + hex(data_address);
    case SIGBUS:
        return u"In Page Error " + hex(data_address);
    case SIGFPE:
        return code == FPE_INTDIV   ? u"Integer Divide By Zero"
               : code == FPE_INTOVF ? u"Integer Overflow"
                                    : u"Float Exception";
    case SIGILL:
        return u"Illegal Instruction";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "Unknown Exception %08X", static_cast<unsigned>(signal));
        return base::ascii_to_utf16(text);
    }
    }
}

std::u16string Fault::description(bool fatal) const {
    return std::u16string(fatal ? u"Fatal" : u"Continuable") + u" Error at " + hex(code_address) +
           u"/" + hex(data_address) + u": " + name();
}

bool guarded_call(void (*fn)(void*), void* context, Fault& fault) noexcept {
    install_handlers();
    ensure_alt_stack();
    Guard guard{};
    guard.outer = t_guard;
    if (sigsetjmp(guard.jump, 1) != 0) {
        t_guard = guard.outer;
        fault = guard.fault;
        return false;
    }
    t_guard = &guard;
    fn(context);
    t_guard = guard.outer;
    return true;
}

} // namespace vt::platform
