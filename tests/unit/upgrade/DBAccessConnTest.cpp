// The wrapper where the failure table does not reach: a missing connection.
#include <gtest/gtest.h>

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

}  // namespace
