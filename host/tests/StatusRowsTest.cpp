// Which status row the host adds before a run, and from what: the module's
// latest row (by achieve time) when the narrowed row is missing, a fresh row at
// status 0 with the from-version when the module has none, nothing when it is
// there; a database without the status table is refused with the table named.
#include <gtest/gtest.h>

#include "StatusRows.h"
#include "TestServer.h"

using VisitorUpgradeHost::CStatusRows;

TEST(HostStatusRows, TheRowAddedIsACopyOfTheLatestRowOrAFreshOneAndNoneWhenPresent) {
    VSU_REQUIRE_SERVER();
    const char* const kTable =
        "CREATE SCHEMA platform; CREATE TABLE platform.module_version_status(id serial, module_identity varchar(64),"
        " version_no varchar(32), status int, schedule int, rate_progress int, step_ver varchar(32),"
        " install_time timestamp, achieve_time timestamp);";
    const std::string strRow =
        "INSERT INTO platform.module_version_status(module_identity, version_no, status,"
        " schedule, rate_progress, step_ver, achieve_time) VALUES ";
    const struct {
        const char* szCase;
        std::string strBefore;
        bool bOk, bInserted;
        const char* szAfter;  // the module's '1.12.0' row: status:schedule:rate_progress:step_ver
    } cases[] = {
        {"no row", kTable, true, true, "0:0:0:1.9.0"},
        {"another module's row only", kTable + strRow + "('other', '1.12.0', 1, -1, -1, '9.9.9', now())", true, true,
         "0:0:0:1.9.0"},
        {"older rows",
         kTable + strRow +
             "('visitor.s', '1.0.0', 1, -1, -1, '1.0.0', '2024-01-01'), ('visitor.s',"
             " '1.11.0', 2, 0, 40005, '1.11.0', '2024-06-01'), ('visitor.s', '1.3.0', 1,"
             " -1, -1, '1.3.0', NULL)",
         true, true, "2:0:40005:1.11.0"},
        {"the row is there", kTable + strRow + "('visitor.s', '1.12.0', 1, -1, -1, '1.15.0', NULL)", true, false,
         "1:-1:-1:1.15.0"},
        {"not a module database", "SELECT 1", false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        vsu_test::CTestDatabase db;
        db.Exec(c.strBefore);
        auto pConn = db.Connect();
        bool bInserted = false;
        std::string strError;
        EXPECT_EQ(CStatusRows::Ensure(*pConn, "visitor.s", "1.9.0", bInserted, strError), c.bOk) << strError;
        EXPECT_EQ(bInserted, c.bInserted);
        if (!c.bOk) {
            EXPECT_NE(strError.find("platform.module_version_status"), std::string::npos) << strError;
            continue;
        }
        EXPECT_EQ(db.Scalar("SELECT string_agg(concat_ws(':', status, schedule, rate_progress, step_ver), ',') FROM"
                            " platform.module_version_status WHERE module_identity = 'visitor.s' AND version_no ="
                            " '1.12.0'"),
                  c.szAfter);
    }
}
