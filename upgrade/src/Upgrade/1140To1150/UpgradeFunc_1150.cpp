#include "Upgrade/1140To1150/UpgradeFunc_1150.h"

#include <memory>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

using Qarn::Base::StringUtil::str_fmt;

namespace {

const SStepLiterals kLiterals = {"C1140ToC1150", "1.14.0", "1.15.0", "update_V1.15.0", nullptr, " "};

// Per template type: the templates to read, the button text they get and the
// placeholders whose first occurrence leaves the body, in this order.
struct SRewriteRule {
    const char* szQuery;
    const char* szButtonInfo;
    const char* aszPlaceholders[2];
};
const SRewriteRule kRewriteRules[] = {
    {"SELECT * FROM visitor.EmailTemplate WHERE template_type = 3", "View QR Code",
     {"${DynamicQrcodeUrl}", "${StaticQrcodePic}"}},
    {"SELECT * FROM visitor.EmailTemplate WHERE template_type = 6", "Reserve", {"${H5URL}", nullptr}},
};
// The body is a complete literal (NULL stays NULL), hence its %s without quotes.
// A template that carries its type's button text has had its rewrite: the
// body and the button change in one statement.
const char* const kWithoutButton = "%s AND button_info IS DISTINCT FROM '%s'";
const char* const kRewriteTemplate =
    "UPDATE visitor.emailtemplate SET content = %s, button_info = '%s' WHERE id = %d; ";

void RemoveFirst(std::string& strText, const char* szPlaceholder) {
    const std::string::size_type nPos = strText.find(szPlaceholder);
    if (nPos != std::string::npos) strText.erase(nPos, std::char_traits<char>::length(szPlaceholder));
}

}  // namespace

C1140ToC1150::C1140ToC1150() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

bool C1140ToC1150::UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo,
                                        db_layer::CConnect* /*pFirstConn*/, db_layer::CConnect* pSecondConn,
                                        db_layer::DBParam dbParam) {
    if (pSecondConn == nullptr) return false;
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    // The rewrite removes the next placeholder each time it runs: once per database.
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kConfiguration, "UpgradeCourse_Config", pSecond, [&] {
        return UpgradeTemplates(nErrorCode, strErrorInfo, dbParam, pSecond, "UpgradeCourse_Config");
    });
}

bool C1140ToC1150::UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                  db_layer::CConnect* /*pFirstConn*/, db_layer::CConnect* pSecondConn,
                                                  db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    if (pSecondConn == nullptr || pThirdConn == nullptr) return false;
    auto pThird = std::make_shared<CDBAccessConn>(pThirdConn);
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    const bool bThirdDone = RunOnce(
        nErrorCode, strErrorInfo, CPassMarker::kIncrementalConfiguration, "UpgradeCourse_Config_IncreData", pThird,
        [&] { return UpgradeTemplates(nErrorCode, strErrorInfo, dbParam, pThird, "UpgradeCourse_Config_IncreData"); });
    // The step to 1.14.0 moved the incremental database's templates into the
    // upgraded one after its own rewrite had run there: they get it now.
    return bThirdDone && UpdateMovedEmailTemplates(nErrorCode, strErrorInfo, pSecond);
}

bool C1140ToC1150::UpgradeTemplates(int& nErrorCode, std::string& strErrorInfo, const db_layer::DBParam& dbParam,
                                    DBAccessConnPtr pConn, const char* szOperation) {
    if (!RunStepScript(nErrorCode, strErrorInfo, dbParam, pConn, szOperation)) return false;
    // The rewrite logs its own failure.
    return UpdateCourse_EmailConfig(nErrorCode, strErrorInfo, pConn);
}

bool C1140ToC1150::UpdateCourse_EmailConfig(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    return RewriteTemplates(nErrorCode, strErrorInfo, pConn, false, "UpdateCourse_EmailConfig");
}

bool C1140ToC1150::UpdateMovedEmailTemplates(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    return RewriteTemplates(nErrorCode, strErrorInfo, pConn, true, "UpdateMovedEmailTemplates");
}

bool C1140ToC1150::RewriteTemplates(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                    bool bOnlyWithoutButton, const char* szOperation) {
    const std::string strName = QualifiedName(szOperation);
    // Type 3 templates first, then type 6, each in the server's order.
    std::vector<EmailTemplateContent> vecTemplates;
    for (const SRewriteRule& rule : kRewriteRules) {
        auto fnReader = [&vecTemplates, &rule](db_layer::CConnect& conn) {
            while (!conn.IsEOF()) {
                EmailTemplateContent record;
                record.id = conn.GetInt("id");
                record.content = conn.GetString("content");
                record.content_null = conn.IsNull("content");
                record.button_info = rule.szButtonInfo;
                for (const char* szPlaceholder : rule.aszPlaceholders)
                    if (szPlaceholder != nullptr) RemoveFirst(record.content, szPlaceholder);
                vecTemplates.push_back(record);
                conn.MoveNext();
            }
        };
        const std::string strQuery =
            bOnlyWithoutButton
                ? str_fmt(kWithoutButton, rule.szQuery, CSqlText::Escape(rule.szButtonInfo).c_str())
                : std::string(rule.szQuery);
        if (!pConn->ExecuteQuery(strQuery, fnReader)) {
            return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
                UPG_LOG(LOG_ERROR, "[%s]C1140ToC1150 is fail sql = %s[%s(%d)]", strName.c_str(), strQuery.c_str());
            });
        }
    }
    std::string strUpdates;
    for (const EmailTemplateContent& record : vecTemplates) {
        strUpdates += str_fmt(kRewriteTemplate, CSqlText::NullableLiteral(record.content, record.content_null).c_str(),
                              CSqlText::Escape(record.button_info).c_str(), record.id);
    }
    if (strUpdates.empty()) return true;
    if (!pConn->ExecuteHelper(strUpdates)) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR, "[%s]C1140ToC1150 is fail sql = %s[%s(%d)]", strName.c_str(), strUpdates.c_str());
        });
    }
    return true;
}

}  // namespace UnifiedUpgradeComponent
