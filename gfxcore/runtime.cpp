#include "gfxcore/runtime.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "gfxcore/runtime_p.h"

namespace vt::gfx {

std::atomic<bool> resample_abort{false};

namespace detail {

EngineState& engine_state() noexcept {
    static EngineState* const state = new EngineState;
    return *state;
}

} // namespace detail

namespace {

using detail::EngineState;

enum TableId { kDiv, kDodgeA, kOverlay, kDodgeB, kBurn };

void write_message(char16_t* buffer, std::size_t capacity, std::u16string_view text) noexcept {
    if (buffer == nullptr || capacity == 0)
        return;
    const std::size_t n = std::min(text.size(), capacity - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = u'\0';
}

std::uint8_t clamp_byte(long v) noexcept {
    return static_cast<std::uint8_t>(std::clamp(v, 0L, 255L));
}

using TableFormula = long (*)(long a, long b);

long div_cell(long a, long b) {
    return b == 0 ? 128 : (255 * a + b / 2) / b;
}
long dodge_a_cell(long a, long b) {
    return 256 * a / (b + 1);
}
long overlay_cell(long a, long b) {
    return a <= 127 ? (2 * a * b + 127) / 255 : (65025 - 2 * (255 - a) * (255 - b) + 127) / 255;
}
long dodge_b_cell(long a, long b) {
    return 256 * a / (256 - b);
}
long burn_cell(long a, long b) {
    return b == 0 ? 0 : 255 - 256 * (255 - a) / b;
}

constexpr TableFormula kFormulas[5] = {div_cell, dodge_a_cell, overlay_cell, dodge_b_cell,
                                       burn_cell};

BlendTable* build_table(TableId id) noexcept {
    auto* table = new (std::nothrow) BlendTable;
    if (table == nullptr)
        return nullptr;
    for (long a = 0; a < 256; ++a)
        for (long b = 0; b < 256; ++b)
            table->cell[a][b] = clamp_byte(kFormulas[id](a, b));
    return table;
}

void free_tables(EngineState& state) noexcept {
    for (auto& table : state.tables)
        delete table.exchange(nullptr);
}

const BlendTable* table(TableId id) noexcept {
    return detail::engine_state().tables[id].load(std::memory_order_acquire);
}

} // namespace

std::uint32_t detect_cpu_level() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    // Each level needs the ones below it: stop at the first one missing.
    const bool present[] = {
        __builtin_cpu_supports("mmx") != 0,   __builtin_cpu_supports("sse") != 0,
        __builtin_cpu_supports("sse2") != 0,  __builtin_cpu_supports("sse3") != 0,
        __builtin_cpu_supports("ssse3") != 0, __builtin_cpu_supports("sse4.1") != 0,
    };
    std::uint32_t level = kCpuNone;
    for (bool has : present) {
        if (!has)
            break;
        ++level;
    }
    return level;
#else
    // No x86 vector units: the wide kernels are built from portable vector code here.
    return kCpuSse2;
#endif
}

int EngineStartup(char16_t* message_buffer, std::size_t capacity) noexcept {
    EngineState& state = detail::engine_state();
    std::lock_guard start(state.start_mutex);
    if (state.init_count.load() > 0) {
        state.init_count.fetch_add(1);
        return 1;
    }
    const StartupFault fault = state.fault.load();
    auto fail = [&](std::u16string_view message) {
        free_tables(state);
        write_message(message_buffer, capacity, message);
        return 0;
    };
    // std::mutex cannot fail to exist; the message stays for the injected fault.
    if (fault == StartupFault::kLock)
        return fail(u"Failed to initialize TLS synchronization object");
    {
        std::lock_guard lock(state.lock);
        detail::discard_slots(state);
    }
    const std::uint32_t level = fault == StartupFault::kCpu ? kCpuSse : detect_cpu_level();
    state.cpu_level.store(level);
    if (level < kCpuSse2)
        return fail(u"The installed CPU does not support SSE2");
    for (TableId id : {kDodgeA, kOverlay, kDodgeB, kBurn, kDiv}) {
        if (state.tables[id].load() != nullptr)
            continue;
        BlendTable* built = fault == StartupFault::kTables ? nullptr : build_table(id);
        if (built == nullptr)
            return fail(u"Internal buffer allocation failed, check RAM");
        state.tables[id].store(built, std::memory_order_release);
    }
    state.init_count.store(1);
    return 1;
}

void EngineShutdown() noexcept {
    EngineState& state = detail::engine_state();
    std::lock_guard start(state.start_mutex);
    if (state.init_count.load() == 0)
        return;
    if (state.init_count.fetch_sub(1) != 1)
        return;
    {
        std::lock_guard lock(state.lock);
        detail::discard_slots(state);
    }
    free_tables(state);
}

std::uint32_t init_count() noexcept {
    return detail::engine_state().init_count.load();
}

std::uint32_t cpu_level() noexcept {
    return detail::engine_state().cpu_level.load();
}

void inject_startup_fault(StartupFault fault) noexcept {
    detail::engine_state().fault.store(fault);
}

const BlendTable* DivTable() noexcept {
    return table(kDiv);
}
const BlendTable* DodgeTableA() noexcept {
    return table(kDodgeA);
}
const BlendTable* OverlayTable() noexcept {
    return table(kOverlay);
}
const BlendTable* DodgeTableB() noexcept {
    return table(kDodgeB);
}
const BlendTable* BurnTable() noexcept {
    return table(kBurn);
}

} // namespace vt::gfx
