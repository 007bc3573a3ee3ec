// The run history of delivered scripts: every script a pass sends is recorded
// with its path, SHA-256, time and outcome in the database it ran on, beside the
// pass marks. Borrows the wrapper it is given; holds only the step's names.
#pragma once
#include <functional>
#include <string>

#include "Upgrade/DBAccessConn.h"
#include "Upgrade/ScriptFile.h"

namespace UnifiedUpgradeComponent {

class CScriptHistory {
public:
    static constexpr const char* kSucceeded = "success";
    static constexpr const char* kFailed = "failure";

    // strStepVer: the step's to-version; strPass: the operation that runs the
    // script ("UpgradeCourse_Config"); strOwner: its qualified name, for log lines.
    CScriptHistory(std::string strStepVer, std::string strPass, std::string strOwner);

    // Runs fnScript (which sends the script read from origin on pConn's
    // connection and, failing, fills the error fields and logs its own lines)
    // and records its outcome. A success is recorded in the script's own
    // transaction when one is open, so it commits or rolls back with it; a
    // failure inside a transaction is recorded after rolling it back, so it
    // survives, and a new empty transaction is left open for the caller's
    // bracket to end. False when the script or its success record failed.
    bool Run(int& nErrorCode, std::string& strErrorInfo, const SScriptOrigin& origin, DBAccessConnPtr pConn,
             const std::function<bool()>& fnScript) const;

private:
    bool Record(const SScriptOrigin& origin, const char* szOutcome, DBAccessConnPtr pConn) const;

    std::string m_strStepVer;
    std::string m_strPass;
    std::string m_strOwner;
};

}  // namespace UnifiedUpgradeComponent
