// Formatting, replacement and time-stamp helpers of QarnBase, and the small
// SQLSTATE codes of DBLayer.
#include <gtest/gtest.h>

#include <string>

#include "Qarn/Base/StringUtil.h"
#include "Qarn/Base/TimeUtil.h"
#include "db_layer/ErrorCodes.h"

using Qarn::Base::StringUtil::str_fmt;
using Qarn::Base::StringUtil::StringReplace;
using Qarn::Base::TimeUtil::TimeT2StrUTCTimeStamp;

TEST(PlatformStringUtil, StrFmtFormatsTheUsedConversionsWithoutLengthLimit) {
    EXPECT_EQ(str_fmt("%s-%d-%lld", "a", -7, 9007199254740993LL), "a--7-9007199254740993");
    const std::string strLong(100000, 'x');
    const std::string strResult = str_fmt("[%s]%d", strLong.c_str(), 42);
    ASSERT_EQ(strResult.size(), strLong.size() + 4);
    EXPECT_EQ(strResult.substr(strResult.size() - 4), "x]42");
    EXPECT_EQ(str_fmt("%s", ""), "");
}

TEST(PlatformStringUtil, StringReplaceWorksLeftToRightAndNeverRescansInsertedText) {
    EXPECT_EQ(StringReplace("it's 'x'", "'", "''"), "it''s ''x''");
    EXPECT_EQ(StringReplace("2024-01-31", "-", ""), "20240131");
    EXPECT_EQ(StringReplace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(StringReplace("abab", "ab", "abab"), "abababab");
    EXPECT_EQ(StringReplace("xyz", "", "q"), "xyz");
    EXPECT_EQ(StringReplace("", "a", "b"), "");
    EXPECT_EQ(StringReplace("no match", "zz", "y"), "no match");
}

TEST(PlatformTimeUtil, TimeStampIsUtcInPostgresLiteralLayout) {
    EXPECT_EQ(TimeT2StrUTCTimeStamp(0), "1970-01-01 00:00:00");
    EXPECT_EQ(TimeT2StrUTCTimeStamp(1700000000), "2023-11-14 22:13:20");
    EXPECT_EQ(TimeT2StrUTCTimeStamp(951782400), "2000-02-29 00:00:00");
    EXPECT_EQ(TimeT2StrUTCTimeStamp(-1), "1969-12-31 23:59:59");
    EXPECT_EQ(TimeT2StrUTCTimeStamp(4102444799LL), "2099-12-31 23:59:59");
}

TEST(PlatformErrorCodes, SqlStateReadsAsBase36AndMalformedStatesGiveZero) {
    EXPECT_EQ(db_layer::SqlStateToCode("42P01"), ((((4 * 36) + 2) * 36 + 25) * 36 + 0) * 36 + 1);
    EXPECT_EQ(db_layer::SqlStateToCode("00001"), 1);
    EXPECT_EQ(db_layer::SqlStateToCode("ZZZZZ"), 36 * 36 * 36 * 36 * 36 - 1);
    EXPECT_NE(db_layer::SqlStateToCode("23505"), db_layer::SqlStateToCode("23503"));
    EXPECT_EQ(db_layer::SqlStateToCode(nullptr), 0);
    EXPECT_EQ(db_layer::SqlStateToCode("4201"), 0);
    EXPECT_EQ(db_layer::SqlStateToCode("42P011"), 0);
    EXPECT_EQ(db_layer::SqlStateToCode("42p01"), 0);
}
