#include "Upgrade/1110To1120/BulkBatch.h"

namespace UnifiedUpgradeComponent {

bool CBulkBatch::Failed() {
    // Where these fail too (the connection is gone), the default way that follows
    // fails on its first statement and reports that, as the default mode would.
    m_pConn->Quietly([this] {
        const bool bRolledBack = m_pConn->Rollback();
        return m_pConn->BeginTransaction() && bRolledBack;
    });
    m_pConn.reset();
    return false;
}

bool CBulkBatch::Query(const std::string& strSql, const std::function<bool(db_layer::CConnect&)>& fnReader) {
    if (m_pConn == nullptr) return false;
    bool bAsked = false;
    const auto fnRead = [&](db_layer::CConnect& conn) { bAsked = fnReader(conn); };
    if (m_pConn->Quietly([&] { return m_pConn->ExecuteQuery(strSql, fnRead); }) && bAsked) return true;
    return Failed();
}

bool CBulkBatch::Execute(const std::string& strSql) {
    if (m_pConn == nullptr) return false;
    return m_pConn->Quietly([&] { return m_pConn->ExecuteHelper(strSql); }) || Failed();
}

}  // namespace UnifiedUpgradeComponent
