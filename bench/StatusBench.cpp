// Cost of the status snapshot against registries of 10 to 10000 records:
// building it from the module, rendering status.json and the exposition
// format, and a whole write of both files (temporary file, rename) into a
// folder on the disk the benchmark runs on. The worker does this at most
// once a second, at the end of a pass that lasts 150 ms or more (the
// 100 ms accept poll and the 50 ms pause, plus 100 ms per client).
#include "BenchLog.h"
#include "BenchMessages.h"
#include "BenchPlatform.h"
#include "StatusFiles.h"
#include "StatusFormat.h"
#include "WatchdogServerModule.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

namespace
{
const uint32_t ONE_HOUR_MS = 3600000;

// A module with `count` records, a few restarted, and its services polled.
struct Loaded
{
    explicit Loaded(int count) : module(fakes.platform(), "127.0.0.1", 0)
    {
        BenchLog::use(BenchLog::SINK_NULL);
        for (int i = 0; i < count; ++i)
        {
            const WatchdogMsg body = BenchMessages::body(
                BenchMessages::processName(i), BenchMessages::serviceName(i), i % 10 == 0 ? 0 : ONE_HOUR_MS);
            module.registerWatchdog(&body);
        }
        module.checkAndStartServer();
        module.handleClientProcess(); // restarts the tenth with timeout 0
    }
    StatusSnapshot snapshot()
    {
        return module.statusReport().build(module, "folder", fakes.clock.getSecondCount() * 1000u, 150);
    }

    BenchPlatform fakes;
    WatchdogServerModule module;
};

void BM_StatusBuild(benchmark::State& state)
{
    Loaded loaded(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(loaded.snapshot());
}

void BM_StatusJson(benchmark::State& state)
{
    Loaded loaded(static_cast<int>(state.range(0)));
    const StatusSnapshot snapshot = loaded.snapshot();
    for (auto _ : state)
        benchmark::DoNotOptimize(StatusFormat::json(snapshot));
    state.counters["bytes"] = static_cast<double>(StatusFormat::json(snapshot).size());
}

void BM_StatusMetrics(benchmark::State& state)
{
    Loaded loaded(static_cast<int>(state.range(0)));
    const StatusSnapshot snapshot = loaded.snapshot();
    for (auto _ : state)
        benchmark::DoNotOptimize(StatusFormat::metrics(snapshot));
    state.counters["bytes"] = static_cast<double>(StatusFormat::metrics(snapshot).size());
}

// What the worker spends once a second: build, render both, write both
// files through a temporary file and a rename each. As installed, the
// snapshot goes to a tmpfs (/run; /dev/shm here) and the metrics to the disk
// (/var/lib; the current folder here).
void BM_StatusWholeWrite(benchmark::State& state)
{
    Loaded loaded(static_cast<int>(state.range(0)));
    const std::string name = "status-bench-" + std::to_string(::getpid());
    const std::filesystem::path runtime = std::filesystem::path("/dev/shm") / name;
    const std::filesystem::path metrics = std::filesystem::current_path() / name;
    std::filesystem::create_directories(metrics);
    StatusFiles files(runtime.string(), metrics.string());
    for (auto _ : state)
        files.write(loaded.snapshot());
    std::filesystem::remove_all(runtime);
    std::filesystem::remove_all(metrics);
}
} // namespace

BENCHMARK(BM_StatusBuild)->ArgName("records")->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusJson)->ArgName("records")->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusMetrics)
    ->ArgName("records")
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusWholeWrite)
    ->ArgName("records")
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
