#include "Upgrade/100To130/UpgradeFunc_130.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C100ToC130", "1.0.0", "1.3.0", "update_V1.1.0", nullptr, " "};
}

C100ToC130::C100ToC130() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

}  // namespace UnifiedUpgradeComponent
