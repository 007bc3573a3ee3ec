#include "Upgrade/1110To1120/DatabaseIdentity.h"

namespace UnifiedUpgradeComponent {

namespace {
// The start time is written in UTC with microseconds, so that sessions with
// other TimeZone or DateStyle settings give the same text for one server.
const char* const kSelectIdentity =
    "SELECT current_database() AS db_name, (SELECT oid FROM pg_database WHERE datname = current_database())::text "
    "AS db_oid, to_char(pg_postmaster_start_time() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US') AS started;";
}  // namespace

bool CDatabaseIdentity::Read(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    m_bRead = false;
    const bool bOk = pConn->ExecuteQuery(kSelectIdentity, [this](db_layer::CConnect& conn) {
        if (conn.IsEOF()) return;
        m_strName = conn.GetString("db_name");
        m_strOid = conn.GetString("db_oid");
        m_strStarted = conn.GetString("started");
        m_bRead = !m_strName.empty() && !m_strOid.empty() && !m_strStarted.empty();
    });
    return bOk || pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CDatabaseIdentity::SameAs(const CDatabaseIdentity& other) const {
    return m_bRead && other.m_bRead && m_strName == other.m_strName && m_strOid == other.m_strOid &&
           m_strStarted == other.m_strStarted;
}

std::string CDatabaseIdentity::Describe() const {
    return m_strName + " (oid " + m_strOid + ", server started " + m_strStarted + " UTC)";
}

}  // namespace UnifiedUpgradeComponent
