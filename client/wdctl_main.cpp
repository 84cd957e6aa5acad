#include "SignalWaiter.h"
#include "WatchdogClient.h"
#include "WatchdogVersion.h"
#include "WdctlCommandLine.h"
#include "WdctlKeepalive.h"
#include "WdctlStatus.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Timestamp.h>

#include <iostream>
#include <memory>
#include <unistd.h>

namespace
{

enum WdctlExit
{
    WDCTL_EXIT_OK = 0,
    WDCTL_EXIT_FAILURE = 1,
    WDCTL_EXIT_USAGE = 2,
    WDCTL_EXIT_NO_CONNECTION = 3,
    WDCTL_EXIT_CONNECTION_LOST = 4,
};

const Poco::Timespan CONNECT_TIMEOUT(3, 0);

void sendOneShot(WatchdogClient& client, const WdctlCommand& command)
{
    switch (command.eKind)
    {
    case WDCTL_COMMAND_REGISTER:
        client.registerProcess(command.strName, command.strService, command.nPid, command.nTimeoutMs,
                               command.strExtra);
        break;
    case WDCTL_COMMAND_FEED:
        client.feed(command.strName);
        break;
    case WDCTL_COMMAND_CANCEL:
        client.cancel(command.strName);
        break;
    case WDCTL_COMMAND_SEND:
        client.sendRaw(WatchdogMessages::makeRaw(command.nType, command.strName));
        break;
    default:
        throw Poco::BugcheckException("not a one-shot command");
    }
    // The watchdog reads the message before it sees the end of the stream.
    client.finish();
}

// Reads the snapshot; never connects to the watchdog.
int status(const WdctlCommand& command)
{
    std::string path;
    try
    {
        path = WdctlStatus::defaultPath();
    }
    catch (const Poco::Exception& exc)
    {
        std::cerr << "wdctl: " << exc.message() << std::endl;
        return WDCTL_STATUS_NO_WATCHDOG;
    }
    const std::optional<std::string> optName =
        command.strName.empty() ? std::nullopt : std::optional<std::string>(command.strName);
    return WdctlStatus(std::cout, std::cerr)
        .run(path, command.bJson, optName, Poco::Timestamp().epochMicroseconds() / 1000);
}

int run(WdctlCommand command)
{
    if (command.eKind == WDCTL_COMMAND_STATUS)
        return status(command);
    // Signals are taken over before connecting, so a SIGTERM or SIGUSR1 that
    // arrives early is handled, not fatal.
    std::unique_ptr<SignalWaiter> pSignals;
    if (command.eKind == WDCTL_COMMAND_KEEPALIVE)
    {
        pSignals = std::make_unique<SignalWaiter>();
        if (command.nPid == 0)
            command.nPid = static_cast<uint32_t>(getpid());
    }
    WatchdogClient client(command.strHost, command.nPort, CONNECT_TIMEOUT);
    try
    {
        client.connect();
    }
    catch (const Poco::Net::NetException& exc)
    {
        std::cerr << "wdctl: " << exc.message() << std::endl;
        return WDCTL_EXIT_NO_CONNECTION;
    }
    try
    {
        if (pSignals)
            WdctlKeepalive(client, *pSignals, std::cerr).run(command);
        else
            sendOneShot(client, command);
    }
    catch (const Poco::InvalidArgumentException& exc)
    {
        std::cerr << "wdctl: " << exc.message() << std::endl;
        return WDCTL_EXIT_USAGE;
    }
    catch (const Poco::Exception& exc)
    {
        std::cerr << "wdctl: connection to " << client.address() << " lost: " << exc.displayText()
                  << std::endl;
        return WDCTL_EXIT_CONNECTION_LOST;
    }
    return WDCTL_EXIT_OK;
}

} // namespace

int main(int argc, char** argv)
{
    WdctlCommandLine commandLine;
    WdctlCommand command;
    try
    {
        command = commandLine.parse(std::vector<std::string>(argv + 1, argv + argc));
    }
    catch (const Poco::Exception& exc)
    {
        std::cerr << "wdctl: " << exc.message() << "\n";
        WdctlCommandLine::printSynopsis(std::cerr);
        std::cerr << "Run 'wdctl --help' for all options." << std::endl;
        return WDCTL_EXIT_USAGE;
    }
    if (command.eKind == WDCTL_COMMAND_HELP)
    {
        commandLine.printHelp(std::cout);
        return WDCTL_EXIT_OK;
    }
    if (command.eKind == WDCTL_COMMAND_VERSION)
    {
        std::cout << "wdctl " << ZELVIN_WATCHDOG_VERSION << std::endl;
        return WDCTL_EXIT_OK;
    }
    try
    {
        return run(command);
    }
    catch (const std::exception& exc)
    {
        std::cerr << "wdctl: " << exc.what() << std::endl;
        return WDCTL_EXIT_FAILURE;
    }
}
