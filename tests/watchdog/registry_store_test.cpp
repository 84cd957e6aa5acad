// The registry across restarts: the saved format, what the module saves and
// when, and what it restores, on an in-memory store.
#include "LogRecord.h"
#include "RegistryFormat.h"
#include "WatchdogTestSupport.h"
#include "fakes/FakeRegistryStore.h"

#include <Poco/Checksum.h>
#include <gmock/gmock.h>

#include <cstdio>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace
{

// Every byte a message's text can carry (all but NUL), in names of the
// widest size, and texts that look like the format's own separators.
std::string allBytes(unsigned char from, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += static_cast<char>(from + i);
    return text;
}

const std::string HOSTILE_NAME = allBytes(1, 64);
const std::string HOSTILE_SERVICE = allBytes(0x80, 64);
const std::string HOSTILE_EXTRA = std::string("%0A\t\nend\t0\t00000000\n") + allBytes(0xC0, 63) + "%";

// A saved registry made of `body` (the version line and record lines) and
// an end line that counts `count` records and checksums the body.
std::string withEndLine(const std::string& body, std::size_t count)
{
    Poco::Checksum crc(Poco::Checksum::TYPE_CRC32);
    crc.update(body.data(), static_cast<unsigned>(body.size()));
    char end[40];
    std::snprintf(end, sizeof(end), "end\t%zu\t%08x\n", count, static_cast<unsigned>(crc.checksum()));
    return body + end;
}

class RegistryStoreTest : public ModuleTest
{
protected:
    RegistryStoreTest() { module = newModule(); }
    ~RegistryStoreTest() override { module.reset(); }

    // A module of a freshly started watchdog on the same store.
    std::unique_ptr<WatchdogServerModule> newModule()
    {
        WatchdogPlatform platform = fake.platform();
        platform.store = &store;
        return std::make_unique<WatchdogServerModule>(platform, "127.0.0.1", 0);
    }

    void restartWatchdog()
    {
        module.reset();
        module = newModule();
        module->restoreRegistry();
    }

    int saveAfterPass()
    {
        module->saveRegistryIfChanged();
        return store.m_nSaves;
    }

    FakeRegistryStore store;
    LogCapture diag{DIAG_LOGGER_NAME};
};

TEST_F(RegistryStoreTest, EveryRecordComesBackWithItsStateAndAFreshLastFeed)
{
    fake.services.setRunning("RestartedSvc");
    registerMsg(makeMsg(HOSTILE_NAME, HOSTILE_SERVICE, 7, 4000, HOSTILE_EXTRA));
    registerMsg(makeMsg("", "", 0, 0xFFFFFFFEu, ""));
    registerMsg(makeMsg("Never.exe", "NeverSvc", 8, WATCHDOG_TIMEOUT_NEVER));
    registerMsg(makeMsg("Restarted.exe", "RestartedSvc", 9, 1000));
    fake.clock.advance(1);
    feed(HOSTILE_NAME);
    feed("");
    cycles(1); // Restarted.exe restarted
    fake.clock.advance(1);
    cycles(2); // and tolerated twice
    ASSERT_EQ(record("Restarted.exe").graceCount, 2);
    const std::map<std::string, WatchProcess> before = module->watchProcesses();
    ASSERT_EQ(saveAfterPass(), 1);

    fake.clock.advance(600);
    logs->clear();
    restartWatchdog();

    ASSERT_EQ(module->watchProcesses().size(), before.size());
    for (auto [name, saved] : before)
    {
        saved.lastFeedMs = nowMs(); // a whole timeout to feed again
        EXPECT_EQ(savedFields(record(name)), savedFields(saved)) << name;
    }

    // The restored records are e2e_persistence's: logged one by one on the
    // diagnostics logger, supervised from the restore on.
    EXPECT_TRUE(logs->records().empty());
}

TEST_F(RegistryStoreTest, EveryChangeButAFeedIsSavedOncePerPass)
{
    fake.services.setRunning("svc");
    EXPECT_EQ(saveAfterPass(), 0) << "nothing changed yet";
    registerMsg(makeMsg("a.exe", "svc", 1, 1000));
    registerMsg(makeMsg("b.exe", "svc", 2, WATCHDOG_TIMEOUT_NEVER));
    registerMsg(makeMsg("c.exe", "other", 3, 60000));
    EXPECT_EQ(saveAfterPass(), 1) << "three changes, one save";
    EXPECT_EQ(saveAfterPass(), 1);

    // Neither a feed, an existing register nor a cycle with nothing due.
    feed("a.exe");
    registerMsg(makeMsg("a.exe", "svc", 9, 5));
    cycles(1);
    EXPECT_EQ(saveAfterPass(), 1);

    registerMsg(makeMsg("b.exe", "svc", 4, 5000)); // re-arm
    EXPECT_EQ(saveAfterPass(), 2);
    fake.clock.advance(5);
    cycles(1); // a.exe and b.exe due: a.exe restarted, b.exe (same service) removed
    EXPECT_FALSE(has("b.exe"));
    EXPECT_EQ(saveAfterPass(), 3);
    fake.clock.advance(1);
    cycles(1); // a.exe tolerated once
    EXPECT_EQ(saveAfterPass(), 4);
    cancel("c.exe");
    EXPECT_EQ(saveAfterPass(), 5);

    const RegistryFormat::Parsed saved = RegistryFormat::read(*store.bytes());
    ASSERT_TRUE(saved.ok()) << saved.error;
    ASSERT_EQ(saved.records.size(), 1u);
    EXPECT_EQ(saved.records.at("a.exe").graceCount, 1);
    EXPECT_EQ(saved.records.at("a.exe").watchState, WatchState::Restarted);
}

TEST_F(RegistryStoreTest, AnUnusableSavedRegistryIsSetAsideAndTheStartGoesOnEmpty)
{
    registerMsg(makeMsg("a.exe", "svc", 1, 5000));
    registerMsg(makeMsg("b.exe", "svc", 2, 5000));
    const std::string good = RegistryFormat::write(module->watchProcesses());
    std::string damaged = good;
    damaged[damaged.find("b.exe")] = 'c';
    std::string otherVersion = good;
    otherVersion.replace(good.find("\t1\n"), 3, "\t2\n");

    const struct
    {
        std::string bytes;
        const char* why;
    } cases[] = {
        {"", "is empty"},
        {"\x7f"
         "ELF\x02\x01\x01",
         "is not a saved registry"},
        {good.substr(0, good.size() - 5), "is truncated"},
        {good.substr(0, good.find("P\tb.exe")), "is truncated"},
        {otherVersion, "comes from another version of the format (2, this watchdog reads 1)"},
        {damaged, "is damaged (checksum mismatch)"},
        {std::string(), "cannot be read: "}, // the store fails to read
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.why);
        store.put(c.bytes);
        store.m_bFailLoad = std::string(c.why).rfind("cannot be read", 0) == 0;
        const std::size_t aside = store.setAsideBytes().size();
        diag->clear();
        EXPECT_NO_THROW(restartWatchdog());

        EXPECT_TRUE(module->watchProcesses().empty());
        EXPECT_EQ(store.setAsideBytes().size(), aside + 1);
        EXPECT_FALSE(store.bytes().has_value());
        ASSERT_EQ(diag->records().size(), 1u);
        EXPECT_EQ(diag->records()[0].priority, PRIO_ERROR);
        EXPECT_THAT(diag->records()[0].message,
                    HasSubstr(std::string("the saved registry fake-registry ") + c.why));
        EXPECT_THAT(diag->records()[0].message,
                    HasSubstr("set aside as fake.unusable; starting with an empty registry"));
    }
    // The next change starts a fresh file.
    registerMsg(makeMsg("new.exe"));
    saveAfterPass();
    EXPECT_TRUE(RegistryFormat::read(*store.bytes()).ok());
}

TEST_F(RegistryStoreTest, RecordsOutsideTheMessagesBoundsAreRefused)
{
    // Each record with a valid end line, so only the record is wrong.
    const std::string version = "ZelvinWatchdog registry\t1\n";
    const auto saved = [&](const std::string& record) { return withEndLine(version + record + "\n", 1); };
    EXPECT_TRUE(RegistryFormat::read(saved("P\tx\ts\te\t1\t2\t3\t4\t2")).ok());
    EXPECT_EQ(RegistryFormat::read(withEndLine(version + "P\tx\ts\te\t1\t2\t3\t4\t2\n", 0)).error,
              "holds 1 records where its end line says 0");
    const std::string invalid[] = {
        "P\tx\ts\te\t1\t2\t3\t4",                               // a field short
        "P\tx\ts\te\t1\t2\t3\t4\t3",                            // no such state
        "P\tx\ts\te\t-1\t2\t3\t4\t1",                           // signed
        "P\tx\ts\te\t4294967296\t2\t3\t4\t1",                   // beyond 32 bits
        "P\tx\ts\te\t1\t2\t3\t2147483648\t1",                   // grace beyond int32
        "P\tx%00y\ts\te\t1\t2\t3\t4\t1",                        // a NUL inside a text
        "P\tx%4\ts\te\t1\t2\t3\t4\t1",                          // a cut escape
        "P\tx%4a\ts\te\t1\t2\t3\t4\t1",                         // lower-case escape
        "P\tx y\ts\te\t1\t2\t3\t4\t1",                          // a raw blank
        "Q\tx\ts\te\t1\t2\t3\t4\t1",                            // unknown tag
        "P\t" + std::string(65, 'n') + "\ts\te\t1\t2\t3\t4\t1", // a name beyond 64 bytes
    };
    for (const std::string& record : invalid)
        EXPECT_THAT(RegistryFormat::read(saved(record)).error, HasSubstr("has an invalid record on line 2"))
            << record;
    EXPECT_THAT(RegistryFormat::read(withEndLine(version + "P\tx\ts\te\t1\t2\t3\t4\t2\nQ\n", 2)).error,
                HasSubstr("has an invalid record on line 3"));
}

TEST_F(RegistryStoreTest, AFailedSaveIsRecordedOnceAndTriedAgainAfterEveryPass)
{
    store.m_bFailSave = true;
    registerMsg(makeMsg("a.exe"));
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_EQ(saveAfterPass(), 0);
    ASSERT_EQ(diag->records().size(), 1u);
    EXPECT_EQ(
        diag->records()[0].message,
        "cannot save the registry to fake-registry: Cannot write file: fake disk is full; trying again after "
        "every pass");

    store.m_bFailSave = false;
    EXPECT_EQ(saveAfterPass(), 1);
    EXPECT_EQ(diag->records().back().message, "the registry is saved to fake-registry again");
    EXPECT_EQ(RegistryFormat::read(*store.bytes()).records.count("a.exe"), 1u);
}

// Restored before the dependent services are checked and the worker runs:
// a restored "<service>_DOG" record keeps the cycle from starting it.
TEST_F(RegistryStoreTest, RestoredDogRecordCountsFromTheFirstCycle)
{
    fake.services.setStopped("DUZI");
    registerMsg(makeMsg("DUZI_DOG", "DUZI", 5, WATCHDOG_TIMEOUT_NEVER));
    saveAfterPass();
    module = newModule();
    ASSERT_EQ(module->init(), 0);
    ASSERT_TRUE(eventually([&] { return module->passCount() >= 3; }));
    module.reset();
    EXPECT_THAT(fake.processes.commandLines(), ElementsAre("net start DUZI")); // the start-up check's own
    EXPECT_TRUE(logs->find("start DUZI int the loop!\n").empty());
}

} // namespace
