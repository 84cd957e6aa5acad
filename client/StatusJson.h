#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A JSON value as wdctl reads the watchdog's status snapshot: objects keep
// their members in the order written, numbers keep their text, so a filtered
// snapshot is printed the way the watchdog wrote it.
struct JsonValue
{
    enum Kind
    {
        JSON_NULL,
        JSON_BOOL,
        JSON_NUMBER,
        JSON_STRING,
        JSON_ARRAY,
        JSON_OBJECT,
    };

    Kind eKind = JSON_NULL;
    bool bValue = false;
    std::string strText; // a string's UTF-8, or a number as written
    std::vector<JsonValue> vecItems;
    std::vector<std::pair<std::string, JsonValue>> vecMembers;

    // The member `key` of an object; nullptr when absent or not an object.
    const JsonValue* member(const std::string& key) const;
    // The member's string, "" when it is no string.
    std::string text(const std::string& key) const;
    // The member's number, `fallback` when it is no number.
    int64_t number(const std::string& key, int64_t fallback = 0) const;
    bool isNull(const std::string& key) const;
};

// Parses one JSON text (RFC 8259). \u escapes become UTF-8, a lone surrogate
// U+FFFD. Throws Poco::SyntaxException naming the offset of the fault.
JsonValue parseJson(const std::string& text);

// `value` as JSON: the top object and the arrays in it one member or item per
// line, deeper values on one line, as the watchdog lays out status.json.
std::string writeJson(const JsonValue& value);
