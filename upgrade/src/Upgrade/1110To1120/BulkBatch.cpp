#include "Upgrade/1110To1120/BulkBatch.h"

namespace UnifiedUpgradeComponent {

bool CBulkBatch::Failed() {
    m_bRefused = true;
    m_pConn->GetLastError(m_nRefusalCode, m_strRefusalText);
    // Not quiet: only the refused statement is answered by the redo.
    const bool bRolledBack = m_pConn->Rollback();
    m_bTakeBackFailed = !(bRolledBack && m_pConn->BeginTransaction());
    m_bActive = false;
    return false;
}

bool CBulkBatch::Query(const std::string& strSql, const std::function<bool(db_layer::CConnect&)>& fnReader) {
    if (!m_bActive) return false;
    bool bAsked = false;
    const auto fnRead = [&](db_layer::CConnect& conn) { bAsked = fnReader(conn); };
    if (m_pConn->Quietly([&] { return m_pConn->ExecuteQuery(strSql, fnRead); }) && bAsked) return true;
    return Failed();
}

bool CBulkBatch::Execute(const std::string& strSql) {
    if (!m_bActive) return false;
    return m_pConn->Quietly([&] { return m_pConn->ExecuteHelper(strSql); }) || Failed();
}

bool CBulkBatch::TakenBack(int& nErrorCode, std::string& strErrorInfo) {
    return !m_bTakeBackFailed || m_pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

}  // namespace UnifiedUpgradeComponent
