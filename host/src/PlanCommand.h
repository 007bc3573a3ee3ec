// `visitor-upgrade plan`: what a run from the installed version would do, read
// without writing anything (its connections run read-only): the chain's steps
// and passes, every delivered script with size, SHA-256 and what the script
// history says of it, the rows each records pass converts and where an
// interrupted one resumes. Owns its connections for the one invocation.
// Exit codes: 0 runnable; 1 the upgrade would fail (listed); 2 connection.
#pragma once
#include <string>
#include <vector>

#include "VersionArgument.h"
#include "db_layer/CConnect.h"

namespace VisitorUpgradeHost {

struct SPlanOptions {
    std::string strDb1;
    std::string strDb3;  // empty: the incremental passes are not planned
    std::string strFrom;  // empty: the installed version from the status row
    CVersionArgument from;
    std::string strWorkdir;
    bool bJson = false;
};

class CPlanCommand {
public:
    explicit CPlanCommand(SPlanOptions options);
    int Execute();

private:
    struct SScriptLine {
        std::string strPass;
        std::string strPath;  // as the operator finds it
        size_t nSize = 0;
        std::string strSha256;
        std::string strHistory;  // "not run before", "ran on <time> with this checksum", "changed since ..."
    };
    struct SStepLine {
        std::string strFrom;
        std::string strTo;
        std::string strClass;
        std::vector<std::string> vecPasses;
        std::vector<SScriptLine> vecScripts;
        std::string strTable;  // the records pass's source table; "" when it walks none
        long long nRows = -1;  // -1: the table is not there
        std::string strResume;  // "resumes at id N of M" for an interrupted pass
    };

    // Fills the plan; 2 when a database cannot be read, else 0 (problems listed in m_vecProblems).
    int Collect(db_layer::CConnect& db1, db_layer::CConnect* pDb3);
    void PrintText() const;
    void PrintJson() const;

    const SPlanOptions m_options;
    std::string m_strInstalled;
    std::string m_strInstalledFrom;  // "status row" or "--from"
    std::vector<SStepLine> m_vecSteps;
    std::vector<std::string> m_vecProblems;
};

}  // namespace VisitorUpgradeHost
