// Cost of one service status query over sd-bus, as the watchdog asks it in
// every pass for each dependent service: open, isRegistered, isRunning on a
// SystemdServiceControl that keeps its connection. Needs a systemd manager
// in the environment (ZELVIN_SYSTEMD_SCOPE, XDG_RUNTIME_DIR) with a running
// unit BenchRunning.service; scripts/measure_systemd.py starts a private one
// and runs this program against it.
//
// - running: a loaded, active unit (two property reads);
// - missing: a unit that does not exist (one read, "not-found");
// - manager gone: the manager's socket is not there; every query raises
//   after one connection attempt (the backend alone, without the watchdog's
//   retry, which waits on the manager).
#include "ServiceManagerChoice.h"
#include "SystemdServiceControl.h"

#include <Poco/Exception.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace
{
// The watchdog's getServerStatus: 2 unregistered, 0 running, 1 stop, 3 exception.
int statusOf(ServiceControl& services, const std::string& name)
{
    const std::unique_ptr<ServiceHandle> service = services.open(name);
    if (!service->isRegistered())
        return 2;
    try
    {
        return service->isRunning() ? 0 : 1;
    }
    catch (const Poco::Exception&)
    {
        return 3;
    }
}

void runQueries(benchmark::State& state, SystemdServiceControl& services, const std::string& name,
                int iExpected)
{
    const int iFirst = statusOf(services, name); // connects
    if (iFirst != iExpected)
    {
        state.SkipWithError(("status of " + name + " is " + std::to_string(iFirst) + ", not " +
                             std::to_string(iExpected) +
                             ": is the manager running with BenchRunning.service?")
                                .c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(statusOf(services, name));
}

void BM_StatusQueryRunning(benchmark::State& state)
{
    SystemdServiceControl services(chooseServiceManager().bUserScope);
    runQueries(state, services, "BenchRunning", 0);
}

void BM_StatusQueryMissing(benchmark::State& state)
{
    SystemdServiceControl services(chooseServiceManager().bUserScope);
    runQueries(state, services, "BenchMissing", 2);
}

void BM_StatusQueryManagerGone(benchmark::State& state)
{
    const char* szOld = std::getenv("XDG_RUNTIME_DIR");
    const std::string old = szOld ? szOld : "";
    ::setenv("XDG_RUNTIME_DIR", "/nonexistent-zelvin-runtime", 1);
    {
        SystemdServiceControl services(true);
        for (auto _ : state)
            try
            {
                services.open("BenchRunning")->isRegistered();
                state.SkipWithError("a manager answered");
                break;
            }
            catch (const Poco::IOException&)
            {
            }
    }
    szOld ? ::setenv("XDG_RUNTIME_DIR", old.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
}
} // namespace

BENCHMARK(BM_StatusQueryRunning)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusQueryMissing)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusQueryManagerGone)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
