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

    db_layer::CConnect* First() { return m_pFirst.get(); }
    db_layer::CConnect* Second() { return m_pSecond.get(); }
    db_layer::CConnect* Third() { return m_pThird.get(); }  // null without --db3

    // host, port, user and password of the first connection as libpq resolved them.
    db_layer::DBParam Param() const { return m_pFirst->GetParam(); }

    // Opens one connection; shared with the status command and the progress monitor.
    static std::unique_ptr<db_layer::CConnect> OpenOne(const std::string& strConnInfo, const std::string& strOption,
                                                       std::string& strError);

private:
    std::unique_ptr<db_layer::CConnect> m_pFirst;
    std::unique_ptr<db_layer::CConnect> m_pSecond;
    std::unique_ptr<db_layer::CConnect> m_pThird;
};

}  // namespace VisitorUpgradeHost
