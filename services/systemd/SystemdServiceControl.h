#pragma once

#include "ServiceControl.h"
#include "SystemdBus.h"

#include <chrono>
#include <mutex>
#include <string>

// ServiceControl over systemd: service NAME is unit "NAME.service", asked over
// one sd-bus connection held for the object's life (see SystemdBus.h).
// - Registered: the unit's LoadState is "loaded". A masked unit is not: masking
//   is how an operator takes a unit out of the watchdog's hands. A NAME that
//   is no valid unit name is not registered, and no bus call is made for it.
// - Running: ActiveState "active" or "reloading"; activating, deactivating,
//   failed and inactive are not running.
// - Manager unreachable (gone, hung, re-executing): isRegistered() and
//   isRunning() throw Poco::IOException at once (each call bounded by
//   CALL_TIMEOUT), and the connection is dropped, so the next query connects
//   afresh. Waiting for the manager to come back is RetryingServiceControl's.
// Thread-safe: the connection is used under a mutex (the main thread asks at
// start-up, the worker afterwards). Linux only.
class SystemdServiceControl : public ServiceControl
{
public:
    // A healthy manager answers a property read in well under a millisecond;
    // a second is room for a busy one, and what a hung one costs the worker.
    static constexpr std::chrono::milliseconds CALL_TIMEOUT{1000};

    // `bUserScope`: the calling user's manager rather than the system's.
    // Connects on first use, never here.
    explicit SystemdServiceControl(bool bUserScope);

    // Never throws (but for lack of memory); the handle asks at each call.
    std::unique_ptr<ServiceHandle> open(const std::string& name) override;

    // Property `szProperty` of the Unit interface of `unitName` (a valid unit
    // name). Throws Poco::IOException when the manager does not answer.
    std::string unitProperty(const std::string& unitName, const char* szProperty);

private:
    [[noreturn]] void fail(const std::string& text);

    std::mutex m_mutex;
    SystemdBus m_bus;
};
