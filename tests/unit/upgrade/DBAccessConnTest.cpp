// The wrapper where the failure table does not reach: a missing connection,
// and the row reader shapes the steps share.
#include <gtest/gtest.h>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "Upgrade/DBAccessConn.h"

using UnifiedUpgradeComponent::CDBAccessConn;
namespace RowReaders = UnifiedUpgradeComponent::RowReaders;

namespace {

TEST(DBAccessConn, NullConnectionFailsEveryCallWithItsOwnCodeAndNeverCrashes) {
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
    EXPECT_EQ(log.Messages(4).size(), 5u) << "each failure is logged";
}

TEST(DBAccessConn, ReaderShapesReadWhatTheirCallersExpect) {
    vsu_test::CFakeConnect conn;
    conn.OnRows("SELECT two", {{{"v", "41"}}, {{"v", "42"}}});
    CDBAccessConn wrapper(&conn);
    int nFirst = -1, nLast = -1, nUntouched = -1;
    std::string strValue = "before";
    std::vector<int> vecAll;
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT two", RowReaders::FirstIntAt0(nFirst)));
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT two", RowReaders::LastInt("v", nLast)));
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT two",
                                     RowReaders::Collect(vecAll, [](db_layer::CConnect& c) { return c.GetInt("v"); })));
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT none", RowReaders::FirstIntAt0(nUntouched)));
    ASSERT_TRUE(wrapper.ExecuteQuery("SELECT none", RowReaders::LastString("v", strValue)));
    EXPECT_EQ(nFirst, 41);
    EXPECT_EQ(nLast, 42);
    EXPECT_EQ(vecAll, (std::vector<int>{41, 42}));
    EXPECT_EQ(nUntouched, -1) << "no row keeps the caller's value";
    EXPECT_EQ(strValue, "before");
}

}  // namespace
