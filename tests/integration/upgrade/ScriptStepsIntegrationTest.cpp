// The framework and the script steps against a real server: what the database
// ends up holding, and what the server reports when it refuses.
#include <gtest/gtest.h>

#include "Export/ModuleUpgrade.h"
#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/100To130/UpgradeFunc_130.h"
#include "Upgrade/130To160/UpgradeFunc_160.h"
#include "db_layer/ErrorCodes.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CScriptTree;
using vsu_test::CTestDatabase;

namespace {

const char* const kStatusTable =
    "CREATE SCHEMA platform;"
    "CREATE TABLE platform.module_version_status(module_identity varchar(64) NOT NULL, version_no varchar(32),"
    " status int, schedule int, rate_progress int, step_ver varchar(32), install_time timestamp,"
    " achieve_time timestamp);"
    "INSERT INTO platform.module_version_status(module_identity, version_no, status, schedule, rate_progress,"
    " step_ver) VALUES ('visitor.s', '1.12.0', 0, 0, 0, '1.15.0'), ('other.module', '1.0.0', 0, 0, 0, '1.0.0');";

TEST(ScriptStepsOnServer, ConfigurationAppliesAWholeMultiStatementScriptOrItsDataFallback) {
    VSU_REQUIRE_SERVER();
    CTestDatabase db;
    // Every module database has the module's schema; the steps keep their marks there.
    db.Exec("CREATE SCHEMA visitor;");
    CScriptTree tree;
    tree.Write("update_V1.1.0", "update.sql",
               "CREATE TABLE visitor.note(id serial PRIMARY KEY, body text);\n"
               "INSERT INTO visitor.note(body) VALUES ('it''s here'), (E'tab\\tand \\\\ backslash');\n"
               "-- trailing comment\n\n\n");
    tree.Write("update_V1.2.0", "update.data", "ALTER TABLE visitor.note ADD COLUMN extra int DEFAULT 7;\n");
    auto pFirst = db.Connect();
    auto pSecond = db.Connect();
    int nCode = 0;
    std::string strText;

    C100ToC130 step130;
    ASSERT_TRUE(step130.UpgradeCourse_Config(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam()))
        << strText;
    EXPECT_EQ(db.Scalar("SELECT string_agg(body, '|' ORDER BY id) FROM visitor.note"),
              "it's here|tab\tand \\ backslash");

    C130ToC160 step160;
    ASSERT_TRUE(step160.UpgradeCourse_Config(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam()))
        << strText;
    EXPECT_EQ(db.Scalar("SELECT sum(extra) FROM visitor.note"), "14") << "the .data file ran";
}

TEST(ScriptStepsOnServer, FinishedMarkerWithoutStatusTableKeepsTheServersErrorAndSucceeds) {
    VSU_REQUIRE_SERVER();
    CTestDatabase db;
    auto pConn = db.Connect();
    C100ToC130 step;
    int nCode = 0;
    std::string strText;
    EXPECT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, pConn.get(), db_layer::DBParam()));
    EXPECT_NE(nCode, 0);
    EXPECT_NE(strText.find("platform.module_version_status"), std::string::npos) << strText;
    EXPECT_NE(strText.find("42P01"), std::string::npos) << strText;
}

// The fix-up's index: made when the site has none leading with (visitor_id,
// update_time), under any name; made once over reruns; the groups the same.
TEST(ScriptStepsOnServer, GroupFixUpTakesTheEarliestRelationOfEachVisitorWithAnIndexServingIt) {
    VSU_REQUIRE_SERVER();
    const struct {
        const char* szSiteIndex;
        const char* szIndexesAfter;
    } kCases[] = {
        {"", "visit_group_visitor_rel_visitor_id_update_time_idx"},
        {"CREATE INDEX site_idx ON visitor.visit_group_visitor_rel (visitor_id, update_time DESC, visitor_group_id);",
         "site_idx"},
        {"CREATE INDEX site_idx ON visitor.visit_group_visitor_rel (visitor_id) INCLUDE (update_time);",
         "site_idx,visit_group_visitor_rel_visitor_id_update_time_idx"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szSiteIndex);
        CTestDatabase db;
        db.Exec(kStatusTable);
        db.Exec(
            "CREATE SCHEMA visitor;"
            "CREATE TABLE visitor.visit_group_visitor_rel(visitor_id int, visitor_group_id int,"
            " update_time timestamp);"
            "CREATE TABLE visitor.visitor_record(id serial, visitor_id int, visitor_group_id int);"
            "CREATE TABLE visitor.visitor_appoint_record(id serial, visitor_id int, visitor_group_id int);"
            "INSERT INTO visitor.visit_group_visitor_rel VALUES (1, 10, '2024-03-01'), (1, 11, '2024-01-01'),"
            " (1, 12, '2024-02-01'), (2, 20, '2023-05-05');"
            "INSERT INTO visitor.visitor_record(visitor_id, visitor_group_id) VALUES (1, 99), (2, 99), (3, 99);"
            "INSERT INTO visitor.visitor_appoint_record(visitor_id, visitor_group_id) VALUES (1, NULL), (3, 5);");
        if (*c.szSiteIndex != '\0') db.Exec(c.szSiteIndex);
        auto pConn = db.Connect();
        C130ToC160 step;
        for (int nRun = 1; nRun <= 2; ++nRun) {
            int nCode = 0;
            std::string strText;
            ASSERT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, pConn.get(), db_layer::DBParam()));
            EXPECT_EQ(nCode, 0) << strText;
            EXPECT_EQ(db.Scalar("SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes"
                                " WHERE schemaname = 'visitor' AND tablename = 'visit_group_visitor_rel'"),
                      c.szIndexesAfter)
                << "run " << nRun;
        }
        EXPECT_EQ(db.Scalar("SELECT string_agg(visitor_id || ':' || coalesce(visitor_group_id::text, '-'), ',' "
                            "ORDER BY id) FROM visitor.visitor_record"),
                  "1:11,2:20,3:-");
        EXPECT_EQ(db.Scalar("SELECT string_agg(visitor_id || ':' || coalesce(visitor_group_id::text, '-'), ',' "
                            "ORDER BY id) FROM visitor.visitor_appoint_record"),
                  "1:11,3:-");
        EXPECT_EQ(db.Scalar("SELECT step_ver FROM platform.module_version_status WHERE module_identity = 'visitor.s'"),
                  "1.6.0");
        EXPECT_EQ(db.Scalar("SELECT step_ver FROM platform.module_version_status"
                            " WHERE module_identity = 'other.module'"),
                  "1.0.0")
            << "other modules' rows stay";
    }
}

TEST(ScriptStepsOnServer, ExportsUpgradeFrom1150To1160AndReportAFailingScript) {
    VSU_REQUIRE_SERVER();
    CTestDatabase db;
    db.Exec(kStatusTable);
    db.Exec("CREATE SCHEMA visitor; CREATE TABLE visitor.template(id int PRIMARY KEY, body text);");
    CScriptTree tree;
    auto pFirst = db.Connect();
    auto pSecond = db.Connect();

    tree.Write("update_V1.16.0", "update.sql", "INSERT INTO visitor.template VALUES (1, 'a');\nSELEC 2;\n");
    EXPECT_FALSE(RunUpgrade_Config("1.15.0", pFirst.get(), pSecond.get(), db_layer::DBParam()));
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(GetLastError(nCode, strText));
    EXPECT_EQ(nCode, db_layer::SqlStateToCode("42601")) << strText;
    EXPECT_NE(strText.find("SELEC"), std::string::npos) << strText;
    EXPECT_NE(strText.find("42601"), std::string::npos) << strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.template"), "0")
        << "a script sent as one text runs in one implicit transaction";

    tree.Write("update_V1.16.0", "update.sql",
               "INSERT INTO visitor.template VALUES (1, 'a');\n"
               "INSERT INTO visitor.template VALUES (2, 'b');\n");
    ASSERT_TRUE(RunUpgrade_Config("1.15.0", pFirst.get(), pSecond.get(), db_layer::DBParam()));
    ASSERT_TRUE(RunUpgrade_Records("1.15.0", pFirst.get(), pSecond.get(), db_layer::DBParam()));
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.template"), "2");
    EXPECT_EQ(db.Scalar("SELECT status || ',' || schedule || ',' || rate_progress || ',' || step_ver || ',' || "
                        "(achieve_time IS NOT NULL) FROM platform.module_version_status WHERE module_identity = "
                        "'visitor.s'"),
              "1,-1,-1,1.16.0,true");
}

}  // namespace
