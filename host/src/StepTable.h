// The plug-in's chain as the host must know it before anything is sent: one row
// per version step in chain order, with its from-version, its class (as the
// plug-in's log lines name it), the delivered scripts each pass reads and the
// table its records pass walks by key. The one place the host keeps this; it
// must follow the plug-in's steps when they change. Stateless.
#pragma once
#include <string>
#include <vector>

#include "VersionArgument.h"

namespace VisitorUpgradeHost {

class CStepTable {
public:
    // Where the plug-in reads its scripts, relative to its working directory.
    static constexpr const char* kScriptRoot = "META_INFO/visitor.s/runtime_script/db_init/";

    struct SScriptNeed {
        std::string strPath;   // kScriptRoot + folder + file
        std::string strClass;  // the step that reads it
    };

    struct SChainStep {
        std::string strFrom;
        std::string strTo;
        std::string strClass;
    };

    // The steps from step nStart to the last, in chain order.
    static std::vector<SChainStep> Chain(int nStart);
    // The version the last step reaches.
    static const char* LastVersion();
    // Index of the step that starts at this version; -1 when none does.
    static int FindStart(const CVersionArgument& from);
    // "0.0.0, 1.0.0, ..." for messages.
    static std::string FromVersions();
    // Every script the passes read on the chain from step nStart, in chain order, each once.
    static std::vector<SScriptNeed> ScriptsNeeded(int nStart, const std::vector<std::string>& vecPasses);
    // The table the step's records pass walks by key; "" for steps that walk none.
    static std::string WalkedTable(const std::string& strStepClass);
};

}  // namespace VisitorUpgradeHost
