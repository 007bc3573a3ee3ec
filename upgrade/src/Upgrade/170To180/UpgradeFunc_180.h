// Step from 1.7.0 to 1.8.0: applies the update_V1.4.0 script and marks 1.8.0 reached.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class C170ToC180 : public CScriptStep {
public:
    C170ToC180();
};

}  // namespace UnifiedUpgradeComponent
