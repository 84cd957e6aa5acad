// Which names are systemd service units, and which service manager the
// environment selects.
#include "ServiceManagerChoice.h"
#include "SystemdBus.h"
#include "SystemdServiceControl.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <systemd/sd-daemon.h>

namespace
{
// Sets or (nullptr) unsets a variable for the test's lifetime.
class ScopedEnv
{
public:
    ScopedEnv(const char* szName, const char* szValue) : m_strName(szName)
    {
        if (const char* szOld = std::getenv(szName))
            m_old = szOld;
        szValue ? ::setenv(szName, szValue, 1) : ::unsetenv(szName);
    }
    ~ScopedEnv() { m_old ? ::setenv(m_strName.c_str(), m_old->c_str(), 1) : ::unsetenv(m_strName.c_str()); }

private:
    std::string m_strName;
    std::optional<std::string> m_old;
};

struct NameCase
{
    std::string name; // as it arrives in a registration: without ".service"
    bool bValid;
};

const NameCase NAME_CASES[] = {
    {"DUZI", true},
    {"My-Server_1.x:2", true},
    {"a\\x2db", true},             // systemd's own escape of "a-b"
    {"getty@tty1", true},          // an instance of a template
    {"a@b@c", true},               // '@' may recur in the instance
    {std::string(247, 'a'), true}, // 255 bytes with ".service"
    {std::string(248, 'a'), false},
    {std::string(300, 'a'), false},
    {"getty@", false}, // a bare template cannot run
    {"@x", false},
    {"", false},
    {"../x", false},
    {"a/b", false},
    {"a b", false},
    {"x;y", false},
    {"x\ny", false},
    {"\xff\xfe", false},    // not UTF-8
    {"caf\xc3\xa9", false}, // UTF-8, but not ASCII
};

TEST(SystemdChoiceTest, UnitNamesFollowSystemdsRulesAndInvalidOnesNeverReachTheBus)
{
    // A user manager that is not there: every bus query fails.
    ScopedEnv runtime("XDG_RUNTIME_DIR", "/nonexistent-zelvin-runtime");
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    SystemdServiceControl services(true);
    for (const NameCase& c : NAME_CASES)
    {
        SCOPED_TRACE("name \"" + c.name + "\"");
        EXPECT_EQ(isValidServiceUnitName(c.name + ".service"), c.bValid);
        // A valid name is kept while the manager cannot say (true); an
        // invalid one is unregistered without asking it.
        EXPECT_EQ(services.open(c.name)->isRegistered(), c.bValid);
    }
    EXPECT_FALSE(isValidServiceUnitName("DUZI"));
    EXPECT_FALSE(isValidServiceUnitName("DUZI.socket"));
    // The running query reports the missing manager, also while the
    // reconnect is held back.
    EXPECT_THROW(services.open("DUZI")->isRunning(), Poco::IOException);
    EXPECT_THROW(services.open("DUZI")->isRunning(), Poco::IOException);
}

struct ChoiceCase
{
    const char* szManager;
    const char* szScope;
    const char* szServiceDir;
    std::optional<ServiceManagerKind> eKind; // none: sd_booted() decides
    bool bUser;
    const char* szError; // the variable named when the choice is refused
};

TEST(SystemdChoiceTest, TheEnvironmentChoosesTheServiceManager)
{
    const ChoiceCase cases[] = {
        {"systemd", nullptr, nullptr, SERVICE_MANAGER_SYSTEMD, false, nullptr},
        {"systemd", "user", "/srv/services", SERVICE_MANAGER_SYSTEMD, true, nullptr},
        {"systemd", "system", nullptr, SERVICE_MANAGER_SYSTEMD, false, nullptr},
        {"folder", "user", nullptr, SERVICE_MANAGER_FOLDER, true, nullptr},
        {nullptr, nullptr, "/srv/services", SERVICE_MANAGER_FOLDER, false, nullptr},
        {"", "", "/srv/services", SERVICE_MANAGER_FOLDER, false, nullptr},
        {nullptr, nullptr, nullptr, std::nullopt, false, nullptr},
        {"", "", "", std::nullopt, false, nullptr},
        {"Systemd", nullptr, nullptr, std::nullopt, false, "ZELVIN_SERVICE_MANAGER"},
        {"upstart", nullptr, nullptr, std::nullopt, false, "ZELVIN_SERVICE_MANAGER"},
        {"systemd", "session", nullptr, std::nullopt, false, "ZELVIN_SYSTEMD_SCOPE"},
        {"folder", "USER", nullptr, std::nullopt, false, "ZELVIN_SYSTEMD_SCOPE"},
    };
    const ServiceManagerKind eBooted = sd_booted() > 0 ? SERVICE_MANAGER_SYSTEMD : SERVICE_MANAGER_FOLDER;
    for (const ChoiceCase& c : cases)
    {
        SCOPED_TRACE(std::string("manager=") + (c.szManager ? c.szManager : "(unset)") +
                     " scope=" + (c.szScope ? c.szScope : "(unset)") +
                     " dir=" + (c.szServiceDir ? c.szServiceDir : "(unset)"));
        ScopedEnv manager("ZELVIN_SERVICE_MANAGER", c.szManager);
        ScopedEnv scope("ZELVIN_SYSTEMD_SCOPE", c.szScope);
        ScopedEnv dir("ZELVIN_SERVICE_DIR", c.szServiceDir);
        if (c.szError)
        {
            try
            {
                chooseServiceManager();
                ADD_FAILURE() << "accepted";
            }
            catch (const Poco::InvalidArgumentException& ex)
            {
                EXPECT_NE(ex.displayText().find(c.szError), std::string::npos) << ex.displayText();
            }
            continue;
        }
        const ServiceManagerChoice choice = chooseServiceManager();
        EXPECT_EQ(choice.eKind, c.eKind.value_or(eBooted));
        EXPECT_EQ(choice.bUserScope, c.bUser);
    }
}
} // namespace
