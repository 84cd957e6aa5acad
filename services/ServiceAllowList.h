#pragma once

#include <filesystem>
#include <set>
#include <string>

// The services the watchdog and `net` may control. The operator lists them
// in files named *.conf in the folder services.d beside Watchdog.xml: each
// line that is not empty and does not start with '#' names one service,
// surrounding blanks trimmed. Names match exactly (without regard to case
// where the service manager ignores it, as Windows' does); nothing is a
// pattern, so a template instance such as "name@x" is allowed only when
// listed as it is. A service that is not allowed is, for the watchdog, not
// registered with the service manager, and `net` refuses it.
//
// Without services.d, `eFallback` decides: the three dependent services only
// (systemd, Windows), or any service (the service folder, which is itself the
// operator's list). Immutable; any thread.
class ServiceAllowList
{
public:
    enum Fallback
    {
        FALLBACK_DEPENDENT_ONLY,
        FALLBACK_ANY,
    };

    // Reads <configFolder>/services.d/*.conf. Throws Poco::FileException
    // naming the file when the folder or a list cannot be read, and
    // Poco::FileAccessDeniedException when either could have been written by
    // another account (see requireOperatorOwned).
    static ServiceAllowList read(const std::filesystem::path& configFolder, Fallback eFallback,
                                 bool bIgnoreCase);

    bool allows(const std::string& name) const;

    // Whether services.d was there.
    bool isListed() const { return m_bListed; }

    // One line for the start-up record: where the list came from and what it
    // allows.
    std::string describe() const;

private:
    ServiceAllowList() = default;

    std::filesystem::path m_folder;
    bool m_bListed = false;
    bool m_bAny = false;
    bool m_bIgnoreCase = false;
    std::set<std::string> m_setNames;
};
