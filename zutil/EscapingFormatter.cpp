#include "EscapingFormatter.h"

#include <Poco/Message.h>

namespace zvlog
{

namespace
{

enum Action
{
    ACTION_KEEP = 0,
    ACTION_BYTES = 1,      // each byte as "\xHH" (or "\n", "\r", "\t")
    ACTION_CODE_POINT = 2, // the code point as "\u{XXXX}"
};

// One piece of the text: a byte or a well-formed UTF-8 sequence.
struct Unit
{
    std::size_t nLength = 1;
    Action action = ACTION_KEEP;
    char32_t codePoint = 0;
};

// Length of the well-formed UTF-8 sequence of more than one byte that starts
// at `p`, with `avail` bytes readable; 0 when there is none. Follows the
// table of well-formed byte sequences: no overlong form, no surrogate,
// nothing above U+10FFFF.
std::size_t multiByteSequence(const unsigned char* p, std::size_t avail, char32_t& codePoint)
{
    const unsigned char lead = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf)
    {
        length = 2;
        codePoint = lead & 0x1f;
    }
    else if (lead >= 0xe0 && lead <= 0xef)
    {
        length = 3;
        codePoint = lead & 0x0f;
        if (lead == 0xe0)
            low = 0xa0; // below: overlong
        else if (lead == 0xed)
            high = 0x9f; // above: surrogates
    }
    else if (lead >= 0xf0 && lead <= 0xf4)
    {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xf0)
            low = 0x90; // below: overlong
        else if (lead == 0xf4)
            high = 0x8f; // above: beyond U+10FFFF
    }
    else
        return 0;
    if (avail < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
    {
        const unsigned char next = p[i];
        if (next < low || next > high)
            return 0;
        low = 0x80;
        high = 0xbf;
        codePoint = (codePoint << 6) | (next & 0x3f);
    }
    return length;
}

// Line and paragraph separators and the bidi controls: invisible, yet they
// break or reorder what a viewer shows.
bool isLayoutControl(char32_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

Unit unitAt(const char* data, std::size_t pos, std::size_t end)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data) + pos;
    if (*p < 0x80)
        return {1, *p < 0x20 || *p == 0x7f ? ACTION_BYTES : ACTION_KEEP, *p};
    Unit unit;
    unit.nLength = multiByteSequence(p, end - pos, unit.codePoint);
    if (unit.nLength == 0)
        return {1, ACTION_BYTES, 0};
    if (unit.codePoint <= 0x9f)
        unit.action = ACTION_BYTES; // a C1 control
    else if (isLayoutControl(unit.codePoint))
        unit.action = ACTION_CODE_POINT;
    return unit;
}

// Offset of the first byte before `end` that needs an escape; `end` if none.
std::size_t firstUnsafe(const char* data, std::size_t end)
{
    std::size_t i = 0;
    while (i < end)
    {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte >= 0x20 && byte < 0x7f)
        {
            ++i;
            continue;
        }
        const Unit unit = unitAt(data, i, end);
        if (unit.action != ACTION_KEEP)
            return i;
        i += unit.nLength;
    }
    return end;
}

const char HEX_LOWER[] = "0123456789abcdef";
const char HEX_UPPER[] = "0123456789ABCDEF";

void appendByte(std::string& out, unsigned char byte)
{
    switch (byte)
    {
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    default:
        out += "\\x";
        out += HEX_LOWER[byte >> 4];
        out += HEX_LOWER[byte & 0x0f];
    }
}

void appendCodePoint(std::string& out, char32_t codePoint)
{
    // Every code point escaped this way lies below U+10000: four digits.
    out += "\\u{";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += HEX_UPPER[(codePoint >> shift) & 0x0f];
    out += '}';
}

// The part of the text that may need escapes: all of it but a final "\n".
std::size_t bodyLength(const std::string& text)
{
    return !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
}

// `text` up to `body` escaped, its clean start copied as it is; the rest
// (a final line end) appended when `bKeepTail`.
std::string escapeUpTo(const std::string& text, std::size_t body, bool bKeepTail)
{
    const char* data = text.data();
    std::size_t i = firstUnsafe(data, body);
    std::string out;
    out.reserve(text.size() + (i == body ? 0 : 32));
    out.append(data, i);
    while (i < body)
    {
        const Unit unit = unitAt(data, i, body);
        if (unit.action == ACTION_KEEP)
            out.append(data + i, unit.nLength);
        else if (unit.action == ACTION_CODE_POINT)
            appendCodePoint(out, unit.codePoint);
        else
            for (std::size_t k = 0; k < unit.nLength; ++k)
                appendByte(out, static_cast<unsigned char>(data[i + k]));
        i += unit.nLength;
    }
    if (bKeepTail)
        out.append(data + body, text.size() - body);
    return out;
}

} // namespace

std::size_t firstToEscape(const std::string& text)
{
    return firstUnsafe(text.data(), text.size());
}

std::string escapeControlBytes(const std::string& text)
{
    return escapeUpTo(text, bodyLength(text), true);
}

std::string escapeField(const std::string& text)
{
    return escapeUpTo(text, text.size(), false);
}

std::string escapedLine(const std::string& text)
{
    return escapeUpTo(text, bodyLength(text), false);
}

EscapingFormatter::EscapingFormatter(const std::string& pattern) : Poco::PatternFormatter(pattern) {}

void EscapingFormatter::format(const Poco::Message& msg, std::string& text)
{
    // Nearly every record is clean: only the rare one is copied.
    const std::string& original = msg.getText();
    const std::size_t body = bodyLength(original);
    if (firstUnsafe(original.data(), body) == body)
    {
        Poco::PatternFormatter::format(msg, text);
        return;
    }
    Poco::Message escaped(msg);
    escaped.setText(escapeUpTo(original, body, true));
    Poco::PatternFormatter::format(escaped, text);
}

} // namespace zvlog
