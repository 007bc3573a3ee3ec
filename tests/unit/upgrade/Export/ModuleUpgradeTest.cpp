#include <gtest/gtest.h>

#include <thread>

#include "Export/ModuleUpgrade.h"
#include "FakeConnect.h"
#include "ScriptTree.h"
#include "Upgrade/UpgradeCourseManager.h"

using namespace UnifiedUpgradeComponent;

namespace {

TEST(ModuleUpgrade, FirstCallsRacingFromTwoThreadsCreateOneManager) {
    CUpgradeCourseManager* pSeen[2] = {nullptr, nullptr};
    std::thread a([&] { pSeen[0] = &CUpgradeCourseManager::GetInstance(); });
    std::thread b([&] { pSeen[1] = &CUpgradeCourseManager::GetInstance(); });
    a.join();
    b.join();
    EXPECT_EQ(pSeen[0], pSeen[1]);
    EXPECT_EQ(pSeen[0], &CUpgradeCourseManager::GetInstance());
}

TEST(ModuleUpgrade, ReportsTheLastVersionReplacingTheOutText) {
    std::string strVersion = "something else";
    EXPECT_TRUE(ProvideLastVersion(strVersion));
    EXPECT_EQ(strVersion, "1.16.0");
}

TEST(ModuleUpgrade, LastErrorIsDefinedBeforeAnyFailureAndKeptAfterSuccess) {
    // Runs first in this process's manager: nothing has failed yet.
    int nCode = -99;
    std::string strText = "x";
    ASSERT_TRUE(GetLastError(nCode, strText));
    if (nCode == 0) {
        EXPECT_EQ(strText, "");
    }

    EXPECT_FALSE(RunUpgrade_Records("1.16.0", nullptr, nullptr, db_layer::DBParam()));
    ASSERT_TRUE(GetLastError(nCode, strText));
    EXPECT_EQ(nCode, 1);
    EXPECT_EQ(strText, "Not Support Upgrade! From DB Version:[1.16.0], To DB Version:[1.16.0]");

    vsu_test::CScriptTree tree;
    tree.Write("update_V1.16.0", "update.sql", "SELECT 1;");
    vsu_test::CFakeConnect first, second;
    EXPECT_TRUE(RunUpgrade_Config("1.15.0", &first, &second, db_layer::DBParam()));
    EXPECT_EQ(second.StatementsContaining("SELECT 1;").size(), 1u);
    EXPECT_TRUE(first.calls.empty());
    ASSERT_TRUE(GetLastError(nCode, strText));
    EXPECT_EQ(nCode, 1) << "a successful run keeps the earlier failure";
}

TEST(ModuleUpgrade, ResetSucceedsWhateverItIsGiven) {
    EXPECT_TRUE(RunUpgrade_ResetPKorSEQ("", nullptr, nullptr, nullptr, db_layer::DBParam()));
    vsu_test::CFakeConnect conn;
    EXPECT_TRUE(RunUpgrade_ResetPKorSEQ("1.0.0", &conn, &conn, &conn, db_layer::DBParam()));
    EXPECT_TRUE(conn.calls.empty());
}

}  // namespace
