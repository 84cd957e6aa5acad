#pragma once

#include "WdctlCommand.h"

#include <Poco/Util/OptionSet.h>

#include <ostream>
#include <string>
#include <vector>

// Turns wdctl's arguments into a WdctlCommand. Options may stand before or
// after the subcommand; "--" ends option processing (for names starting with
// a dash). Not thread-safe.
class WdctlCommandLine
{
public:
    WdctlCommandLine();

    // Arguments without the program name. Throws Poco::InvalidArgumentException
    // with a one-line message on any usage error.
    WdctlCommand parse(const std::vector<std::string>& vecArgs);

    // Full help (subcommands and options) for --help.
    void printHelp(std::ostream& out) const;
    // The subcommand lines only, shown after a usage error.
    static void printSynopsis(std::ostream& out);

private:
    void applyOption(WdctlCommand& command, const std::string& strName, const std::string& strValue);
    void applyPositionals(WdctlCommand& command, const std::vector<std::string>& vecArgs) const;
    void checkOptionsFit(const WdctlCommand& command) const;
    bool wasGiven(const std::string& strOption) const;

    Poco::Util::OptionSet m_options;
    std::vector<std::string> m_vecGiven; // long names of the options seen
};
