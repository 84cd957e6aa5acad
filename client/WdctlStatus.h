#pragma once

#include "StatusJson.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

// Exit codes of wdctl status, as service managers' status commands use them.
enum WdctlStatusExit
{
    WDCTL_STATUS_OK = 0,         // every process fed in time; every dependent service runs, is
                                 // suppressed by its _DOG record or is not installed
    WDCTL_STATUS_NOT_OK = 3,     // anything else, or no watched process by that NAME
    WDCTL_STATUS_NO_WATCHDOG = 4 // no snapshot, one older than 5 s, or its pid is gone
};

// wdctl status [--json] [NAME]: reads the status snapshot the watchdog
// writes every second (status.json in its runtime folder) and prints it, for
// people or as it is.
class WdctlStatus
{
public:
    static constexpr int64_t STALE_AFTER_MS = 5000;

    WdctlStatus(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

    // Prints the snapshot at `path` (only the processes named `optName` when
    // given) and returns a WdctlStatusExit. `nowMs` is the wall clock.
    int run(const std::string& path, bool bJson, const std::optional<std::string>& optName, int64_t nowMs);

    // The snapshot's file in the runtime folder (runtimeFolder()).
    static std::string defaultPath();

    // Whether the process fed within its timeout; the service runs, is
    // suppressed or is not installed.
    static bool processIsFine(const JsonValue& process);
    static bool serviceIsFine(const JsonValue& service);

private:
    void printText(const JsonValue& snapshot, const std::vector<const JsonValue*>& vecProcesses, bool bAll,
                   int64_t nowMs) const;

    std::ostream& m_out;
    std::ostream& m_err;
};
