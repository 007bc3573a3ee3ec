// Which database a connection reaches: its name and oid and the start time of
// its server, read with one query through a wrapper (no superuser needed).
// Two connections reach the same database when both were read and all three
// values agree; the start time tells two servers with the same names apart.
#pragma once
#include <string>

#include "Upgrade/DBAccessConn.h"

namespace UnifiedUpgradeComponent {

class CDatabaseIdentity {
public:
    // One query on pConn; on failure the wrapper's error is copied into the error fields.
    bool Read(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    // False when either side gave no row: an identity not known is never the same.
    bool SameAs(const CDatabaseIdentity& other) const;
    // "name (oid N, server started T)", for log lines.
    std::string Describe() const;

private:
    bool m_bRead = false;
    std::string m_strName;
    std::string m_strOid;
    std::string m_strStarted;
};

}  // namespace UnifiedUpgradeComponent
