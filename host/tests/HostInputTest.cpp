// The checks of operator input that need no database: --from, --lock-timeout, escaped values.
#include <gtest/gtest.h>

#include "Duration.h"
#include "EscapedText.h"
#include "VersionArgument.h"

using namespace VisitorUpgradeHost;

namespace {

TEST(HostInput, FromVersionIsExactlyThreeDecimalNumbersWithinRange) {
    struct SCase {
        std::string strText;
        bool bValid;
        unsigned nMajor = 0, nMinor = 0, nPatch = 0;
    };
    const SCase cases[] = {
        {"1.15.0", true, 1, 15, 0},
        {"01.003.0", true, 1, 3, 0},
        {"4294967295.0.4294967295", true, 4294967295u, 0, 4294967295u},
        {"00000000000000000000001.0.000000", true, 1, 0, 0},  // 32 characters
        {"000000000000000000000001.0.000000", false},         // 33
    };
    const std::string invalid[] = {
        "4294967296.0.0", "",        "1.12",   "1.10.0.1", "1..0",  ".1.0",     "1.0.",
        "1.15.0\n",       " 1.15.0", "-1.0.0", "+1.0.0",   "1.x.0", "1.2.3rc1", std::string("1.0\0.0", 6)};
    for (const std::string& strText : invalid) {
        CVersionArgument version;
        EXPECT_FALSE(CVersionArgument::Parse(strText, version)) << CEscapedText::Of(strText);
    }
    for (const SCase& c : cases) {
        CVersionArgument version;
        ASSERT_EQ(CVersionArgument::Parse(c.strText, version), c.bValid) << CEscapedText::Of(c.strText);
        if (!c.bValid) continue;
        EXPECT_EQ(version.Major(), c.nMajor) << c.strText;
        EXPECT_EQ(version.Minor(), c.nMinor) << c.strText;
        EXPECT_EQ(version.Patch(), c.nPatch) << c.strText;
    }
}

TEST(HostInput, LockTimeoutIsAPositiveWholeNumberWithAUnit) {
    struct SCase {
        const char* szText;
        long long nMilliseconds;  // -1: refused
    };
    const SCase cases[] = {
        {"500ms", 500}, {"3s", 3000}, {"2min", 120000}, {"1h", 3600000},       {"24d", 2073600000}, {"25d", -1},
        {"0s", -1},     {"3", -1},    {"s", -1},        {"3 s", -1},           {"1.5s", -1},        {"-3s", -1},
        {"3sec", -1},   {"3S", -1},   {"", -1},         {"99999999999ms", -1},
    };
    for (const SCase& c : cases) {
        long long nMilliseconds = -1;
        const bool bValid = CDuration::ParseMilliseconds(c.szText, nMilliseconds);
        EXPECT_EQ(bValid, c.nMilliseconds >= 0) << c.szText;
        if (bValid) {
            EXPECT_EQ(nMilliseconds, c.nMilliseconds) << c.szText;
        }
    }
}

TEST(HostInput, EscapedTextStaysOnOneLineAndKeepsItsFields) {
    const std::pair<std::string, std::string> cases[] = {
        {"1.15.0", "1.15.0"},
        {"1.0.0\nversion_no=forged", "1.0.0\\nversion_no=forged"},
        {"a b\tc\r", "a\\x20b\\tc\\r"},
        {"back\\slash \"quoted\"", "back\\\\slash\\x20\\\"quoted\\\""},
        {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},  // é € 😀 stay
        {"\xc2\x9b"
         "31m",
         "\\xC2\\x9B31m"},           // C1 control
        {"\xff\xc3", "\\xFF\\xC3"},  // not UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(CEscapedText::Of(c.first), c.second);
}

}  // namespace
