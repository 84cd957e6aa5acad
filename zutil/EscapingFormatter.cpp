#include "EscapingFormatter.h"

#include <Poco/Message.h>

namespace zvlog
{

namespace
{

// Length of the control sequence at `pos` that needs an escape: 1 for a C0
// byte or DEL, 2 for a UTF-8 encoded C1 control, 0 for anything else.
std::size_t controlLength(const std::string& text, std::size_t pos)
{
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x20 || byte == 0x7f)
        return 1;
    if (byte == 0xc2 && pos + 1 < text.size())
    {
        const auto next = static_cast<unsigned char>(text[pos + 1]);
        if (next >= 0x80 && next <= 0x9f)
            return 2;
    }
    return 0;
}

void appendHex(std::string& out, unsigned char byte)
{
    static const char DIGITS[] = "0123456789abcdef";
    out += "\\x";
    out += DIGITS[byte >> 4];
    out += DIGITS[byte & 0x0f];
}

// The part of the text that may need escapes: all of it but a final "\n".
std::size_t bodyLength(const std::string& text)
{
    return !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
}

bool needsEscapes(const std::string& text)
{
    const std::size_t body = bodyLength(text);
    for (std::size_t i = 0; i < body; ++i)
        if (controlLength(text, i) != 0)
            return true;
    return false;
}

} // namespace

std::string escapeControlBytes(const std::string& text)
{
    const std::size_t body = bodyLength(text);
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < body;)
    {
        const std::size_t length = controlLength(text, i);
        const auto byte = static_cast<unsigned char>(text[i]);
        if (length == 0)
            out += text[i];
        else if (byte == '\n')
            out += "\\n";
        else if (byte == '\r')
            out += "\\r";
        else if (byte == '\t')
            out += "\\t";
        else
            for (std::size_t k = 0; k < length; ++k)
                appendHex(out, static_cast<unsigned char>(text[i + k]));
        i += length == 0 ? 1 : length;
    }
    if (body < text.size())
        out += '\n';
    return out;
}

EscapingFormatter::EscapingFormatter(const std::string& pattern) : Poco::PatternFormatter(pattern) {}

void EscapingFormatter::format(const Poco::Message& msg, std::string& text)
{
    // Nearly every record is clean: only the rare one is copied.
    if (!needsEscapes(msg.getText()))
    {
        Poco::PatternFormatter::format(msg, text);
        return;
    }
    Poco::Message escaped(msg);
    escaped.setText(escapeControlBytes(msg.getText()));
    Poco::PatternFormatter::format(escaped, text);
}

} // namespace zvlog
