// Makes a text from outside (a stored value, an argument) safe to print as part
// of one terminal line: control characters, backslashes, blanks, double quotes
// and bytes that are not UTF-8 become escapes, so a value can neither start a
// new line, move the cursor, nor forge a field of a "key=value" line. Stateless.
#pragma once
#include <string>

namespace VisitorUpgradeHost {

class CEscapedText {
public:
    // "\n" -> \n, "\r" -> \r, "\t" -> \t, '\' -> \\, '"' -> \", blank -> \x20,
    // other control bytes, C1 controls (U+0080..U+009F) and stray bytes -> \xHH;
    // printable ASCII and well-formed UTF-8 stay as they are.
    static std::string Of(const std::string& strText);
};

}  // namespace VisitorUpgradeHost
