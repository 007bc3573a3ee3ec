// The step from 1.9.0 to 1.10.0 against the scripted connection: which texts go
// out in which order, which delete form a table gets, and what each failure
// leaves in the log and in the error fields.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/190To1100/UpgradeFunc_1100.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;

namespace {

const char* const kScript = "ALTER TABLE visitor.visitor_record ADD COLUMN IF NOT EXISTS note text;";
const std::vector<std::string> kTables = {"visitor_appoint_record", "visitor_appoint_reveiw_record", "visitor_record"};

std::string Find(const std::string& strTable) {
    return "SELECT id,create_time FROM (SELECT id, create_time, row_number() OVER(PARTITION BY id ORDER BY "
           "create_time) AS rn FROM visitor." +
           strTable + ") t WHERE t.rn<>1; ";
}
std::string SubTables(const std::string& strTable) {
    return "SELECT c.relname FROM pg_class c JOIN pg_inherits i ON i.inhrelid = c.oid JOIN pg_class d ON d.oid = "
           "i.inhparent JOIN pg_namespace pn ON pn.oid = d.relnamespace WHERE  pn.nspname = 'visitor' AND "
           "d.relname = '" +
           strTable + "'";
}
// The list the keys are added to: sub-tables without a primary key.
std::string Unkeyed(const std::string& strTable) {
    return SubTables(strTable) +
           " AND NOT EXISTS (SELECT 1 FROM pg_constraint k WHERE k.conrelid = c.oid AND k.contype = 'p')";
}
// The calls of the step's own work: without the mark table's statements.
std::vector<std::string> WorkCalls(const CFakeConnect& conn) {
    std::vector<std::string> vecCalls;
    for (const auto& strCall : conn.calls)
        if (strCall.find("visitor.module_upgrade_marker") == std::string::npos) vecCalls.push_back(strCall);
    return vecCalls;
}
std::vector<std::string> WorkStatements(const CFakeConnect& conn) {
    std::vector<std::string> vecStatements;
    for (const auto& strCall : WorkCalls(conn))
        if (strCall.rfind("EXEC ", 0) == 0 || strCall.rfind("QUERY ", 0) == 0)
            vecStatements.push_back(strCall.substr(strCall.find(' ') + 1));
    return vecStatements;
}
bool HasMark(const CFakeConnect& conn, const char* szPart) {
    return !conn.StatementsContaining(std::string("VALUES ('1.10.0', '") + szPart + "'").empty();
}
std::string DeleteAlone(const std::string& strTable) {
    return "DELETE FROM visitor." + strTable +
           " WHERE(ctid) IN( SELECT ctid FROM( SELECT ctid, id, create_time, row_number() OVER(PARTITION BY id "
           "ORDER BY create_time) AS rn FROM visitor." +
           strTable + ") t WHERE t.rn<>1); ";
}
std::string DeleteWithSubTables(const std::string& strTable) {
    return "DELETE FROM visitor." + strTable +
           " WHERE(tableoid, ctid) IN( SELECT tableoid, ctid FROM( SELECT tableoid, ctid, id, create_time, "
           "row_number() OVER(PARTITION BY id ORDER BY create_time) AS rn FROM visitor." +
           strTable + ") t WHERE t.rn<>1); ";
}
vsu_test::FakeRow Duplicate(const char* szId) { return {{"id", std::string(szId)}, {"create_time", std::nullopt}}; }
vsu_test::FakeRow SubTable(const char* szName) { return {{"relname", std::string(szName)}}; }

std::string Name(const char* szOperation) {
    return std::string("UnifiedUpgradeComponent::C190ToC1100::") + szOperation;
}

class DuplicateRemovalStep : public ::testing::Test {
protected:
    C190ToC1100 m_step;
    vsu_test::CScriptTree m_tree;
    CFakeConnect m_first, m_conn;
    int m_nCode = 0;
    std::string m_strText;
    void SetUp() override { m_tree.Write("update_V1.6.0", "update.sql", kScript); }
};

TEST_F(DuplicateRemovalStep, CleanTablesCostOneDetectionAndOneCatalogQueryEachThenTheScriptRunsInOneMarkedTransaction) {
    EXPECT_EQ(m_step.GetFromVersion(), CVersion("1.9.0"));
    EXPECT_EQ(m_step.GetToVersion(), CVersion("1.10.0"));
    EXPECT_TRUE(m_step.UpgradeCourse_Config(m_nCode, m_strText, &m_first, &m_conn, db_layer::DBParam()));
    std::vector<std::string> vecExpected = {"BEGIN"};
    for (const auto& strTable : kTables) vecExpected.push_back("QUERY " + Find(strTable));
    for (const auto& strTable : kTables) vecExpected.push_back("QUERY " + Unkeyed(strTable));
    vecExpected.push_back(std::string("EXEC ") + kScript);
    vecExpected.push_back("COMMIT");
    EXPECT_EQ(WorkCalls(m_conn), vecExpected);
    EXPECT_TRUE(HasMark(m_conn, "configuration"));
    EXPECT_TRUE(m_first.calls.empty());
    EXPECT_EQ(m_nCode, 0);
}

TEST_F(DuplicateRemovalStep, DeleteNamesRowsByLocationAloneOnlyWhereNoSubTableExists) {
    // visitor_appoint_record has sub-tables, visitor_record has none; both hold duplicates.
    // An id beyond 32 bits must not matter: the detection only counts rows.
    auto vecSubTables = {SubTable("visitor_appoint_record_2024"), SubTable("visitor_appoint_record_2025")};
    m_conn.OnRows(Find("visitor_appoint_record"), {Duplicate("7"), Duplicate("7")})
        .OnRows(Find("visitor_record"), {Duplicate("99999999999")})
        .OnRows(SubTables("visitor_appoint_record"), vecSubTables)
        .OnRows(Unkeyed("visitor_appoint_record"), vecSubTables);
    EXPECT_TRUE(m_step.UpgradeCourse_Config(m_nCode, m_strText, &m_first, &m_conn, db_layer::DBParam()));
    const std::vector<std::string> vecExpected = {
        Find("visitor_appoint_record"),
        SubTables("visitor_appoint_record"),
        DeleteWithSubTables("visitor_appoint_record"),
        Find("visitor_appoint_reveiw_record"),
        Find("visitor_record"),
        SubTables("visitor_record"),
        DeleteAlone("visitor_record"),
        Unkeyed("visitor_appoint_record"),
        " ALTER TABLE visitor.visitor_appoint_record_2024 ADD PRIMARY KEY(id);  ALTER TABLE "
        "visitor.visitor_appoint_record_2025 ADD PRIMARY KEY(id); ",
        Unkeyed("visitor_appoint_reveiw_record"),
        Unkeyed("visitor_record"),
        kScript,
    };
    EXPECT_EQ(WorkStatements(m_conn), vecExpected);
    const auto vecCalls = WorkCalls(m_conn);
    EXPECT_EQ(vecCalls[3].rfind("EXEC ", 0), 0u);
    EXPECT_EQ(vecCalls[9].rfind("EXEC ", 0), 0u);
}

struct SFailureCase {
    const char* szLabel;
    std::string strFailing;           // statement scripted to fail
    std::vector<std::string> vecErrors;  // level-5 messages, without position
    size_t nStatements;               // statements of the work sent up to and including the failing one
};

TEST_F(DuplicateRemovalStep, EachFailureStopsThePassWithTheWrapperLineTheOperationLineAndTheTableLine) {
    const std::string strPass = "[" + Name("UpgradeCourse_Config") + "]";
    const std::string strKeys = " ALTER TABLE visitor.r1 ADD PRIMARY KEY(id); ";
    const std::vector<SFailureCase> vecCases = {
        {"detection", Find("visitor_appoint_reveiw_record"),
         {"[" + Name("DeleteDuplicateValues") +
              "]visitor CRawTo1100::DeleteDuplicateValues get table list is fail sql = " +
              Find("visitor_appoint_reveiw_record"),
          strPass + "visitor.s [C190To1100::DeleteDuplicateValues] visitor_appoint_review_record is fail"},
         2},
        {"sub-tables before delete", SubTables("visitor_record"),
         {"[" + Name("DeleteDuplicateValues") +
              "]visitor CRawTo1100::DeleteDuplicateValues get table list is fail sql = " + SubTables("visitor_record"),
          strPass + "visitor.s [C190To1100::DeleteDuplicateValues] visitor_record is fail"},
         4},
        {"delete", DeleteAlone("visitor_record"),
         {"[" + Name("DeleteDuplicateValues") + "][DeleteDuplicateValues] failed, sql = " +
              DeleteAlone("visitor_record"),
          strPass + "visitor.s [C190To1100::DeleteDuplicateValues] visitor_record is fail"},
         5},
        {"catalog", Unkeyed("visitor_appoint_record"),
         {"[" + Name("ModifySubTablePrimaryKey") +
              "]visitor CRawTo1100::ModifySubTablePrimaryKey get table list is fail sql = " +
              Unkeyed("visitor_appoint_record"),
          strPass + "visitor.s [C190To1100::ModifySubTablePrimaryKey] visitor_appoint_record is fail"},
         6},
        {"key batch", strKeys,
         {"[" + Name("ModifySubTablePrimaryKey") +
              "][AddPartitionTablePrimaryKey] alter part table primary key failed, sql = " + strKeys,
          strPass + "visitor.s [C190To1100::ModifySubTablePrimaryKey] visitor_appoint_review_record is fail"},
         8},
        {"script", kScript,
         {"[" + Name("UpgradeCourse_Config_UpgradeBySQLFile") +
              "][ExecuteHelper] ExecuteTransaction failed,sql:[" + kScript +
              "], Error Code:23, Error Info:it broke.",
          strPass + "UpgradeCourse_Config_UpgradeBySQLFile failed, Error Code:23, Error Info:it broke."},
         10},
    };
    for (const SFailureCase& c : vecCases) {
        SCOPED_TRACE(c.szLabel);
        CFakeConnect conn;
        // visitor_record holds a duplicate and no sub-table; the review table has one sub-table without key.
        conn.OnRows(Find("visitor_record"), {Duplicate("1")})
            .OnRows(Unkeyed("visitor_appoint_reveiw_record"), {SubTable("r1")})
            .OnFail(c.strFailing, 23, "it broke");
        vsu_test::CLogCapture log;
        int nCode = 0;
        std::string strText;
        EXPECT_FALSE(m_step.UpgradeCourse_Config(nCode, strText, &m_first, &conn, db_layer::DBParam()));
        EXPECT_EQ(nCode, 23);
        EXPECT_EQ(strText, "it broke");
        ASSERT_EQ(WorkStatements(conn).size(), c.nStatements);
        EXPECT_EQ(WorkStatements(conn).back(), c.strFailing);
        // What was done before the failure goes back with the transaction, and nothing is marked.
        EXPECT_EQ(conn.calls.back(), "ROLLBACK");
        EXPECT_FALSE(HasMark(conn, "configuration"));
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1 + c.vecErrors.size());
        EXPECT_EQ(lines[0].nLevel, 4);
        for (size_t i = 0; i < c.vecErrors.size(); ++i) {
            EXPECT_EQ(lines[i + 1].nLevel, 5);
            EXPECT_EQ(vsu_test::WithoutPosition(lines[i + 1].strMessage), c.vecErrors[i]);
            EXPECT_NE(lines[i + 1].strMessage.find("upgrade/src/Upgrade/"), std::string::npos);
        }
    }
}

TEST_F(DuplicateRemovalStep, MissingArgumentsAreRefusedWithALineAndUntouchedErrorFields) {
    vsu_test::CLogCapture log;
    m_nCode = 5;
    m_strText = "earlier";
    auto pConn = std::make_shared<CDBAccessConn>(&m_conn);
    EXPECT_FALSE(m_step.DeleteDuplicateValues(m_nCode, m_strText, pConn, ""));
    EXPECT_FALSE(m_step.DeleteDuplicateValues(m_nCode, m_strText, nullptr, "visitor_record"));
    EXPECT_FALSE(m_step.ModifySubTablePrimaryKey(m_nCode, m_strText, pConn, "visitor_record", ""));
    EXPECT_FALSE(m_step.ModifySubTablePrimaryKey(m_nCode, m_strText, nullptr, "visitor_record", "id"));
    EXPECT_TRUE(m_conn.calls.empty());
    EXPECT_EQ(m_nCode, 5);
    EXPECT_EQ(m_strText, "earlier");
    const auto vecMessages = log.Messages(5);
    ASSERT_EQ(vecMessages.size(), 4u);
    EXPECT_EQ(vsu_test::WithoutPosition(vecMessages[0]),
              "[" + Name("DeleteDuplicateValues") + "]visitor CRawTo1100::DeleteDuplicateValues param is error "
                                                    "table_name = ");
    EXPECT_EQ(vsu_test::WithoutPosition(vecMessages[1]), "[" + Name("DeleteDuplicateValues") +
                                        "]visitor CRawTo1100::DeleteDuplicateValues param is error table_name = "
                                        "visitor_record");
    EXPECT_EQ(vsu_test::WithoutPosition(vecMessages[2]), "[" + Name("ModifySubTablePrimaryKey") +
                                        "]visitor CRawTo1100::ModifySubTablePrimaryKey param is error table_name = "
                                        "visitor_record, field_name = ");
    EXPECT_EQ(log.Lines().size(), 4u);
}

TEST_F(DuplicateRemovalStep, IncrementalRecordsPassCleansOnEveryRunAndRunsTheScriptOnceOnTheThirdConnectionOnly) {
    CFakeConnect second, third;
    vsu_test::CLogCapture log;
    m_nCode = 3;
    EXPECT_FALSE(m_step.UpgradeCourse_Records_IncreData(m_nCode, m_strText, &m_first, nullptr, &third,
                                                        db_layer::DBParam()));
    EXPECT_FALSE(m_step.UpgradeCourse_Records_IncreData(m_nCode, m_strText, &m_first, &second, nullptr,
                                                        db_layer::DBParam()));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(m_nCode, 3);
    EXPECT_TRUE(third.calls.empty());

    // Duplicates and keys outside the transaction that carries the script and its mark.
    std::vector<std::string> vecExpected;
    for (const auto& strTable : kTables) vecExpected.push_back("QUERY " + Find(strTable));
    for (const auto& strTable : kTables) vecExpected.push_back("QUERY " + Unkeyed(strTable));
    const size_t nCleaning = vecExpected.size();
    vecExpected.insert(vecExpected.end(), {"BEGIN", std::string("EXEC ") + kScript, "COMMIT"});
    EXPECT_TRUE(m_step.UpgradeCourse_Records_IncreData(m_nCode, m_strText, &m_first, &second, &third,
                                                       db_layer::DBParam()));
    EXPECT_EQ(WorkCalls(third), vecExpected);
    EXPECT_TRUE(HasMark(third, "incremental_configuration"));
    // Once marked, a rerun looks again for duplicates and missing keys, but not the script.
    third.calls.clear();
    third.OnRows("module_upgrade_marker WHERE step_ver = '1.10.0'", {{{"pass_part", "incremental_configuration"}}},
                 true);
    EXPECT_TRUE(m_step.UpgradeCourse_Records_IncreData(m_nCode, m_strText, &m_first, &second, &third,
                                                       db_layer::DBParam()));
    vecExpected.resize(nCleaning);
    EXPECT_EQ(WorkCalls(third), vecExpected);
    EXPECT_TRUE(second.calls.empty());
    EXPECT_TRUE(m_first.calls.empty());

    CFakeConnect failing;
    failing.OnFail(Find("visitor_record"), 9, "gone");
    EXPECT_FALSE(m_step.UpgradeCourse_Records_IncreData(m_nCode, m_strText, &m_first, &second, &failing,
                                                        db_layer::DBParam()));
    EXPECT_EQ(vsu_test::WithoutPosition(log.Messages(5).back()), "[" + Name("UpgradeCourse_Records_IncreData") +
                                                "]visitor.s [C190To1100::DeleteDuplicateValues] visitor_record is fail");
}

TEST_F(DuplicateRemovalStep, RecordsPassMarksTheVersionAndIncrementalConfigPassDoesNothing) {
    const std::string strMarker =
        "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
        "rate_progress = -1, step_ver = '1.10.0' WHERE module_identity = 'visitor.s';";
    m_conn.OnFail(strMarker, 42, "no status table");
    EXPECT_TRUE(m_step.UpgradeCourse_Records(m_nCode, m_strText, &m_first, &m_conn, db_layer::DBParam()));
    EXPECT_EQ(m_conn.Statements(), std::vector<std::string>{strMarker});
    EXPECT_EQ(m_nCode, 42);

    m_nCode = 1;
    EXPECT_TRUE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, nullptr, nullptr, nullptr,
                                                      db_layer::DBParam()));
    EXPECT_EQ(m_nCode, 1);
}

}  // namespace
