#include "Upgrade/180To190/UpgradeFunc_190.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C180ToC190", "1.8.0", "1.9.0", "update_V1.5.0", nullptr, " "};
}

C180ToC190::C180ToC190() : CScriptReplayStep(kLiterals) {}

}  // namespace UnifiedUpgradeComponent
