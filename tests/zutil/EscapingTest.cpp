#include "ZvLog.h"
#include "fakes/TestSupport.h"

#include <Poco/Logger.h>
#include <gtest/gtest.h>

#include <regex>

using namespace testsupport;
using namespace std::string_literals;

// Everything that is not printable, well-formed UTF-8 is written escaped, in
// the file and on the console alike; printable text, including the edges of
// each escaped range, is written as it is. One record per row, through the
// library's own set-up.
TEST(zutil_Escaping, OnlyPrintableUtf8IsWrittenAsItIs)
{
    const struct
    {
        std::string text;
        std::string written;
    } rows[] = {
        // Printable UTF-8 of every length, up to U+10FFFF, and the code
        // points next to the escaped ranges.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa2 \xf4\x8f\xbf\xbf",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa2 \xf4\x8f\xbf\xbf"},
        {"nbsp \xc2\xa0 \xd8\x9b \xd8\x9d \xe2\x80\x8d \xe2\x80\xa7 \xe2\x80\xaf \xe2\x81\xa5 \xe2\x81\xaa "
         "\xed\x9f\xbf \xee\x80\x80",
         "nbsp \xc2\xa0 \xd8\x9b \xd8\x9d \xe2\x80\x8d \xe2\x80\xa7 \xe2\x80\xaf \xe2\x81\xa5 \xe2\x81\xaa "
         "\xed\x9f\xbf \xee\x80\x80"},
        // C0, DEL, and a final line end, which stays.
        {"\x1b[2J\0\x7f\ttab\rcr\nlf\n"s, "\\x1b[2J\\x00\\x7f\\ttab\\rcr\\nlf\n"},
        // A line end inside the text: no text makes a line that looks like a
        // record of its own; of two at the end only the last stays.
        {"x\n2026-01-01 00:00:00.000 [Critical] WTD: forged\n\n",
         "x\\n2026-01-01 00:00:00.000 [Critical] WTD: forged\\n\n"},
        // The edges: the last C0 byte, the last printable of the C1 lead
        // byte, a C1 control in the last two bytes; a backslash stays.
        {"\x1f, \xc2\xbf and back\\slash, a C1 \xc2\x85", "\\x1f, \xc2\xbf and back\\slash, a C1 \\xc2\\x85"},
        // C1 controls, UTF-8 encoded and as raw single bytes (CSI, OSC ... ST).
        {"\xc2\x80 \xc2\x85 \xc2\x9b \xc2\x9f", "\\xc2\\x80 \\xc2\\x85 \\xc2\\x9b \\xc2\\x9f"},
        {"\x9bJ \x9d;title\x9c", "\\x9bJ \\x9d;title\\x9c"},
        // Overlong forms, a lone continuation byte, bytes that never occur.
        {"\xc0\xaf \xc1\xbf \xe0\x80\xaf \xf0\x82\x82\xac \x80 \xfe\xff",
         "\\xc0\\xaf \\xc1\\xbf \\xe0\\x80\\xaf \\xf0\\x82\\x82\\xac \\x80 \\xfe\\xff"},
        // Truncated sequences: before other text, and at the end before the
        // final line end.
        {"\xe2\x82x \xf0\x9f\x90\n", "\\xe2\\x82x \\xf0\\x9f\\x90\n"},
        // Surrogates and code points above U+10FFFF.
        {"\xed\xa0\x80 \xed\xbf\xbf \xf4\x90\x80\x80 \xf5\x80\x80\x80",
         "\\xed\\xa0\\x80 \\xed\\xbf\\xbf \\xf4\\x90\\x80\\x80 \\xf5\\x80\\x80\\x80"},
        // Line and paragraph separators, and every bidi control.
        {"\xe2\x80\xa8 \xe2\x80\xa9 \xd8\x9c \xe2\x80\x8e \xe2\x80\x8f",
         "\\u{2028} \\u{2029} \\u{061C} \\u{200E} \\u{200F}"},
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xae "
         "\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9",
         "\\u{202A}\\u{202B}\\u{202C}\\u{202D}\\u{202E} \\u{2066}\\u{2067}\\u{2068}\\u{2069}"},
    };

    const TempDir dir;
    const ScopedEnv env("ZELVIN_CONFIG_DIR", dir.path().string());
    writeFile(dir / "Watchdog.xml", logConfig(""));
    const StderrCapture console(dir / "console.txt");
    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 2, 1, "", ""));
    for (const auto& row : rows)
        Poco::Logger::get("WTD").information(row.text);

    std::string expected;
    for (const auto& row : rows)
        expected += "[Information] WTD: " + row.written + "\n";
    const std::regex stamp(R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
    for (const std::string& output : {readFile(dir / "log/Watchdog.log"), console.text()})
        EXPECT_EQ("\n" + expected, std::regex_replace("\n" + output, stamp, "\n")) << output;
}
