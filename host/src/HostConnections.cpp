#include "HostConnections.h"

#include "OneLine.h"

namespace VisitorUpgradeHost {

std::unique_ptr<db_layer::CConnect> CHostConnections::OpenOne(const std::string& strConnInfo,
                                                              const std::string& strOption, std::string& strError) {
    auto pConn = std::make_unique<db_layer::CConnect>();
    if (!pConn->Open(strConnInfo)) {
        std::string strReason;
        pConn->GetLastError(strReason);
        // libpq's messages end with a newline and may span lines; one line is promised.
        strReason = COneLine::Of(strReason);
        strError = "cannot connect with " + strOption + ": " + strReason;
        return nullptr;
    }
    return pConn;
}

bool CHostConnections::Open(const std::string& strDb1, const std::string& strDb2, bool bHasDb3,
                            const std::string& strDb3, std::string& strError) {
    m_pFirst = OpenOne(strDb1, "--db1", strError);
    if (!m_pFirst) return false;
    m_pSecond = OpenOne(strDb2, "--db2", strError);
    if (!m_pSecond) return false;
    if (bHasDb3) {
        m_pThird = OpenOne(strDb3, "--db3", strError);
        if (!m_pThird) return false;
    }
    return true;
}

bool CHostConnections::Prepare(long long nLockTimeoutMs, std::string& strError) {
    db_layer::CConnect* apConns[] = {m_pFirst.get(), m_pSecond.get(), m_pThird.get()};
    const char* aszOptions[] = {"--db1", "--db2", "--db3"};
    // Milliseconds as a number: nothing of the operator's text reaches the statement.
    const std::string strSql = (nLockTimeoutMs > 0 ? "SET lock_timeout = " + std::to_string(nLockTimeoutMs) + "; "
                                                   : std::string()) +
                               "SELECT pg_backend_pid() AS pid;";
    for (int i = 0; i < 3; ++i) {
        if (apConns[i] == nullptr) continue;
        if (!apConns[i]->Query(strSql) || apConns[i]->IsEOF()) {
            std::string strReason;
            apConns[i]->GetLastError(strReason);
            strError = "cannot prepare the session of " + std::string(aszOptions[i]) + ": " + COneLine::Of(strReason);
            return false;
        }
        m_anPids[i] = apConns[i]->GetInt("pid");
    }
    return true;
}

}  // namespace VisitorUpgradeHost
