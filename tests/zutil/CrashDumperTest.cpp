#include "ZutilTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <spawn.h>

using namespace zutiltest;
namespace fs = std::filesystem;

extern char** environ;

namespace
{

// Runs the crash helper in `mode` with its config in `dir`; its wait status.
std::optional<int> runCrashHelper(const TempDir& dir, std::string mode)
{
    ScopedEnv env("ZELVIN_CONFIG_DIR", dir.path().string());
    std::string helper = ZUTIL_CRASH_HELPER;
    char* argv[] = {helper.data(), mode.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv, environ) != 0)
        return std::nullopt;
    return waitForExit(pid, std::chrono::seconds(30));
}

} // namespace

// A plain SIGSEGV and a stack overflow, which only an alternate signal stack
// lets the handler report.
TEST(zutil_CrashDumper, ReportsTheSignalAndLetsTheProcessDieOfIt)
{
    for (const std::string mode : {"segv", "overflow"})
    {
        SCOPED_TRACE(mode);
        TempDir dir;
        writeFile(dir / "Watchdog.xml", logConfig("<Dir value=\"log\"/>"));

        const std::optional<int> status = runCrashHelper(dir, mode);
        EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV);

        std::error_code ec;
        fs::directory_iterator reports(dir.path() / "log" / "crash", ec);
        ASSERT_NE(fs::directory_iterator(), reports);
        EXPECT_TRUE(reports->path().filename().string().starts_with("crash-"));
        const std::string report = readFile(reports->path().string());
        EXPECT_NE(std::string::npos, report.find("Fatal signal 11 (SIGSEGV)")) << report;
        EXPECT_NE(std::string::npos, report.find("Backtrace:\n")) << report;
    }
}
