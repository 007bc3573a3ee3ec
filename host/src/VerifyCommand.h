// `visitor-upgrade verify`: runs the checks of CVerifyChecks against the module
// database (and the incremental database with --db3) and prints the report.
// Read-only: its own connections, each with default_transaction_read_only on and
// all checks in one REPEATABLE READ READ ONLY transaction (one snapshot).
#pragma once
#include <string>

#include "CommandLine.h"

namespace db_layer {
class CConnect;
}

namespace VisitorUpgradeHost {

struct SVerifyCheck;
struct SVerifyResult;

class CVerifyCommand {
public:
    explicit CVerifyCommand(SVerifyOptions options);
    // 0 every check holds; 1 a check fails or could not run; 2 a database cannot be reached.
    int Execute();

private:
    static SVerifyResult RunOne(db_layer::CConnect& conn, const SVerifyCheck& check);

    const SVerifyOptions m_options;
};

}  // namespace VisitorUpgradeHost
