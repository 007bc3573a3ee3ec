#include "Upgrade/1110To1120/BulkBatch.h"

namespace UnifiedUpgradeComponent {

bool CBulkBatch::Failed() {
    // Where these fail too (the connection is gone), the default way that follows
    // fails on its first statement and reports that, as the default mode would.
    m_pConn->Rollback();
    m_pConn->BeginTransaction();
    m_pConn = nullptr;
    return false;
}

bool CBulkBatch::Query(const std::string& strSql, const std::function<bool(db_layer::CConnect&)>& fnReader) {
    if (m_pConn == nullptr) return false;
    if (m_pConn->Query(strSql) && fnReader(*m_pConn)) return true;
    return Failed();
}

bool CBulkBatch::Execute(const std::string& strSql) {
    if (m_pConn == nullptr) return false;
    return m_pConn->Execute(strSql) || Failed();
}

}  // namespace UnifiedUpgradeComponent
