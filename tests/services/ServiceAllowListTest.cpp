// What the allow-list lets the watchdog and net control, and that a service
// it does not allow never reaches the service manager.
#include "ServiceAllowList.h"
#include "AllowedServiceControl.h"
#include "fakes/TestSupport.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{
class ServiceAllowListTest : public ::testing::Test
{
protected:
    void write(const std::string& file, const std::string& text)
    {
        fs::create_directories(m_root / "services.d");
        testsupport::writeFile(m_root / "services.d" / file, text);
    }

    testsupport::TempDir m_dir;
    fs::path m_root = m_dir.path();
};

// Counts what reaches the service manager; every service it is asked about
// is registered.
class CountingBackend : public ServiceControl
{
public:
    struct Handle : ServiceHandle
    {
        bool isRegistered() const override { return true; }
        bool isRunning() const override { return true; }
    };
    std::unique_ptr<ServiceHandle> open(const std::string& name) override
    {
        m_vecAsked.push_back(name);
        return std::make_unique<Handle>();
    }
    std::vector<std::string> m_vecAsked;
};

TEST_F(ServiceAllowListTest, ListedNamesOnlyExactlyAndWithoutPatterns)
{
    write("product.conf", "# the product's servers\n\n  DemoServer \t\r\nworker@blue\nCase\n");
    write("dependent.conf", "DUZI\n");
    write("notes.txt", "VADA\n");
    const ServiceAllowList list = ServiceAllowList::read(m_root, ServiceAllowList::FALLBACK_ANY, false);
    EXPECT_TRUE(list.isListed());
    struct Case
    {
        const char* szName;
        bool bAllowed;
    } cases[] = {{"DemoServer", true},  {"DUZI", true},
                 {"worker@blue", true}, {"worker@red", false},
                 {"worker", false},     {"VADA", false}, // not in a *.conf file
                 {"case", false},       {"# the product's servers", false},
                 {"", false},           {"DemoServer ", false}};
    for (const Case& c : cases)
        EXPECT_EQ(list.allows(c.szName), c.bAllowed) << c.szName;
    // The Windows service manager ignores case, and so does its list.
    EXPECT_TRUE(ServiceAllowList::read(m_root, ServiceAllowList::FALLBACK_ANY, true).allows("cASE"));
}

TEST_F(ServiceAllowListTest, WithoutAListTheBackendDecides)
{
    const ServiceAllowList dependentOnly =
        ServiceAllowList::read(m_root, ServiceAllowList::FALLBACK_DEPENDENT_ONLY, false);
    EXPECT_FALSE(dependentOnly.isListed());
    for (const char* szName : {"MySqlqvms80", "DUZI", "VADA"})
        EXPECT_TRUE(dependentOnly.allows(szName)) << szName;
    for (const char* szName : {"ssh", "systemd-reboot", "DemoServer", "duzi"})
        EXPECT_FALSE(dependentOnly.allows(szName)) << szName;
    EXPECT_TRUE(ServiceAllowList::read(m_root, ServiceAllowList::FALLBACK_ANY, false).allows("DemoServer"));
}

TEST_F(ServiceAllowListTest, AListOthersCouldWriteIsRefused)
{
    write("product.conf", "DemoServer\n");
    fs::permissions(m_root / "services.d" / "product.conf", fs::perms::others_write, fs::perm_options::add);
    EXPECT_THROW(ServiceAllowList::read(m_root, ServiceAllowList::FALLBACK_ANY, false),
                 Poco::FileAccessDeniedException);
    fs::permissions(m_root / "services.d" / "product.conf", fs::perms::others_write,
                    fs::perm_options::remove);
    fs::permissions(m_root / "services.d", fs::perms::group_write, fs::perm_options::add);
    EXPECT_THROW(ServiceAllowList::read(m_root, ServiceAllowList::FALLBACK_ANY, false),
                 Poco::FileAccessDeniedException);
}

TEST_F(ServiceAllowListTest, ServicesNotAllowedAreUnregisteredUnaskedAndChangesAreRead)
{
    write("product.conf", "DemoServer\n");
    auto pBackend = std::make_unique<CountingBackend>();
    CountingBackend& backend = *pBackend;
    AllowedServiceControl services(std::move(pBackend), m_root, ServiceAllowList::FALLBACK_DEPENDENT_ONLY,
                                   false);
    EXPECT_TRUE(services.open("DemoServer")->isRegistered());
    EXPECT_FALSE(services.open("systemd-reboot")->isRegistered());
    EXPECT_FALSE(services.open("OtherServer")->isRunning());
    EXPECT_EQ(backend.m_vecAsked, std::vector<std::string>{"DemoServer"});

    // A new list is read within a second or so; one that cannot be read keeps
    // the list in force.
    write("product.conf", "OtherServer\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(services.open("OtherServer")->isRegistered());
    EXPECT_FALSE(services.open("DemoServer")->isRegistered());
    fs::permissions(m_root / "services.d", fs::perms::others_write, fs::perm_options::add);
    write("more.conf", "ThirdServer\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(services.open("OtherServer")->isRegistered());
    EXPECT_FALSE(services.open("ThirdServer")->isRegistered());
}
} // namespace
