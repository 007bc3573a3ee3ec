// The two steps that replay their script: the configuration pass changes the
// second database, the incremental pass the third one, once; a script the third
// database refuses leaves the server's error in the error fields and no mark.
#include <gtest/gtest.h>

#include <memory>

#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/110To111/UpgradeFunc_111.h"
#include "Upgrade/180To190/UpgradeFunc_190.h"
#include "db_layer/ErrorCodes.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CScriptTree;
using vsu_test::CTestDatabase;

namespace {

TEST(ScriptReplayOnServer, ConfigurationAndReplayReachTheirOwnDatabases) {
    VSU_REQUIRE_SERVER();
    const std::pair<std::shared_ptr<CModuleUpgradeBase>, const char*> steps[] = {
        {std::make_shared<C180ToC190>(), "update_V1.5.0"}, {std::make_shared<C110ToC111>(), "update_V1.7.0"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.second);
        CTestDatabase second, third;
        CScriptTree tree;
        tree.Write(step.second, "update.sql",
                   "CREATE TABLE IF NOT EXISTS replayed(id int PRIMARY KEY, note text);\n"
                   "INSERT INTO replayed VALUES (1, 'it''s \\ here') ON CONFLICT (id) DO NOTHING;\n");
        // Every module database has the module's schema; the steps keep their marks there.
        second.Exec("CREATE SCHEMA visitor;");
        third.Exec("CREATE SCHEMA visitor;");
        auto pSecond = second.Connect();
        auto pThird = third.Connect();
        int nCode = 0;
        std::string strText;
        auto fnReplay = [&] {
            return step.first->UpgradeCourse_Config_IncreData(nCode, strText, nullptr, pSecond.get(), pThird.get(),
                                                              db_layer::DBParam());
        };

        ASSERT_TRUE(step.first->UpgradeCourse_Config(nCode, strText, nullptr, pSecond.get(), db_layer::DBParam()));
        EXPECT_EQ(second.Scalar("SELECT note FROM replayed"), "it's \\ here");
        EXPECT_EQ(third.Scalar("SELECT count(*) FROM pg_tables WHERE tablename = 'replayed'"), "0");

        // The third database refuses: its error, as the server reported it, and nothing marked.
        third.Exec("CREATE VIEW replayed AS SELECT 1 AS id, 'x'::text AS note;");
        EXPECT_FALSE(fnReplay());
        EXPECT_GT(nCode, 1);
        EXPECT_NE(strText.find("replayed"), std::string::npos) << strText;
        EXPECT_EQ(third.Scalar("SELECT count(*) FROM visitor.module_upgrade_marker"), "0");

        third.Exec("DROP VIEW replayed;");
        ASSERT_TRUE(fnReplay()) << strText;
        EXPECT_EQ(third.Scalar("SELECT note FROM replayed"), "it's \\ here");
        // Replayed once: a later incremental pass leaves the third database as it is.
        third.Exec("DELETE FROM replayed;");
        ASSERT_TRUE(fnReplay()) << strText;
        EXPECT_EQ(third.Scalar("SELECT count(*) FROM replayed"), "0");
    }
}

}  // namespace
