#include "Upgrade/SqlText.h"

#include "Qarn/Base/StringUtil.h"

namespace UnifiedUpgradeComponent {

std::string CSqlText::Escape(const std::string& strValue) {
    return Qarn::Base::StringUtil::StringReplace(strValue, "'", "''");
}

std::string CSqlText::Literal(const std::string& strValue) {
    return "'" + Escape(strValue) + "'";
}

std::string CSqlText::NullableLiteral(const std::string& strValue, bool bNull) {
    return bNull ? std::string("NULL") : Literal(strValue);
}

}  // namespace UnifiedUpgradeComponent
