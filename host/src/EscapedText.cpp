#include "EscapedText.h"

#include <cstdio>

namespace VisitorUpgradeHost {

namespace {

void AppendHex(std::string& strOut, unsigned char c) {
    char szHex[5];
    std::snprintf(szHex, sizeof(szHex), "\\x%02X", c);
    strOut += szHex;
}

// Length of the well-formed UTF-8 sequence at nPos that is not a C1 control, else 0.
size_t PrintableSequenceAt(const std::string& strText, size_t nPos) {
    const unsigned char cLead = static_cast<unsigned char>(strText[nPos]);
    size_t nLength = 0;
    if (cLead >= 0xC2 && cLead <= 0xDF) {
        nLength = 2;
    } else if (cLead >= 0xE0 && cLead <= 0xEF) {
        nLength = 3;
    } else if (cLead >= 0xF0 && cLead <= 0xF4) {
        nLength = 4;
    } else {
        return 0;
    }
    if (nPos + nLength > strText.size()) return 0;
    for (size_t i = 1; i < nLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(strText[nPos + i]);
        if (c < 0x80 || c > 0xBF) return 0;
    }
    // U+0080..U+009F: terminals read some of them (U+009B) as control sequence starts.
    if (cLead == 0xC2 && static_cast<unsigned char>(strText[nPos + 1]) <= 0x9F) return 0;
    return nLength;
}

}  // namespace

std::string CEscapedText::Of(const std::string& strText) {
    std::string strOut;
    strOut.reserve(strText.size());
    size_t nPos = 0;
    while (nPos < strText.size()) {
        const unsigned char c = static_cast<unsigned char>(strText[nPos]);
        if (c >= 0x80) {
            const size_t nLength = PrintableSequenceAt(strText, nPos);
            if (nLength == 0) {
                AppendHex(strOut, c);
                ++nPos;
            } else {
                strOut.append(strText, nPos, nLength);
                nPos += nLength;
            }
            continue;
        }
        switch (c) {
            case '\n': strOut += "\\n"; break;
            case '\r': strOut += "\\r"; break;
            case '\t': strOut += "\\t"; break;
            case '\\': strOut += "\\\\"; break;
            case '"': strOut += "\\\""; break;
            default:
                if (c <= 0x20 || c == 0x7F) {
                    AppendHex(strOut, c);
                } else {
                    strOut += static_cast<char>(c);
                }
        }
        ++nPos;
    }
    return strOut;
}

}  // namespace VisitorUpgradeHost
