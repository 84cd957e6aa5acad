#include "SystemdCommands.h"

#include "SystemdBus.h"
#include "UnitName.h"

#include <Poco/Exception.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <systemd/sd-bus.h>

namespace
{
using Clock = std::chrono::steady_clock;

const char* const DESTINATION = "org.freedesktop.systemd1";
const char* const MANAGER_PATH = "/org/freedesktop/systemd1";
const char* const MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager";
const char* const UNIT_INTERFACE = "org.freedesktop.systemd1.Unit";

enum class JobKind
{
    JOB_START,
    JOB_STOP
};

// Job object path -> result, for every job the manager reports removed.
using RemovedJobs = std::map<std::string, std::string>;

int onJobRemoved(sd_bus_message* pMsg, void* pUser, sd_bus_error*)
{
    uint32_t uId = 0;
    const char* szPath = nullptr;
    const char* szUnit = nullptr;
    const char* szResult = nullptr;
    if (sd_bus_message_read(pMsg, "uoss", &uId, &szPath, &szUnit, &szResult) >= 0)
        static_cast<RemovedJobs*>(pUser)->emplace(szPath, szResult);
    return 0;
}

// One connection to the manager under a single deadline: every call gets
// what is left of it. Throws Poco::IOException when the manager cannot be
// reached.
class Conversation
{
public:
    Conversation(bool bUserScope, int iTimeoutMs)
        : m_deadline(Clock::now() + std::chrono::milliseconds(iTimeoutMs)),
          m_bus(bUserScope, std::chrono::milliseconds(iTimeoutMs > 0 ? iTimeoutMs : 1)),
          m_pBus(m_bus.connection())
    {
    }

    ~Conversation() { sd_bus_error_free(&m_error); }

    // The one connection, never reopened: the match lives on it.
    sd_bus* bus() { return m_pBus; }

    // Microseconds left; throws Poco::TimeoutException with `what` when none.
    uint64_t left(const std::string& what) const
    {
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(m_deadline - Clock::now()).count();
        if (us <= 0)
            throw Poco::TimeoutException(what);
        return static_cast<uint64_t>(us);
    }

    std::string unitProperty(const std::string& unit, const char* szProperty)
    {
        sd_bus_set_method_call_timeout(bus(), left("No answer from the service manager"));
        char* szValue = nullptr;
        check(sd_bus_get_property_string(bus(), DESTINATION, systemdUnitPath(unit).c_str(), UNIT_INTERFACE,
                                         szProperty, &m_error, &szValue),
              "Cannot read the state of " + unit);
        std::string value(szValue);
        std::free(szValue);
        return value;
    }

    // Calls Manager.`szMethod`(`szSignature`, args...) and returns the reply;
    // a D-Bus error is left in error() and returned as a negative result.
    template <typename... Args>
    int callManager(sd_bus_message** ppReply, const char* szMethod, const char* szSignature, Args... args)
    {
        sd_bus_set_method_call_timeout(bus(), left("No answer from the service manager"));
        sd_bus_error_free(&m_error);
        return sd_bus_call_method(bus(), DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, szMethod, &m_error,
                                  ppReply, szSignature, args...);
    }

    const sd_bus_error& error() const { return m_error; }

    void check(int r, const std::string& what)
    {
        if (r >= 0)
            return;
        const std::string why = m_error.message != nullptr ? m_error.message : std::strerror(-r);
        throw Poco::IOException(what, why);
    }

    // Dispatches incoming messages until `done` holds; throws
    // Poco::TimeoutException with `what` at the deadline.
    template <typename Done> void waitFor(Done done, const std::string& what)
    {
        for (;;)
        {
            int r;
            while ((r = sd_bus_process(bus(), nullptr)) > 0)
                if (done())
                    return;
            check(r, "Lost the service manager");
            if (done())
                return;
            check(sd_bus_wait(bus(), left(what)), "Lost the service manager");
        }
    }

private:
    Clock::time_point m_deadline;
    SystemdBus m_bus;
    sd_bus* m_pBus;
    sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

NetResult runJob(const std::string& name, JobKind eKind, const NetSettings& settings, bool bUserScope)
{
    const std::string unit = serviceUnitName(name);
    // Checked before the name reaches the manager or an object path.
    if (!isValidServiceUnitName(unit))
        return {NetOutcome::NET_INVALID_NAME, {}};

    const bool bStart = eKind == JobKind::JOB_START;
    const int iTimeoutMs = bStart ? settings.iStartTimeoutMs : settings.iStopTimeoutMs;
    Conversation talk(bUserScope, iTimeoutMs);
    if (talk.unitProperty(unit, "LoadState") != "loaded")
        return {NetOutcome::NET_INVALID_NAME, {}};
    const std::string state = talk.unitProperty(unit, "ActiveState");
    if (bStart && isRunningActiveState(state))
        return {NetOutcome::NET_ALREADY_STARTED, {}};
    if (!bStart && (state == "inactive" || state == "failed"))
        return {NetOutcome::NET_NOT_STARTED, {}};

    // The match is in place before the job exists, so its end cannot be
    // missed. A direct connection to the manager gets its signals with no
    // sender; on a bus they come from the manager's name, once subscribed.
    RemovedJobs removed;
    sd_bus_slot* pSlot = nullptr;
    talk.check(sd_bus_match_signal(talk.bus(), &pSlot,
                                   sd_bus_is_bus_client(talk.bus()) > 0 ? DESTINATION : nullptr, MANAGER_PATH,
                                   MANAGER_INTERFACE, "JobRemoved", onJobRemoved, &removed),
               "Cannot watch the service manager's jobs");
    struct SlotGuard
    {
        sd_bus_slot* p;
        ~SlotGuard() { sd_bus_slot_unref(p); }
    } slotGuard{pSlot};
    talk.check(talk.callManager(nullptr, "Subscribe", ""), "Cannot subscribe to the service manager");

    sd_bus_message* pReply = nullptr;
    const int r = talk.callManager(&pReply, bStart ? "StartUnit" : "StopUnit", "ss", unit.c_str(), "replace");
    if (r < 0)
    {
        if (sd_bus_error_has_names(&talk.error(), "org.freedesktop.systemd1.NoSuchUnit",
                                   "org.freedesktop.systemd1.UnitMasked"))
            return {NetOutcome::NET_INVALID_NAME, {}};
        if (bStart)
            return {NetOutcome::NET_COULD_NOT_START, {}};
        talk.check(r, "The service manager refused to stop " + unit);
    }
    const char* szJob = nullptr;
    const int rRead = sd_bus_message_read(pReply, "o", &szJob);
    const std::string job = rRead >= 0 ? szJob : "";
    sd_bus_message_unref(pReply);
    talk.check(rRead, "Unexpected answer of the service manager");

    talk.waitFor([&] { return removed.count(job) != 0; },
                 "The service did not respond to the start or control request in a timely fashion: the " +
                     std::string(bStart ? "start" : "stop") + " job of " + unit + " did not end within " +
                     std::to_string(iTimeoutMs) + " ms");
    const std::string& result = removed[job];
    if (result == "done")
        return {bStart ? NetOutcome::NET_STARTED : NetOutcome::NET_STOPPED, {}};
    if (bStart)
        return {NetOutcome::NET_COULD_NOT_START, {}};
    return {NetOutcome::NET_SYSTEM_ERROR,
            "The stop job of " + unit + " ended with result \"" + result + "\""};
}
} // namespace

NetResult startSystemdService(const std::string& name, const NetSettings& settings, bool bUserScope)
{
    return runJob(name, JobKind::JOB_START, settings, bUserScope);
}

NetResult stopSystemdService(const std::string& name, const NetSettings& settings, bool bUserScope)
{
    return runJob(name, JobKind::JOB_STOP, settings, bUserScope);
}
