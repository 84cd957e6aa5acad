// net start NAME / net stop NAME: the Linux stand-in for the Windows command
// the watchdog runs to restart services, with that command's messages and
// exit codes (0 done, 2 refused or failed, 1 usage).

#include "NetSettings.h"
#include "ServiceCommands.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <strings.h>

namespace
{
int usage()
{
    std::fputs("The syntax of this command is:\n\nNET START | STOP service\n", stderr);
    return 1;
}

int refuse(const std::string& text, int iHelpMsg)
{
    std::fprintf(stderr, "%s\n\nMore help is available by typing NET HELPMSG %d.\n", text.c_str(), iHelpMsg);
    return 2;
}

int report(const std::string& name, const NetResult& result)
{
    switch (result.eOutcome)
    {
    case NetOutcome::NET_STARTED:
        std::printf("The %s service is starting.\nThe %s service was started successfully.\n", name.c_str(),
                    name.c_str());
        return 0;
    case NetOutcome::NET_STOPPED:
        std::printf("The %s service is stopping.\nThe %s service was stopped successfully.\n", name.c_str(),
                    name.c_str());
        return 0;
    case NetOutcome::NET_INVALID_NAME:
        return refuse("The service name is invalid.", 2185);
    case NetOutcome::NET_ALREADY_STARTED:
        return refuse("The requested service has already been started.", 2182);
    case NetOutcome::NET_NOT_STARTED:
        return refuse("The " + name + " service is not started.", 3521);
    case NetOutcome::NET_COULD_NOT_START:
        return refuse("The " + name + " service could not be started.", 3534);
    case NetOutcome::NET_SYSTEM_ERROR:
        break;
    }
    std::fprintf(stderr, "A system error has occurred.\n\n%s\n", result.strDetail.c_str());
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    // The watchdog's worker thread blocks SIGTERM and SIGPIPE, and a child
    // inherits its mask: without this a stuck net could not be ended.
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);

    if (argc != 3)
        return usage();
    const std::string name = argv[2];
    NetSettings settings = NetSettings::fromEnvironment();
    if (strcasecmp(argv[1], "start") == 0)
        return report(name, startService(name, settings));
    if (strcasecmp(argv[1], "stop") == 0)
        return report(name, stopService(name, settings));
    return usage();
}
