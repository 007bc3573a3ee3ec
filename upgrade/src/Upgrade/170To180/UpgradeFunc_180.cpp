#include "Upgrade/170To180/UpgradeFunc_180.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C170ToC180", "1.7.0", "1.8.0", "update_V1.4.0", nullptr, " "};
}

C170ToC180::C170ToC180() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

}  // namespace UnifiedUpgradeComponent
