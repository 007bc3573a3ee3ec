#include "Upgrade/1120To1130/UpgradeFunc_1130.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C1120ToC1130", "1.12.0", "1.13.0", "update_V1.9.0", nullptr, " "};
}

C1120ToC1130::C1120ToC1130() : CScriptStep(kLiterals, CScriptStep::SCRIPT_ON_THIRD) {}

}  // namespace UnifiedUpgradeComponent
