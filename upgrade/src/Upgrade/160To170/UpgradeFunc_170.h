// Step from 1.6.0 to 1.7.0: applies the update_V1.3.0 script and marks 1.7.0 reached.
// Stateless; the manager owns the one instance.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class C160ToC170 : public CScriptStep {
public:
    C160ToC170();
};

}  // namespace UnifiedUpgradeComponent
