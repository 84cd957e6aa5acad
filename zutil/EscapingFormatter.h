#pragma once

#include <Poco/PatternFormatter.h>

#include <string>

namespace zvlog
{

// `text` with everything that could act on a terminal or viewer, or make a
// line of its own, written as an escape, so a record always takes one line
// and shows as it was sent:
//   "\n", "\r", "\t"      line feed, carriage return and tab;
//   "\xHH"                every other C0 byte (0x00-0x1f) and DEL (0x7f);
//   "\xc2\xHH"            a UTF-8 encoded C1 control (U+0080-U+009F): its
//                         two bytes, as a byte-wise reader sees them;
//   "\xHH"                each byte that is not part of well-formed UTF-8:
//                         a lone C1 byte (0x80-0x9f), a continuation byte
//                         without its lead, a truncated sequence, an overlong
//                         form (0xc0, 0xc1, 0xe0 0x80, 0xf0 0x80 ...), an
//                         encoded surrogate (U+D800-U+DFFF) or a code point
//                         above U+10FFFF (0xf4 0x90 ... and 0xf5-0xff);
//   "\u{XXXX}"            U+2028 and U+2029 (line and paragraph separators)
//                         and the bidi controls U+061C, U+200E, U+200F,
//                         U+202A-U+202E and U+2066-U+2069, four upper-case
//                         hex digits.
// Hex digits of "\xHH" are lower case. A line end that ends the text stays as
// it is. Backslashes and all other well-formed UTF-8 are left alone, so a
// text without anything to escape comes back byte for byte (and a literal
// "\x41" in a text reads like an escape). The result is always well-formed
// UTF-8 with no control character but that final line end. Never throws but
// bad_alloc.
std::string escapeControlBytes(const std::string& text);

// The same escapes for every byte of `text`, a final line end included: for
// a value that must stay on one line, such as a journal field.
std::string escapeField(const std::string& text);

// The record's text as one line: escaped as above, without the line end that
// ends it. What the journal gets as MESSAGE.
std::string escapedLine(const std::string& text);

// Offset of the first byte of `text` that escapeField would change; the size
// of `text` when there is none. The check behind the formatter's fast path.
std::size_t firstToEscape(const std::string& text);

// A PatternFormatter that formats a record with its text escaped as above.
// The Message it is handed is not changed, and a text with nothing to escape
// is formatted without a copy. Thread-safe as PatternFormatter.
class EscapingFormatter : public Poco::PatternFormatter
{
public:
    explicit EscapingFormatter(const std::string& pattern);

    void format(const Poco::Message& msg, std::string& text) override;

protected:
    ~EscapingFormatter() override = default;
};

} // namespace zvlog
