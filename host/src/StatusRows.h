// The module's rows of platform.module_version_status as the host sees them:
// makes sure the row the chain's status statements need exists before a run,
// and reads the rows for the status command and the progress line. Stateless;
// works on a connection the caller owns and is not using meanwhile.
#pragma once
#include <string>
#include <vector>

#include "db_layer/CConnect.h"

namespace VisitorUpgradeHost {

struct SStatusRow {
    std::string strVersionNo;
    std::string strStatus;
    std::string strSchedule;
    std::string strRateProgress;
    std::string strStepVer;
    std::string strInstallTime;
    std::string strAchieveTime;
};

class CStatusRows {
public:
    // The version_no that the approval migration narrows its status statements to.
    static constexpr const char* kNarrowedVersionNo = "1.12.0";

    // Inserts the module's '1.12.0' row when it is missing, copying the values
    // of an existing row of the module (so all rows stay alike) or starting at
    // status 0 with step_ver = strFromVersion. bInserted tells whether it did.
    static bool Ensure(db_layer::CConnect& conn, const std::string& strModule, const std::string& strFromVersion,
                       bool& bInserted, std::string& strError);

    // Every row of the module, ordered by version_no.
    static bool Read(db_layer::CConnect& conn, const std::string& strModule, std::vector<SStatusRow>& vecRows,
                     std::string& strError);

    // "version_no=... status=... schedule=... rate_progress=... step_ver=... install_time=... achieve_time=...",
    // each value escaped (CEscapedText).
    static std::string Format(const SStatusRow& row);
};

}  // namespace VisitorUpgradeHost
