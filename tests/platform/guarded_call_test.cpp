#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include "base/utf.h"
#include "platform/dynamic_library.h"
#include "platform/guarded_call.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

// Plain C-style functions, as a plug-in's code would be; like a plug-in they are not checked by
// the sanitizers, so the fault itself happens.
#define VT_UNCHECKED __attribute__((no_sanitize("address", "undefined")))
volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;
volatile int g_ten = 10;
volatile int g_result = 0;

VT_UNCHECKED void read_null(void*) {
    g_result = *g_null;
}
VT_UNCHECKED void write_null(void*) {
    *g_null = 1;
}
VT_UNCHECKED void divide_by_zero(void*) {
    g_result = g_ten / g_zero;
}
void fine(void* out) {
    *static_cast<int*>(out) = 42;
}
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
volatile int g_depth_limit = 1 << 30; // not known to the compiler: the recursion may end
int recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return depth < g_depth_limit ? recurse(depth + 1) + frame[0] : 0;
}
void overflow(void*) {
    g_result = recurse(0);
}
#endif

std::string text(const std::u16string& s) {
    return test::u8(s);
}

TEST(GuardedCall, AccessViolationsAreDescribed) {
    Fault fault;
    ASSERT_FALSE(guarded_call(read_null, nullptr, fault));
    EXPECT_EQ(fault.signal, SIGSEGV);
    EXPECT_EQ(text(fault.name()), "Access Violation Reading 0000000000000000");
    const std::string d = text(fault.description());
    EXPECT_EQ(d.rfind("Continuable Error at ", 0), 0u) << d;
    EXPECT_NE(d.find("/0000000000000000: Access Violation Reading"), std::string::npos) << d;

    ASSERT_FALSE(guarded_call(write_null, nullptr, fault));
    EXPECT_EQ(text(fault.name()), "Access Violation Writing 0000000000000000");
    EXPECT_EQ(text(fault.description(true)).rfind("Fatal Error at ", 0), 0u);
}

TEST(GuardedCall, DivideByZeroAndStackOverflow) {
    Fault fault;
    ASSERT_FALSE(guarded_call(divide_by_zero, nullptr, fault));
    EXPECT_EQ(text(fault.name()), "Integer Divide By Zero");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    ASSERT_FALSE(guarded_call(overflow, nullptr, fault));
    EXPECT_EQ(text(fault.name()), "Stack Overflow");
#endif
    // The thread goes on working after both.
    int out = 0;
    EXPECT_TRUE(guarded_call(fine, &out, fault));
}

TEST(GuardedCall, NestedGuardsCatchAtTheInnermost) {
    struct Outer {
        bool inner_returned = true;
        Fault inner;
    } state;
    Fault outer;
    EXPECT_TRUE(guarded_call(
        [](void* p) {
            auto* s = static_cast<Outer*>(p);
            s->inner_returned = guarded_call(read_null, nullptr, s->inner);
        },
        &state, outer));
    EXPECT_FALSE(state.inner_returned);
    EXPECT_EQ(state.inner.signal, SIGSEGV);
}

TEST(GuardedCall, ThreadsFaultAtTheSameTimeIndependently) {
    std::atomic<int> caught{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                Fault fault;
                if (!guarded_call(i % 2 ? read_null : divide_by_zero, nullptr, fault))
                    ++caught;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(caught, 200);
}

TEST(GuardedCall, FaultsOutsideAGuardStillEndTheProcess) {
    Fault fault;
    int out = 0;
    EXPECT_TRUE(guarded_call(fine, &out, fault)); // handlers installed
    EXPECT_DEATH(read_null(nullptr), "");
}

TEST(DynamicLibrary, LoadsFindsAndReportsFailure) {
    // Only by absolute path: a bare name would be looked for on the library search path, where
    // an empty entry is the current folder.
    DynamicLibrary by_name;
    EXPECT_FALSE(by_name.open(u"libm.so.6"));
    EXPECT_FALSE(by_name.open(u"./libm.so.6"));
    EXPECT_FALSE(by_name.error().empty());
    Dl_info where{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(::cos)), &where), 0);
    DynamicLibrary libm;
    ASSERT_TRUE(libm.open(base::utf8_to_utf16(where.dli_fname))) << where.dli_fname;
    auto* cosine = reinterpret_cast<double (*)(double)>(libm.symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(libm.symbol("no_such_symbol_here"), nullptr);
    DynamicLibrary moved = std::move(libm);
    EXPECT_TRUE(moved);
    EXPECT_FALSE(libm); // NOLINT: moved-from is empty by contract

    test::TempFolder tmp;
    tmp.write("fmx_Fake.so", "not a library");
    DynamicLibrary bad;
    EXPECT_FALSE(bad.open(tmp.sub16("fmx_Fake.so")));
    EXPECT_FALSE(bad.error().empty());
    EXPECT_EQ(bad.symbol("flt_CheckLoad"), nullptr);
}

} // namespace
} // namespace vt::platform
