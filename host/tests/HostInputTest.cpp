// The checks of operator input that need no database: --from, --lock-timeout, escaped values.
#include <gtest/gtest.h>

#include "Duration.h"
#include "EscapedText.h"
#include "VersionArgument.h"

using namespace VisitorUpgradeHost;

namespace {

TEST(HostInput, FromVersionIsExactlyThreeDecimalNumbersWithinRange) {
    const std::pair<std::string, const char*> cases[] = {  // text, major.minor.patch or nullptr: refused
        {"1.15.0", "1.15.0"}, {"01.003.0", "1.3.0"}, {"4294967295.0.4294967295", "4294967295.0.4294967295"},
        {"00000000000000000000001.0.000000", "1.0.0"},  // 32 characters
        {"000000000000000000000001.0.000000", nullptr}, {"4294967296.0.0", nullptr}, {"", nullptr},
        {"1.12", nullptr}, {"1.10.0.1", nullptr}, {"1..0", nullptr}, {".1.0", nullptr}, {"1.0.", nullptr},
        {"1.15.0\n", nullptr}, {" 1.15.0", nullptr}, {"-1.0.0", nullptr}, {"+1.0.0", nullptr}, {"1.x.0", nullptr},
        {"1.2.3rc1", nullptr}, {std::string("1.0\0.0", 6), nullptr}};
    for (const auto& [strText, szParsed] : cases) {
        CVersionArgument version;
        ASSERT_EQ(CVersionArgument::Parse(strText, version), szParsed != nullptr) << CEscapedText::Of(strText);
        if (szParsed == nullptr) continue;
        EXPECT_EQ(std::to_string(version.Major()) + "." + std::to_string(version.Minor()) + "." +
                      std::to_string(version.Patch()),
                  szParsed);
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
