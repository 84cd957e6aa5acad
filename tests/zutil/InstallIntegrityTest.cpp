#include "InstallIntegrity.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace
{
// sha256 of "hello\n" and of "world\n".
const std::string HELLO_SHA = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
const std::string WORLD_SHA = "e258d248fda94c63753607f7c4494ee0fcbe92f1a76bfdac795c9d84101eb317";
} // namespace

TEST(zutil_InstallIntegrity, CountsTamperedOrMissingFilesAndRejectsAMalformedManifest)
{
    TempDir dir;
    EXPECT_EQ(0, ZV_CheckInstallIntegrity(dir.path().string())); // no manifest, nothing to check

    writeFile(dir / "a.so", "hello\n");
    writeFile(dir / "b.so", "world\n");
    writeFile(dir / "integrity.sha256", HELLO_SHA + "  a.so\n" + WORLD_SHA + " *b.so\n");
    EXPECT_EQ(0, ZV_CheckInstallIntegrity(dir.path().string()));

    writeFile(dir / "a.so", "jello\n");
    EXPECT_EQ(1, ZV_CheckInstallIntegrity(dir.path().string()));
    std::filesystem::remove(dir / "b.so");
    EXPECT_EQ(2, ZV_CheckInstallIntegrity(dir.path().string()));
    writeFile(dir / "integrity.sha256", HELLO_SHA + "  a.so\nnot a checksum line\n");
    EXPECT_LT(ZV_CheckInstallIntegrity(dir.path().string()), 0);
}

TEST(zutil_InstallIntegrity, BuiltManifestMatchesTheLibraryBesideIt)
{
    const std::string manifest = readFile(std::string(ZUTIL_BIN_DIR) + "/integrity.sha256");
    EXPECT_NE(std::string::npos, manifest.find("  libZelvinUtil64.so\n")) << manifest;
    EXPECT_EQ(0, ZV_CheckInstallIntegrity(ZUTIL_BIN_DIR));
}
