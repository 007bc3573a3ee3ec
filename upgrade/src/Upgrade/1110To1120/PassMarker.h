// Marks of the parts of a configuration pass that took effect on a database, so
// that a repeated pass (the host repeats it after a later step failed) leaves
// them as the first run left them. A mark is written in the transaction of the
// work it marks; the marks live in the database beside the data they guard.
#pragma once
#include <set>
#include <string>

#include "Upgrade/DBAccessConn.h"

namespace UnifiedUpgradeComponent {

class CPassMarker {
public:
    static constexpr const char* kCheckPoints = "check_point_rebuild";
    static constexpr const char* kSelfAppointFlags = "self_appoint_check_inversion";

    // szStepVer: the version the marks belong to ("1.12.0"); szOwner: the
    // qualified name of the pass, for log lines.
    CPassMarker(const char* szStepVer, std::string strOwner);

    // Creates the mark table when missing and reads the step's marks.
    bool Read(int& nErrorCode, std::string& strErrorInfo, std::set<std::string>& setParts, DBAccessConnPtr pConn);
    // Inserts the mark of one part; the caller holds the transaction of that part.
    bool Write(int& nErrorCode, std::string& strErrorInfo, const char* szPart, DBAccessConnPtr pConn);

private:
    const char* m_szStepVer;
    std::string m_strOwner;
};

}  // namespace UnifiedUpgradeComponent
