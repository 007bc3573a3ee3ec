// A text as a JSON string value, for the documents and lines the command
// prints (plan, verify, progress). Stateless.
#pragma once
#include <string>

namespace VisitorUpgradeHost {

class CJsonText {
public:
    // The text in double quotes; '"' and '\' escaped, control bytes (and DEL) as \u00XX.
    static std::string Quoted(const std::string& strText);
};

}  // namespace VisitorUpgradeHost
