#include "WatchdogMessages.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <string>

namespace
{

// Offsets in the full 668-byte message.
constexpr std::size_t NAME_AT = 20, SERVICE_AT = 84, EXTRA_AT = 148, PID_AT = 660, TIMEOUT_AT = 664;

std::string textAt(const WatchdogMessages::Bytes& bytes, std::size_t nAt, std::size_t nWidth)
{
    return std::string(reinterpret_cast<const char*>(bytes.data()) + nAt, nWidth);
}

void expectZero(const WatchdogMessages::Bytes& bytes, std::size_t nFrom, std::size_t nTo)
{
    for (std::size_t i = nFrom; i < nTo; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

} // namespace

TEST(ClientMessagesTest, RegisterPutsEveryFieldAtItsOffset)
{
    const auto bytes = WatchdogMessages::makeRegister("proc", "svc", 0x01020304u, 0xA0B0C0D0u, "info");
    expectZero(bytes, 0, 16);
    EXPECT_EQ(bytes[16], 1);
    EXPECT_EQ(bytes[17], 0);
    expectZero(bytes, 18, NAME_AT);
    EXPECT_EQ(textAt(bytes, NAME_AT, 64), std::string("proc") + std::string(60, '\0'));
    EXPECT_EQ(textAt(bytes, SERVICE_AT, 64), std::string("svc") + std::string(61, '\0'));
    EXPECT_EQ(textAt(bytes, EXTRA_AT, 512), std::string("info") + std::string(508, '\0'));
    const unsigned char pid[] = {0x04, 0x03, 0x02, 0x01};
    const unsigned char timeout[] = {0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_TRUE(std::equal(pid, pid + 4, bytes.begin() + PID_AT));
    EXPECT_TRUE(std::equal(timeout, timeout + 4, bytes.begin() + TIMEOUT_AT));
}

TEST(ClientMessagesTest, NameOnlyMessagesCarryTheirTypeLittleEndian)
{
    EXPECT_EQ(WatchdogMessages::makeCancel("p")[16], 2);
    EXPECT_EQ(WatchdogMessages::makeFeed("p")[16], 3);
    const auto raw = WatchdogMessages::makeRaw(0xBEEF, "p");
    EXPECT_EQ(raw[16], 0xEF);
    EXPECT_EQ(raw[17], 0xBE);
    EXPECT_EQ(raw[NAME_AT], 'p');
    expectZero(raw, NAME_AT + 1, raw.size());
}

TEST(ClientMessagesTest, TextOfExactWidthFillsTheFieldWithoutNul)
{
    const auto bytes = WatchdogMessages::makeRegister(std::string(64, 'n'), std::string(64, 's'), 1, 1,
                                                      std::string(512, 'e'));
    EXPECT_EQ(textAt(bytes, NAME_AT, 64), std::string(64, 'n'));
    EXPECT_EQ(textAt(bytes, SERVICE_AT, 64), std::string(64, 's'));
    EXPECT_EQ(textAt(bytes, EXTRA_AT, 512), std::string(512, 'e'));
    EXPECT_EQ(bytes[PID_AT], 1);
}

TEST(ClientMessagesTest, OverlongTextIsRejectedNamingTheField)
{
    auto expectRejected = [](auto build, const std::string& strField)
    {
        try
        {
            build();
            ADD_FAILURE() << strField << " accepted";
        }
        catch (const Poco::InvalidArgumentException& exc)
        {
            EXPECT_NE(exc.message().find(strField), std::string::npos) << exc.message();
        }
    };
    const std::string str65(65, 'x');
    expectRejected([&] { WatchdogMessages::makeRegister(str65, "s", 1, 1); }, "processName");
    expectRejected([&] { WatchdogMessages::makeRegister("p", str65, 1, 1); }, "serviceName");
    expectRejected([&] { WatchdogMessages::makeRegister("p", "s", 1, 1, std::string(513, 'x')); },
                   "extraInfo");
    expectRejected([&] { WatchdogMessages::makeFeed(str65); }, "processName");
    expectRejected([&] { WatchdogMessages::makeRaw(7, str65); }, "processName");
}
