// Step from 1.10.0 to 1.11.0: applies the update_V1.7.0 script, marks 1.11.0 reached, and
// replays the script on the third connection in the incremental pass.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptReplayStep.h"

namespace UnifiedUpgradeComponent {

class C110ToC111 : public CScriptReplayStep {
public:
    C110ToC111();
};

}  // namespace UnifiedUpgradeComponent
