// The process-wide sink's level filter and the masking of password values. The
// line layout and the file target are what the expected transcripts read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "LogCapture.h"
#include "Qarn/Base/Log.h"
#include "Qarn/Base/LogSink.h"

using Qarn::Base::CLogSink;
using Qarn::Base::details::KVRAFormatLog;

TEST(PlatformLogSink, LinesBelowTheMinimumLevelAreDroppedUntilReset) {
    vsu_test::CLogCapture capture;
    CLogSink::SetMinLevel(4);
    KVRAFormatLog(3, "visitor", "progress");
    KVRAFormatLog(4, "visitor", "warning");
    KVRAFormatLog(5, "visitor", "error");
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"warning", "error"}));

    CLogSink::Reset();
    const std::string strPath = "/tmp/vsu_logsink_" + std::to_string(::getpid()) + ".log";
    std::remove(strPath.c_str());
    ASSERT_TRUE(CLogSink::SetFile(strPath));
    KVRAFormatLog(3, "visitor", "progress after reset");
    CLogSink::Reset();
    std::stringstream written;
    written << std::ifstream(strPath).rdbuf();
    EXPECT_NE(written.str().find("INFO visitor progress after reset"), std::string::npos);
    std::remove(strPath.c_str());
}

TEST(PlatformLogSink, PasswordValuesAreMaskedInEveryForm) {
    EXPECT_EQ(CLogSink::MaskSecrets("OPTIONS (user 'u', password 'secret')"), "OPTIONS (user 'u', password '***')");
    EXPECT_EQ(CLogSink::MaskSecrets("PASSWORD 'a' and Password  'b'"), "PASSWORD '***' and Password  '***'");
    // Doubled quotes belong to the value: nothing of it may leak after the mask.
    EXPECT_EQ(CLogSink::MaskSecrets("password 'it''s '' here', host 'h'"), "password '***', host 'h'");
    EXPECT_EQ(CLogSink::MaskSecrets("password 'never closed"), "password '***'");
    EXPECT_EQ(CLogSink::MaskSecrets("host=h password=s3cr3t dbname=d"), "host=h password=*** dbname=d");
    EXPECT_EQ(CLogSink::MaskSecrets("password='a\\'b' port=1"), "password=*** port=1");
    EXPECT_EQ(CLogSink::MaskSecrets("SET password = 'it''s' WHERE 1"), "SET password = *** WHERE 1");
    EXPECT_EQ(CLogSink::MaskSecrets("the password is wrong for user 'x'"), "the password is wrong for user 'x'");

    vsu_test::CLogCapture capture;
    KVRAFormatLog(4, "visitor", "failed, sql: CREATE USER MAPPING FOR x SERVER s OPTIONS (password '%s')", "p''w");
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"failed, sql: CREATE USER MAPPING FOR x SERVER s OPTIONS (password '***')"});
}
