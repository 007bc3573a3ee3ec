#include "Upgrade/160To170/UpgradeFunc_170.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C160ToC170", "1.6.0", "1.7.0", "update_V1.3.0", nullptr, " "};
}

C160ToC170::C160ToC170() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

}  // namespace UnifiedUpgradeComponent
