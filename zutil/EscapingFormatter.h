#pragma once

#include <Poco/PatternFormatter.h>

#include <string>

namespace zvlog
{

// `text` with its control bytes written as escapes, so a record always takes
// one line: "\n", "\r", "\t", "\xHH" for the other C0 bytes and DEL, and
// "\xc2\xHH" for a UTF-8 encoded C1 control (U+0080 to U+009F, which some
// terminals act on). A line end that ends the text stays as it is; backslashes
// and every other byte are left alone. Never throws but bad_alloc.
std::string escapeControlBytes(const std::string& text);

// A PatternFormatter that formats a record with its text escaped as above.
// The Message it is handed is not changed. Thread-safe as PatternFormatter.
class EscapingFormatter : public Poco::PatternFormatter
{
public:
    explicit EscapingFormatter(const std::string& pattern);

    void format(const Poco::Message& msg, std::string& text) override;

protected:
    ~EscapingFormatter() override = default;
};

} // namespace zvlog
