// One `visitor-upgrade run`: loads the plug-in, checks that a chain starts at
// --from, opens the connections, takes the module lock, checks that every
// delivered script the chain will read is there, prepares the status rows and
// calls the passes in the order given, stopping at the first that fails. Owns everything
// it opens for the run.
// Exit codes: 0 every pass true; 1 a pass (or the status preparation) failed,
// or a delivered script is missing, unreadable or empty, or changed since it
// ran successfully without --allow-changed-scripts (then nothing was sent); 2 usage, version, connection, plug-in or lock problems before
// anything was sent.
#pragma once
#include <string>

#include "CommandLine.h"
#include "ScriptCheck.h"

namespace VisitorUpgradeHost {

class CHostConnections;
class CLogRouter;
class CPluginLibrary;
class CProgressMonitor;

class CUpgradeRun {
public:
    explicit CUpgradeRun(SRunOptions options);
    int Execute();

private:
    // The version checks that need the plug-in but no database; nExitCode on false.
    // Sets m_nChainStart when the plug-in is the one the step table describes.
    bool CheckChain(CPluginLibrary& plugin, int& nExitCode);
    // The module lock taken with --db2 and --db3 too: the records passes write
    // into the database of --db2, which another run must not be upgrading. The
    // lock is per database, so a holder that is this run's own first
    // connection means --db2 names --db1's database. The incremental passes read the incremental database and remove
    // what they moved from it (the step to 1.14.0 empties its template table):
    // on the database of --db1 or --db2 they would wait for the run's own locks
    // or empty the module's templates, so there any holder ends the run (exit 2).
    bool TakeLockOnOthers(CHostConnections& conns, int& nExitCode) const;
    // False (exit 1, one line naming it) when a script of the run ran successfully
    // before on the database it goes to with other bytes than it has now.
    bool CheckUnchanged(CHostConnections& conns, int& nExitCode) const;
    // The one line of a failed pass: the script and its line where the failing
    // statement was one, the table and holder where a lock wait timed out.
    // bReportedSuccess: the plug-in returned true past a statement that timed out.
    std::string PassFailure(const std::string& strPass, bool bReportedSuccess, int nCode, const std::string& strText,
                            const CLogRouter& router, const CProgressMonitor& monitor) const;

    const SRunOptions m_options;
    int m_nChainStart = -1;  // -1: the scripts are not checked
    CScriptCheck m_scripts;
};

}  // namespace VisitorUpgradeHost
