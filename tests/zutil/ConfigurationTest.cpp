#include "System.h"
#include "ZelvinFileConfiguration.h"
#include "fakes/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <unistd.h>

using namespace testsupport;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

// Lookup beside the executable and in ../etc uses the test binary's real
// folder, so the file name is unique to this run and removed afterwards.
TEST(zutil_ConfigPath, LooksInEnvDirThenExeDirThenEtc)
{
    ScopedEnv noEnv("ZELVIN_CONFIG_DIR", std::nullopt);
    const std::string name = "zvcfg-" + std::to_string(::getpid()) + ".xml";
    const fs::path exeDir = System::getExecutableDir();
    const std::string inExeDir = (exeDir / name).string();
    const std::string inEtc = (exeDir.parent_path() / "etc" / name).string();
    std::shared_ptr<void> cleanup(nullptr, [&](void*) { fs::remove(inExeDir), fs::remove(inEtc); });

    EXPECT_EQ(inEtc, System::getConfigFilePath(name)); // nothing exists yet
    fs::create_directories(fs::path(inEtc).parent_path());
    writeFile(inEtc, "<config/>");
    EXPECT_EQ(inEtc, System::getConfigFilePath(name));
    writeFile(inExeDir, "<config/>");
    EXPECT_EQ(inExeDir, System::getConfigFilePath(name));
    {
        ScopedEnv env("ZELVIN_CONFIG_DIR", "/some/where");
        EXPECT_EQ("/some/where/" + name, System::getConfigFilePath(name));
    }
    ScopedEnv emptyEnv("ZELVIN_CONFIG_DIR", "");
    EXPECT_EQ(inExeDir, System::getConfigFilePath(name));
}

TEST(zutil_Configuration, ReadsTypedValuesAndErrorsNameThePathOrTheKey)
{
    ZelvinFileConfiguration* pConfig = ZelvinFileConfiguration::getInstance();
    TempDir dir;
    const std::string good = dir / "Watchdog.xml";
    const std::string missing = dir / "Missing.xml";
    const std::string broken = dir / "Broken.xml";
    writeFile(good, logConfig("<Type value=\" 2 \"/><Level value=\"loud\"/>"));
    writeFile(broken, "<config><Log><Type value=\"1\"></Log>");

    pConfig->loadConfiguration(good);
    EXPECT_EQ(pConfig, ZelvinFileConfiguration::getInstance());
    EXPECT_EQ(2, pConfig->getInt("Log.Type[@value]"));
    EXPECT_EQ("loud", pConfig->getString("Log.Level[@value]", "information"));
    EXPECT_EQ("log", pConfig->getString("Log.Dir[@value]", "log"));

    EXPECT_THAT(thrownText<Poco::FileNotFoundException>([&] { pConfig->loadConfiguration(missing); }),
                HasSubstr(missing));
    EXPECT_THAT(thrownText<Poco::DataFormatException>([&] { pConfig->loadConfiguration(broken); }),
                HasSubstr(broken));
    EXPECT_EQ(good, pConfig->path()); // a failed load keeps what was there
    EXPECT_EQ("Not found: configuration key Log.Nope[@value] in " + good,
              thrownText<Poco::NotFoundException>([&] { pConfig->getInt("Log.Nope[@value]"); }));
    EXPECT_THAT(thrownText<Poco::SyntaxException>([&] { pConfig->getInt("Log.Level[@value]"); }),
                HasSubstr("\"loud\""));
}
