// net start NAME / net stop NAME: the command the watchdog runs to restart
// services, with the Windows command's messages and exit codes (0 done, 2
// refused or failed, 1 usage), on every system. What it does on each system's
// service manager is NetCommand's.

#include "NetCommand.h"

#include <Poco/Exception.h>

#include <cstdio>
#include <string>

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
    case NetOutcome::NET_NOT_CONTROLLABLE:
        return refuse("The service could not be controlled in its present state.", 2189);
    case NetOutcome::NET_SYSTEM_ERROR:
        break;
    }
    std::fprintf(stderr, "A system error has occurred.\n\n%s\n", result.strDetail.c_str());
    return 2;
}

// The verb in any case, as the Windows command takes it; ASCII only.
bool isVerb(const std::string& arg, const std::string& verb)
{
    if (arg.size() != verb.size())
        return false;
    for (size_t i = 0; i < arg.size(); ++i)
        if ((arg[i] >= 'A' && arg[i] <= 'Z' ? arg[i] - 'A' + 'a' : arg[i]) != verb[i])
            return false;
    return true;
}
// What a command came to, its failures included: a system error names them.
NetResult guarded(bool bStart, const std::string& name, const NetSettings& settings)
{
    try
    {
        return runNetCommand(bStart, name, settings);
    }
    catch (const Poco::Exception& ex)
    {
        return {NetOutcome::NET_SYSTEM_ERROR, ex.displayText()};
    }
    catch (const std::exception& ex)
    {
        return {NetOutcome::NET_SYSTEM_ERROR, ex.what()};
    }
}
} // namespace

int main(int argc, char** argv)
{
    prepareNetProcess();
    const std::vector<std::string> args = netArguments(argc, argv);
    if (args.size() != 2)
        return usage();
    const std::string& name = args[1];
    const NetSettings settings = NetSettings::fromEnvironment();
    if (isVerb(args[0], "start"))
        return report(name, guarded(true, name, settings));
    if (isVerb(args[0], "stop"))
        return report(name, guarded(false, name, settings));
    return usage();
}
