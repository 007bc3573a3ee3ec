// The forms every step shares, driven through real steps so that each step's
// literals show in the texts.
#include <gtest/gtest.h>

#include <memory>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/100To130/UpgradeFunc_130.h"
#include "Upgrade/1150To1160/UpgradeFunc_1160.h"
#include "Upgrade/Sha256.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;

namespace {

// A step of the chain with the narrowing and the wider finished text that only
// the steps of later work use: the forms must produce those texts as well.
const SStepLiterals kNarrowed = {"C1110ToC1120", "1.11.0", "1.12.0", "update_V1.8.0", "1.12.0", " "};
const SStepLiterals kWideGap = {"CRawTo100", "0.0.0", "1.0.0", nullptr, nullptr, "  "};

class CLiteralStep : public CModuleUpgradeBase {
public:
    explicit CLiteralStep(const SStepLiterals& literals) : CModuleUpgradeBase(literals) {}
    bool UpgradeCourse_Config(int&, std::string&, db_layer::CConnect*, db_layer::CConnect*,
                              db_layer::DBParam) override { return true; }
    bool UpgradeCourse_Records(int&, std::string&, db_layer::CConnect*, db_layer::CConnect*,
                               db_layer::DBParam) override { return true; }
    bool UpgradeCourse_Config_IncreData(int&, std::string&, db_layer::CConnect*, db_layer::CConnect*,
                                        db_layer::CConnect*, db_layer::DBParam) override { return true; }
    bool UpgradeCourse_Records_IncreData(int&, std::string&, db_layer::CConnect*, db_layer::CConnect*,
                                         db_layer::CConnect*, db_layer::DBParam) override { return true; }
};

TEST(StepForms, StatusStatementsCarryEachStepsLiterals) {
    CFakeConnect conn;
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    int nCode = 0;
    std::string strText;

    C100ToC130 plain;
    plain.SetUpgradeFinished(nCode, strText, pConn);
    CLiteralStep narrowed(kNarrowed);
    narrowed.SetUpgradeFinished(nCode, strText, pConn);
    narrowed.SetUpgradeProgress(nCode, strText, 3, 1201, pConn);
    int nStatus = 0, nSchedule = 0, nRate = 0;
    narrowed.QueryUpgradeStatus(nCode, strText, &nStatus, &nSchedule, &nRate, pConn);
    CLiteralStep wide(kWideGap);
    wide.SetUpgradeFinished(nCode, strText, pConn);
    wide.SetUpgradeStarted(nCode, strText, pConn);
    wide.SetUpgradeProgress(nCode, strText, 1, 0, pConn);
    wide.QueryUpgradeStatus(nCode, strText, &nStatus, &nSchedule, &nRate, pConn);

    const std::vector<std::string> expected = {
        "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
        "rate_progress = -1, step_ver = '1.3.0' WHERE module_identity = 'visitor.s';",
        "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
        "rate_progress = -1, step_ver = '1.12.0' WHERE module_identity = 'visitor.s';",
        "UPDATE platform.module_version_status SET schedule = 3, rate_progress = 1201 WHERE module_identity = "
        "'visitor.s' AND version_no = '1.12.0';",
        "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = "
        "'visitor.s' AND version_no = '1.12.0';",
        "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
        "rate_progress = -1, step_ver  = '1.0.0' WHERE module_identity = 'visitor.s';",
        "UPDATE platform.module_version_status SET install_time = clock_timestamp(), status = 2, schedule = 0, "
        "rate_progress = 0 WHERE module_identity = 'visitor.s';",
        "UPDATE platform.module_version_status SET schedule = 1, rate_progress = 0 WHERE module_identity = "
        "'visitor.s';",
        "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = "
        "'visitor.s';",
    };
    EXPECT_EQ(conn.Statements(), expected);
}

TEST(StepForms, StatusQueryTakesTheLastRowAndKeepsValuesWithoutRows) {
    CFakeConnect conn;
    const std::string strQuery =
        "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = "
        "'visitor.s';";
    conn.OnRows(strQuery,
                {{{"status", "2"}, {"schedule", "0"}, {"rate_progress", "10002"}},
                 {{"status", "1"}, {"schedule", "-1"}, {"rate_progress", "-1"}}},
                false, 1);
    conn.OnRows(strQuery, {});
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    CLiteralStep step(kWideGap);
    int nCode = 0;
    std::string strText;

    int nStatus = 0, nSchedule = 0, nRate = 0;
    ASSERT_TRUE(step.QueryUpgradeStatus(nCode, strText, &nStatus, &nSchedule, &nRate, pConn));
    EXPECT_EQ(std::make_tuple(nStatus, nSchedule, nRate), std::make_tuple(1, -1, -1));

    nStatus = nSchedule = nRate = 0;
    ASSERT_TRUE(step.QueryUpgradeStatus(nCode, strText, &nStatus, &nSchedule, &nRate, pConn));
    EXPECT_EQ(std::make_tuple(nStatus, nSchedule, nRate), std::make_tuple(0, 0, 0));
}

TEST(StepForms, FailuresFillTheErrorFieldsAndOnlyQueriesReportThem) {
    CFakeConnect conn;
    conn.OnFail("UPDATE platform.module_version_status", 77, "no status table", true);
    conn.OnFail("SELECT max(id) FROM rt_data.visitor_record;", 78, "no source table");
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    CLiteralStep step(kWideGap);
    int nCode = 0;
    std::string strText;

    step.SetUpgradeStarted(nCode, strText, pConn);
    EXPECT_EQ(nCode, 77);
    nCode = 0;
    step.SetUpgradeFinished(nCode, strText, pConn);
    EXPECT_EQ(nCode, 77);
    EXPECT_EQ(strText, "no status table");
    EXPECT_FALSE(step.SetUpgradeProgress(nCode, strText, 0, 5, pConn));

    int nMax = 0, nMin = 0;
    conn.calls.clear();
    EXPECT_FALSE(step.QueryMaxMinValue(nCode, strText, &nMax, &nMin, "rt_data.visitor_record", "id", pConn));
    EXPECT_EQ(nCode, 78);
    EXPECT_EQ(conn.Statements(), std::vector<std::string>{"SELECT max(id) FROM rt_data.visitor_record;"})
        << "the min query is not sent after the max query failed";
}

TEST(StepForms, RangeQueriesReadMaxAndMin) {
    CFakeConnect conn;
    conn.OnRows("SELECT max(id) FROM visitor.visitor_appoint_record;", {{{"max", "950"}}});
    conn.OnRows("SELECT min(id) FROM visitor.visitor_appoint_record;", {{{"min", "3"}}});
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    CLiteralStep step(kNarrowed);
    int nCode = 0, nMax = 0, nMin = 0;
    std::string strText;
    ASSERT_TRUE(
        step.QueryMaxMinValue(nCode, strText, &nMax, &nMin, "visitor.visitor_appoint_record", "id", pConn));
    EXPECT_EQ(nMax, 950);
    EXPECT_EQ(nMin, 3);
}

TEST(StepForms, ScriptRunnerSendsTheWholeScriptAndLogsItsFailure) {
    vsu_test::CScriptTree tree;
    const std::string strScript = "CREATE TABLE a(i int);\nINSERT INTO a VALUES (1);\n-- it's done";
    tree.Write("update_V1.16.0", "update.sql", strScript + "\n\n");
    CFakeConnect conn;
    conn.OnFail(strScript, 4242, "duplicate table");
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    C1150ToC1160 step;
    vsu_test::CLogCapture log;
    int nCode = 0;
    std::string strText;

    EXPECT_FALSE(step.UpgradeCourse_Config_UpgradeBySQLFile(nCode, strText, db_layer::DBParam(), pConn));
    EXPECT_EQ(conn.Statements(), std::vector<std::string>{strScript});
    EXPECT_EQ(nCode, 4242);
    EXPECT_EQ(strText, "duplicate table");
    const auto errors = log.Messages(5);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("[UnifiedUpgradeComponent::C1150ToC1160::UpgradeCourse_Config_UpgradeBySQLFile]"
                              "[ExecuteHelper] ExecuteTransaction failed,sql:[" +
                                  strScript + "], Error Code:4242, Error Info:duplicate table.[",
                              0),
              0u)
        << errors[0];
}

TEST(StepForms, MissingScriptRunsAnEmptyText) {
    vsu_test::CScriptTree tree;
    CFakeConnect conn;
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    C100ToC130 step;
    int nCode = 0;
    std::string strText;
    EXPECT_TRUE(step.UpgradeCourse_Config_UpgradeBySQLFile(nCode, strText, db_layer::DBParam(), pConn));
    EXPECT_EQ(conn.Statements(), std::vector<std::string>{""});
}

TEST(StepForms, ScriptRunIsRecordedInItsTransactionAndAFailureAfterTheRollback) {
    vsu_test::CScriptTree tree;
    const std::string strStored = "UPDATE t SET a = 1;\n";
    tree.Write("update_V1.16.0", "update.sql", strStored);
    const std::string strRecord =
        "INSERT INTO visitor.module_upgrade_script_history(path, sha256, run_time, outcome, step_ver, pass) VALUES "
        "('META_INFO/visitor.s/runtime_script/db_init/update_V1.16.0/update.sql', '" +
        CSha256::HexDigest(strStored) + "', clock_timestamp(), '%s', '1.16.0', 'UpgradeCourse_Config');";
    auto fnRecord = [&strRecord](const std::string& strOutcome) {
        return "EXEC " + strRecord.substr(0, strRecord.find("%s")) + strOutcome + strRecord.substr(strRecord.find("%s") + 2);
    };
    const std::string strCreate = "EXEC CREATE TABLE IF NOT EXISTS visitor.module_upgrade_script_history(path text "
                                  "NOT NULL, sha256 char(64) NOT NULL, run_time timestamp NOT NULL, outcome "
                                  "varchar(16) NOT NULL, step_ver varchar(16) NOT NULL, pass varchar(64) NOT NULL);";
    const std::string strProbe =
        "QUERY SELECT (transaction_timestamp() <> statement_timestamp())::int AS in_transaction;";
    C1150ToC1160 step;
    for (const bool bFails : {false, true}) {
        CFakeConnect conn;
        conn.bRecordScriptHistory = true;
        conn.OnRows(" AS in_transaction;", {{{"in_transaction", std::string("1")}}}, true);
        if (bFails) conn.OnFail("UPDATE t SET a = 1;", 4242, "no table t");
        auto pConn = std::make_shared<CDBAccessConn>(&conn);
        int nCode = 0;
        std::string strText;
        EXPECT_EQ(step.UpgradeCourse_Config_UpgradeBySQLFile(nCode, strText, db_layer::DBParam(), pConn), !bFails);
        // The success commits with the script; the failure is written after the
        // rollback, and a new transaction is left for the caller's bracket to end.
        const std::vector<std::string> vecExpected =
            bFails ? std::vector<std::string>{strProbe, "EXEC UPDATE t SET a = 1;", "ROLLBACK", strCreate,
                                              fnRecord("failure"), "BEGIN"}
                   : std::vector<std::string>{strProbe, "EXEC UPDATE t SET a = 1;", strCreate, fnRecord("success")};
        EXPECT_EQ(conn.calls, vecExpected);
        EXPECT_EQ(nCode, bFails ? 4242 : 0) << "the script's error stays in the fields";
    }
    // A success that cannot be recorded fails the run with the record's error.
    CFakeConnect conn;
    conn.OnFail("INSERT INTO visitor.module_upgrade_script_history", 13, "permission denied", true);
    auto pConn = std::make_shared<CDBAccessConn>(&conn);
    int nCode = 0;
    std::string strText;
    EXPECT_FALSE(step.UpgradeCourse_Config_UpgradeBySQLFile(nCode, strText, db_layer::DBParam(), pConn));
    EXPECT_EQ(strText, "permission denied");
}

}  // namespace
