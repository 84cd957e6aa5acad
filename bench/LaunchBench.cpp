// Cost of starting one command: the watchdog's launcher (SystemProcessLauncher)
// and POCO's Process::launch it replaced, starting "net" and a tiny program,
// beside a bare posix_spawn of /bin/true. Each at the usual default soft
// open-file limit (1024), at the hard limit after raiseOpenFileLimit, and at
// 1048576 when the hard limit may be raised that far (a systemd or container
// setting, and where POCO's per-descriptor loop reaches its 100000 cap).
//
// Time per iteration is start + wait for the command's end; "launch_us" is the
// time the launching thread is held by the call alone.
#include "ProcessLimits.h"
#include "SystemProcessLauncher.h"

#include <Poco/Process.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
enum Limit
{
    LIMIT_DEFAULT_SOFT,
    LIMIT_RAISED,
    LIMIT_RAISED_1M,
};

using Launch = std::function<int()>;

// Sets the open-file limit for `limit`; returns the soft limit in force, or 0
// when it cannot be set.
rlim_t applyLimit(Limit limit)
{
    struct rlimit rl;
    ::getrlimit(RLIMIT_NOFILE, &rl);
    if (limit == LIMIT_DEFAULT_SOFT)
    {
        struct rlimit lowered = {std::min<rlim_t>(1024, rl.rlim_max), rl.rlim_max};
        return ::setrlimit(RLIMIT_NOFILE, &lowered) == 0 ? lowered.rlim_cur : 0;
    }
    if (limit == LIMIT_RAISED_1M && rl.rlim_max < 1048576)
    {
        struct rlimit wide = {rl.rlim_cur, 1048576};
        if (::setrlimit(RLIMIT_NOFILE, &wide) != 0)
            return 0;
    }
    return ProcessLimits::raiseOpenFileLimit();
}

void runLaunch(benchmark::State& state, Limit limit, const Launch& launch)
{
    const rlim_t soft = applyLimit(limit);
    if (soft == 0)
    {
        state.SkipWithError("cannot set the open-file limit (needs CAP_SYS_RESOURCE)");
        return;
    }
    state.SetLabel("nofile=" + std::to_string(soft));
    double launchSeconds = 0;
    for (auto _ : state)
    {
        const auto started = std::chrono::steady_clock::now();
        const int pid = launch();
        launchSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ::waitpid(pid, nullptr, 0);
    }
    state.counters["launch_us"] = benchmark::Counter(launchSeconds * 1e6, benchmark::Counter::kAvgIterations);
}

// Asked in a child, so this process keeps its limits for the groups before.
bool canRaiseHardLimit()
{
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        struct rlimit rl;
        ::getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_max = std::max<rlim_t>(rl.rlim_max, 1048576);
        ::_exit(::setrlimit(RLIMIT_NOFILE, &rl) == 0 ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int bareSpawnTrue()
{
    static char arg0[] = "/bin/true";
    static char* argv[] = {arg0, nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0)
        throw std::runtime_error("posix_spawn /bin/true failed");
    return pid;
}

int pocoLaunch(const std::string& command, const std::vector<std::string>& args)
{
    Poco::Process::Args vecArgs(args.begin(), args.end());
    return Poco::Process::launch(command, vecArgs).id();
}

// "net" from beside this program, against an empty service folder: it
// rejects the unknown service and ends, so what is measured is its start.
void prepareNet()
{
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string path = self.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
    ::setenv("PATH", path.c_str(), 1);
    static const fs::path services =
        fs::temp_directory_path() / ("launch-bench-" + std::to_string(::getpid()));
    fs::create_directories(services);
    ::setenv("ZELVIN_SERVICE_DIR", services.c_str(), 1);
    std::atexit(
        []
        {
            std::error_code ec;
            fs::remove_all(services, ec);
        });
}
} // namespace

int main(int argc, char** argv)
{
    prepareNet();
    static SystemProcessLauncher launcher;
    const std::vector<std::string> netArgs = {"stop", "NoSuchService"};
    const std::pair<const char*, Launch> launches[] = {
        {"bare_posix_spawn_true", bareSpawnTrue},
        {"poco_launch_true", [] { return pocoLaunch("/bin/true", {}); }},
        {"system_launcher_true", [] { return launcher.launch("/bin/true", {}); }},
        {"poco_launch_net", [netArgs] { return pocoLaunch("net", netArgs); }},
        {"system_launcher_net", [netArgs] { return launcher.launch("net", netArgs); }},
    };
    // Limits only go up from one group to the next, so the order is fixed.
    const std::pair<const char*, Limit> limits[] = {
        {"nofile_default_soft", LIMIT_DEFAULT_SOFT},
        {"nofile_raised", LIMIT_RAISED},
        {"nofile_1M", LIMIT_RAISED_1M},
    };
    for (const auto& [limitName, limit] : limits)
    {
        if (limit == LIMIT_RAISED_1M && !canRaiseHardLimit())
            continue;
        for (const auto& [launchName, launch] : launches)
            benchmark::RegisterBenchmark((std::string(launchName) + "/" + limitName).c_str(),
                                         [limit = limit, launch = launch](benchmark::State& state)
                                         { runLaunch(state, limit, launch); })
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // The commands inherit standard output and error; their messages go to
    // /dev/null, the report to the original standard output.
    __gnu_cxx::stdio_filebuf<char> reportBuf(::fcntl(1, F_DUPFD_CLOEXEC, 3), std::ios::out);
    std::ostream report(&reportBuf);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    ::close(devNull);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_None);
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    report.flush();
    benchmark::Shutdown();
    return 0;
}
