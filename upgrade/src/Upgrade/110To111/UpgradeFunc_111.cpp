#include "Upgrade/110To111/UpgradeFunc_111.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C110ToC111", "1.10.0", "1.11.0", "update_V1.7.0", nullptr, " "};
}

C110ToC111::C110ToC111() : CScriptReplayStep(kLiterals) {}

}  // namespace UnifiedUpgradeComponent
