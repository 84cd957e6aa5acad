#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <utility>

// The one bounded retry of the service-manager queries that must succeed or
// raise, on every backend: opening the manager for a service and asking
// whether the service is registered (RetryingServiceControl). A query that
// raises Poco::Exception is tried again after a pause (50 ms, doubling up to
// 500 ms) until it succeeds or the pass's budget is spent; then its last
// exception is raised as it was thrown.
//
// The budget belongs to one pass of the watchdog's worker (beginPass), not to
// one query: all the retries of a pass together wait at most PASS_BUDGET, so
// a manager that is gone holds a pass for about that long (plus the last
// attempt's own bound) and no longer. A query that finds the budget spent is
// tried once. A query that needed retries, and one that gave up, leave a
// record on the diagnostics logger. Thread-safe.
class ServiceRetry
{
public:
    // A re-execution of systemd's manager (`systemctl daemon-reexec`) kept
    // the retry waiting at most 0.12 s with 20 running units and 0.37 s with
    // 300 (scripts/measure_systemd.py, a private manager); the budget rides
    // out several times that and stays well below the unit's WatchdogSec.
    static constexpr std::chrono::milliseconds PASS_BUDGET{3000};
    static constexpr std::chrono::milliseconds FIRST_PAUSE{50};
    static constexpr std::chrono::milliseconds LONGEST_PAUSE{500};

    explicit ServiceRetry(std::chrono::milliseconds budget = PASS_BUDGET);
    virtual ~ServiceRetry() = default;

    ServiceRetry(const ServiceRetry&) = delete;
    ServiceRetry& operator=(const ServiceRetry&) = delete;

    // The whole budget again, for the pass that begins now.
    void beginPass();

    // `attempt`'s result, once it returns; rethrows its last Poco::Exception
    // when the budget is spent. Other exceptions pass through at once.
    template <typename Attempt> auto run(Attempt&& attempt) -> decltype(attempt())
    {
        std::optional<decltype(attempt())> result;
        retry([&] { result.emplace(attempt()); });
        return std::move(*result);
    }

protected:
    // The clock and the pause between two attempts; tests move time instead
    // of sleeping.
    virtual std::chrono::steady_clock::time_point now() const;
    virtual void pause(std::chrono::milliseconds duration);

private:
    void retry(const std::function<void()>& attempt);

    std::chrono::milliseconds m_budget;
    std::atomic<long long> m_llSpentMs{0}; // waited on failing attempts in this pass
};
