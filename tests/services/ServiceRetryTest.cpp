// The bounded retry in front of every backend: how long a manager may be
// away before open and isRegistered raise, that the budget is the pass's,
// and that the running query is never retried. Time is a fake clock that
// the pauses move forward.
#include "ServiceRetry.h"
#include "RetryingServiceControl.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

using std::chrono::milliseconds;

namespace
{
struct FakeTime
{
    std::chrono::steady_clock::time_point now{};
    std::vector<long long> vecPauses;
};

class FakeClockRetry : public ServiceRetry
{
public:
    explicit FakeClockRetry(FakeTime& time) : m_time(time) {}

protected:
    std::chrono::steady_clock::time_point now() const override { return m_time.now; }
    void pause(milliseconds duration) override
    {
        m_time.vecPauses.push_back(duration.count());
        m_time.now += duration;
    }

private:
    FakeTime& m_time;
};

// A manager that is away until `back` (or for good): opening and every query
// throw Poco::IOException meanwhile. Each attempt costs `attemptCost` of
// fake time, as a connection attempt does.
class AwayManager : public ServiceControl
{
public:
    AwayManager(FakeTime& time, milliseconds away, milliseconds attemptCost = milliseconds(0))
        : m_time(time), m_back(time.now + away), m_attemptCost(attemptCost)
    {
    }

    struct Handle : ServiceHandle
    {
        explicit Handle(AwayManager& manager) : m_manager(manager) {}
        bool isRegistered() const override { return m_manager.answer(); }
        bool isRunning() const override
        {
            if (m_manager.m_bRunningFails)
                throw Poco::IOException("ActiveState cannot be read");
            return m_manager.answer();
        }
        AwayManager& m_manager;
    };

    std::unique_ptr<ServiceHandle> open(const std::string&) override
    {
        ++m_iOpens;
        answer();
        return std::make_unique<Handle>(*this);
    }

    bool answer()
    {
        ++m_iAttempts;
        m_time.now += m_attemptCost;
        if (m_time.now < m_back)
            throw Poco::IOException("The service manager does not answer");
        return true;
    }

    FakeTime& m_time;
    std::chrono::steady_clock::time_point m_back;
    milliseconds m_attemptCost;
    int m_iOpens = 0;
    int m_iAttempts = 0;
    bool m_bRunningFails = false; // the manager answers, the running state cannot be read
};

struct Services
{
    Services(milliseconds away, milliseconds attemptCost = milliseconds(0))
    {
        auto pManager = std::make_unique<AwayManager>(time, away, attemptCost);
        manager = pManager.get();
        control = std::make_unique<RetryingServiceControl>(std::move(pManager),
                                                           std::make_unique<FakeClockRetry>(time));
    }
    long long waited() const { return std::accumulate(time.vecPauses.begin(), time.vecPauses.end(), 0LL); }

    FakeTime time;
    AwayManager* manager;
    std::unique_ptr<RetryingServiceControl> control;
};

const long long BUDGET_MS = ServiceRetry::PASS_BUDGET.count();

// The last row: a hung manager, every attempt running into a 1 s call
// timeout, which counts against the budget too.
TEST(ServiceRetryTest, AManagerAwayWithinTheBudgetIsRiddenOutAndOneAwayLongerRaisesAtIt)
{
    struct Case
    {
        long long llAwayMs;
        bool bAnswers;
        std::vector<long long> vecPauses;
        long long llAttemptMs = 0;
    } cases[] = {
        {0, true, {}},
        {1, true, {50}},
        {100, true, {50, 100}},
        {3000, true, {50, 100, 200, 400, 500, 500, 500, 500, 250}},
        {3001, false, {50, 100, 200, 400, 500, 500, 500, 500, 250}},
        {60000, false, {50, 100, 200, 400, 500, 500, 500, 500, 250}},
        {60000, false, {50, 100}, 1000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("away " + std::to_string(c.llAwayMs) + " ms, attempts of " +
                     std::to_string(c.llAttemptMs));
        Services services{milliseconds(c.llAwayMs), milliseconds(c.llAttemptMs)};
        if (c.bAnswers)
            EXPECT_TRUE(services.control->open("DUZI")->isRegistered());
        else
            EXPECT_THROW(services.control->open("DUZI"), Poco::IOException);
        EXPECT_EQ(services.time.vecPauses, c.vecPauses);
        EXPECT_EQ(services.manager->m_iAttempts, static_cast<int>(c.vecPauses.size()) + (c.bAnswers ? 2 : 1));
        EXPECT_LE(services.waited(), BUDGET_MS);
    }
}

TEST(ServiceRetryTest, TheBudgetIsThePassesAndAQueryThatFindsItSpentIsTriedOnce)
{
    Services services{milliseconds(60000)};
    EXPECT_THROW(services.control->open("DUZI"), Poco::IOException);
    const int iAttempts = services.manager->m_iAttempts;
    const std::size_t nPauses = services.time.vecPauses.size();
    EXPECT_THROW(services.control->open("VADA"), Poco::IOException);
    EXPECT_EQ(services.manager->m_iAttempts, iAttempts + 1);
    EXPECT_EQ(services.time.vecPauses.size(), nPauses) << "no pause once the budget is spent";

    services.control->beginPass();
    services.time.vecPauses.clear();
    EXPECT_THROW(services.control->open("DUZI"), Poco::IOException);
    EXPECT_EQ(services.waited(), BUDGET_MS);

    // Riding out one outage leaves the rest of the budget to the pass.
    Services shared{milliseconds(2000)};
    EXPECT_TRUE(shared.control->open("DUZI")->isRegistered());
    const long long llFirst = shared.waited();
    shared.manager->m_back = shared.time.now + milliseconds(60000);
    EXPECT_THROW(shared.control->open("VADA"), Poco::IOException);
    EXPECT_EQ(shared.waited(), BUDGET_MS) << "first outage " << llFirst << " ms";
}

TEST(ServiceRetryTest, ARunningQueryIsAskedAgainOnlyOnceTheManagerAnswersAndOpensAfresh)
{
    // The manager goes away between the registration and the running query:
    // ridden out on a fresh connection.
    Services services{milliseconds(0)};
    std::unique_ptr<ServiceHandle> duzi = services.control->open("DUZI");
    EXPECT_TRUE(duzi->isRegistered());
    services.manager->m_back = services.time.now + milliseconds(300);
    const int iOpens = services.manager->m_iOpens;
    EXPECT_TRUE(duzi->isRunning());
    EXPECT_GT(services.manager->m_iOpens, iOpens) << "a failed query opens the service again";
    EXPECT_EQ(services.waited(), 350);

    // The manager answers but the running state cannot be read: raised after
    // one more try, without waiting, for the caller's "exception".
    services.manager->m_bRunningFails = true;
    EXPECT_THROW(duzi->isRunning(), Poco::IOException);
    EXPECT_EQ(services.waited(), 350);
}
} // namespace
