#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum WdctlCommandKind
{
    WDCTL_COMMAND_HELP,
    WDCTL_COMMAND_VERSION,
    WDCTL_COMMAND_REGISTER,
    WDCTL_COMMAND_FEED,
    WDCTL_COMMAND_CANCEL,
    WDCTL_COMMAND_KEEPALIVE,
    WDCTL_COMMAND_SEND,
    WDCTL_COMMAND_STATUS,
};

// One parsed wdctl invocation; every value already checked against its range
// and field width.
struct WdctlCommand
{
    WdctlCommandKind eKind = WDCTL_COMMAND_HELP;
    std::string strHost = "127.0.0.1";
    uint16_t nPort = 30024;
    std::string strName; // status: empty for every process
    std::string strService;
    std::string strExtra;
    uint32_t nPid = 0;
    uint32_t nTimeoutMs = 0;
    uint32_t nIntervalMs = 0; // keepalive: set from the timeout when not given
    std::optional<uint32_t> optStopAfterSec;
    uint16_t nType = 0;
    bool bJson = false; // status --json
};
