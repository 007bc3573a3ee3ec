// Whether the records passes copy each key range or batch with set-based
// statements (bulk mode) instead of one statement per row. Any host asks for it
// through the environment variable VSU_BULK=1, read at the start of each records
// pass; without it every pass sends exactly the statements of the default mode.
#pragma once

namespace UnifiedUpgradeComponent {

class CBulkMode {
public:
    static constexpr const char* kVariable = "VSU_BULK";  // also set by the host's run --bulk
    // strName names the pass in the warning logged for a value that is neither 0 nor 1.
    static bool Enabled(const char* szName);
};

}  // namespace UnifiedUpgradeComponent
