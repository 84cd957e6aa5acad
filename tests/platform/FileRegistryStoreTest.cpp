// The registry file in a state folder of the test's own.
#include "FileRegistryStore.h"
#include "fakes/TestSupport.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sys/stat.h>

namespace fs = std::filesystem;
using testsupport::readFile;

namespace
{

class FileRegistryStoreTest : public ::testing::Test
{
protected:
    static unsigned mode(const fs::path& path)
    {
        struct stat info = {};
        ::lstat(path.c_str(), &info);
        return info.st_mode & 07777;
    }

    static std::vector<std::string> entries(const fs::path& folder)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempDir m_dir;
    fs::path m_root = m_dir.path();
};

TEST_F(FileRegistryStoreTest, SavesReplaceTheFileWholeInAPrivateFolderMadeWhenMissing)
{
    const fs::path folder = m_root / "var" / "state";
    FileRegistryStore store(folder.string());
    EXPECT_FALSE(fs::exists(folder)) << "nothing is touched before use";
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(mode(folder), 0700u);

    const std::string bytes("first\0with NUL\n", 15);
    store.save(bytes);
    EXPECT_EQ(store.load(), bytes);
    store.save("second");
    EXPECT_EQ(store.load(), "second");
    EXPECT_EQ(readFile(folder / "registry"), "second");
    EXPECT_EQ(mode(folder / "registry"), 0600u);
    EXPECT_EQ(entries(folder), std::vector<std::string>{"registry"}) << "no new file left over";

    // A leftover of a save that did not finish is replaced.
    testsupport::writeFile(folder / "registry.new", "half");
    store.save("third");
    EXPECT_EQ(entries(folder), std::vector<std::string>{"registry"});
    EXPECT_EQ(store.location(), (folder / "registry").string());
}

TEST_F(FileRegistryStoreTest, AnUnusableFileIsSetAsideUnderANameOfItsOwn)
{
    FileRegistryStore store(m_root.string());
    store.save("broken");
    const std::string first = store.setAside();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.rfind((m_root / "registry.unusable-").string(), 0), 0u) << first;
    EXPECT_EQ(readFile(first), "broken");
    EXPECT_EQ(store.load(), std::nullopt);

    store.save("broken again");
    const std::string second = store.setAside();
    EXPECT_NE(second, first) << "an earlier file set aside is kept";
    EXPECT_EQ(readFile(first), "broken");
    EXPECT_EQ(readFile(second), "broken again");
    EXPECT_EQ(store.setAside(), "") << "nothing to set aside";
}

TEST_F(FileRegistryStoreTest, WhatAnotherAccountCouldHaveWrittenIsRefused)
{
    const struct
    {
        const char* what;
        std::function<void(const fs::path&)> arrange;
    } cases[] = {
        {"folder writable by its group", [](const fs::path& f) { ::chmod(f.c_str(), 0770); }},
        {"folder writable by anyone", [](const fs::path& f) { ::chmod(f.c_str(), 0777); }},
        {"file writable by anyone", [](const fs::path& f) { ::chmod((f / "registry").c_str(), 0666); }},
        {"file a symbolic link",
         [](const fs::path& f)
         {
             fs::rename(f / "registry", f / "elsewhere");
             fs::create_symlink(f / "elsewhere", f / "registry");
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const fs::path folder = m_root / c.what;
        FileRegistryStore(folder.string()).save("saved");
        c.arrange(folder);
        FileRegistryStore store(folder.string());
        EXPECT_THROW(store.load(), Poco::Exception);
    }
    // Something that is not a plain file.
    const fs::path folder = m_root / "unreadable";
    FileRegistryStore(folder.string()).save("saved");
    fs::remove(folder / "registry");
    fs::create_directory(folder / "registry");
    EXPECT_THROW(FileRegistryStore(folder.string()).load(), Poco::Exception);
}

} // namespace
