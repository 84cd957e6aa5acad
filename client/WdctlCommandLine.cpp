#include "WdctlCommandLine.h"

#include "WatchdogMsg.h"

#include <Poco/Exception.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionException.h>
#include <Poco/Util/OptionProcessor.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>

using Poco::Util::Option;

namespace
{

// Strict decimal: no sign, no blanks, no trailing text.
uint64_t parseNumber(const std::string& strText, const std::string& strWhat, uint64_t nMin, uint64_t nMax)
{
    uint64_t nValue = 0;
    const char* pEnd = strText.data() + strText.size();
    const auto result = std::from_chars(strText.data(), pEnd, nValue);
    if (strText.empty() || result.ec != std::errc() || result.ptr != pEnd || nValue < nMin || nValue > nMax)
        throw Poco::InvalidArgumentException(strWhat + " must be a number from " + std::to_string(nMin) +
                                             " to " + std::to_string(nMax) + ", got '" + strText + "'");
    return nValue;
}

uint32_t parseTimeout(const std::string& strText)
{
    if (strText == "never")
        return WATCHDOG_TIMEOUT_NEVER;
    return static_cast<uint32_t>(parseNumber(strText, "TIMEOUT_MS (or 'never')", 0, WATCHDOG_TIMEOUT_NEVER));
}

template <std::size_t N>
void checkText(const std::string& strText, const char (&)[N], const std::string& strWhat)
{
    if (strText.size() > N)
        throw Poco::InvalidArgumentException(strWhat + " is " + std::to_string(strText.size()) +
                                             " bytes, at most " + std::to_string(N) + " fit");
}

void checkName(const std::string& strText, const char (&field)[64], const std::string& strWhat)
{
    if (strText.empty())
        throw Poco::InvalidArgumentException(strWhat + " must not be empty");
    checkText(strText, field, strWhat);
}

struct SubcommandShape
{
    WdctlCommandKind eKind;
    std::size_t nArgs;    // at most
    std::size_t nMinArgs; // at least
    std::vector<std::string> vecOptions; // options only this subcommand takes
};

const std::map<std::string, SubcommandShape>& subcommands()
{
    static const std::map<std::string, SubcommandShape> mapShapes = {
        {"register", {WDCTL_COMMAND_REGISTER, 4, 4, {"extra"}}},
        {"feed", {WDCTL_COMMAND_FEED, 1, 1, {}}},
        {"cancel", {WDCTL_COMMAND_CANCEL, 1, 1, {}}},
        {"keepalive", {WDCTL_COMMAND_KEEPALIVE, 3, 3, {"interval", "pid", "stop-after"}}},
        {"send", {WDCTL_COMMAND_SEND, 1, 1, {"type"}}},
        {"status", {WDCTL_COMMAND_STATUS, 1, 0, {"json"}}},
    };
    return mapShapes;
}

// keepalive's feed interval when --interval is not given: a third of the
// timeout, so two feeds may be late before the record expires, and never
// below a second, so the watchdog is not fed faster than its pass (0.15 s
// plus 0.1 s per client) can read. A record that never expires is fed every
// ten seconds: a sign of life that cannot queue up behind long passes.
constexpr uint32_t MIN_DEFAULT_INTERVAL_MS = 1000;
constexpr uint32_t NEVER_DEFAULT_INTERVAL_MS = 10000;

uint32_t defaultFeedIntervalMs(uint32_t nTimeoutMs)
{
    if (nTimeoutMs == WATCHDOG_TIMEOUT_NEVER)
        return NEVER_DEFAULT_INTERVAL_MS;
    return std::max(MIN_DEFAULT_INTERVAL_MS, nTimeoutMs / 3);
}

const char* const SYNOPSIS = "usage: wdctl [--host HOST] [--port PORT] COMMAND ...\n"
                             "  wdctl register NAME SERVICE PID TIMEOUT_MS [--extra TEXT]\n"
                             "  wdctl feed NAME\n"
                             "  wdctl cancel NAME\n"
                             "  wdctl keepalive NAME SERVICE TIMEOUT_MS [--interval MS] [--pid PID] "
                             "[--stop-after SECONDS]\n"
                             "  wdctl send --type N NAME\n"
                             "  wdctl status [--json] [NAME]\n"
                             "  wdctl --help | --version\n";

} // namespace

WdctlCommandLine::WdctlCommandLine()
{
    auto add = [this](const char* pszName, const char* pszShort, const char* pszHelp, const char* pszArg)
    {
        Option option(pszName, pszShort, pszHelp);
        option.required(false).repeatable(false);
        if (pszArg)
            option.argument(pszArg);
        m_options.addOption(option);
    };
    add("help", "h", "show this help and exit", nullptr);
    add("version", "", "show the version and exit", nullptr);
    add("host", "", "watchdog address (default 127.0.0.1)", "HOST");
    add("port", "", "watchdog port (default 30024)", "PORT");
    add("extra", "", "register: extra information, at most 512 bytes", "TEXT");
    add("interval", "", "keepalive: ms between feeds (default TIMEOUT_MS/3, at least 1000; 10000 for never)",
        "MS");
    add("pid", "", "keepalive: process id to register (default: wdctl's own)", "PID");
    add("stop-after", "", "keepalive: stop feeding after this many seconds, stay connected", "SECONDS");
    add("type", "", "send: message type, 0 to 65535", "N");
    add("json", "", "status: print the snapshot as JSON, as the watchdog wrote it", nullptr);
}

WdctlCommand WdctlCommandLine::parse(const std::vector<std::string>& vecArgs)
{
    WdctlCommand command;
    std::vector<std::string> vecPositionals;
    m_vecGiven.clear();
    try
    {
        Poco::Util::OptionProcessor processor(m_options);
        processor.setUnixStyle(true);
        bool bAwaitingValue = false; // "--opt VALUE": POCO reports the option with its value next time
        for (const std::string& strArg : vecArgs)
        {
            std::string strName;
            std::string strValue;
            const bool bOption = processor.process(strArg, strName, strValue);
            bAwaitingValue = bOption && strName.empty() && strArg != "--";
            if (!bOption)
                vecPositionals.push_back(strArg);
            else if (!strName.empty())
                applyOption(command, strName, strValue);
        }
        if (bAwaitingValue)
            throw Poco::Util::MissingArgumentException(vecArgs.back() + " needs a value");
    }
    catch (const Poco::Util::OptionException& exc)
    {
        throw Poco::InvalidArgumentException(exc.displayText());
    }
    if (wasGiven("help"))
        return command;
    if (wasGiven("version"))
    {
        command.eKind = WDCTL_COMMAND_VERSION;
        return command;
    }
    applyPositionals(command, vecPositionals);
    checkOptionsFit(command);
    return command;
}

bool WdctlCommandLine::wasGiven(const std::string& strOption) const
{
    return std::find(m_vecGiven.begin(), m_vecGiven.end(), strOption) != m_vecGiven.end();
}

void WdctlCommandLine::applyOption(WdctlCommand& command, const std::string& strName,
                                   const std::string& strValue)
{
    m_vecGiven.push_back(strName);
    if (strName == "host")
    {
        if (strValue.empty())
            throw Poco::InvalidArgumentException("--host must not be empty");
        command.strHost = strValue;
    }
    else if (strName == "port")
        command.nPort = static_cast<uint16_t>(parseNumber(strValue, "--port", 1, 65535));
    else if (strName == "extra")
    {
        checkText(strValue, WatchdogMsg{}.extraInfo, "--extra");
        command.strExtra = strValue;
    }
    else if (strName == "interval")
        command.nIntervalMs = static_cast<uint32_t>(parseNumber(strValue, "--interval", 1, UINT32_MAX));
    else if (strName == "pid")
        command.nPid = static_cast<uint32_t>(parseNumber(strValue, "--pid", 1, INT32_MAX));
    else if (strName == "stop-after")
        command.optStopAfterSec = static_cast<uint32_t>(parseNumber(strValue, "--stop-after", 0, UINT32_MAX));
    else if (strName == "type")
        command.nType = static_cast<uint16_t>(parseNumber(strValue, "--type", 0, UINT16_MAX));
}

void WdctlCommandLine::applyPositionals(WdctlCommand& command, const std::vector<std::string>& vecArgs) const
{
    if (vecArgs.empty())
        throw Poco::InvalidArgumentException("no command given");
    const auto it = subcommands().find(vecArgs[0]);
    if (it == subcommands().end())
        throw Poco::InvalidArgumentException("unknown command '" + vecArgs[0] + "'");
    const SubcommandShape& shape = it->second;
    const std::size_t nGiven = vecArgs.size() - 1;
    if (nGiven > shape.nArgs || nGiven < shape.nMinArgs)
        throw Poco::InvalidArgumentException(
            vecArgs[0] + " takes " + (shape.nMinArgs < shape.nArgs ? "at most " : "") +
            std::to_string(shape.nArgs) + " argument(s), got " + std::to_string(nGiven));
    command.eKind = shape.eKind;
    if (shape.eKind == WDCTL_COMMAND_STATUS)
    {
        if (nGiven == 1 && vecArgs[1].empty())
            throw Poco::InvalidArgumentException("NAME must not be empty");
        command.strName = nGiven == 1 ? vecArgs[1] : std::string();
        command.bJson = wasGiven("json");
        return;
    }
    const WatchdogMsg fields{};
    checkName(vecArgs[1], fields.processName, "NAME");
    command.strName = vecArgs[1];
    if (shape.eKind == WDCTL_COMMAND_REGISTER || shape.eKind == WDCTL_COMMAND_KEEPALIVE)
    {
        checkName(vecArgs[2], fields.serviceName, "SERVICE");
        command.strService = vecArgs[2];
    }
    if (shape.eKind == WDCTL_COMMAND_REGISTER)
    {
        // Real pids fit a signed int; anything above would reach the watchdog
        // as a negative pid, which means a whole process group to kill().
        command.nPid = static_cast<uint32_t>(parseNumber(vecArgs[3], "PID", 1, INT32_MAX));
        command.nTimeoutMs = parseTimeout(vecArgs[4]);
    }
    if (shape.eKind == WDCTL_COMMAND_KEEPALIVE)
    {
        command.nTimeoutMs = parseTimeout(vecArgs[3]);
        if (!wasGiven("interval"))
            command.nIntervalMs = defaultFeedIntervalMs(command.nTimeoutMs);
    }
}

void WdctlCommandLine::checkOptionsFit(const WdctlCommand& command) const
{
    std::string strSubcommand;
    const SubcommandShape* pShape = nullptr;
    for (const auto& [strKey, shape] : subcommands())
        if (shape.eKind == command.eKind)
        {
            strSubcommand = strKey;
            pShape = &shape;
        }
    for (const auto& [strKey, shape] : subcommands())
        for (const std::string& strOption : shape.vecOptions)
            if (wasGiven(strOption) && std::find(pShape->vecOptions.begin(), pShape->vecOptions.end(),
                                                 strOption) == pShape->vecOptions.end())
                throw Poco::InvalidArgumentException("--" + strOption + " is for " + strKey + ", not " +
                                                     strSubcommand);
    if (command.eKind == WDCTL_COMMAND_SEND && !wasGiven("type"))
        throw Poco::InvalidArgumentException("send needs --type N");
}

void WdctlCommandLine::printHelp(std::ostream& out) const
{
    Poco::Util::HelpFormatter formatter(m_options);
    formatter.setUnixStyle(true);
    formatter.setWidth(100);
    formatter.setCommand("wdctl");
    formatter.setUsage("COMMAND ARGS... [OPTIONS]");
    formatter.setHeader(
        "Sends register, feed and cancel messages to the process watchdog. Commands:\n"
        "  register NAME SERVICE PID TIMEOUT_MS   register a process (TIMEOUT_MS may be 'never')\n"
        "  feed NAME                              feed a registered process\n"
        "  cancel NAME                            cancel a registration\n"
        "  keepalive NAME SERVICE TIMEOUT_MS      register, then feed every --interval until "
        "SIGTERM/SIGINT; SIGUSR1 stops feeding;\n"
        "                                         a lost watchdog is connected to and registered with again\n"
        "  send --type N NAME                     send a message of any type (testing)\n"
        "  status [--json] [NAME]                 what the watchdog watches, from its status snapshot\n"
        "Options may come before or after the command; '--' ends them.\n"
        "The watchdog reads one message per client per pass, and a pass lasts about 0.15 s plus 0.1 s per\n"
        "connected client: feed no faster than that, or feeds queue up and hide a hang.\n"
        "Exit codes: 0 sent, 2 usage error, 3 cannot connect, 4 connection lost (one message), 1 other error.\n"
        "status: 0 every process fed in time and every dependent service runs (or is left to its _DOG\n"
        "record, or is not installed), 3 otherwise, 4 no watchdog (no snapshot, one older than 5 s, or its\n"
        "pid is gone).");
    formatter.format(out);
}

void WdctlCommandLine::printSynopsis(std::ostream& out)
{
    out << SYNOPSIS;
}
