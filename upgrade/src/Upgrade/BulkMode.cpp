#include "Upgrade/BulkMode.h"

#include <cstdlib>
#include <cstring>

#include "Upgrade/LogPosition.h"

namespace UnifiedUpgradeComponent {

bool CBulkMode::Enabled(const char* szName) {
    const char* szValue = std::getenv(kVariable);
    if (szValue == nullptr || *szValue == '\0' || std::strcmp(szValue, "0") == 0) return false;
    if (std::strcmp(szValue, "1") == 0) return true;
    // A misspelt request must not change how rows are copied without a trace:
    // the default mode is the one that is always right.
    UPG_LOG(LOG_WARN, "[%s]%s=%s is neither 1 nor 0: records are copied one statement per row[%s(%d)]", szName,
            kVariable, szValue);
    return false;
}

}  // namespace UnifiedUpgradeComponent
