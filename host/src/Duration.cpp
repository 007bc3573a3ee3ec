#include "Duration.h"

namespace VisitorUpgradeHost {

namespace {

struct SUnit {
    const char* szName;
    long long nMilliseconds;
};

constexpr SUnit kUnits[] = {{"ms", 1}, {"s", 1000}, {"min", 60000}, {"h", 3600000}, {"d", 86400000}};

}  // namespace

bool CDuration::ParseMilliseconds(const std::string& strText, long long& nMilliseconds) {
    size_t nDigits = 0;
    long long nNumber = 0;
    while (nDigits < strText.size() && strText[nDigits] >= '0' && strText[nDigits] <= '9') {
        nNumber = nNumber * 10 + (strText[nDigits] - '0');
        if (nNumber > kMaxMilliseconds) return false;
        ++nDigits;
    }
    if (nDigits == 0 || nNumber == 0) return false;
    const std::string strUnit = strText.substr(nDigits);
    for (const SUnit& unit : kUnits) {
        if (strUnit != unit.szName) continue;
        if (nNumber > kMaxMilliseconds / unit.nMilliseconds) return false;
        nMilliseconds = nNumber * unit.nMilliseconds;
        return true;
    }
    return false;
}

}  // namespace VisitorUpgradeHost
