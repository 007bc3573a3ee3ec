// The one quoting helper: every text value written into a SQL text goes through
// it. Connections run with standard_conforming_strings=on, so doubling the
// single quote is the whole escape; backslashes and other bytes stay literal.
#pragma once
#include <string>

namespace UnifiedUpgradeComponent {

class CSqlText {
public:
    // The value for the inside of a '...' literal of a statement text.
    static std::string Escape(const std::string& strValue);
    // The complete literal: '...' with the value escaped.
    static std::string Literal(const std::string& strValue);
    // NULL when bNull, else Literal(strValue): for columns read as text that may hold NULL.
    static std::string NullableLiteral(const std::string& strValue, bool bNull);
    // The current time, as the UTC time stamp text that steps write into the
    // time columns of their rows, escaped for the inside of a '...' literal.
    static std::string NowText();
    // Appends a text element of an array literal "{...}": in double quotes, '"'
    // and '\' escaped by '\', so that a text "NULL" stays a text. The whole
    // array then goes into the statement through Literal.
    static void AppendArrayElement(std::string& strArray, const std::string& strValue);
    // Decimal numbers joined by "," without blanks ("1,2,3").
    template <class Container>
    static std::string JoinNumbers(const Container& values) {
        std::string strOut;
        for (const auto& value : values) {
            if (!strOut.empty()) strOut += ',';
            strOut += std::to_string(value);
        }
        return strOut;
    }
};

}  // namespace UnifiedUpgradeComponent
