#include "StallGuard.h"

#include "LogRecord.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/NumberParser.h>

#include <algorithm>
#include <future>
#include <memory>

namespace
{
constexpr unsigned MAX_LIMIT_S = 86400;
constexpr auto MAX_CHECK = std::chrono::milliseconds(1000);
// How long the record that explains the exit may take to be written: the
// log may be what holds the worker.
constexpr auto RECORD_GRACE = std::chrono::milliseconds(2000);
} // namespace

StallGuard::StallGuard(std::function<uint64_t()> progress, std::function<bool()> serving,
                       std::function<void(int)> endProcess)
    : m_fnProgress(std::move(progress)), m_fnServing(std::move(serving)),
      m_fnEndProcess(std::move(endProcess))
{
}

StallGuard::~StallGuard()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

std::optional<std::chrono::seconds> StallGuard::limitFromEnvironment()
{
    const std::string value = Poco::Environment::get(VARIABLE, "");
    if (value.empty())
        return std::nullopt;
    unsigned seconds = 0;
    if (!Poco::NumberParser::tryParseUnsigned(value, seconds) || seconds == 0 || seconds > MAX_LIMIT_S)
        throw Poco::InvalidArgumentException(std::string(VARIABLE) +
                                             " must be a number of seconds from 1 to " +
                                             std::to_string(MAX_LIMIT_S) + ", not \"" + value + "\"");
    return std::chrono::seconds(seconds);
}

void StallGuard::start(std::chrono::milliseconds limit)
{
    if (m_thread.joinable())
        return;
    m_thread = std::thread(&StallGuard::watch, this, limit);
}

void StallGuard::watch(std::chrono::milliseconds limit)
{
    const auto period = std::clamp(limit / 4, std::chrono::milliseconds(1), MAX_CHECK);
    uint64_t lastProgress = m_fnProgress();
    auto lastChange = std::chrono::steady_clock::now();
    std::string why;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (why.empty() && !m_cvStop.wait_for(lock, period, [this] { return m_bStop; }))
        {
            const uint64_t progress = m_fnProgress();
            const auto now = std::chrono::steady_clock::now();
            if (progress != lastProgress)
            {
                lastProgress = progress;
                lastChange = now;
            }
            // An ended worker is given the same time as a stuck one, as
            // systemd's WatchdogSec does: the record and the crash report of
            // its end are written meanwhile.
            else if (now - lastChange >= limit)
            {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
                why = m_fnServing() ? "the worker has made no progress for " + std::to_string(ms) + " ms"
                                    : std::string("the worker has ended");
            }
        }
    }
    if (!why.empty())
        endWith(why);
}

void StallGuard::recordEnd(const std::string& why)
{
    DIAG_ERROR("[%s %?d] %s: ending the process with exit code %?d so that it is started again", why,
               STALL_EXIT_CODE);
}

void StallGuard::endWith(const std::string& why)
{
    // Written from a thread of its own and waited for a short while only:
    // whatever holds the worker may hold the logger too.
    auto written = std::make_shared<std::promise<void>>();
    std::future<void> done = written->get_future();
    std::thread(
        [written, why]
        {
            try
            {
                recordEnd(why);
            }
            catch (...)
            {
            }
            written->set_value();
        })
        .detach();
    done.wait_for(RECORD_GRACE);
    m_fnEndProcess(STALL_EXIT_CODE);
}
