// The command's interface: parses argv with CLI11 into the options of one
// invocation and checks the values before anything is sent. Owns nothing
// beyond the parsed values; a usage error is reported as one line and the exit
// code the contract gives it (2), help as exit 0. A password written into a
// connection string draws a warning; the invocation goes on.
#pragma once
#include <string>
#include <vector>

#include "PlanCommand.h"
#include "VersionArgument.h"

namespace VisitorUpgradeHost {

enum class ECommand { kNone, kVersion, kRun, kStatus, kVerify, kPlan };

struct SRunOptions {
    std::string strFrom;  // as typed: handed to the plug-in and stored as step_ver
    CVersionArgument from;
    std::vector<std::string> vecPasses;
    std::string strDb1;
    std::string strDb2;  // empty: a second connection with db1's conninfo
    std::string strDb3;  // empty: no third connection
    bool bHasDb2 = false;
    bool bHasDb3 = false;
    std::string strWorkdir;
    std::string strLibrary;  // empty: the plug-in beside the command
    std::string strLogFile;  // empty: stderr
    std::string strProgressJson;  // empty: no JSON progress lines
    int nLogLevel = 3;
    std::string strLockTimeout;   // as typed, for messages
    long long nLockTimeoutMs = 0;  // 0: wait as long as it takes
    bool bAllowChangedScripts = false;  // run scripts that changed since they ran successfully
    bool bBulk = false;  // records passes copy set-based (VSU_BULK=1 for the plug-in)
};

struct SStatusOptions {
    std::string strDb1;
};

struct SVerifyOptions {
    std::string strDb1;
    std::string strDb3;
    bool bHasDb3 = false;  // false: the incremental database is not checked
    bool bJson = false;
};

class CCommandLine {
public:
    // Parses; on false, nExitCode is what main returns (0 after help, 2 on a usage error).
    bool Parse(int argc, char** argv, int& nExitCode);

    ECommand Command() const { return m_eCommand; }
    const SRunOptions& Run() const { return m_run; }
    const SStatusOptions& Status() const { return m_status; }
    const SVerifyOptions& Verify() const { return m_verify; }
    const SPlanOptions& Plan() const { return m_plan; }
    const std::string& VersionLibrary() const { return m_strVersionLibrary; }

    // True for the passes that hand the plug-in a third connection it must have.
    static bool NeedsThirdConnection(const std::string& strPass);

private:
    ECommand m_eCommand = ECommand::kNone;
    SRunOptions m_run;
    SStatusOptions m_status;
    SVerifyOptions m_verify;
    SPlanOptions m_plan;
    std::string m_strVersionLibrary;
};

}  // namespace VisitorUpgradeHost
