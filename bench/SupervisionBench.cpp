// Cost of one supervision cycle (handleClientProcess) against registries of
// 10 to 10000 records, with stand-in seams so nothing is really started.
#include "BenchLog.h"
#include "BenchMessages.h"
#include "BenchPlatform.h"
#include "WatchdogServerModule.h"

#include <benchmark/benchmark.h>

namespace
{
const uint32_t ONE_HOUR_MS = 3600000;

// `count` records, each of its own service (so no restart removes another).
void fill(WatchdogServerModule& module, int count, uint32_t timeoutMs)
{
    for (int i = 0; i < count; ++i)
    {
        const WatchdogMsg body =
            BenchMessages::body(BenchMessages::processName(i), BenchMessages::serviceName(i), timeoutMs);
        module.registerWatchdog(&body);
    }
}

// No record is due: the cost of walking the registry and polling the three
// dependent services, all running.
void BM_CycleNoneExpired(benchmark::State& state)
{
    BenchLog::use(BenchLog::SINK_NULL);
    BenchPlatform fakes;
    WatchdogServerModule module(fakes.platform(), "127.0.0.1", 0);
    fill(module, static_cast<int>(state.range(0)), ONE_HOUR_MS);
    module.checkAndStartServer();
    for (auto _ : state)
        module.handleClientProcess();
    state.SetComplexityN(state.range(0));
}

// Every record has timeout 0, so it is due in every cycle: each is restarted
// (net stop, net start, same-service sweep) in one cycle of five and
// tolerated in the other four. One iteration is those five cycles, so every
// record is restarted exactly once in it. Records go to the discarding
// channel or to the file.
void BM_CycleAllExpired(benchmark::State& state)
{
    const auto sink = static_cast<BenchLog::Sink>(state.range(1));
    BenchLog::use(sink);
    state.SetLabel(BenchLog::name(sink));
    BenchPlatform fakes;
    WatchdogServerModule module(fakes.platform(), "127.0.0.1", 0);
    fill(module, static_cast<int>(state.range(0)), 0);
    module.checkAndStartServer();
    for (int i = 0; i < 5; ++i) // past the first cycle, which restarts every record
        module.handleClientProcess();
    const uint64_t launchesBefore = fakes.processes.launches();
    for (auto _ : state)
        for (int cycle = 0; cycle < 5; ++cycle)
            module.handleClientProcess();
    // Two launches (stop, start) per restart.
    state.counters["restarts"] =
        benchmark::Counter(static_cast<double>(fakes.processes.launches() - launchesBefore) / 2,
                           benchmark::Counter::kAvgIterations);
}

// No records; the three dependent services are stopped, so every cycle sends
// each a start.
void BM_CycleServicesStopped(benchmark::State& state)
{
    BenchLog::use(BenchLog::SINK_NULL);
    BenchPlatform fakes;
    BenchServiceControl stopped(false);
    WatchdogPlatform platform = fakes.platform();
    WatchdogPlatform withStopped{platform.clock, stopped, platform.processes, platform.install};
    WatchdogServerModule module(withStopped, "127.0.0.1", 0);
    module.checkAndStartServer();
    for (auto _ : state)
        module.handleClientProcess();
}
} // namespace

BENCHMARK(BM_CycleNoneExpired)->ArgName("records")->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_CycleAllExpired)
    ->ArgNames({"records", "sink"})
    ->Args({10, BenchLog::SINK_NULL})
    ->Args({100, BenchLog::SINK_NULL})
    ->Args({1000, BenchLog::SINK_NULL})
    ->Args({10000, BenchLog::SINK_NULL})
    ->Args({10, BenchLog::SINK_FILE_FLUSH})
    ->Args({1000, BenchLog::SINK_FILE_FLUSH})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CycleServicesStopped);

BENCHMARK_MAIN();
