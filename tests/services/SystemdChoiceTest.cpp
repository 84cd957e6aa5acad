// Which names are systemd service units, and which service manager the
// environment selects. Each case sets the variables it reads.
#include "ServiceManagerChoice.h"
#include "SystemdBus.h"
#include "SystemdServiceControl.h"
#include "UnitName.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <systemd/sd-daemon.h>
#include <vector>

namespace
{
void setVariable(const char* szName, const char* szValue)
{
    szValue ? ::setenv(szName, szValue, 1) : ::unsetenv(szName);
}

TEST(SystemdChoiceTest, UnitNamesFollowSystemdsRulesAndInvalidOnesNeverReachTheBus)
{
    // NAME as it arrives in a registration, without ".service": a valid unit
    // name (also systemd's escape of "a-b", an instance, 255 bytes in all),
    // or not (a bare template, non-ASCII, ...).
    const std::string a247(247, 'a'), a248(248, 'a'), a300(300, 'a');
    const std::vector<std::string> valid = {"DUZI",       "My-Server_1.x:2", "a\\x2db",
                                            "getty@tty1", "a@b@c",           a247};
    const std::vector<std::string> invalid = {a248,  a300,  "getty@", "@x",   "",         "../x",
                                              "a/b", "a b", "x;y",    "x\ny", "\xff\xfe", "caf\xc3\xa9"};
    // A user manager that is not there: every bus query fails, so a valid
    // name is kept (true) while an invalid one is unregistered unasked.
    setVariable("XDG_RUNTIME_DIR", "/nonexistent-zelvin-runtime");
    setVariable("DBUS_SESSION_BUS_ADDRESS", nullptr);
    SystemdServiceControl services(true);
    for (bool bValid : {true, false})
        for (const std::string& name : bValid ? valid : invalid)
        {
            SCOPED_TRACE("name \"" + name + "\"");
            EXPECT_EQ(isValidServiceUnitName(name + ".service"), bValid);
            EXPECT_EQ(services.open(name)->isRegistered(), bValid);
        }
    EXPECT_FALSE(isValidServiceUnitName("DUZI.socket"));
    // The running query reports the missing manager, also while the
    // reconnect is held back.
    EXPECT_THROW(services.open("DUZI")->isRunning(), Poco::IOException);
    EXPECT_THROW(services.open("DUZI")->isRunning(), Poco::IOException);
}

TEST(SystemdChoiceTest, TheEnvironmentChoosesTheServiceManager)
{
    struct Case
    {
        const char *szManager, *szScope, *szServiceDir;
        std::optional<ServiceManagerKind> eKind; // none: sd_booted() decides
        bool bUser;
        const char* szRefused; // the variable a refusal names
    };
    const Case cases[] = {
        {"systemd", nullptr, nullptr, SERVICE_MANAGER_SYSTEMD, false, nullptr},
        {"systemd", "user", "/srv/services", SERVICE_MANAGER_SYSTEMD, true, nullptr},
        {"folder", "user", nullptr, SERVICE_MANAGER_FOLDER, true, nullptr},
        {nullptr, "system", "/srv/services", SERVICE_MANAGER_FOLDER, false, nullptr},
        {"", "", "", std::nullopt, false, nullptr},
        {nullptr, nullptr, nullptr, std::nullopt, false, nullptr},
        {"Systemd", nullptr, nullptr, std::nullopt, false, "ZELVIN_SERVICE_MANAGER"},
        {"systemd", "session", nullptr, std::nullopt, false, "ZELVIN_SYSTEMD_SCOPE"},
        {"folder", "USER", nullptr, std::nullopt, false, "ZELVIN_SYSTEMD_SCOPE"},
    };
    const ServiceManagerKind eBooted = sd_booted() > 0 ? SERVICE_MANAGER_SYSTEMD : SERVICE_MANAGER_FOLDER;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.szManager ? c.szManager : "(unset)") + " " +
                     (c.szScope ? c.szScope : "(unset)") + " " +
                     (c.szServiceDir ? c.szServiceDir : "(unset)"));
        setVariable("ZELVIN_SERVICE_MANAGER", c.szManager);
        setVariable("ZELVIN_SYSTEMD_SCOPE", c.szScope);
        setVariable("ZELVIN_SERVICE_DIR", c.szServiceDir);
        try
        {
            const ServiceManagerChoice choice = chooseServiceManager();
            EXPECT_EQ(c.szRefused, nullptr) << "accepted";
            EXPECT_EQ(choice.eKind, c.eKind.value_or(eBooted));
            EXPECT_EQ(choice.bUserScope, c.bUser);
        }
        catch (const Poco::InvalidArgumentException& ex)
        {
            ASSERT_NE(c.szRefused, nullptr) << ex.displayText();
            EXPECT_NE(ex.displayText().find(c.szRefused), std::string::npos) << ex.displayText();
        }
    }
}
} // namespace
