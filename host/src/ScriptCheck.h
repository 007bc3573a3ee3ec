// The delivered scripts of one run, found and read before anything is sent, the
// way the plug-in reads them (a missing or empty file falls back to a non-empty
// ".data" file of the same base name beside it). Keeps their texts so that a
// script failing on the server can be recognised in the plug-in's log lines.
// Owns the texts; paths are resolved against the run's working directory.
#pragma once
#include <string>
#include <vector>

#include "StepTable.h"

namespace VisitorUpgradeHost {

class CScriptCheck {
public:
    struct SScript {
        std::string strShownPath;  // as the operator finds it: --workdir joined with the path read
        std::string strPath;       // the path read, relative to --workdir, as the plug-in records it
        std::string strSha256;     // of the file's bytes as stored
        size_t nSize = 0;          // bytes as stored
        std::string strClass;      // the step that reads it
        std::string strText;       // as the plug-in sends it: trailing newlines removed
    };

    // Reads every needed script; false with one line naming the first path that is
    // missing, unreadable or empty (and has no usable ".data" fallback).
    bool Check(const std::string& strWorkdir, const std::vector<CStepTable::SScriptNeed>& vecNeeds,
               std::string& strError);

    // Reads one needed script into script; false with strProblem naming its path
    // and what is wrong ("... is missing (and no update.data with text beside it)").
    static bool ReadOne(const std::string& strWorkdir, const CStepTable::SScriptNeed& need, SScript& script,
                        std::string& strProblem);
    const std::vector<SScript>& Scripts() const { return m_vecScripts; }

    // The script whose whole text a line carries, the step strClass's first; null if none.
    const SScript* FoundIn(const std::vector<std::string>& vecLines, const std::string& strClass) const;

    // The failing statement's line: the database layer's "; at line N" for texts
    // of several lines; 1 for a script of one line; 0 when the server named no position.
    static int FailingLine(const SScript& script, const std::string& strErrorText);

private:
    std::vector<SScript> m_vecScripts;
};

}  // namespace VisitorUpgradeHost
