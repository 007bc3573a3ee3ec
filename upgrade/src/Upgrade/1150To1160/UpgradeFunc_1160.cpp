#include "Upgrade/1150To1160/UpgradeFunc_1160.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C1150ToC1160", "1.15.0", "1.16.0", "update_V1.16.0", nullptr, " "};
}

C1150ToC1160::C1150ToC1160() : CScriptStep(kLiterals, CScriptStep::SCRIPT_ON_THIRD) {}

}  // namespace UnifiedUpgradeComponent
