#include "ServiceRetry.h"

#include "LogRecord.h"

#include <Poco/Exception.h>
#include <Poco/Thread.h>

#include <algorithm>
#include <string>

using std::chrono::milliseconds;

ServiceRetry::ServiceRetry(milliseconds budget) : m_budget(budget) {}

void ServiceRetry::beginPass()
{
    m_llSpentMs = 0;
}

std::chrono::steady_clock::time_point ServiceRetry::now() const
{
    return std::chrono::steady_clock::now();
}

void ServiceRetry::pause(milliseconds duration)
{
    Poco::Thread::sleep(static_cast<long>(duration.count()));
}

void ServiceRetry::retry(const std::function<void()>& attempt)
{
    std::optional<std::chrono::steady_clock::time_point> failingSince;
    std::string firstFailure;
    milliseconds nextPause = FIRST_PAUSE;
    for (int iAttempt = 1;; ++iAttempt)
    {
        const auto started = now();
        milliseconds wait{0};
        try
        {
            attempt();
            if (failingSince)
            {
                const long long llFailingMs =
                    std::chrono::duration_cast<milliseconds>(now() - *failingSince).count();
                m_llSpentMs += llFailingMs;
                DIAG_INFO("[%s %?d] the service manager answered again after %d ms and %d attempts (%s)",
                          static_cast<int>(llFailingMs), iAttempt, firstFailure);
            }
            return;
        }
        catch (const Poco::Exception& exc)
        {
            if (!failingSince)
            {
                failingSince = started;
                firstFailure = exc.displayText();
            }
            const long long llFailingMs =
                std::chrono::duration_cast<milliseconds>(now() - *failingSince).count();
            const long long llLeftMs = m_budget.count() - m_llSpentMs.load() - llFailingMs;
            if (llLeftMs <= 0)
            {
                m_llSpentMs += llFailingMs;
                DIAG_ERROR("[%s %?d] the service manager did not answer for %d ms and %d attempts: %s",
                           static_cast<int>(llFailingMs), iAttempt, exc.displayText());
                throw;
            }
            wait = std::min(nextPause, milliseconds(llLeftMs));
        }
        pause(wait);
        nextPause = std::min(nextPause * 2, LONGEST_PAUSE);
    }
}
