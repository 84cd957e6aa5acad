// The guard that ends the process when the worker stops, with the ending
// replaced by a recorder.
#include "StallGuard.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace
{

// The worker as the guard sees it, and the exit codes the guard asked for.
struct Worker
{
    std::atomic<uint64_t> progress{0};
    std::atomic<bool> serving{true};
    std::mutex mutex;
    std::condition_variable ended;
    std::vector<int> codes;

    StallGuard guard()
    {
        return StallGuard([this] { return progress.load(); }, [this] { return serving.load(); },
                          [this](int code)
                          {
                              std::lock_guard<std::mutex> lock(mutex);
                              codes.push_back(code);
                              ended.notify_all();
                          });
    }
    // Whether the guard ended the process within `deadline`.
    bool endedWithin(std::chrono::milliseconds deadline)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return ended.wait_for(lock, deadline, [this] { return !codes.empty(); });
    }
};

TEST(platform_StallGuard, ProgressKeepsTheProcessAndAStallOrAnEndedWorkerEndsIt)
{
    {
        Worker worker;
        StallGuard guard = worker.guard();
        guard.start(400ms);
        // Steps every 50 ms for three times the limit: the process stays.
        for (int i = 0; i < 24; ++i)
        {
            std::this_thread::sleep_for(50ms);
            ++worker.progress;
        }
        EXPECT_FALSE(worker.endedWithin(0ms));
        // No step for the limit: ended, once, with the stall code.
        EXPECT_TRUE(worker.endedWithin(5s));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(worker.codes, std::vector<int>{StallGuard::STALL_EXIT_CODE});
    }
    {
        // An ended worker gets the same time, for its end to be reported.
        Worker worker;
        StallGuard guard = worker.guard();
        guard.start(1s);
        worker.serving = false;
        EXPECT_FALSE(worker.endedWithin(500ms));
        EXPECT_TRUE(worker.endedWithin(5s));
        EXPECT_EQ(worker.codes, std::vector<int>{StallGuard::STALL_EXIT_CODE});
    }
}

TEST(platform_StallGuard, TheLimitComesFromTheEnvironment)
{
    ::unsetenv(StallGuard::VARIABLE);
    EXPECT_EQ(StallGuard::limitFromEnvironment(), std::nullopt);
    ::setenv(StallGuard::VARIABLE, "30", 1);
    EXPECT_EQ(StallGuard::limitFromEnvironment(), std::chrono::seconds(30));
    for (const char* bad : {"0", "-5", "1.5", "30s", "86401", "x"})
    {
        ::setenv(StallGuard::VARIABLE, bad, 1);
        EXPECT_THROW(StallGuard::limitFromEnvironment(), Poco::InvalidArgumentException) << bad;
    }
    ::unsetenv(StallGuard::VARIABLE);
}

} // namespace
