#include "VerifyCommand.h"

#include <iostream>
#include <memory>

#include "HostConnections.h"
#include "OneLine.h"
#include "VerifyChecks.h"
#include "VerifyReport.h"

namespace VisitorUpgradeHost {

namespace {

std::string LastError(db_layer::CConnect& conn) {
    std::string strError;
    conn.GetLastError(strError);
    return COneLine::Of(strError);
}

// Every statement after this is refused a write, also if a check were wrong; the
// one transaction lets all checks see the database at one moment. No JIT: each check
// runs once, and compiling a large plan took longer than running it.
bool StartReadOnly(db_layer::CConnect& conn, std::string& strError) {
    if (conn.Execute("SET default_transaction_read_only = on; SET jit = off; "
                     "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY;")) {
        return true;
    }
    strError = LastError(conn);
    return false;
}

}  // namespace

CVerifyCommand::CVerifyCommand(SVerifyOptions options) : m_options(std::move(options)) {}

int CVerifyCommand::Execute() {
    std::string strError;
    std::unique_ptr<db_layer::CConnect> pModule = CHostConnections::OpenOne(m_options.strDb1, "--db1", strError);
    std::unique_ptr<db_layer::CConnect> pIncremental;
    if (pModule && m_options.bHasDb3) {
        pIncremental = CHostConnections::OpenOne(m_options.strDb3, "--db3", strError);
    }
    if (!pModule || (m_options.bHasDb3 && !pIncremental)) {
        std::cerr << "visitor-upgrade: " << strError << std::endl;
        return 2;
    }
    if (!StartReadOnly(*pModule, strError) || (pIncremental && !StartReadOnly(*pIncremental, strError))) {
        std::cerr << "visitor-upgrade: cannot start a read-only transaction: " << strError << std::endl;
        return 2;
    }

    CVerifyReport report;
    for (const SVerifyCheck& check : CVerifyChecks::All()) {
        const bool bModule = check.eDatabase == EVerifyDatabase::kModule;
        if (!bModule && !pIncremental) {
            SVerifyResult skipped;
            skipped.strName = check.strName;
            skipped.strDatabase = "db3";
            skipped.strWhat = check.strWhat;
            skipped.eOutcome = EVerifyOutcome::kSkip;
            skipped.strReason = "no --db3 given: the incremental database is not checked";
            report.Add(std::move(skipped));
            continue;
        }
        report.Add(RunOne(bModule ? *pModule : *pIncremental, check));
    }
    pModule->Execute("ROLLBACK;");
    if (pIncremental) pIncremental->Execute("ROLLBACK;");

    if (m_options.bJson) {
        report.PrintJson(std::cout);
    } else {
        report.PrintText(std::cout);
    }
    return report.AllHold() ? 0 : 1;
}

SVerifyResult CVerifyCommand::RunOne(db_layer::CConnect& conn, const SVerifyCheck& check) {
    SVerifyResult result;
    result.strName = check.strName;
    result.strDatabase = check.eDatabase == EVerifyDatabase::kModule ? "db1" : "db3";
    result.strWhat = check.strWhat;
    // A check that fails on the server (a table missing) must not abort the transaction for the others.
    if (!conn.Execute("SAVEPOINT verify_check;")) {
        result.strReason = LastError(conn);
        return result;
    }
    bool bRan = true;
    if (!check.strAppliesSql.empty()) {
        bRan = conn.Query(check.strAppliesSql) && !conn.IsEOF();
        if (bRan && conn.GetString("applies") != "t") {
            result.eOutcome = EVerifyOutcome::kSkip;
            result.strReason = check.strSkipReason;
            conn.Execute("RELEASE SAVEPOINT verify_check;");
            return result;
        }
    }
    bRan = bRan && conn.Query(CVerifyChecks::RunSql(check)) && !conn.IsEOF();
    if (bRan) {
        result.strChecked = conn.GetString("checked");
        result.strOffending = conn.GetString("offending");
        for (; !conn.IsEOF(); conn.MoveNext()) {
            if (!conn.IsNull("k")) result.vecKeys.push_back(conn.GetString("k"));
        }
        result.eOutcome = result.strOffending == "0" ? EVerifyOutcome::kPass : EVerifyOutcome::kFail;
    }
    if (!bRan) result.strReason = LastError(conn);
    conn.Execute(bRan ? "RELEASE SAVEPOINT verify_check;" : "ROLLBACK TO SAVEPOINT verify_check;");
    return result;
}

}  // namespace VisitorUpgradeHost
