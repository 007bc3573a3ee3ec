// The checks of `visitor-upgrade verify`: one table of what an upgraded module
// database (and its incremental database) must hold, each entry a pair of
// set-based queries. Constant data only; the command runs the entries in table
// order inside one read-only transaction per database.
#pragma once
#include <string>
#include <vector>

namespace VisitorUpgradeHost {

enum class EVerifyDatabase { kModule, kIncremental };

struct SVerifyCheck {
    std::string strName;        // stable name, printed and in the JSON document
    EVerifyDatabase eDatabase;  // --db1 or --db3
    std::string strWhat;        // what holds when the check passes
    // Empty, or a query of one boolean column "applies"; false skips the check with strSkipReason.
    std::string strAppliesSql;
    std::string strSkipReason;
    // One row, one column: how many things the check looked at.
    std::string strCheckedSql;
    // Every offending key, one row each: a sort key "o" (bigint) and its description "k" (text).
    std::string strOffendingSql;
};

class CVerifyChecks {
public:
    // The checks in the order they run and print.
    static const std::vector<SVerifyCheck>& All();

    // How many offending keys are named per check.
    static constexpr int kKeysShown = 10;

    // The one statement that runs a check: its count, its number of offending
    // keys and the first kKeysShown of them, as rows (checked, offending, k);
    // one row with a NULL k when nothing offends. Counts come as text.
    static std::string RunSql(const SVerifyCheck& check);
};

}  // namespace VisitorUpgradeHost
