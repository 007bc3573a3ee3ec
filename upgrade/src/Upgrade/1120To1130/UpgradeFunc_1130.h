// Step from 1.12.0 to 1.13.0: applies the update_V1.9.0 script, also to the incremental database, and marks 1.13.0 reached.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class C1120ToC1130 : public CScriptStep {
public:
    C1120ToC1130();
};

}  // namespace UnifiedUpgradeComponent
