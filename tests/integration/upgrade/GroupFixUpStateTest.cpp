// The group fix-up of the step to 1.6.0 on the reference database after its script:
// each visit and appointment record gets the group of its visitor's earliest
// membership, over an index that leads with (visitor_id, update_time) under any
// name, made only when the site has none; a rerun changes nothing.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ReferenceDatabase.h"
#include "Upgrade/130To160/UpgradeFunc_160.h"

using namespace UnifiedUpgradeComponent;

TEST(GroupFixUpStates, EachVisitorTakesItsEarliestGroupWithOneServingIndexWhateverTheSiteHas) {
    VSU_REQUIRE_SERVER();
    const char* const kMade = "visit_group_visitor_rel_visitor_id_update_time_idx";
    const struct {
        const char* szSite;  // run on the reference database before the pass
        std::string strIndexesAfter;
    } cases[] = {
        {"", "visit_group_visitor_rel_pkey,visit_group_visitor_rel_visitor_idx"},
        {"DROP INDEX visitor.visit_group_visitor_rel_visitor_idx;",
         std::string("visit_group_visitor_rel_pkey,") + kMade},
        {"DROP INDEX visitor.visit_group_visitor_rel_visitor_idx; CREATE INDEX site_idx ON"
         " visitor.visit_group_visitor_rel (visitor_id, update_time DESC, visitor_group_id);",
         "site_idx,visit_group_visitor_rel_pkey"},
        {"DROP INDEX visitor.visit_group_visitor_rel_visitor_idx; CREATE INDEX site_idx ON"
         " visitor.visit_group_visitor_rel (visitor_id) INCLUDE (update_time);",
         std::string("site_idx,visit_group_visitor_rel_pkey,") + kMade},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szSite);
        vsu_test::CTestDatabase db;
        vsu_test::BuildAt(db, "1.6.0");  // the shape the step's configuration pass leaves
        db.Exec(
            "INSERT INTO visitor.visit_group_visitor_rel(visitor_id, visitor_group_id, update_time) VALUES"
            " (1, 10, '2024-03-01'), (1, 11, '2024-01-01'), (1, 12, '2024-02-01'), (2, 20, '2023-05-05');"
            "INSERT INTO visitor.visitor_record(id, visitor_id, visitor_group_id) VALUES (1, 1, 99), (2, 2, 99),"
            " (3, 3, 99);"
            "INSERT INTO visitor.visitor_appoint_record(id, visitor_id, visitor_group_id) VALUES (1, 1, NULL),"
            " (2, 3, 5);");
        if (*c.szSite != 0) db.Exec(c.szSite);
        auto pConn = db.Connect();
        C130ToC160 step;
        vsu_test::CLogCapture quiet;
        for (int nRun = 1; nRun <= 2; ++nRun) {
            int nCode = 0;
            std::string strText;
            ASSERT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, pConn.get(), db_layer::DBParam()));
            EXPECT_EQ(nCode, 0) << strText;
            EXPECT_EQ(vsu_test::Rows(db,
                                     "pg_indexes WHERE schemaname = 'visitor' AND tablename ="
                                     " 'visit_group_visitor_rel'",
                                     "indexname"),
                      c.strIndexesAfter)
                << "run " << nRun;
            EXPECT_EQ(vsu_test::Rows(db, "visitor.visitor_record", "id, visitor_id, coalesce(visitor_group_id, -1)") +
                          " " +
                          vsu_test::Rows(db, "visitor.visitor_appoint_record", "id, visitor_id, visitor_group_id"),
                      "1:1:11,2:2:20,3:3:-1 1:1:11,2:3");
            EXPECT_EQ(db.Scalar("SELECT step_ver FROM platform.module_version_status"), "1.6.0");
        }
    }
}
