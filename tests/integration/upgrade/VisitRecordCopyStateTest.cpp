// The first step on the reference database at 0.0.0, as a table of states:
// start state -> records pass (default and bulk mode) -> end state (rows
// copied, rows that differ from their source either way, the status row), and
// the configuration pass with a password that needs quoting.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ReferenceDatabase.h"
#include "Upgrade/BulkMode.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CTestDatabase;

namespace {

const char* const kColumns =
    "object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, visitor_status, start_valid_time,"
    " end_valid_time, create_time, update_time, start_time_differ, end_time_differ, temper, temper_status, is_deleted";

// "<rows copied>|<source rows not in the copy>/<copied rows not in the source>|<status row>"
std::string State(const CTestDatabase& db) {
    const std::string strCols = kColumns;
    return db.Scalar(
        "SELECT (SELECT count(*) FROM visitor.visitor_record) || '|' || (SELECT count(*) FROM (SELECT " + strCols +
        " FROM rt_data.visitor_record EXCEPT ALL SELECT " + strCols +
        " FROM visitor.visitor_record) a) || '/' || (SELECT count(*) FROM (SELECT " + strCols +
        " FROM visitor.visitor_record EXCEPT ALL SELECT " + strCols +
        " FROM rt_data.visitor_record) b) || '|' || (SELECT concat_ws(':', status, schedule, rate_progress,"
        " step_ver) FROM platform.module_version_status)");
}

const std::string kRows =
    "INSERT INTO rt_data.visitor_record SELECT g, 'g' || g, g, g, 1, 'd' || g, 0, '2023-03-01', '2023-03-02',"
    " '2023-03-01', '2023-03-01', 0, 0, '36.5', 2, 0 FROM generate_series(1, 35000) g;";
const std::string kStarted = "UPDATE platform.module_version_status SET status = 2, schedule = 0, rate_progress = ";
const std::string kFirstRangeCopied = std::string("INSERT INTO visitor.visitor_record(") + kColumns + ") SELECT " +
                                      kColumns + " FROM rt_data.visitor_record WHERE id <= 10001;";

TEST(VisitRecordCopyStates, EachStartStateEndsWithEveryRecordCopiedOnceOrTheRangeThatFailedNotStored) {
    VSU_REQUIRE_SERVER();
    const struct {
        const char* szCase;
        std::string strStart;
        bool bOk;
        const char* szEnd;
    } cases[] = {
        {"gaps wider than a range, quotes, backslashes, NULLs, the largest id",
         "ALTER TABLE rt_data.visitor_record ALTER visit_reason_detail DROP NOT NULL, ALTER temper DROP NOT NULL,"
         " ALTER start_valid_time DROP NOT NULL, ALTER visitor_id DROP NOT NULL;"
         "INSERT INTO rt_data.visitor_record VALUES"
         " (3, 'g''3', 1, 2, 3, 'O''Reilly said \"back\\slash\" ${x}', 1, '2023-05-01 08:00:00.25',"
         "  '2023-05-01 18:00', '2023-05-01 07:59:59.999999', '2023-05-02', -5, 15, '36''5\\', 0, 0),"
         " (4, 'g4', 5, 6, 1, '', 0, '2024-02-29 00:00', '2024-02-29 23:59', '2024-02-28', '2024-02-28', 0, 0, '', 2, "
         "1),"
         " (10004, 'g10004', NULL, 7, 0, NULL, 0, NULL, '2023-01-02', '2023-01-01', '2023-01-01', 0, 0, NULL, 2, 0),"
         " (10005, 'caf\u00e9', 8, 9, 2, 'caf\u00e9', 2, '2023-01-01', '2023-01-02', '2023-01-01', '2023-01-01', 1, 1,"
         "  '37', 1, 0),"
         " (40000, 'g40000', 8, 9, 2, 'x', 2, '2023-01-01', '2023-01-02', '2023-01-01', '2023-01-01', 1, 1, '37', 1, "
         "0),"
         " (2147483647, 'top', 1, 1, 1, 'top', 0, '2023-03-01', '2023-03-02', '2023-03-01', '2023-03-01', 0, 0, '36.5',"
         "  2, 0);" +
             kStarted + "0, step_ver = '0.0.0';",
         true, "6|0/0|1:-1:-1:1.0.0"},
        {"stopped after the first range", kRows + kFirstRangeCopied + kStarted + "10002, step_ver = '0.0.0';", true,
         "35000|0/0|1:-1:-1:1.0.0"},
        {"COMMIT of the third range refused",
         kRows +
             "CREATE FUNCTION visitor.refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.object_guid ="
             " 'g25000' THEN RAISE EXCEPTION 'visit record refused'; END IF; RETURN NULL; END $$;"
             "CREATE CONSTRAINT TRIGGER refuse AFTER INSERT ON visitor.visitor_record DEFERRABLE INITIALLY"
             " DEFERRED FOR EACH ROW EXECUTE FUNCTION visitor.refuse();" +
             kStarted + "0, step_ver = '0.0.0';",
         false, "20002|14998/0|2:0:20003:0.0.0"},
        {"copied, finished marker missing",
         kRows + "INSERT INTO visitor.visitor_record(" + kColumns + ") SELECT " + kColumns +
             " FROM rt_data.visitor_record;UPDATE platform.module_version_status SET status = 2, schedule = 1,"
             " rate_progress = 0, step_ver = '0.0.0';",
         true, "35000|0/0|1:-1:-1:1.0.0"},
        {"finished", kRows + "UPDATE platform.module_version_status SET step_ver = '1.0.0';", true,
         "0|35000/0|1:-1:-1:1.0.0"},
        {"no source table",
         "DROP TABLE rt_data.visitor_record;CREATE TABLE rt_data.visitor_record(LIKE"
         " visitor.visitor_record);" +
             kStarted + "0, step_ver = '0.0.0';",
         true, "0|0/0|1:-1:-1:1.0.0"},
    };
    for (const char* szBulk : {"0", "1"})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.szCase) + ", " + CBulkMode::kVariable + "=" + szBulk);
            setenv(CBulkMode::kVariable, szBulk, 1);
            CTestDatabase db;
            vsu_test::BuildAt(db, "0.0.0");
            db.Exec(c.strStart);
            auto pRead = db.Connect(), pWrite = db.Connect();
            CRawTo100 step;
            int nCode = 0;
            std::string strText;
            vsu_test::CLogCapture quiet;
            EXPECT_EQ(step.UpgradeCourse_Records(nCode, strText, pRead.get(), pWrite.get(), db_layer::DBParam()), c.bOk)
                << strText;
            EXPECT_EQ(State(db), c.szEnd);
            EXPECT_TRUE(c.bOk || strText.find("visit record refused") != std::string::npos) << strText;
        }
    unsetenv(CBulkMode::kVariable);
}

TEST(VisitRecordCopyStates, ConfigPassWithAQuotedPasswordImportsOnceAndLeavesNoForeignServer) {
    VSU_REQUIRE_SERVER();
    vsu_test::EnsureLumoDatabase();
    CTestDatabase db;
    vsu_test::BuildAt(db, "0.0.0");
    vsu_test::CInFixtures scripts;
    auto pRead = db.Connect(), pWrite = db.Connect();
    db_layer::DBParam param = pWrite->GetParam();
    param.password = "it's 'quoted'";  // trust authentication ignores it; the statement must hold it intact
    CRawTo100 step;
    vsu_test::CLogCapture quiet;
    for (int nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE(nRun);
        int nCode = 0;
        std::string strText;
        ASSERT_TRUE(step.UpgradeCourse_Config(nCode, strText, pRead.get(), pWrite.get(), param)) << strText;
        EXPECT_EQ(vsu_test::Rows(db, "visitor.visit_reason", "id, name"),
                  "1:Business,2:Interview,3:Delivery,4:O'Brien's \\ maintenance,5:Retired reason");
        EXPECT_EQ(db.Scalar("SELECT count(*) FROM pg_foreign_server"), "0");
    }
}

}  // namespace
