#include "OneLine.h"

namespace VisitorUpgradeHost {

std::string COneLine::Of(std::string strText) {
    for (char& c : strText) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    while (!strText.empty() && strText.back() == ' ') strText.pop_back();
    return strText;
}

}  // namespace VisitorUpgradeHost
