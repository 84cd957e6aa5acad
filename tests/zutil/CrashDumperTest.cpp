#include "CrashDumper.h"
#include "ZvLog.h"
#include "fakes/TestSupport.h"

#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include <spawn.h>

using namespace testsupport;
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

// Today's date in UTC, as a report's time begins.
std::string utcDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof(text), "%Y-%m-%d", &tm);
    return text;
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

// An exception that ends a POCO thread is named in a critical record and in
// a crash report; when the log file cannot take the record, standard error
// gets it instead.
TEST(zutil_CrashDumper, AThreadEndedByAnExceptionIsReportedAndLogged)
{
    const struct
    {
        const char* what;
        std::function<void()> fnThrow;
        std::string description;
        bool bLogFails;
    } cases[] = {
        {"poco", [] { throw Poco::FileNotFoundException("Service folder /x does not exist"); },
         "Poco::FileNotFoundException: File not found: Service folder /x does not exist", false},
        {"std", [] { throw std::runtime_error("boom"); }, "std::runtime_error: boom", false},
        {"other", [] { throw 42; }, "an exception of unknown type", false},
        {"log on a full disk", [] { throw Poco::SystemException("Cannot start net"); },
         "Poco::SystemException: System exception: Cannot start net", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ScopedEnv env("ZELVIN_CONFIG_DIR", dir.path().string());
        writeFile(dir / "Watchdog.xml", logConfig("<Dir value=\"log\"/>"));
        const fs::path logFile = dir.path() / "log" / "Watchdog.log";
        if (c.bLogFails)
        {
            fs::create_directories(logFile.parent_path());
            fs::create_symlink("/dev/full", logFile);
        }
        const StderrCapture console(dir / "stderr.txt");
        ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 1, 1, "", ""));
        CrashDumper::Install();

        const std::string before = utcDate();
        // The runnable outlives the thread: POCO's startFunc frees its own
        // copy racing with a thread that ends by an exception.
        struct Victim : Poco::Runnable
        {
            const std::function<void()>& fnThrow;
            explicit Victim(const std::function<void()>& fn) : fnThrow(fn) {}
            void run() override { fnThrow(); }
        } victim(c.fnThrow);
        Poco::Thread thread("victim");
        thread.start(victim);
        thread.join();

        std::vector<fs::path> reports;
        for (const auto& entry : fs::directory_iterator(dir.path() / "log" / "crash"))
            reports.push_back(entry.path());
        ASSERT_EQ(1u, reports.size());
        const std::string report = readFile(reports[0].string());
        const std::string head = "Thread ended by an uncaught exception\nTime: ";
        EXPECT_TRUE(report.starts_with(head + before) || report.starts_with(head + utcDate())) << report;
        const std::string trace = "\nException: " + c.description + "\nBacktrace (where it was caught):\n";
        const std::size_t at = report.find(trace);
        ASSERT_NE(std::string::npos, at) << report;
        EXPECT_NE(std::string::npos, report.find(']', at + trace.size())) << "no frame in " << report;

        const std::string record = "thread victim ended by an uncaught exception: " + c.description +
                                   " (crash report " + reports[0].string() + ")\n";
        const std::string where = c.bLogFails ? console.text() : readFile(logFile.string());
        EXPECT_NE(std::string::npos,
                  where.find((c.bLogFails ? "ZelvinUtil: " : "[Critical] ZelvinUtil: ") + record))
            << where;
    }
}
