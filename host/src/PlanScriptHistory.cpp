#include "PlanScriptHistory.h"

#include "OneLine.h"

namespace VisitorUpgradeHost {

namespace {
// The table exists only once the plug-in ran a script on the database.
const char* const kHistoryQuery =
    "SELECT DISTINCT ON (path) path, sha256, to_char(run_time, 'YYYY-MM-DD HH24:MI:SS') AS run_time "
    "FROM visitor.module_upgrade_script_history WHERE outcome = 'success' ORDER BY path, run_time DESC;";
const char* const kHistoryExists =
    "SELECT (to_regclass('visitor.module_upgrade_script_history') IS NOT NULL)::int AS present;";
}  // namespace

bool CPlanScriptHistory::Read(db_layer::CConnect& conn, std::string& strError) {
    m_mapRuns.clear();
    if (!conn.Query(kHistoryExists) || conn.IsEOF()) {
        conn.GetLastError(strError);
        strError = COneLine::Of(strError);
        return false;
    }
    if (conn.GetInt("present") == 0) return true;
    if (!conn.Query(kHistoryQuery)) {
        conn.GetLastError(strError);
        strError = COneLine::Of(strError);
        return false;
    }
    for (; !conn.IsEOF(); conn.MoveNext()) {
        m_mapRuns[conn.GetString("path")] = SRun{conn.GetString("sha256"), conn.GetString("run_time")};
    }
    return true;
}

const CPlanScriptHistory::SRun* CPlanScriptHistory::LastRun(const CScriptCheck::SScript& script) const {
    const auto it = m_mapRuns.find(script.strPath);
    return it == m_mapRuns.end() ? nullptr : &it->second;
}

bool CPlanScriptHistory::Changed(const CScriptCheck::SScript& script) const {
    const SRun* pRun = LastRun(script);
    return pRun != nullptr && pRun->strSha256 != script.strSha256;
}

}  // namespace VisitorUpgradeHost
