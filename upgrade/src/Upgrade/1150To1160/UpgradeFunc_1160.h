// Step from 1.15.0 to 1.16.0: applies the update_V1.16.0 script, also to the incremental database, and marks 1.16.0 reached.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class C1150ToC1160 : public CScriptStep {
public:
    C1150ToC1160();
};

}  // namespace UnifiedUpgradeComponent
