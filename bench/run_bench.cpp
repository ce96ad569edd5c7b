// The conversion run's own overhead: 400 files whose step burns 20 ms of processor time each,
// on one worker per processor. The ideal is processors / 20 ms files per second; the job thread
// and the walk should not take a visible share of it.

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <memory>

#include "engine/conversion_run.h"
#include "platform/system.h"
#include "tests/support/fake_step.h"
#include "tests/support/prepared.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr int kFiles = 400;
constexpr double kBurnSeconds = 0.020;

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double thread_cpu_seconds() {
    return cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
}

// Spends the given processor time on arithmetic the compiler cannot drop.
void burn(double seconds) {
    const double until = thread_cpu_seconds() + seconds;
    volatile std::uint64_t x = 1;
    while (thread_cpu_seconds() < until)
        for (int i = 0; i < 1000; ++i)
            x = x * 6364136223846793005ull + 1442695040888963407ull;
}

void BM_RunOverhead(benchmark::State& state) {
    vt::test::TempFolder src, dst;
    for (int i = 0; i < kFiles; ++i)
        src.write("f" + std::to_string(i) + ".jpg");
    vt::engine::ConversionJob job = vt::engine::default_job();
    job.sourceFolder.assign(src.path16());
    job.targetFolder.assign(dst.path16());
    job.targetExtension.assign(u".png");
    job.overwrite = 1; // every round writes the same targets again
    const vt::engine::PreparedJob prepared = vt::test::prepared(job);
    const unsigned workers = std::min(vt::platform::processor_count(), vt::engine::kMaxWorkers);

    double wall = 0, cpu = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
        auto step = std::make_shared<vt::test::FakeStep>();
        step->on_load = [](const std::u16string&) {
            burn(kBurnSeconds);
            return 1u;
        };
        vt::engine::ConversionRun run(step, {.workers = workers});
        if (!run.start_job(prepared))
            state.SkipWithError("the job did not start");
        run.wait_for_end(std::chrono::minutes(5));
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    }
    // Processor time the run spends beyond the files' own work, in percent of that work: it
    // does not depend on what else the machine is doing, unlike the ratio to the ideal.
    const double work = kFiles * kBurnSeconds * static_cast<double>(state.iterations());
    state.counters["overhead_cpu_pct"] = 100.0 * (cpu - work) / work;
    const double files_per_s = kFiles * static_cast<double>(state.iterations()) / wall;
    const double ideal = workers / kBurnSeconds;
    state.counters["files_per_s"] = files_per_s;
    state.counters["ideal_files_per_s"] = ideal;
    state.counters["ratio_to_ideal"] = files_per_s / ideal;
    state.counters["workers"] = workers;
}
BENCHMARK(BM_RunOverhead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
