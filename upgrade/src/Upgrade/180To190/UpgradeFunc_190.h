// Step from 1.8.0 to 1.9.0: applies the update_V1.5.0 script, marks 1.9.0 reached, and
// replays the script on the third connection in the incremental pass.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptReplayStep.h"

namespace UnifiedUpgradeComponent {

class C180ToC190 : public CScriptReplayStep {
public:
    C180ToC190();
};

}  // namespace UnifiedUpgradeComponent
