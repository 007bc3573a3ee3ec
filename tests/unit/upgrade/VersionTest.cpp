// Versions as the steps and the status rows hold them: three numbers read from a
// text kept as given, anything else standing for 0.0.0, compared as numbers.
#include <gtest/gtest.h>

#include <tuple>

#include "Upgrade/Version.h"

using UnifiedUpgradeComponent::CVersion;

TEST(Version, ReadsExactlyThreeNumbersOtherwiseStandsForZeroAndComparesNumbersNotTexts) {
    const struct {
        const char* szText;
        const char* szRead;  // major.minor.patch
    } cases[] = {
        {"1.16.0", "1.16.0"}, {"01.003.0", "1.3.0"}, {"1..2.3", "1.2.3"},          {".1.2.3.", "1.2.3"},
        {" 1.2.3", "1.2.3"},  {"1.2.3rc1", "1.2.3"}, {"1.x.0", "1.0.0"},           {"1.10", "0.0.0"},
        {"", "0.0.0"},        {"1.2.3.4", "0.0.0"},  {"99999999999.1.1", "0.1.1"},
    };
    for (const auto& c : cases) {
        const CVersion version(c.szText);
        EXPECT_EQ(std::to_string(version.GetMajor()) + "." + std::to_string(version.GetMinor()) + "." +
                      std::to_string(version.GetPatch()),
                  c.szRead)
            << c.szText;
        EXPECT_EQ(version.GetVersionString(), c.szText) << "the text is kept unchanged";
        EXPECT_TRUE(version == CVersion(c.szRead)) << c.szText;
    }
    EXPECT_TRUE(CVersion() == CVersion("garbage"));
    EXPECT_FALSE(CVersion("1.3.0") == CVersion("1.3.1"));
    // a not older than b, for (a, b): numbers, not text order.
    for (const auto& [szA, szB, bNotOlder] : {std::tuple{"1.10.0", "1.9.0", true},
                                              {"1.9.0", "1.10.0", false},
                                              {"1.9.0", "1.9.0", true},
                                              {"1.9.0", "1.9.1", false},
                                              {"2.0.0", "1.99.99", true}}) {
        EXPECT_EQ(CVersion(szA).IsNotOlderThan(CVersion(szB)), bNotOlder) << szA << " " << szB;
    }
}
