// The step to 1.10.0 on real tables: a declaratively partitioned table, an
// inheritance parent that holds rows itself, and a plain table. Rows in different
// physical tables share locations (ctid), so only a delete that tells the tables
// apart leaves exactly the first row of each id.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
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

std::string Tags(const vsu_test::CTestDatabase& db, const std::string& strTable) {
    return db.Scalar("SELECT string_agg(tag, ',' ORDER BY tag) FROM visitor." + strTable);
}
std::string KeyedTables(const vsu_test::CTestDatabase& db) {
    return db.Scalar(
        "SELECT string_agg(c.relname, ',' ORDER BY c.relname) FROM pg_index x JOIN pg_class c ON c.oid = x.indrelid "
        "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'visitor' AND x.indisprimary");
}

TEST(DuplicateRemovalServer, KeepsExactlyTheFirstRowOfEachIdAcrossSubTablesAndKeysEverySubTable) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec(kRows);
    vsu_test::CScriptTree tree;
    tree.Write("update_V1.6.0", "update.sql", kScript);
    auto pFirst = db.Connect();
    auto pSecond = db.Connect();
    C190ToC1100 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.UpgradeCourse_Config(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam()))
        << strText;

    // NULL create_time ranks last; among equal times one row of the id stays.
    const std::string strRecords = Tags(db, "visitor_record");
    EXPECT_TRUE(strRecords == "a1,b1,c1,d2,e2,f1,g2" || strRecords == "a1,b1,c1,d2,e2,f2,g2") << strRecords;
    EXPECT_EQ(Tags(db, "visitor_appoint_record"), "h1,h2,h4,p2");
    const std::string strReviews = Tags(db, "visitor_appoint_reveiw_record");
    EXPECT_TRUE(strReviews == "r1,s2,t1" || strReviews == "r1,s2,t2") << strReviews;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE id = 12"), "1");
    // Sub-tables get keys, the tables themselves do not.
    EXPECT_EQ(KeyedTables(db),
              "visitor_appoint_record_h1,visitor_record_2023,visitor_record_2024,visitor_record_other");
    EXPECT_EQ(db.Scalar("SELECT to_regclass('visitor.script_ran') IS NOT NULL"), "t");

    // A second run meets the keys it added and stops there, before the script.
    db.Exec("DROP TABLE visitor.script_ran");
    vsu_test::CLogCapture log;
    EXPECT_FALSE(step.UpgradeCourse_Config(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam()));
    EXPECT_NE(nCode, 0);
    EXPECT_NE(strText.find("multiple primary keys"), std::string::npos) << strText;
    EXPECT_TRUE(log.Contains("[AddPartitionTablePrimaryKey] alter part table primary key failed, sql =  ALTER TABLE "
                             "visitor.visitor_appoint_record_h1 ADD PRIMARY KEY(id); "));
    EXPECT_TRUE(log.Contains("visitor.s [C190To1100::ModifySubTablePrimaryKey] visitor_appoint_record is fail"));
    EXPECT_EQ(db.Scalar("SELECT to_regclass('visitor.script_ran') IS NULL"), "t");
}

TEST(DuplicateRemovalServer, IncrementalRecordsPassCleansTheThirdDatabaseOnly) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase upgraded("upg");
    vsu_test::CTestDatabase incre("inc");
    for (const auto* pDb : {&upgraded, &incre}) {
        pDb->Exec(kSchema);
        pDb->Exec(kRows);
    }
    vsu_test::CScriptTree tree;
    tree.Write("update_V1.6.0", "update.sql", kScript);
    auto pSecond = upgraded.Connect();
    auto pThird = incre.Connect();
    C190ToC1100 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.UpgradeCourse_Records_IncreData(nCode, strText, nullptr, pSecond.get(), pThird.get(),
                                                     db_layer::DBParam()))
        << strText;
    EXPECT_EQ(Tags(incre, "visitor_appoint_record"), "h1,h2,h4,p2");
    EXPECT_EQ(KeyedTables(incre),
              "visitor_appoint_record_h1,visitor_record_2023,visitor_record_2024,visitor_record_other");
    EXPECT_EQ(upgraded.Scalar("SELECT count(*) FROM visitor.visitor_record"), "12");
    EXPECT_EQ(KeyedTables(upgraded), "<NULL>");
}

}  // namespace
