#include "Upgrade/PassMarker.h"

#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

namespace {
const char* const kCreateMarkTable =
    "CREATE TABLE IF NOT EXISTS visitor.module_upgrade_marker(step_ver varchar(16) NOT NULL, pass_part varchar(64) "
    "NOT NULL, done_time timestamp NOT NULL, PRIMARY KEY (step_ver, pass_part));";
const char* const kSelectMarks = "SELECT pass_part FROM visitor.module_upgrade_marker WHERE step_ver = '%s';";
const char* const kInsertMark =
    "INSERT INTO visitor.module_upgrade_marker(step_ver, pass_part, done_time) VALUES ('%s', '%s', "
    "clock_timestamp());";
}  // namespace

CPassMarker::CPassMarker(std::string strStepVer, std::string strOwner)
    : m_strStepVer(std::move(strStepVer)), m_strOwner(std::move(strOwner)) {}

bool CPassMarker::Read(int& nErrorCode, std::string& strErrorInfo, std::set<std::string>& setParts,
                       DBAccessConnPtr pConn) {
    const std::string strSelect =
        Qarn::Base::StringUtil::str_fmt(kSelectMarks, CSqlText::Escape(m_strStepVer).c_str());
    const bool bOk = pConn->ExecuteHelper(kCreateMarkTable) &&
                     pConn->ExecuteQuery(strSelect, [&setParts](db_layer::CConnect& conn) {
                         for (; !conn.IsEOF(); conn.MoveNext()) setParts.insert(conn.GetString("pass_part"));
                     });
    if (bOk) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, "[%s]Read configuration pass marks failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                m_strOwner.c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool CPassMarker::Write(int& nErrorCode, std::string& strErrorInfo, const char* szPart, DBAccessConnPtr pConn) {
    const std::string strInsert = Qarn::Base::StringUtil::str_fmt(kInsertMark, CSqlText::Escape(m_strStepVer).c_str(),
                                                                  CSqlText::Escape(szPart).c_str());
    if (pConn->ExecuteHelper(strInsert)) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, "[%s]Write configuration pass mark %s failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                m_strOwner.c_str(), szPart, nErrorCode, strErrorInfo.c_str());
    });
}

bool CPassMarker::Fail(int& nErrorCode, std::string& strErrorInfo, const char* szWhat, const char* szPart,
                       DBAccessConnPtr pConn) {
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, "[%s]%s of %s %s failed, Error Code:%d, Error Info:%s.[%s(%d)]", m_strOwner.c_str(), szWhat,
                m_strStepVer.c_str(), szPart, nErrorCode, strErrorInfo.c_str());
    });
}

bool CPassMarker::RunOnce(int& nErrorCode, std::string& strErrorInfo, const char* szPart, DBAccessConnPtr pConn,
                          const std::function<bool()>& fnWork) {
    return RunOnceWithMarks(nErrorCode, strErrorInfo, szPart, pConn,
                            [&fnWork](const std::set<std::string>&) { return fnWork(); });
}

bool CPassMarker::RunOnceWithMarks(int& nErrorCode, std::string& strErrorInfo, const char* szPart,
                                   DBAccessConnPtr pConn,
                                   const std::function<bool(const std::set<std::string>&)>& fnWork) {
    std::set<std::string> setDone;
    if (!Read(nErrorCode, strErrorInfo, setDone, pConn)) return false;
    if (setDone.count(szPart) > 0) {
        UPG_LOG(LOG_INFO, "[%s]%s %s was done before on this database, not done again.[%s(%d)]", m_strOwner.c_str(),
                m_strStepVer.c_str(), szPart);
        return true;
    }
    if (!pConn->BeginTransaction()) return Fail(nErrorCode, strErrorInfo, "Begin transaction", szPart, pConn);
    if (!fnWork(setDone) || !Write(nErrorCode, strErrorInfo, szPart, pConn)) {
        // A failed rollback changes nothing: the server ends the transaction with the connection.
        pConn->Rollback();
        return false;
    }
    if (!pConn->Commit()) return Fail(nErrorCode, strErrorInfo, "Commit", szPart, pConn);
    return true;
}

}  // namespace UnifiedUpgradeComponent
