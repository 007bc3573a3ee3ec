#include <gtest/gtest.h>

#include "Upgrade/Version.h"

using UnifiedUpgradeComponent::CVersion;

namespace {

struct SParsed {
    const char* szText;
    unsigned nMajor, nMinor, nPatch;
};

TEST(Version, ReadsExactlyThreeNumbersAndOtherwiseStandsForZero) {
    const SParsed cases[] = {
        {"1.16.0", 1, 16, 0}, {"01.003.0", 1, 3, 0}, {"1..2.3", 1, 2, 3},          {".1.2.3.", 1, 2, 3},
        {" 1.2.3", 1, 2, 3},  {"1.2.3rc1", 1, 2, 3}, {"1.x.0", 1, 0, 0},           {"1.10", 0, 0, 0},
        {"", 0, 0, 0},        {"1.2.3.4", 0, 0, 0},  {"99999999999.1.1", 0, 1, 1},
    };
    for (const auto& c : cases) {
        const CVersion version(c.szText);
        EXPECT_EQ(version.GetMajor(), c.nMajor) << c.szText;
        EXPECT_EQ(version.GetMinor(), c.nMinor) << c.szText;
        EXPECT_EQ(version.GetPatch(), c.nPatch) << c.szText;
        EXPECT_EQ(version.GetVersionString(), c.szText) << "the text is kept unchanged";
    }
}

TEST(Version, ComparesNumbersNotTexts) {
    EXPECT_TRUE(CVersion("01.003.0") == CVersion("1.3.0"));
    EXPECT_TRUE(CVersion("1.10") == CVersion("0.0.0"));
    EXPECT_TRUE(CVersion() == CVersion("garbage"));
    EXPECT_FALSE(CVersion("1.3.0") == CVersion("1.3.1"));

    EXPECT_TRUE(CVersion("1.10.0").IsNotOlderThan(CVersion("1.9.0"))) << "numbers, not text order";
    EXPECT_FALSE(CVersion("1.9.0").IsNotOlderThan(CVersion("1.10.0")));
    EXPECT_TRUE(CVersion("1.9.0").IsNotOlderThan(CVersion("1.9.0")));
    EXPECT_FALSE(CVersion("1.9.0").IsNotOlderThan(CVersion("1.9.1")));
    EXPECT_TRUE(CVersion("2.0.0").IsNotOlderThan(CVersion("1.99.99")));
}

}  // namespace
