#include "JsonText.h"

#include <cstdio>

namespace VisitorUpgradeHost {

std::string CJsonText::Quoted(const std::string& strText) {
    std::string strOut = "\"";
    for (const unsigned char c : strText) {
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
            strOut += szEscape;
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut + "\"";
}

}  // namespace VisitorUpgradeHost
