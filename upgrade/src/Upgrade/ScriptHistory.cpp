#include "Upgrade/ScriptHistory.h"

#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

namespace {
const char* const kCreateHistoryTable =
    "CREATE TABLE IF NOT EXISTS visitor.module_upgrade_script_history(path text NOT NULL, sha256 char(64) NOT NULL, "
    "run_time timestamp NOT NULL, outcome varchar(16) NOT NULL, step_ver varchar(16) NOT NULL, pass varchar(64) NOT "
    "NULL);";
// transaction_timestamp() is the statement's own time only when the statement
// opened the transaction, i.e. when no transaction block is open.
const char* const kInTransactionQuery =
    "SELECT (transaction_timestamp() <> statement_timestamp())::int AS in_transaction;";
const char* const kInsertRun =
    "INSERT INTO visitor.module_upgrade_script_history(path, sha256, run_time, outcome, step_ver, pass) VALUES ('%s', "
    "'%s', clock_timestamp(), '%s', '%s', '%s');";
}  // namespace

CScriptHistory::CScriptHistory(std::string strStepVer, std::string strPass, std::string strOwner)
    : m_strStepVer(std::move(strStepVer)), m_strPass(std::move(strPass)), m_strOwner(std::move(strOwner)) {}

bool CScriptHistory::Record(const SScriptOrigin& origin, const char* szOutcome, DBAccessConnPtr pConn) const {
    const std::string strInsert = Qarn::Base::StringUtil::str_fmt(
        kInsertRun, CSqlText::Escape(origin.strPath).c_str(), CSqlText::Escape(origin.strSha256).c_str(), szOutcome,
        CSqlText::Escape(m_strStepVer).c_str(), CSqlText::Escape(m_strPass).c_str());
    return pConn->ExecuteHelper(kCreateHistoryTable) && pConn->ExecuteHelper(strInsert);
}

bool CScriptHistory::Run(int& nErrorCode, std::string& strErrorInfo, const SScriptOrigin& origin,
                         DBAccessConnPtr pConn, const std::function<bool()>& fnScript) const {
    int nInTransaction = 0;
    if (!pConn->ExecuteQuery(kInTransactionQuery, RowReaders::LastInt("in_transaction", nInTransaction))) {
        pConn->GetLastError(nErrorCode, strErrorInfo);
        return false;
    }
    if (fnScript()) {
        if (Record(origin, kSucceeded, pConn)) return true;
        pConn->GetLastError(nErrorCode, strErrorInfo);
        UPG_LOG(LOG_ERROR, "[%s]Record of script %s failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                m_strOwner.c_str(), origin.strPath.c_str(), nErrorCode, strErrorInfo.c_str());
        return false;
    }
    // The script's error stays in the caller's fields whatever the record gives.
    // No autonomous transactions: a failure row written inside the caller's
    // transaction would die with the rollback that follows every failed script,
    // so the transaction is ended here and the caller's bracket gets an empty one.
    const bool bRecorded = (nInTransaction == 0 || pConn->Rollback()) && Record(origin, kFailed, pConn);
    if (nInTransaction != 0) pConn->BeginTransaction();
    if (!bRecorded) {
        UPG_LOG(LOG_WARN, "[%s]The failure of script %s could not be recorded.[%s(%d)]", m_strOwner.c_str(),
                origin.strPath.c_str());
    }
    return false;
}

}  // namespace UnifiedUpgradeComponent
