// The entry points: one manager however the first calls race, the last
// version, and the module's last error before and after a failure.
#include <gtest/gtest.h>

#include <thread>

#include "Export/ModuleUpgrade.h"
#include "Upgrade/UpgradeCourseManager.h"

using namespace UnifiedUpgradeComponent;

namespace {

TEST(ModuleUpgrade, OneManagerReportsTheLastVersionAndKeepsTheLastError) {
    CUpgradeCourseManager* pSeen[2] = {nullptr, nullptr};
    std::thread a([&] { pSeen[0] = &CUpgradeCourseManager::GetInstance(); });
    std::thread b([&] { pSeen[1] = &CUpgradeCourseManager::GetInstance(); });
    a.join();
    b.join();
    EXPECT_EQ(pSeen[0], pSeen[1]);

    std::string strVersion = "something else";
    EXPECT_TRUE(ProvideLastVersion(strVersion));
    EXPECT_EQ(strVersion, "1.16.0");

    int nCode = -99;
    std::string strText = "x";
    EXPECT_TRUE(GetLastError(nCode, strText));
    EXPECT_EQ(nCode, 0) << "nothing failed yet";
    EXPECT_EQ(strText, "");
    EXPECT_FALSE(RunUpgrade_Records("1.16.0", nullptr, nullptr, db_layer::DBParam()));
    EXPECT_TRUE(GetLastError(nCode, strText));
    EXPECT_EQ(nCode, 1);
    EXPECT_EQ(strText, "Not Support Upgrade! From DB Version:[1.16.0], To DB Version:[1.16.0]");
    EXPECT_TRUE(RunUpgrade_ResetPKorSEQ("", nullptr, nullptr, nullptr, db_layer::DBParam()));
}

}  // namespace
