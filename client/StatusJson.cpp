#include "StatusJson.h"

#include <Poco/Exception.h>

#include <charconv>
#include <cmath>

namespace
{
class Parser
{
public:
    explicit Parser(const std::string& text) : m_strText(text) {}

    JsonValue document()
    {
        JsonValue value = parseValue(0);
        skipBlanks();
        if (m_nAt != m_strText.size())
            fail("text after the value");
        return value;
    }

private:
    static constexpr int MAX_DEPTH = 64;

    [[noreturn]] void fail(const std::string& what) const
    {
        throw Poco::SyntaxException("not JSON: " + what + " at offset " + std::to_string(m_nAt));
    }

    void skipBlanks()
    {
        while (m_nAt < m_strText.size() && (m_strText[m_nAt] == ' ' || m_strText[m_nAt] == '\t' ||
                                            m_strText[m_nAt] == '\n' || m_strText[m_nAt] == '\r'))
            ++m_nAt;
    }

    char peek()
    {
        skipBlanks();
        if (m_nAt >= m_strText.size())
            fail("unexpected end");
        return m_strText[m_nAt];
    }

    void expect(char c)
    {
        if (peek() != c)
            fail(std::string("expected '") + c + "'");
        ++m_nAt;
    }

    bool literal(const char* word)
    {
        const std::string w(word);
        if (m_strText.compare(m_nAt, w.size(), w) != 0)
            return false;
        m_nAt += w.size();
        return true;
    }

    JsonValue parseValue(int depth)
    {
        if (depth > MAX_DEPTH)
            fail("nesting too deep");
        JsonValue value;
        const char c = peek();
        if (c == '{')
        {
            value.eKind = JsonValue::JSON_OBJECT;
            ++m_nAt;
            if (peek() == '}')
            {
                ++m_nAt;
                return value;
            }
            do
            {
                if (peek() != '"')
                    fail("expected a member name");
                std::string key = parseString();
                expect(':');
                value.vecMembers.emplace_back(std::move(key), parseValue(depth + 1));
            } while (peek() == ',' && ++m_nAt);
            expect('}');
        }
        else if (c == '[')
        {
            value.eKind = JsonValue::JSON_ARRAY;
            ++m_nAt;
            if (peek() == ']')
            {
                ++m_nAt;
                return value;
            }
            do
                value.vecItems.push_back(parseValue(depth + 1));
            while (peek() == ',' && ++m_nAt);
            expect(']');
        }
        else if (c == '"')
        {
            value.eKind = JsonValue::JSON_STRING;
            value.strText = parseString();
        }
        else if (literal("true") || literal("false"))
        {
            value.eKind = JsonValue::JSON_BOOL;
            value.bValue = c == 't';
        }
        else if (literal("null"))
            value.eKind = JsonValue::JSON_NULL;
        else
        {
            value.eKind = JsonValue::JSON_NUMBER;
            value.strText = parseNumber();
        }
        return value;
    }

    std::string parseNumber()
    {
        const std::size_t start = m_nAt;
        const auto digits = [this]
        {
            const std::size_t from = m_nAt;
            while (m_nAt < m_strText.size() && m_strText[m_nAt] >= '0' && m_strText[m_nAt] <= '9')
                ++m_nAt;
            return m_nAt - from;
        };
        if (m_nAt < m_strText.size() && m_strText[m_nAt] == '-')
            ++m_nAt;
        const std::size_t intStart = m_nAt;
        const std::size_t intDigits = digits();
        if (intDigits == 0 || (intDigits > 1 && m_strText[intStart] == '0'))
            fail("bad number");
        if (m_nAt < m_strText.size() && m_strText[m_nAt] == '.')
        {
            ++m_nAt;
            if (digits() == 0)
                fail("bad number");
        }
        if (m_nAt < m_strText.size() && (m_strText[m_nAt] == 'e' || m_strText[m_nAt] == 'E'))
        {
            ++m_nAt;
            if (m_nAt < m_strText.size() && (m_strText[m_nAt] == '+' || m_strText[m_nAt] == '-'))
                ++m_nAt;
            if (digits() == 0)
                fail("bad number");
        }
        return m_strText.substr(start, m_nAt - start);
    }

    unsigned hex4()
    {
        if (m_nAt + 4 > m_strText.size())
            fail("short \\u escape");
        unsigned value = 0;
        const auto result =
            std::from_chars(m_strText.data() + m_nAt, m_strText.data() + m_nAt + 4, value, 16);
        if (result.ptr != m_strText.data() + m_nAt + 4)
            fail("bad \\u escape");
        m_nAt += 4;
        return value;
    }

    static void appendUtf8(std::string& out, unsigned cp)
    {
        if (cp < 0x80)
            out += static_cast<char>(cp);
        else if (cp < 0x800)
        {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
        else if (cp < 0x10000)
        {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
        else
        {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string parseString()
    {
        ++m_nAt; // the opening quote
        std::string out;
        while (true)
        {
            if (m_nAt >= m_strText.size())
                fail("unterminated string");
            const char c = m_strText[m_nAt++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                fail("control character in a string");
            if (c != '\\')
            {
                out += c;
                continue;
            }
            if (m_nAt >= m_strText.size())
                fail("unterminated string");
            const char e = m_strText[m_nAt++];
            switch (e)
            {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u':
            {
                unsigned cp = hex4();
                if (cp >= 0xD800 && cp <= 0xDBFF && m_strText.compare(m_nAt, 2, "\\u") == 0)
                {
                    const std::size_t back = m_nAt;
                    m_nAt += 2;
                    const unsigned low = hex4();
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        m_nAt = back;
                }
                appendUtf8(out, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
                break;
            }
            default:
                fail("bad escape");
            }
        }
    }

    const std::string& m_strText;
    std::size_t m_nAt = 0;
};

void writeString(std::string& out, const std::string& text)
{
    static const char* const HEX = "0123456789abcdef";
    out += '"';
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += c;
        }
        else if (c == '\n')
            out += "\\n";
        else if (byte < 0x20)
        {
            out += "\\u00";
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        }
        else
            out += c;
    }
    out += '"';
}

void write(std::string& out, const JsonValue& value, int depth)
{
    const bool multiLine = depth < 2;
    const std::string indent(2 * (depth + 1), ' ');
    const std::string closing(2 * depth, ' ');
    switch (value.eKind)
    {
    case JsonValue::JSON_NULL:
        out += "null";
        return;
    case JsonValue::JSON_BOOL:
        out += value.bValue ? "true" : "false";
        return;
    case JsonValue::JSON_NUMBER:
        out += value.strText;
        return;
    case JsonValue::JSON_STRING:
        writeString(out, value.strText);
        return;
    case JsonValue::JSON_ARRAY:
        out += '[';
        for (std::size_t i = 0; i < value.vecItems.size(); ++i)
        {
            out += i ? "," : "";
            out += multiLine ? "\n" + indent : (i ? " " : "");
            write(out, value.vecItems[i], depth + 1);
        }
        out += multiLine && !value.vecItems.empty() ? "\n" + closing + "]" : "]";
        return;
    case JsonValue::JSON_OBJECT:
        // Only the top object is laid out one member per line.
        out += '{';
        for (std::size_t i = 0; i < value.vecMembers.size(); ++i)
        {
            out += i ? "," : "";
            out += depth == 0 ? "\n" + indent : (i ? " " : "");
            writeString(out, value.vecMembers[i].first);
            out += ": ";
            write(out, value.vecMembers[i].second, depth + 1);
        }
        out += depth == 0 && !value.vecMembers.empty() ? "\n" + closing + "}" : "}";
        return;
    }
}
} // namespace

const JsonValue* JsonValue::member(const std::string& key) const
{
    for (const auto& [name, value] : vecMembers)
        if (name == key)
            return &value;
    return nullptr;
}

std::string JsonValue::text(const std::string& key) const
{
    const JsonValue* value = member(key);
    return value && value->eKind == JSON_STRING ? value->strText : std::string();
}

int64_t JsonValue::number(const std::string& key, int64_t fallback) const
{
    const JsonValue* value = member(key);
    if (!value || value->eKind != JSON_NUMBER)
        return fallback;
    double d = 0;
    const auto result =
        std::from_chars(value->strText.data(), value->strText.data() + value->strText.size(), d);
    if (result.ec != std::errc() || !std::isfinite(d))
        return fallback;
    return static_cast<int64_t>(d);
}

bool JsonValue::isNull(const std::string& key) const
{
    const JsonValue* value = member(key);
    return !value || value->eKind == JSON_NULL;
}

JsonValue parseJson(const std::string& text)
{
    return Parser(text).document();
}

std::string writeJson(const JsonValue& value)
{
    std::string out;
    write(out, value, 0);
    out += '\n';
    return out;
}
