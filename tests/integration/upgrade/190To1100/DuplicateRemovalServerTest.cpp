// The step to 1.10.0 on real tables: a declaratively partitioned table, an
// inheritance parent that holds rows itself, and a plain table. Rows in different
// physical tables share locations (ctid), so only a delete that tells the tables
// apart leaves exactly the first row of each id. Repeated, interrupted and
// refused runs of either pass end as one run ends.
#include <gtest/gtest.h>

#include <string>

#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/190To1100/UpgradeFunc_1100.h"

using namespace UnifiedUpgradeComponent;

namespace {

const char* const kSchema = R"SQL(
CREATE SCHEMA visitor;
CREATE TABLE visitor.visitor_record (id bigint, create_time timestamp, tag text) PARTITION BY RANGE (create_time);
CREATE TABLE visitor.visitor_record_2023 PARTITION OF visitor.visitor_record
    FOR VALUES FROM ('2023-01-01') TO ('2024-01-01');
CREATE TABLE visitor.visitor_record_2024 PARTITION OF visitor.visitor_record
    FOR VALUES FROM ('2024-01-01') TO ('2025-01-01');
CREATE TABLE visitor.visitor_record_other PARTITION OF visitor.visitor_record DEFAULT;
CREATE TABLE visitor.visitor_appoint_record (id bigint, create_time timestamp, tag text);
CREATE TABLE visitor.visitor_appoint_record_h1 () INHERITS (visitor.visitor_appoint_record);
CREATE TABLE visitor.visitor_appoint_reveiw_record (id bigint, create_time timestamp, tag text);
)SQL";

// Each partition's first rows sit at the same locations (0,1), (0,2), ...
const char* const kRows = R"SQL(
INSERT INTO visitor.visitor_record VALUES
    (1, '2023-05-01', 'a1'), (3, '2023-06-01', 'c1'), (4, '2023-01-05', 'd2'), (5, '2023-03-01', 'e2'),
    (1, '2024-02-01', 'a2'), (2, '2024-03-01', 'b1'), (4, '2024-01-05', 'd1'),
    (5, NULL, 'e1'), (6, NULL, 'f1'), (6, NULL, 'f2'), (9999999999, NULL, 'g1'), (9999999999, '2023-02-02', 'g2');
INSERT INTO visitor.visitor_appoint_record VALUES (20, '2024-01-01', 'p1'), (21, '2024-01-01', 'p2');
INSERT INTO visitor.visitor_appoint_record_h1 VALUES
    (20, '2023-01-01', 'h1'), (22, '2023-01-01', 'h2'), (23, '2023-01-02', 'h3'), (23, '2023-01-01', 'h4');
INSERT INTO visitor.visitor_appoint_reveiw_record VALUES
    (10, '2024-01-03', 'r3'), (10, '2024-01-01', 'r1'), (10, '2024-01-02', 'r2'), (11, NULL, 's1'),
    (11, '2024-05-05', 's2'), (12, NULL, 't1'), (12, NULL, 't2');
)SQL";

const char* const kScript = "CREATE TABLE visitor.script_ran (id int);";
// Refused by the server after the table is made: the whole script text fails.
const char* const kRefusedScript = "CREATE TABLE visitor.script_ran (id int); SELEC 1;";

// What an earlier run left when it was stopped among the keys, or what a database
// upgraded before marks existed holds: the appointment duplicates gone and that
// table's sub-table keyed; one partition of the visit records keyed, its duplicates
// across partitions still there.
const char* const kEarlierRun = R"SQL(
DELETE FROM visitor.visitor_appoint_record WHERE tag IN ('p1', 'h3');
ALTER TABLE visitor.visitor_appoint_record_h1 ADD PRIMARY KEY (id);
ALTER TABLE visitor.visitor_record_2024 ADD PRIMARY KEY (id);
)SQL";

std::string Tags(const vsu_test::CTestDatabase& db, const std::string& strTable) {
    return db.Scalar("SELECT string_agg(tag, ',' ORDER BY tag) FROM visitor." + strTable);
}
std::string KeyedTables(const vsu_test::CTestDatabase& db) {
    return db.Scalar(
        "SELECT string_agg(c.relname, ',' ORDER BY c.relname) FROM pg_index x JOIN pg_class c ON c.oid = x.indrelid "
        "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'visitor' AND x.indisprimary AND "
        "c.relname <> 'module_upgrade_marker'");
}
std::string Marks(const vsu_test::CTestDatabase& db) {
    return db.Scalar("SELECT count(*) FROM pg_tables WHERE tablename = 'module_upgrade_marker'") == "0"
               ? "none"
               : db.Scalar("SELECT coalesce(string_agg(pass_part, ','), 'none') FROM visitor.module_upgrade_marker "
                           "WHERE step_ver = '1.10.0'");
}

enum EPass { CONFIGURATION, INCREMENTAL_RECORDS };

struct SState {
    const char* szLabel;
    EPass ePass;
    const char* szBefore;  // run on the database the pass changes, before the pass
    bool bRefusedFirst;    // a first run whose script the server refuses
    int nRuns;             // runs with the good script
};

// Whatever came before, the pass ends in the state of one uninterrupted run: exactly
// the first row of each id across a table and its sub-tables, each sub-table keyed
// once (the tables themselves not), the script run once, the pass's mark.
TEST(DuplicateRemovalServer, EveryStartingStateEndsInTheStateOfOneRun) {
    VSU_REQUIRE_SERVER();
    const SState kStates[] = {
        {"configuration pass", CONFIGURATION, "", false, 1},
        {"configuration pass twice", CONFIGURATION, "", false, 2},
        {"configuration pass after a refused script", CONFIGURATION, "", true, 1},
        {"configuration pass over an earlier run without marks", CONFIGURATION, kEarlierRun, false, 1},
        {"incremental records pass", INCREMENTAL_RECORDS, "", false, 1},
        {"incremental records pass twice", INCREMENTAL_RECORDS, "", false, 2},
        {"incremental records pass after a refused script", INCREMENTAL_RECORDS, "", true, 1},
        {"incremental records pass after a kill among the keys", INCREMENTAL_RECORDS, kEarlierRun, false, 1},
    };
    for (const SState& state : kStates) {
        SCOPED_TRACE(state.szLabel);
        // The pass changes one database; the incremental pass is also given the other one as its second.
        vsu_test::CTestDatabase changed("chg");
        vsu_test::CTestDatabase other("oth");
        for (const auto* pDb : {&changed, &other}) {
            pDb->Exec(kSchema);
            pDb->Exec(kRows);
        }
        if (*state.szBefore != '\0') changed.Exec(state.szBefore);
        vsu_test::CScriptTree tree;
        auto pChanged = changed.Connect();
        auto pOther = other.Connect();
        C190ToC1100 step;
        int nCode = 0;
        std::string strText;
        const bool bConfig = state.ePass == CONFIGURATION;
        auto fnRun = [&] {
            return bConfig ? step.UpgradeCourse_Config(nCode, strText, nullptr, pChanged.get(), db_layer::DBParam())
                           : step.UpgradeCourse_Records_IncreData(nCode, strText, nullptr, pOther.get(),
                                                                  pChanged.get(), db_layer::DBParam());
        };

        if (state.bRefusedFirst) {
            tree.Write("update_V1.6.0", "update.sql", kRefusedScript);
            EXPECT_FALSE(fnRun());
            EXPECT_NE(strText.find("SELEC"), std::string::npos) << strText;
            EXPECT_EQ(Marks(changed), "none");
            EXPECT_EQ(changed.Scalar("SELECT to_regclass('visitor.script_ran') IS NULL"), "t");
            // The configuration pass takes its removals and keys back with the script;
            // the incremental pass keeps them, and its rerun finds nothing left to do there.
            EXPECT_EQ(changed.Scalar("SELECT count(*) FROM visitor.visitor_record"), bConfig ? "12" : "7");
        }
        tree.Write("update_V1.6.0", "update.sql", kScript);
        for (int nRun = 0; nRun < state.nRuns; ++nRun) {
            nCode = 0;
            strText.clear();
            EXPECT_TRUE(fnRun()) << "run " << nRun + 1 << ": " << strText;
        }

        // NULL create_time ranks last; among equal times one row of the id stays.
        const std::string strRecords = Tags(changed, "visitor_record");
        EXPECT_TRUE(strRecords == "a1,b1,c1,d2,e2,f1,g2" || strRecords == "a1,b1,c1,d2,e2,f2,g2") << strRecords;
        EXPECT_EQ(Tags(changed, "visitor_appoint_record"), "h1,h2,h4,p2");
        const std::string strReviews = Tags(changed, "visitor_appoint_reveiw_record");
        EXPECT_TRUE(strReviews == "r1,s2,t1" || strReviews == "r1,s2,t2") << strReviews;
        EXPECT_EQ(KeyedTables(changed),
                  "visitor_appoint_record_h1,visitor_record_2023,visitor_record_2024,visitor_record_other");
        EXPECT_EQ(changed.Scalar("SELECT to_regclass('visitor.script_ran') IS NOT NULL"), "t");
        EXPECT_EQ(Marks(changed), bConfig ? "configuration" : "incremental_configuration");

        EXPECT_EQ(other.Scalar("SELECT count(*) FROM visitor.visitor_record"), "12");
        EXPECT_EQ(KeyedTables(other), "<NULL>");
        EXPECT_EQ(Marks(other), "none");
    }
}

}  // namespace
