// The connections a run hands to the plug-in: first, second and (optionally)
// third, opened from libpq connection strings before anything is sent. Owns
// them for the whole run; the plug-in only borrows the raw pointers.
#pragma once
#include <memory>
#include <string>

#include "db_layer/CConnect.h"
#include "db_layer/DBParam.h"

namespace VisitorUpgradeHost {

class CHostConnections {
public:
    // Opens all connections that the run needs; the first failure gives a line
    // naming the option ("--db1") and libpq's reason.
    bool Open(const std::string& strDb1, const std::string& strDb2, bool bHasDb3, const std::string& strDb3,
              std::string& strError);

    // On every open connection: a lock_timeout of nLockTimeoutMs when it is above 0
    // (a statement waiting longer for a lock fails with SQLSTATE 55P03), and its
    // server process id for the lock watch. Sets nothing in any table.
    bool Prepare(long long nLockTimeoutMs, std::string& strError);

    db_layer::CConnect* First() { return m_pFirst.get(); }
    db_layer::CConnect* Second() { return m_pSecond.get(); }
    db_layer::CConnect* Third() { return m_pThird.get(); }  // null without --db3
    // Server process ids after Prepare; 0 for a connection not opened.
    int FirstPid() const { return m_anPids[0]; }
    int SecondPid() const { return m_anPids[1]; }
    int ThirdPid() const { return m_anPids[2]; }

    // host, port, user and password of the first connection as libpq resolved them.
    db_layer::DBParam Param() const { return m_pFirst->GetParam(); }

    // Opens one connection; shared with the status command and the progress monitor.
    static std::unique_ptr<db_layer::CConnect> OpenOne(const std::string& strConnInfo, const std::string& strOption,
                                                       std::string& strError);

private:
    std::unique_ptr<db_layer::CConnect> m_pFirst;
    std::unique_ptr<db_layer::CConnect> m_pSecond;
    std::unique_ptr<db_layer::CConnect> m_pThird;
    int m_anPids[3] = {0, 0, 0};
};

}  // namespace VisitorUpgradeHost
