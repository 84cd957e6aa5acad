// The client's messages byte by byte, at the offsets of the 668-byte wire
// format: the header's type at 16 (little-endian), then the body's name,
// service and extra texts, NUL-padded, and the little-endian pid and timeout.
#include "WatchdogMessages.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace
{

constexpr std::size_t NAME_AT = 20, SERVICE_AT = 84, EXTRA_AT = 148, PID_AT = 660, TIMEOUT_AT = 664;

std::string textAt(const WatchdogMessages::Bytes& bytes, std::size_t nAt, std::size_t nWidth)
{
    return std::string(reinterpret_cast<const char*>(bytes.data()) + nAt, nWidth);
}

} // namespace

TEST(ClientMessagesTest, EveryFieldIsAtItsOffsetAndTheRestIsZero)
{
    const auto bytes = WatchdogMessages::makeRegister("proc", "svc", 0x01020304u, 0xA0B0C0D0u, "info");
    EXPECT_EQ(textAt(bytes, 0, NAME_AT), std::string(16, '\0') + "\x01" + std::string(3, '\0'));
    EXPECT_EQ(textAt(bytes, NAME_AT, 64), std::string("proc") + std::string(60, '\0'));
    EXPECT_EQ(textAt(bytes, SERVICE_AT, 64), std::string("svc") + std::string(61, '\0'));
    EXPECT_EQ(textAt(bytes, EXTRA_AT, 512), std::string("info") + std::string(508, '\0'));
    EXPECT_EQ(textAt(bytes, PID_AT, 8), "\x04\x03\x02\x01\xD0\xC0\xB0\xA0");

    EXPECT_EQ(WatchdogMessages::makeCancel("p")[16], 2);
    EXPECT_EQ(WatchdogMessages::makeFeed("p")[16], 3);
    const auto raw = WatchdogMessages::makeRaw(0xBEEF, "p");
    EXPECT_EQ(textAt(raw, 16, 2), "\xEF\xBE");
    EXPECT_EQ(textAt(raw, NAME_AT, raw.size() - NAME_AT), "p" + std::string(raw.size() - NAME_AT - 1, '\0'));
}

TEST(ClientMessagesTest, TextOfExactWidthFillsItsFieldAndLongerTextIsRejectedNamingIt)
{
    const auto bytes = WatchdogMessages::makeRegister(std::string(64, 'n'), std::string(64, 's'), 1, 1,
                                                      std::string(512, 'e'));
    EXPECT_EQ(textAt(bytes, NAME_AT, 64), std::string(64, 'n'));
    EXPECT_EQ(textAt(bytes, SERVICE_AT, 64), std::string(64, 's'));
    EXPECT_EQ(textAt(bytes, EXTRA_AT, 512), std::string(512, 'e'));
    EXPECT_EQ(bytes[PID_AT], 1);

    const std::string str65(65, 'x');
    const struct
    {
        std::function<void()> build;
        const char* szField;
    } cases[] = {
        {[&] { WatchdogMessages::makeRegister(str65, "s", 1, 1); }, "processName"},
        {[&] { WatchdogMessages::makeRegister("p", str65, 1, 1); }, "serviceName"},
        {[&] { WatchdogMessages::makeRegister("p", "s", 1, 1, std::string(513, 'x')); }, "extraInfo"},
        {[&] { WatchdogMessages::makeFeed(str65); }, "processName"},
        {[&] { WatchdogMessages::makeRaw(7, str65); }, "processName"},
    };
    for (const auto& c : cases)
        try
        {
            c.build();
            ADD_FAILURE() << c.szField << " accepted";
        }
        catch (const Poco::InvalidArgumentException& exc)
        {
            EXPECT_NE(exc.message().find(c.szField), std::string::npos) << exc.message();
        }
}
