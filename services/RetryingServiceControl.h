#pragma once

#include "ServiceControl.h"
#include "ServiceRetry.h"

#include <memory>
#include <string>

// The same failure semantics on every backend: open() and isRegistered()
// either succeed or raise, after the bounded retry of ServiceRetry, with one
// budget per pass (beginPass). A failed isRegistered() opens the service
// afresh before the next attempt, so a connection the manager dropped is not
// asked again. A failed isRunning() is asked once more, on a fresh
// connection, after isRegistered() (with its retry) has found the manager
// answering: a manager that re-executed between the two questions is ridden
// out, while a running-state query that fails again raises to the caller,
// for whom it is the "exception" status. The backends raise at once; this is
// the only place that waits. Thread-safe as the backend is.
class RetryingServiceControl : public ServiceControl
{
public:
    // `pRetry`: the retry and its budget (tests pass one with a clock of
    // their own).
    explicit RetryingServiceControl(std::unique_ptr<ServiceControl> pBackend,
                                    std::unique_ptr<ServiceRetry> pRetry = std::make_unique<ServiceRetry>());

    // Throws the backend's last exception once the pass's budget is spent.
    std::unique_ptr<ServiceHandle> open(const std::string& name) override;
    void beginPass() override;

private:
    std::unique_ptr<ServiceControl> m_pBackend;
    std::unique_ptr<ServiceRetry> m_pRetry;
};
