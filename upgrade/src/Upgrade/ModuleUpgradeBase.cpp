#include "Upgrade/ModuleUpgradeBase.h"

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/ModuleConstants.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/ScriptFile.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

using Qarn::Base::StringUtil::str_fmt;

namespace {
const char* const kScriptRoot = "META_INFO/visitor.s/runtime_script/db_init/";
}

CModuleUpgradeBase::CModuleUpgradeBase(const SStepLiterals& literals)
    : m_strFromVersion(literals.szFromVersion), m_strToVersion(literals.szToVersion), m_literals(literals) {}

CModuleUpgradeBase::~CModuleUpgradeBase() = default;

std::string CModuleUpgradeBase::ScriptPath() const {
    return std::string(kScriptRoot) + (m_literals.szScriptFolder ? m_literals.szScriptFolder : "") + "/update.sql";
}

std::string CModuleUpgradeBase::QualifiedName(const char* szOperation) const {
    return std::string("UnifiedUpgradeComponent::") + m_literals.szClassName + "::" + szOperation;
}

std::string CModuleUpgradeBase::StatusCondition() const {
    std::string strCondition = "module_identity = '" + CSqlText::Escape(MODULE_IDENTITY) + "'";
    if (m_literals.szVersionNo != nullptr)
        strCondition += " AND version_no = '" + CSqlText::Escape(m_literals.szVersionNo) + "'";
    return strCondition;
}

bool CModuleUpgradeBase::UpgradeCourse_Config_UpgradeBySQLFile(int& nErrorCode, std::string& strErrorInfo,
                                                               db_layer::DBParam /*dbParam*/,
                                                               DBAccessConnPtr pConn) {
    return RunScriptFile(nErrorCode, strErrorInfo, pConn, "UpgradeCourse_Config");
}

bool CModuleUpgradeBase::RunScriptFile(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                       const char* szOperation) {
    std::string strScript;
    SScriptOrigin origin;
    // An unreadable script runs as an empty text: the database layer reports it.
    ReadScriptFile(strScript, ScriptPath(), "", origin);
    return ScriptHistory(szOperation).Run(nErrorCode, strErrorInfo, origin, pConn, [&] {
        if (pConn->ExecuteHelper(strScript)) return true;
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR,
                    "[%s][ExecuteHelper] ExecuteTransaction failed,sql:[%s], Error Code:%d, Error Info:%s.[%s(%d)]",
                    QualifiedName("UpgradeCourse_Config_UpgradeBySQLFile").c_str(), strScript.c_str(), nErrorCode,
                    strErrorInfo.c_str());
        });
    });
}

bool CModuleUpgradeBase::RunStepScript(int& nErrorCode, std::string& strErrorInfo,
                                       const db_layer::DBParam& /*dbParam*/, DBAccessConnPtr pConn,
                                       const char* szOperation) {
    if (RunScriptFile(nErrorCode, strErrorInfo, pConn, szOperation)) return true;
    UPG_LOG(LOG_ERROR, "[%s]UpgradeCourse_Config_UpgradeBySQLFile failed, Error Code:%d, Error Info:%s.[%s(%d)]",
            QualifiedName(szOperation).c_str(), nErrorCode, strErrorInfo.c_str());
    return false;
}

CScriptHistory CModuleUpgradeBase::ScriptHistory(const char* szOperation) const {
    return CScriptHistory(m_literals.szToVersion, szOperation, QualifiedName(szOperation));
}

bool CModuleUpgradeBase::RunOnce(int& nErrorCode, std::string& strErrorInfo, const char* szPart,
                                 const char* szOperation, DBAccessConnPtr pConn,
                                 const std::function<bool()>& fnWork) const {
    return CPassMarker(m_literals.szToVersion, QualifiedName(szOperation))
        .RunOnce(nErrorCode, strErrorInfo, szPart, pConn, fnWork);
}

void CModuleUpgradeBase::SetUpgradeFinished(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    // Every row of the module: the reached version is the module's, whatever row a step narrows to elsewhere.
    const std::string strSql = str_fmt(
        "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
        "rate_progress = -1, step_ver%s= '%s' WHERE module_identity = '%s';",
        m_literals.szStepVerGap, CSqlText::Escape(m_literals.szToVersion).c_str(),
        CSqlText::Escape(MODULE_IDENTITY).c_str());
    if (!pConn->ExecuteHelper(strSql)) pConn->GetLastError(nErrorCode, strErrorInfo);
}

void CModuleUpgradeBase::SetUpgradeStarted(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    const std::string strSql = str_fmt(
        "UPDATE platform.module_version_status SET install_time = clock_timestamp(), status = 2, schedule = 0, "
        "rate_progress = 0 WHERE module_identity = '%s';",
        CSqlText::Escape(MODULE_IDENTITY).c_str());
    if (!pConn->ExecuteHelper(strSql)) pConn->GetLastError(nErrorCode, strErrorInfo);
}

bool CModuleUpgradeBase::SetUpgradeProgress(int& nErrorCode, std::string& strErrorInfo, int nSchedule,
                                            int nRateProgress, DBAccessConnPtr pConn) {
    const std::string strSql =
        str_fmt("UPDATE platform.module_version_status SET schedule = %d, rate_progress = %d WHERE %s;", nSchedule,
                nRateProgress, StatusCondition().c_str());
    if (pConn->ExecuteHelper(strSql)) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CModuleUpgradeBase::QueryUpgradeStatus(int& nErrorCode, std::string& strErrorInfo, int* pStatus,
                                            int* pSchedule, int* pRateProgress, DBAccessConnPtr pConn) {
    const std::string strSql =
        str_fmt("SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE %s;",
                StatusCondition().c_str());
    // The last row wins; with no row the caller's values stay.
    auto fnReader = [pStatus, pSchedule, pRateProgress](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            *pStatus = conn.GetInt("status");
            *pSchedule = conn.GetInt("schedule");
            *pRateProgress = conn.GetInt("rate_progress");
            conn.MoveNext();
        }
    };
    if (pConn->ExecuteQuery(strSql, fnReader)) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CModuleUpgradeBase::QueryMaxValue(int& nErrorCode, std::string& strErrorInfo, int* pMax, std::string strTable,
                                       std::string strColumn, DBAccessConnPtr pConn) {
    const std::string strSql = str_fmt("SELECT max(%s) FROM %s;", strColumn.c_str(), strTable.c_str());
    if (pConn->ExecuteQuery(strSql, RowReaders::LastInt("max", *pMax))) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CModuleUpgradeBase::QueryMinValue(int& nErrorCode, std::string& strErrorInfo, int* pMin, std::string strTable,
                                       std::string strColumn, DBAccessConnPtr pConn) {
    const std::string strSql = str_fmt("SELECT min(%s) FROM %s;", strColumn.c_str(), strTable.c_str());
    if (pConn->ExecuteQuery(strSql, RowReaders::LastInt("min", *pMin))) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CModuleUpgradeBase::QueryMaxMinValue(int& nErrorCode, std::string& strErrorInfo, int* pMax, int* pMin,
                                          std::string strTable, std::string strColumn, DBAccessConnPtr pConn) {
    return QueryMaxValue(nErrorCode, strErrorInfo, pMax, strTable, strColumn, pConn) &&
           QueryMinValue(nErrorCode, strErrorInfo, pMin, strTable, strColumn, pConn);
}

}  // namespace UnifiedUpgradeComponent
