// Cost of one message from its received bytes to the end of its handler:
// processRecvData1 on a module with stand-in seams, with the records going to
// a discarding channel or to the watchdog's own file channel.
#include "BenchLog.h"
#include "BenchMessages.h"
#include "BenchPlatform.h"
#include "WatchdogServerModule.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace
{
// Registers and cancels work on fresh names; the registry is rebuilt, off the
// clock, after this many.
const int BATCH = 4096;
const uint32_t ONE_HOUR_MS = 3600000;

std::vector<WatchdogMsg> batchBodies()
{
    std::vector<WatchdogMsg> vecBodies;
    vecBodies.reserve(BATCH);
    for (int i = 0; i < BATCH; ++i)
        vecBodies.push_back(
            BenchMessages::body(BenchMessages::processName(i), BenchMessages::serviceName(i), ONE_HOUR_MS));
    return vecBodies;
}

std::unique_ptr<WatchdogServerModule> freshModule(BenchPlatform& fakes)
{
    return std::make_unique<WatchdogServerModule>(fakes.platform(), "127.0.0.1", 0);
}

void setUp(benchmark::State& state)
{
    const auto sink = static_cast<BenchLog::Sink>(state.range(0));
    BenchLog::use(sink);
    state.SetLabel(BenchLog::name(sink));
}

void BM_RegisterNew(benchmark::State& state)
{
    setUp(state);
    BenchPlatform fakes;
    const std::vector<WatchdogMsg> vecBodies = batchBodies();
    const WatchdogMsgHeader header = BenchMessages::header(1);
    auto module = freshModule(fakes);
    int next = 0;
    for (auto _ : state)
    {
        if (next == BATCH)
        {
            state.PauseTiming();
            module = freshModule(fakes);
            next = 0;
            state.ResumeTiming();
        }
        module->processRecvData1(&header, &vecBodies[next++]);
    }
}

void BM_Cancel(benchmark::State& state)
{
    setUp(state);
    BenchPlatform fakes;
    const std::vector<WatchdogMsg> vecBodies = batchBodies();
    const WatchdogMsgHeader cancelHeader = BenchMessages::header(2);
    auto module = freshModule(fakes);
    int next = BATCH;
    for (auto _ : state)
    {
        if (next == BATCH)
        {
            state.PauseTiming();
            for (const WatchdogMsg& body : vecBodies)
                module->registerWatchdog(&body);
            next = 0;
            state.ResumeTiming();
        }
        module->processRecvData1(&cancelHeader, &vecBodies[next++]);
    }
}

// A feed of one record among BATCH: the steady state of a busy watchdog.
void BM_Feed(benchmark::State& state)
{
    setUp(state);
    BenchPlatform fakes;
    const std::vector<WatchdogMsg> vecBodies = batchBodies();
    const WatchdogMsgHeader header = BenchMessages::header(3);
    auto module = freshModule(fakes);
    for (const WatchdogMsg& body : vecBodies)
        module->registerWatchdog(&body);
    int next = 0;
    for (auto _ : state)
    {
        module->processRecvData1(&header, &vecBodies[next]);
        next = (next + 1) % BATCH;
    }
}

void BM_RejectedType(benchmark::State& state)
{
    setUp(state);
    BenchPlatform fakes;
    const WatchdogMsg body = BenchMessages::body("Anything.exe", "Anything", ONE_HOUR_MS);
    const WatchdogMsgHeader header = BenchMessages::header(9);
    auto module = freshModule(fakes);
    for (auto _ : state)
        module->processRecvData1(&header, &body);
}

// Argument: the log sink (0 discarding, 1 file flushed per record as the
// watchdog runs it, 2 file without the flush).
void sinks(benchmark::internal::Benchmark* b)
{
    b->ArgName("sink")->Arg(BenchLog::SINK_NULL)->Arg(BenchLog::SINK_FILE_FLUSH)->Arg(BenchLog::SINK_FILE);
}
} // namespace

BENCHMARK(BM_RegisterNew)->Apply(sinks);
BENCHMARK(BM_Feed)->Apply(sinks);
BENCHMARK(BM_Cancel)->Apply(sinks);
BENCHMARK(BM_RejectedType)->Apply(sinks);

BENCHMARK_MAIN();
