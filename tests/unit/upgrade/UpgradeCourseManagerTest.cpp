// The module's registry and the chain a start version gets: one step per
// version boundary in order, malformed versions standing for 0.0.0, and code 1
// with its text for a version that starts no step. The failure table runs the
// pass loops; the exported entry points are what every end-to-end run calls.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Upgrade/UpgradeCourseManager.h"

using namespace UnifiedUpgradeComponent;

namespace {

const char* const kBounds[] = {"0.0.0",  "1.0.0",  "1.3.0",  "1.6.0",  "1.7.0",  "1.8.0",  "1.9.0",
                               "1.10.0", "1.11.0", "1.12.0", "1.13.0", "1.14.0", "1.15.0", "1.16.0"};

TEST(UpgradeCourseManager, RegistryIsOneChainOverTheBoundariesAndAStartVersionTakesItsTail) {
    CUpgradeCourseManager manager;
    const auto& registry = manager.Registry();
    ASSERT_EQ(registry.size(), std::size(kBounds) - 1);
    for (size_t i = 0; i < registry.size(); ++i) {
        EXPECT_EQ(registry[i]->GetFromVersion().GetVersionString(), kBounds[i]);
        EXPECT_EQ(registry[i]->GetToVersion().GetVersionString(), kBounds[i + 1]);
    }
    const struct {
        const char* szStart;
        size_t nSteps;  // 0: no chain
    } cases[] = {{"0.0.0", 13}, {"", 13},      {"1.10", 13},  {"1.0.0", 12}, {"01.003.0", 11},
                 {"1.11.0", 5}, {"1.15.0", 1}, {"1.16.0", 0}, {"1.4.0", 0},  {"2.0.0", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szStart);
        UpgradeCourse course;
        vsu_test::CLogCapture quiet;
        EXPECT_EQ(manager.EnumerateUpgradeVersion(course, CVersion(c.szStart)), c.nSteps > 0);
        if (c.nSteps == 0) {
            int nCode = 0;
            std::string strText;
            manager.GetLastError(nCode, strText);
            EXPECT_EQ(std::to_string(nCode) + " " + strText, std::string("1 Not Support Upgrade! From DB Version:[") +
                                                                 c.szStart + "], To DB Version:[1.16.0]");
            continue;
        }
        ASSERT_EQ(course.size(), c.nSteps);
        EXPECT_EQ(course.front(), registry[registry.size() - c.nSteps]);
        EXPECT_EQ(course.back(), registry.back());
    }
}

}  // namespace
