// libFuzzer entry for the log formatter's escaping: the input is a record's
// text. Checked against a decoder of its own (bit patterns first, then the
// code point's range, unlike the formatter's table of byte ranges):
//   - the formatted record is well-formed UTF-8 with no control character
//     (C0, DEL, C1) and no line separator or bidi control, but a final line
//     end exactly when the text has one;
//   - a text with nothing to escape comes back byte for byte;
//   - undoing the escapes gives the text back (when the text has no
//     backslash of its own, which the escapes would make ambiguous);
//   - the journal's one-line form and the field form hold no line end at all.
#include "EscapingFormatter.h"

#include <Poco/AutoPtr.h>
#include <Poco/Message.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace
{

// Code points of `text`, or nullopt when it is not well-formed UTF-8.
std::optional<std::vector<char32_t>> decode(const std::string& text)
{
    std::vector<char32_t> codePoints;
    for (std::size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t c = 0;
        if ((lead & 0x80) == 0)
            c = lead;
        else if ((lead & 0xe0) == 0xc0)
            extra = 1;
        else if ((lead & 0xf0) == 0xe0)
            extra = 2;
        else if ((lead & 0xf8) == 0xf0)
            extra = 3;
        else
            return std::nullopt;
        if (extra != 0)
            c = lead & (0x3f >> extra);
        if (i + extra >= text.size())
            return std::nullopt;
        for (int k = 1; k <= extra; ++k)
        {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (next & 0x3f);
        }
        static const char32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
        if (c < SMALLEST[extra] || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
            return std::nullopt;
        codePoints.push_back(c);
        i += 1 + extra;
    }
    return codePoints;
}

bool mustBeEscaped(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 || c == 0x061c || c == 0x200e ||
           c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

void appendUtf8(std::string& out, char32_t c)
{
    // Only code points below U+10000 are ever escaped as "\u{XXXX}".
    if (c < 0x800)
    {
        out += static_cast<char>(0xc0 | (c >> 6));
    }
    else
    {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    }
    out += static_cast<char>(0x80 | (c & 0x3f));
}

// The escapes taken back: "\n", "\r", "\t", "\xHH" and "\u{XXXX}".
std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '\\')
        {
            out += text[i];
            continue;
        }
        const char kind = text.at(++i);
        if (kind == 'n' || kind == 'r' || kind == 't')
            out += kind == 'n' ? '\n' : kind == 'r' ? '\r' : '\t';
        else if (kind == 'x')
        {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
        else if (kind == 'u' && text.at(i + 1) == '{' && text.at(i + 6) == '}')
        {
            appendUtf8(out, static_cast<char32_t>(std::stoi(text.substr(i + 2, 4), nullptr, 16)));
            i += 6;
        }
        else
            std::abort();
    }
    return out;
}

// Well-formed, and nothing in it that must be escaped.
bool clean(const std::string& text)
{
    const auto codePoints = decode(text);
    if (!codePoints)
        return false;
    for (char32_t c : *codePoints)
        if (mustBeEscaped(c))
            return false;
    return true;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static Poco::AutoPtr<zvlog::EscapingFormatter> pFormatter(new zvlog::EscapingFormatter("%t"));
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool bLineEnd = !text.empty() && text.back() == '\n';
    const std::string body = bLineEnd ? text.substr(0, text.size() - 1) : text;

    const Poco::Message msg("WTD", text, Poco::Message::PRIO_INFORMATION);
    std::string formatted;
    pFormatter->format(msg, formatted);
    check(msg.getText() == text);

    const std::string line = zvlog::escapedLine(text);
    const std::string field = zvlog::escapeField(text);
    check(formatted == line + (bLineEnd ? "\n" : ""));
    check(clean(line) && clean(field));
    check(formatted.find('\n') == (bLineEnd ? formatted.size() - 1 : std::string::npos));

    const bool bClean = clean(body);
    check(bClean == (line == body));
    check(bClean == (zvlog::firstToEscape(body) == body.size()));
    if (text.find('\\') == std::string::npos)
    {
        check(unescape(line) == body);
        check(unescape(field) == text);
    }
    return 0;
}
