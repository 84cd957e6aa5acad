#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// The watchdog of the watchdog where no service manager watches its worker
// (Windows, or Linux outside systemd): with ZELVIN_EXIT_ON_STALL_S set to a
// number of seconds, a thread of its own ends the whole process with exit
// code STALL_EXIT_CODE when the worker has made no progress for that long,
// stuck in a step or ended (an ended worker gets the same time, as under
// systemd's WatchdogSec, so the record and crash report of its end are
// written first). The service manager's recovery (the setup's failure
// actions, or Restart= on Linux) then starts it again. Not copyable; one per
// process.
class StallGuard
{
public:
    // Exit code of a process ended by the guard: "temporary failure, start
    // me again".
    static constexpr int STALL_EXIT_CODE = 75;
    static constexpr const char* VARIABLE = "ZELVIN_EXIT_ON_STALL_S";

    // `progress` returns the worker's progress count, `serving` whether the
    // worker runs (it only chooses the words of the record); both are
    // called from the guard's thread. `endProcess`
    // ends the process with the code (tests pass their own); by default the
    // process is terminated at once, without running destructors, which
    // would wait for the stuck worker.
    StallGuard(std::function<uint64_t()> progress, std::function<bool()> serving,
               std::function<void(int)> endProcess = terminateProcess);
    // Stops and joins the thread.
    ~StallGuard();

    StallGuard(const StallGuard&) = delete;
    StallGuard& operator=(const StallGuard&) = delete;

    // The limit ZELVIN_EXIT_ON_STALL_S asks for: nullopt when the variable
    // is unset or empty; throws Poco::InvalidArgumentException for anything
    // but a whole number of seconds from 1 to 86400.
    static std::optional<std::chrono::seconds> limitFromEnvironment();

    // Starts the thread, which checks every quarter of `limit` (at most
    // every second). Call once, when the worker runs.
    void start(std::chrono::milliseconds limit);

    // Ends the process at once with `code`; never returns.
    [[noreturn]] static void terminateProcess(int code);

private:
    void watch(std::chrono::milliseconds limit);
    void endWith(const std::string& why);
    static void recordEnd(const std::string& why);

    std::function<uint64_t()> m_fnProgress;
    std::function<bool()> m_fnServing;
    std::function<void(int)> m_fnEndProcess;
    std::mutex m_mutex;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    std::thread m_thread;
};
