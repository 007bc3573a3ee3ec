#include "Upgrade/SqlText.h"

#include <cstdint>
#include <ctime>

#include "Qarn/Base/StringUtil.h"
#include "Qarn/Base/TimeUtil.h"

namespace UnifiedUpgradeComponent {

std::string CSqlText::Escape(const std::string& strValue) {
    return Qarn::Base::StringUtil::StringReplace(strValue, "'", "''");
}

std::string CSqlText::Literal(const std::string& strValue) { return "'" + Escape(strValue) + "'"; }

std::string CSqlText::NullableLiteral(const std::string& strValue, bool bNull) {
    return bNull ? std::string("NULL") : Literal(strValue);
}

std::string CSqlText::NowText() {
    return Escape(Qarn::Base::TimeUtil::TimeT2StrUTCTimeStamp(static_cast<std::int64_t>(std::time(nullptr))));
}

void CSqlText::AppendArrayElement(std::string& strArray, const std::string& strValue) {
    strArray += '"';
    for (char c : strValue) {
        if (c == '"' || c == '\\') strArray += '\\';
        strArray += c;
    }
    strArray += '"';
}

}  // namespace UnifiedUpgradeComponent
