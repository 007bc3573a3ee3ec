#include "Upgrade/1130To1140/UpgradeFunc_1140.h"

#include <map>
#include <memory>
#include <set>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/ScriptFile.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

using Qarn::Base::StringUtil::str_fmt;

namespace {

const SStepLiterals kLiterals = {"C1130ToC1140", "1.13.0", "1.14.0", "update_V1.14.0", nullptr, " "};

const char* const kInitDataScript = "META_INFO/visitor.s/runtime_script/db_init/update_V1.14.0/init_data.sql";
const char* const kMarkDefaults = "UPDATE visitor.emailtemplate SET is_default = 1 WHERE id IN(1,2,3,4,5,6);";
const char* const kQueryDefaults =
    "SELECT id, template_type FROM visitor.emailtemplate WHERE is_default = 1 AND template_type IN(3,4,5,6);";
const char* const kWriteWhatsAppIds =
    "UPDATE visitor.visit_basic_config SET whats_app_id_for_appoint_success = %d,whats_app_id_for_appoint_fail = "
    "%d,whats_app_id_for_appoint_review = %d,whats_app_id_for_push_info_firstly = %d;";
const char* const kQueryLiveTemplates = "SELECT * FROM visitor.emailtemplate WHERE isdeleted = 0;";
// Texts are complete literals (NULL where NULL was read), hence %s without quotes.
const char* const kInsertTemplate =
    "INSERT INTO visitor.emailtemplate(template_type, name, subject,content,createtime,updatetime,receiver)"
    "VALUES(%d,%s,%s,%s,%s,%s,%s);";
// A template counts as copied when the upgraded database holds a row of its type
// with all six texts equal (NULL equal to NULL): exactly what the insert writes.
const char* const kFindCopiedTemplate =
    "SELECT %d AS id WHERE EXISTS (SELECT 1 FROM visitor.emailtemplate WHERE template_type = %d AND name IS NOT "
    "DISTINCT FROM %s AND subject IS NOT DISTINCT FROM %s AND content IS NOT DISTINCT FROM %s AND createtime IS NOT "
    "DISTINCT FROM %s AND updatetime IS NOT DISTINCT FROM %s AND receiver IS NOT DISTINCT FROM %s)";
const char* const kClearTemplates = "DELETE FROM visitor.emailtemplate;";
const char* const kQueryBaseConfig = "SELECT * FROM visitor.visit_basic_config;";
const char* const kFindTemplateByName = "SELECT id FROM visitor.emailtemplate WHERE name=%s;";
const char* const kPointCheckin = "UPDATE visitor.visit_basic_config SET checkin_emailtemplate_id=%d;";
const char* const kPointAppoint = "UPDATE visitor.visit_basic_config SET appoint_emailtemplate_id=%d;";
const char* const kPointReview = "UPDATE visitor.visit_basic_config SET appoint_review_emailtemplate_id=%d;";

bool ExecuteCopyingError(int& nErrorCode, std::string& strErrorInfo, const DBAccessConnPtr& pConn,
                         const std::string& strSql) {
    if (pConn->ExecuteHelper(strSql)) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool QueryCopyingError(int& nErrorCode, std::string& strErrorInfo, const DBAccessConnPtr& pConn,
                       const std::string& strSql, RowReader fnReader) {
    if (pConn->ExecuteQuery(strSql, std::move(fnReader))) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

}  // namespace

C1130ToC1140::C1130ToC1140() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

bool C1130ToC1140::UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo,
                                        db_layer::CConnect* /*pFirstConn*/, db_layer::CConnect* pSecondConn,
                                        db_layer::DBParam dbParam) {
    if (pSecondConn == nullptr) return false;
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    auto fnFailed = [&](const char* szOperation) {
        return PassFailed("UpgradeCourse_Config", szOperation, nErrorCode, strErrorInfo);
    };
    // Everything goes to the second connection: it commits with the mark or not at all.
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kConfiguration, "UpgradeCourse_Config", pSecond, [&] {
        if (!RunStepScript(nErrorCode, strErrorInfo, dbParam, pSecond, "UpgradeCourse_Config")) return false;
        if (!UpdateReceiveTemplate(nErrorCode, strErrorInfo, pSecond)) return fnFailed("UpdateReceiveTemplate");
        if (!InitialDataToReceiveTemplate(nErrorCode, strErrorInfo, pSecond))
            return fnFailed("InitialDataToReceiveTemplate");
        if (!SetWhatsAppTemplateToBaseConfig(nErrorCode, strErrorInfo, pSecond))
            return fnFailed("SetWhatsAppTemplateToBaseConfig");
        return true;
    });
}

bool C1130ToC1140::UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                  db_layer::CConnect* /*pFirstConn*/, db_layer::CConnect* pSecondConn,
                                                  db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    if (pSecondConn == nullptr || pThirdConn == nullptr) return false;
    auto pIncre = std::make_shared<CDBAccessConn>(pThirdConn);
    auto pUpgraded = std::make_shared<CDBAccessConn>(pSecondConn);
    auto fnFailed = [&](const char* szOperation) {
        return PassFailed("UpgradeCourse_Config_IncreData", szOperation, nErrorCode, strErrorInfo);
    };
    // Every change of the incremental database (script, removal, references)
    // commits with its mark. The copy into the upgraded database cannot share
    // that transaction; it skips what an interrupted run already copied.
    return RunOnce(
        nErrorCode, strErrorInfo, CPassMarker::kIncrementalConfiguration, "UpgradeCourse_Config_IncreData", pIncre,
        [&] {
            if (!RunStepScript(nErrorCode, strErrorInfo, dbParam, pIncre, "UpgradeCourse_Config_IncreData"))
                return false;
            std::vector<EmailTemplateInfo> vecTemplates;
            if (!QueryAddedEmailTemplate(nErrorCode, strErrorInfo, vecTemplates, pIncre))
                return fnFailed("QueryAddedEmailTemplate");
            if (!InsertAddedEmailTemplate(nErrorCode, strErrorInfo, vecTemplates, pUpgraded))
                return fnFailed("InsertAddedEmailTemplate");
            if (!ClearAddedEmailTemplateOfIncre(nErrorCode, strErrorInfo, pIncre))
                return fnFailed("ClearAddedEmailTemplateOfIncre");
            if (!AdjustBaseConfig(nErrorCode, strErrorInfo, vecTemplates, pIncre, pUpgraded))
                return fnFailed("AdjustBaseConfig");
            if (!AdjustBaseConfig(nErrorCode, strErrorInfo, pIncre, pUpgraded)) return fnFailed("AdjustBaseConfig");
            return true;
        });
}

bool C1130ToC1140::PassFailed(const char* szPass, const char* szOperation, int nErrorCode,
                              const std::string& strErrorInfo) const {
    // The line carries the error as the failed operation left it.
    UPG_LOG(LOG_ERROR, "[%s]%s failed, Error Code:%d, Error Info:%s.[%s(%d)]", QualifiedName(szPass).c_str(),
            szOperation, nErrorCode, strErrorInfo.c_str());
    return false;
}

bool C1130ToC1140::UpdateReceiveTemplate(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    if (ExecuteCopyingError(nErrorCode, strErrorInfo, pConn, kMarkDefaults)) return true;
    UPG_LOG(LOG_ERROR, "[%s]C1130ToC1140::UpdateReceiveTemplate failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
            QualifiedName("UpdateReceiveTemplate").c_str(), nErrorCode, strErrorInfo.c_str(), kMarkDefaults);
    return false;
}

bool C1130ToC1140::InitialDataToReceiveTemplate(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    std::string strScript;
    SScriptOrigin origin;
    // An unreadable script runs as an empty text: the database layer reports it.
    ReadScriptFile(strScript, kInitDataScript, "", origin);
    if (ScriptHistory("UpgradeCourse_Config").Run(nErrorCode, strErrorInfo, origin, pConn, [&] {
            return ExecuteCopyingError(nErrorCode, strErrorInfo, pConn, strScript);
        }))
        return true;
    UPG_LOG(LOG_ERROR, "[%s][ExecuteHelper] ExecuteTransaction failed,sql:[%s], Error Code:%d, Error Info:%s.[%s(%d)]",
            QualifiedName("InitialDataToReceiveTemplate").c_str(), strScript.c_str(), nErrorCode,
            strErrorInfo.c_str());
    return false;
}

bool C1130ToC1140::WriteWhatsAppTemplateIds(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                            DBAccessConnPtr pWrite, std::string& strFailedSql) {
    // Template type -> id of its default template; a later row of one type wins,
    // a type without a default reads as 0.
    std::map<int, int> mapDefaults;
    auto fnReader = [&mapDefaults](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            const int nId = conn.GetInt("id");
            mapDefaults[conn.GetInt("template_type")] = nId;
            conn.MoveNext();
        }
    };
    if (!QueryCopyingError(nErrorCode, strErrorInfo, pRead, kQueryDefaults, fnReader)) {
        strFailedSql = kQueryDefaults;
        return false;
    }
    const std::string strUpdate =
        str_fmt(kWriteWhatsAppIds, mapDefaults[3], mapDefaults[4], mapDefaults[5], mapDefaults[6]);
    if (!ExecuteCopyingError(nErrorCode, strErrorInfo, pWrite, strUpdate)) {
        strFailedSql = strUpdate;
        return false;
    }
    return true;
}

bool C1130ToC1140::SetWhatsAppTemplateToBaseConfig(int& nErrorCode, std::string& strErrorInfo,
                                                   DBAccessConnPtr pConn) {
    std::string strFailedSql;
    if (WriteWhatsAppTemplateIds(nErrorCode, strErrorInfo, pConn, pConn, strFailedSql)) return true;
    UPG_LOG(LOG_ERROR,
            "[%s]C1130ToC1140::SetWhatsAppTemplateToBaseConfig failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
            QualifiedName("SetWhatsAppTemplateToBaseConfig").c_str(), nErrorCode, strErrorInfo.c_str(),
            strFailedSql.c_str());
    return false;
}

bool C1130ToC1140::QueryAddedEmailTemplate(int& nErrorCode, std::string& strErrorInfo,
                                           std::vector<EmailTemplateInfo>& vecTemplates, DBAccessConnPtr pConn) {
    auto fnReader = [&vecTemplates](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            vecTemplates.push_back(EmailTemplateInfo::FromRow(conn));
            conn.MoveNext();
        }
    };
    if (QueryCopyingError(nErrorCode, strErrorInfo, pConn, kQueryLiveTemplates, fnReader)) return true;
    UPG_LOG(LOG_ERROR,
            "[%s]C1130ToC1140::QueryAddedEmailTemplate failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
            QualifiedName("QueryAddedEmailTemplate").c_str(), nErrorCode, strErrorInfo.c_str(), kQueryLiveTemplates);
    return false;
}

bool C1130ToC1140::FindCopiedEmailTemplate(int& nErrorCode, std::string& strErrorInfo,
                                           const std::vector<EmailTemplateInfo>& vecTemplates,
                                           DBAccessConnPtr pConn, std::set<int>& setCopiedIds) {
    std::string strQuery;
    for (const EmailTemplateInfo& info : vecTemplates) {
        const auto literals = info.TextLiterals();
        if (!strQuery.empty()) strQuery += " UNION ALL ";
        strQuery += str_fmt(kFindCopiedTemplate, info.id, info.template_type, literals[0].c_str(),
                            literals[1].c_str(), literals[2].c_str(), literals[3].c_str(), literals[4].c_str(),
                            literals[5].c_str());
    }
    strQuery += ";";
    auto fnReader = [&setCopiedIds](db_layer::CConnect& conn) {
        for (; !conn.IsEOF(); conn.MoveNext()) setCopiedIds.insert(conn.GetInt("id"));
    };
    if (QueryCopyingError(nErrorCode, strErrorInfo, pConn, strQuery, fnReader)) return true;
    UPG_LOG(LOG_ERROR,
            "[%s]C1130ToC1140::InsertAddedEmailTemplate failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
            QualifiedName("InsertAddedEmailTemplate").c_str(), nErrorCode, strErrorInfo.c_str(), strQuery.c_str());
    return false;
}

bool C1130ToC1140::InsertAddedEmailTemplate(int& nErrorCode, std::string& strErrorInfo,
                                            const std::vector<EmailTemplateInfo>& vecTemplates,
                                            DBAccessConnPtr pConn) {
    if (vecTemplates.empty()) return true;
    std::set<int> setCopiedIds;
    if (!FindCopiedEmailTemplate(nErrorCode, strErrorInfo, vecTemplates, pConn, setCopiedIds)) return false;
    std::string strInserts;
    for (const EmailTemplateInfo& info : vecTemplates) {
        if (setCopiedIds.count(info.id) > 0) continue;
        const auto literals = info.TextLiterals();
        strInserts += str_fmt(kInsertTemplate, info.template_type, literals[0].c_str(), literals[1].c_str(),
                              literals[2].c_str(), literals[3].c_str(), literals[4].c_str(), literals[5].c_str());
    }
    if (!setCopiedIds.empty()) {
        UPG_LOG(LOG_INFO, "[%s]%d of %d templates are in the upgraded database already, not inserted again.[%s(%d)]",
                QualifiedName("InsertAddedEmailTemplate").c_str(), static_cast<int>(setCopiedIds.size()),
                static_cast<int>(vecTemplates.size()));
    }
    if (strInserts.empty()) return true;
    if (ExecuteCopyingError(nErrorCode, strErrorInfo, pConn, strInserts)) return true;
    UPG_LOG(LOG_ERROR, "[%s][ExecuteHelper] ExecuteTransaction failed,sql:[%s], Error Code:%d, Error Info:%s.[%s(%d)]",
            QualifiedName("InsertAddedEmailTemplate").c_str(), strInserts.c_str(), nErrorCode, strErrorInfo.c_str());
    return false;
}

bool C1130ToC1140::ClearAddedEmailTemplateOfIncre(int& nErrorCode, std::string& strErrorInfo,
                                                  DBAccessConnPtr pConn) {
    if (ExecuteCopyingError(nErrorCode, strErrorInfo, pConn, kClearTemplates)) return true;
    UPG_LOG(LOG_ERROR, "[%s][ExecuteHelper] ExecuteTransaction failed,sql:[%s], Error Code:%d, Error Info:%s.[%s(%d)]",
            QualifiedName("ClearAddedEmailTemplateOfIncre").c_str(), kClearTemplates, nErrorCode,
            strErrorInfo.c_str());
    return false;
}

bool C1130ToC1140::AdjustBaseConfig(int& nErrorCode, std::string& strErrorInfo,
                                    const std::vector<EmailTemplateInfo>& vecTemplates, DBAccessConnPtr pIncreConn,
                                    DBAccessConnPtr pUpgradedConn) {
    if (vecTemplates.empty()) return true;
    int nOldAppoint = -1;
    int nOldCheckin = -1;
    int nOldReview = -1;
    auto fnReader = [&](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            nOldAppoint = conn.GetInt("appoint_emailtemplate_id");
            nOldCheckin = conn.GetInt("checkin_emailtemplate_id");
            nOldReview = conn.GetInt("appoint_review_emailtemplate_id");
            conn.MoveNext();
        }
    };
    if (!QueryCopyingError(nErrorCode, strErrorInfo, pIncreConn, kQueryBaseConfig, fnReader)) {
        UPG_LOG(LOG_ERROR, "[%s]C1130ToC1140::AdjustBaseConfig failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
                QualifiedName("AdjustBaseConfig").c_str(), nErrorCode, strErrorInfo.c_str(), kQueryBaseConfig);
        return false;
    }
    if (nOldAppoint == -1) return true;
    // Each reference on its own: a failure is logged and left in the error
    // fields, and the next reference is still re-pointed.
    for (int nOldId : {nOldCheckin, nOldAppoint, nOldReview})
        RepointTemplateReference(nErrorCode, strErrorInfo, vecTemplates, nOldId, pIncreConn, pUpgradedConn);
    return true;
}

bool C1130ToC1140::RepointTemplateReference(int& nErrorCode, std::string& strErrorInfo,
                                            const std::vector<EmailTemplateInfo>& vecTemplates, int nOldId,
                                            DBAccessConnPtr pIncreConn, DBAccessConnPtr pUpgradedConn) {
    const EmailTemplateInfo* pFound = nullptr;
    for (const EmailTemplateInfo& info : vecTemplates) {
        if (info.id == nOldId) {
            pFound = &info;
            break;
        }
    }
    if (pFound == nullptr) return true;

    const std::string strName = QualifiedName("AdjustBaseConfig::RepointTemplateReference");
    // A NULL name is looked up as NULL: it matches no template, like an unknown name.
    const std::string strFind =
        str_fmt(kFindTemplateByName, CSqlText::NullableLiteral(pFound->name, pFound->name_null).c_str());
    int nNewId = -1;
    if (!QueryCopyingError(nErrorCode, strErrorInfo, pUpgradedConn, strFind, RowReaders::LastInt("id", nNewId))) {
        UPG_LOG(LOG_ERROR, "[%s]C1130ToC1140::AdjustBaseConfig failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
                strName.c_str(), nErrorCode, strErrorInfo.c_str(), strFind.c_str());
        return false;
    }
    // Another template type has no reference column: its empty text is still sent.
    std::string strPoint;
    switch (pFound->template_type) {
        case 0: strPoint = str_fmt(kPointCheckin, nNewId); break;
        case 1: strPoint = str_fmt(kPointAppoint, nNewId); break;
        case 2: strPoint = str_fmt(kPointReview, nNewId); break;
        default: break;
    }
    if (ExecuteCopyingError(nErrorCode, strErrorInfo, pIncreConn, strPoint)) return true;
    UPG_LOG(LOG_ERROR, "[%s][ExecuteHelper] ExecuteTransaction failed,sql:[%s], Error Code:%d, Error Info:%s.[%s(%d)]",
            strName.c_str(), strPoint.c_str(), nErrorCode, strErrorInfo.c_str());
    return false;
}

bool C1130ToC1140::AdjustBaseConfig(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pIncreConn,
                                    DBAccessConnPtr pUpgradedConn) {
    std::string strFailedSql;
    if (WriteWhatsAppTemplateIds(nErrorCode, strErrorInfo, pUpgradedConn, pIncreConn, strFailedSql)) return true;
    UPG_LOG(LOG_ERROR, "[%s]C1130ToC1140::AdjustBaseConfig failed! error code:[%d],error info:[%s],sql:[%s][%s(%d)]",
            QualifiedName("AdjustBaseConfig").c_str(), nErrorCode, strErrorInfo.c_str(), strFailedSql.c_str());
    return false;
}

}  // namespace UnifiedUpgradeComponent
