// The step to 1.10.0 on the reference database at 1.9.0, whose three record
// tables are partitioned: rows in different partitions share locations (ctid),
// so only a delete that tells the partitions apart leaves exactly the first
// row of each id. Start state -> pass(es) -> end state, for both passes.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ReferenceDatabase.h"
#include "ScriptTree.h"
#include "Upgrade/190To1100/UpgradeFunc_1100.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CTestDatabase;

namespace {

// The review table is a plain one here, as on a site that never partitioned it: the delete
// without sub-tables. Each partition's first rows sit at the same locations (0,1), (0,2), ...;
// the guid tells rows apart.
const char* const kRows =
    "DROP TABLE visitor.visitor_appoint_reveiw_record; CREATE TABLE visitor.visitor_appoint_reveiw_record(id integer,"
    " create_time timestamp, object_guid varchar(64));"
    "INSERT INTO visitor.visitor_record(id, create_time, object_guid) VALUES (1, '2023-05-01', 'a1'),"
    " (3, '2023-06-01', 'c1'), (4, '2023-01-05', 'd2'), (5, '2023-03-01', 'e2'), (1, '2024-02-01', 'a2'),"
    " (2, '2024-03-01', 'b1'), (4, '2024-01-05', 'd1'), (5, NULL, 'e1'), (6, NULL, 'f1'), (6, NULL, 'f2'),"
    " (2147483647, NULL, 'g1'), (2147483647, '2023-02-02', 'g2');"
    "INSERT INTO visitor.visitor_appoint_record(id, create_time, object_guid) VALUES (20, '2024-01-01', 'p1'),"
    " (21, '2024-01-01', 'p2'), (20, '2023-01-01', 'h1'), (22, '2023-01-01', 'h2'), (23, '2023-01-02', 'h3'),"
    " (23, '2023-01-01', 'h4');"
    "INSERT INTO visitor.visitor_appoint_reveiw_record(id, create_time, object_guid) VALUES (10, '2024-01-03', 'r3'),"
    " (10, '2024-01-01', 'r1'), (10, '2024-01-02', 'r2'), (11, NULL, 's1'), (11, '2024-05-05', 's2'),"
    " (12, NULL, 't1'), (12, NULL, 't2');";
// What a run stopped among the keys leaves, or a database upgraded before marks existed.
const char* const kEarlierRun =
    "DELETE FROM visitor.visitor_appoint_record WHERE object_guid IN ('p1', 'h3');"
    "ALTER TABLE visitor.visitor_appoint_record_p2023 ADD PRIMARY KEY (id);"
    "ALTER TABLE visitor.visitor_record_p2024 ADD PRIMARY KEY (id);";

// The guids left per table, the keyed tables, the step's marks.
std::string State(const CTestDatabase& db) {
    std::string strState;
    for (const char* szTable : {"visitor_record", "visitor_appoint_record", "visitor_appoint_reveiw_record"})
        strState += vsu_test::Rows(db, std::string("visitor.") + szTable, "object_guid") + "|";
    return strState +
           vsu_test::Rows(db,
                          "pg_index x JOIN pg_class c ON c.oid = x.indrelid WHERE x.indisprimary AND c.relnamespace ="
                          " 'visitor'::regnamespace AND c.relname ~ '_record_'",
                          "c.relname") +
           "|" +
           (db.Scalar("SELECT to_regclass('visitor.module_upgrade_marker') IS NULL") == "t"
                ? ""
                : vsu_test::Rows(db, "visitor.module_upgrade_marker WHERE step_ver = '1.10.0'", "pass_part"));
}

TEST(DuplicateRemovalStates, EveryStartStateEndsAsOneRunWithTheFirstRowOfEachIdAndEachPartitionKeyed) {
    VSU_REQUIRE_SERVER();
    // NULL create_time ranks last; among equal times one row of the id stays (f1 or f2, t1 or t2).
    const std::string strKeyed =
        "visitor_appoint_record_default,visitor_appoint_record_p2023,visitor_appoint_record_p2024,"
        "visitor_record_default,visitor_record_p2023,visitor_record_p2024";
    const std::string strOneRun = "a1,b1,c1,d2,e2,f?,g2|h1,h2,h4,p2|r1,s2,t?|" + strKeyed + "|";
    const struct {
        const char* szCase;
        bool bConfig;
        const char* szBefore;
        bool bRefusedFirst;  // a first run whose script the server refuses
        int nRuns;
    } cases[] = {
        {"configuration pass", true, "", false, 1},
        {"configuration pass twice", true, "", false, 2},
        {"configuration pass after a refused script", true, "", true, 1},
        {"configuration pass over an earlier run without marks", true, kEarlierRun, false, 1},
        {"incremental records pass twice", false, "", false, 2},
        {"incremental records pass after a refused script", false, "", true, 1},
        {"incremental records pass after a stop among the keys", false, kEarlierRun, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        // The pass changes one database; the incremental pass is also given the other one as its second.
        CTestDatabase changed("chg"), other("oth");
        for (const CTestDatabase* pDb : {&changed, &other}) {
            vsu_test::BuildAt(*pDb, "1.9.0");
            pDb->Exec(kRows);
        }
        if (*c.szBefore != 0) changed.Exec(c.szBefore);
        const std::string strOtherBefore = State(other);
        vsu_test::CScriptTree tree;
        auto pChanged = changed.Connect(), pOther = other.Connect();
        C190ToC1100 step;
        int nCode = 0;
        std::string strText;
        vsu_test::CLogCapture quiet;
        const auto Run = [&] {
            return c.bConfig ? step.UpgradeCourse_Config(nCode, strText, nullptr, pChanged.get(), db_layer::DBParam())
                             : step.UpgradeCourse_Records_IncreData(nCode, strText, nullptr, pOther.get(),
                                                                    pChanged.get(), db_layer::DBParam());
        };
        if (c.bRefusedFirst) {
            tree.Write("update_V1.6.0", "update.sql", "CREATE TABLE visitor.script_ran (id int); SELEC 1;");
            EXPECT_FALSE(Run());
            EXPECT_NE(strText.find("SELEC"), std::string::npos) << strText;
        }
        tree.Write("update_V1.6.0", "update.sql", "CREATE TABLE visitor.script_ran (id int);");
        for (int nRun = 0; nRun < c.nRuns; ++nRun) EXPECT_TRUE(Run()) << strText;
        std::string strEnd = State(changed);
        for (const char* szEither : {"f1", "f2", "t1", "t2"}) {
            const size_t nAt = strEnd.find(szEither);
            if (nAt != std::string::npos) strEnd[nAt + 1] = '?';
        }
        EXPECT_EQ(strEnd, strOneRun + (c.bConfig ? "configuration" : "incremental_configuration"));
        EXPECT_EQ(changed.Scalar("SELECT to_regclass('visitor.script_ran') IS NOT NULL"), "t");
        EXPECT_EQ(State(other), strOtherBefore);
    }
}

}  // namespace
