// Step from 1.0.0 to 1.3.0: applies the update_V1.1.0 script and marks 1.3.0 reached.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class C100ToC130 : public CScriptStep {
public:
    C100ToC130();
};

}  // namespace UnifiedUpgradeComponent
