// The per-test database of the test harness: named after the test, dropped on
// destruction even while a connection to it is still open.
#include <gtest/gtest.h>

#include "TestServer.h"

TEST(PlatformTestDatabase, IsNamedAfterTheTestAndDroppedWithOpenConnections)
{
    VSU_REQUIRE_SERVER();
    std::string strName;
    std::unique_ptr<db_layer::CConnect> pLeftOpen;
    {
        vsu_test::CTestDatabase db("Pre-Fix");
        strName = db.Name();
        EXPECT_EQ(strName.rfind("pre_fix_platformtestdatabase_isnamedafterthetest", 0), 0u) << strName;
        EXPECT_LE(strName.size(), 63u);
        vsu_test::CTestDatabase other("Pre-Fix");
        EXPECT_NE(other.Name(), strName);
        pLeftOpen = db.Connect();
        ASSERT_TRUE(pLeftOpen->IsOpen());
        EXPECT_EQ(db.Scalar("SELECT NULL::text"), "<NULL>");
        EXPECT_EQ(db.Scalar("SELECT 1 WHERE false"), "");
        EXPECT_EQ(db.Scalar("SELECT current_database(), 2;"), strName);
    }
    db_layer::CConnect admin;
    ASSERT_TRUE(admin.Open(vsu_test::CTestServer::AdminConnInfo()));
    ASSERT_TRUE(admin.Query("SELECT count(*) AS n FROM pg_database WHERE datname = '" + strName + "'"));
    EXPECT_EQ(admin.GetInt("n"), 0);
    EXPECT_FALSE(pLeftOpen->Execute("SELECT 1"));
}
