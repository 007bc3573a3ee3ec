#include <gtest/gtest.h>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "Upgrade/DBAccessConn.h"

using UnifiedUpgradeComponent::CDBAccessConn;
namespace RowReaders = UnifiedUpgradeComponent::RowReaders;
using vsu_test::CFakeConnect;

namespace {

TEST(DBAccessConn, FailureKeepsCodeAndTextAndLogsTheSqlAtLevel4) {
    CFakeConnect conn;
    conn.OnFail("UPDATE broken", 123, "relation does not exist");
    vsu_test::CLogCapture log;
    CDBAccessConn wrapper(&conn);

    EXPECT_FALSE(wrapper.ExecuteHelper("UPDATE broken"));
    EXPECT_TRUE(wrapper.ExecuteHelper("UPDATE fine")) << "a later success";
    int nCode = 0;
    std::string strText;
    EXPECT_TRUE(wrapper.GetLastError(nCode, strText));
    EXPECT_EQ(nCode, 123) << "a success does not clear the stored failure";
    EXPECT_EQ(strText, "relation does not exist");

    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].nLevel, 4);
    EXPECT_EQ(log.Lines()[0].strMessage.rfind(
                  "[UnifiedUpgradeComponent::CDBAccessConn::ExecuteHelper][CDBAccessConn::ExecuteHelper] Failed, "
                  "errorcode: 123, errorinfo: relation does not exist, sql: UPDATE broken[upgrade/src/Upgrade/",
                  0),
              0u)
        << log.Lines()[0].strMessage;
}

TEST(DBAccessConn, QueryRunsTheReaderOnlyAfterSuccessAlsoOnEmptyResults) {
    CFakeConnect conn;
    conn.OnRows("SELECT rows", {{{"v", "7"}}, {{"v", "9"}}});
    conn.OnFail("SELECT bad", 5, "syntax error");
    vsu_test::CLogCapture log;
    CDBAccessConn wrapper(&conn);

    int nCalls = 0;
    bool bEofAtOnce = false;
    EXPECT_TRUE(wrapper.ExecuteQuery("SELECT nothing", [&](db_layer::CConnect& c) {
        ++nCalls;
        bEofAtOnce = c.IsEOF();
    }));
    EXPECT_EQ(nCalls, 1);
    EXPECT_TRUE(bEofAtOnce);

    int nLast = -1;
    EXPECT_TRUE(wrapper.ExecuteQuery("SELECT rows", RowReaders::LastInt("v", nLast)));
    EXPECT_EQ(nLast, 9) << "last row wins";

    nCalls = 0;
    EXPECT_FALSE(wrapper.ExecuteQuery("SELECT bad", [&](db_layer::CConnect&) { ++nCalls; }));
    EXPECT_EQ(nCalls, 0);
    ASSERT_EQ(log.Messages(4).size(), 1u);
    EXPECT_NE(log.Messages(4)[0].find("[CDBAccessConn::ExecuteQuery] Failed, errorcode: 5, errorinfo: syntax error, "
                                      "sql: SELECT bad["),
              std::string::npos);
}

TEST(DBAccessConn, NullConnectionFailsWithItsOwnCodeAndNeverCrashes) {
    vsu_test::CLogCapture log;
    CDBAccessConn wrapper(nullptr);
    EXPECT_FALSE(wrapper.BeginTransaction());
    EXPECT_FALSE(wrapper.ExecuteHelper("SELECT 1"));
    EXPECT_FALSE(wrapper.ExecuteQuery("SELECT 1", RowReaders::Drain()));
    EXPECT_FALSE(wrapper.Rollback());
    EXPECT_FALSE(wrapper.Commit());
    int nCode = 0;
    std::string strText;
    wrapper.GetLastError(nCode, strText);
    EXPECT_EQ(nCode, CDBAccessConn::kNullConnectionCode);
    EXPECT_EQ(strText, CDBAccessConn::kNullConnectionInfo);
    EXPECT_EQ(log.Messages(4).size(), 5u) << "each failure is logged with its SQL";
    EXPECT_NE(log.Messages(4)[4].find("[CDBAccessConn::Commit] Failed, errorcode: -1, "), std::string::npos);
    EXPECT_NE(log.Messages(4)[4].find("sql: COMMIT["), std::string::npos);
}

TEST(DBAccessConn, ReaderShapesReadWhatTheirCallersExpect) {
    CFakeConnect conn;
    conn.OnRows("SELECT nextval", {{{"nextval", "41"}}, {{"nextval", "42"}}});
    CDBAccessConn wrapper(&conn);

    int nFirst = -1;
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT nextval", RowReaders::FirstIntAt0(nFirst)));
    EXPECT_EQ(nFirst, 41);
    EXPECT_FALSE(conn.IsEOF()) << "first-value reader does not move";

    int nUntouched = -1;
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT none", RowReaders::FirstIntAt0(nUntouched)));
    EXPECT_EQ(nUntouched, -1);

    std::string strValue = "before";
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT none", RowReaders::LastString("x", strValue)));
    EXPECT_EQ(strValue, "before") << "no row keeps the caller's value";

    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT nextval", RowReaders::Drain()));
    EXPECT_TRUE(conn.IsEOF());
}

}  // namespace
