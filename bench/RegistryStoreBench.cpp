// Cost of saving the registry after a pass that changed it, and of restoring
// it at start-up, against the real registry file (FileRegistryStore) in a
// folder on the disk the benchmark runs from: $ZELVIN_BENCH_STATE_DIR, else a
// fresh folder under the system's temporary folder, removed at the end.
#include "BenchLog.h"
#include "BenchMessages.h"
#include "BenchPlatform.h"
#include "FileRegistryStore.h"
#include "RegistryFormat.h"
#include "WatchdogServerModule.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace
{
namespace fs = std::filesystem;

// One folder for the whole run, removed at exit.
const std::string& stateFolder()
{
    static const struct Folder
    {
        std::string path;
        Folder()
        {
            const char* szBase = std::getenv("ZELVIN_BENCH_STATE_DIR");
            const fs::path base = szBase ? fs::path(szBase) : fs::temp_directory_path();
            path = (base / ("registry-bench-" + std::to_string(::getpid()))).string();
        }
        ~Folder() { fs::remove_all(path); }
    } folder;
    return folder.path;
}

void fill(WatchdogServerModule& module, int count)
{
    for (int i = 0; i < count; ++i)
    {
        const WatchdogMsg body =
            BenchMessages::body(BenchMessages::processName(i), BenchMessages::serviceName(i), 60000);
        module.registerWatchdog(&body);
    }
}

// One pass's changes (a record cancelled and registered again) and the save
// after it: write the whole registry, flush, rename, flush the folder.
void BM_SaveAfterPass(benchmark::State& state)
{
    BenchLog::use(BenchLog::SINK_NULL);
    BenchPlatform fakes;
    FileRegistryStore store(stateFolder());
    WatchdogPlatform platform = fakes.platform();
    platform.store = &store;
    WatchdogServerModule module(platform, "127.0.0.1", 0);
    fill(module, static_cast<int>(state.range(0)));
    const WatchdogMsg changed = BenchMessages::body(BenchMessages::processName(0), "Svc00000", 60000);
    for (auto _ : state)
    {
        module.cancelWatchdog(&changed);
        module.registerWatchdog(&changed);
        module.saveRegistryIfChanged();
    }
    state.counters["bytes"] = static_cast<double>(store.load()->size());
}

// The same registry turned into bytes only: the part of a save that is not
// the disk's.
void BM_EncodeRegistry(benchmark::State& state)
{
    BenchLog::use(BenchLog::SINK_NULL);
    BenchPlatform fakes;
    WatchdogServerModule module(fakes.platform(), "127.0.0.1", 0);
    fill(module, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(RegistryFormat::write(module.watchProcesses()));
}

// Start-up: read the file, check and parse it, fill the registry, one record
// per restored process (to the discarding channel, or to the log file as the
// watchdog writes it).
void BM_RestoreAtStart(benchmark::State& state)
{
    const auto sink = static_cast<BenchLog::Sink>(state.range(1));
    BenchLog::use(sink);
    state.SetLabel(BenchLog::name(sink));
    BenchPlatform fakes;
    FileRegistryStore store(stateFolder());
    WatchdogPlatform platform = fakes.platform();
    platform.store = &store;
    {
        WatchdogServerModule writer(platform, "127.0.0.1", 0);
        fill(writer, static_cast<int>(state.range(0)));
        writer.saveRegistryIfChanged();
    }
    for (auto _ : state)
    {
        WatchdogServerModule module(platform, "127.0.0.1", 0);
        module.restoreRegistry();
        if (module.watchProcesses().size() != static_cast<std::size_t>(state.range(0)))
            state.SkipWithError("not every record was restored");
    }
}
} // namespace

BENCHMARK(BM_SaveAfterPass)->ArgName("records")->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeRegistry)->ArgName("records")->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestoreAtStart)
    ->ArgNames({"records", "sink"})
    ->Args({10000, BenchLog::SINK_NULL})
    ->Args({10000, BenchLog::SINK_FILE_FLUSH})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
