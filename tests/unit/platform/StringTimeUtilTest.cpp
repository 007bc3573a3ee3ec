// The UTC time stamps of QarnBase and the SQLSTATE codes of DBLayer.
#include <gtest/gtest.h>

#include <string>

#include "Qarn/Base/TimeUtil.h"
#include "db_layer/ErrorCodes.h"

using Qarn::Base::TimeUtil::TimeT2StrUTCTimeStamp;

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
