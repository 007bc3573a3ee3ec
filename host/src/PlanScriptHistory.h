// What the plug-in's script history in one database says about the delivered
// scripts: the latest successful run of each path, with its checksum and time.
// Read-only; works on a connection the caller owns. Shared by `plan` (which
// shows it) and `run` (which refuses to start when a script has changed).
#pragma once
#include <map>
#include <string>

#include "ScriptCheck.h"
#include "db_layer/CConnect.h"

namespace VisitorUpgradeHost {

class CPlanScriptHistory {
public:
    struct SRun {
        std::string strSha256;
        std::string strTime;  // "YYYY-MM-DD HH:MI:SS"
    };

    // Reads the latest successful run of every path; a database without the
    // history table has none. False with the server's reason.
    bool Read(db_layer::CConnect& conn, std::string& strError);

    // The latest successful run of the script's path; null when it never ran here.
    const SRun* LastRun(const CScriptCheck::SScript& script) const;
    // True when the script ran here successfully with other bytes than it has now.
    bool Changed(const CScriptCheck::SScript& script) const;

private:
    std::map<std::string, SRun> m_mapRuns;
};

}  // namespace VisitorUpgradeHost
