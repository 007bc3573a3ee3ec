#include "Upgrade/1130To1140/EmailTemplateInfo.h"

#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

namespace {
void ReadText(db_layer::CConnect& conn, const char* szColumn, std::string& strValue, bool& bNull) {
    strValue = conn.GetString(szColumn);
    bNull = conn.IsNull(szColumn);
}
}  // namespace

EmailTemplateInfo EmailTemplateInfo::FromRow(db_layer::CConnect& conn) {
    EmailTemplateInfo info;
    info.id = conn.GetInt("id");
    info.template_type = conn.GetInt("template_type");
    ReadText(conn, "name", info.name, info.name_null);
    ReadText(conn, "subject", info.subject, info.subject_null);
    ReadText(conn, "content", info.content, info.content_null);
    ReadText(conn, "createtime", info.createtime, info.createtime_null);
    ReadText(conn, "updatetime", info.updatetime, info.updatetime_null);
    ReadText(conn, "receiver", info.receiver, info.receiver_null);
    return info;
}

std::array<std::string, 6> EmailTemplateInfo::TextLiterals() const {
    return {CSqlText::NullableLiteral(name, name_null),         CSqlText::NullableLiteral(subject, subject_null),
            CSqlText::NullableLiteral(content, content_null),   CSqlText::NullableLiteral(createtime, createtime_null),
            CSqlText::NullableLiteral(updatetime, updatetime_null), CSqlText::NullableLiteral(receiver, receiver_null)};
}

}  // namespace UnifiedUpgradeComponent
