#include "Upgrade/1110To1120/BulkBatch.h"

namespace UnifiedUpgradeComponent {

// bAnswered: the statement went through but its rows were not those asked for.
bool CBulkBatch::Failed(bool bAnswered) {
    m_bRefused = true;
    m_pConn->GetLastError(m_nRefusalCode, m_strRefusalText);
    if (bAnswered) {
        m_nRefusalCode = 0;
        m_strRefusalText = "the rows it answered were not those asked for";
    }
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
    const bool bAnswered = m_pConn->Quietly([&] { return m_pConn->ExecuteQuery(strSql, fnRead); });
    return (bAnswered && bAsked) || Failed(bAnswered);
}

bool CBulkBatch::Execute(const std::string& strSql) {
    if (!m_bActive) return false;
    return m_pConn->Quietly([&] { return m_pConn->ExecuteHelper(strSql); }) || Failed(false);
}

bool CBulkBatch::TakenBack(int& nErrorCode, std::string& strErrorInfo) {
    return !m_bTakeBackFailed || m_pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

}  // namespace UnifiedUpgradeComponent
