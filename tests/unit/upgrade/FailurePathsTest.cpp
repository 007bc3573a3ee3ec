// What every failure of a pass must leave, as one table over the scripted
// connection: each row runs one pass of the module's own chain from a
// from-version, makes one statement (by a part of its text) or transaction call
// fail, and states the consequence: the pass's result, the module's last error,
// whether the open batch or range is rolled back, no finished marker, and the
// error line that names the operation. The texts themselves are pinned by the
// expected transcripts; this table pins what happens when the server says no.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/UpgradeCourseManager.h"
#include "db_layer/GloballySerial.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

enum class EPass { kConfig, kRecords, kConfigIncr, kRecordsIncr };

// The databases a row's pass meets, scripted on the three connections.
enum class EWorld {
    kNone,
    kVisitRecords,       // rt_data.visitor_record ids 5 and 6 on the first connection
    kApproval,           // appointments 1, 2 and review 5 on the second; a copy under way
    kApprovalIncrement,  // marked appointments on the third, a review on the first
    kDuplicates,         // a duplicate id in visitor.visitor_record
    kTemplates,          // a live template in the incremental database
};

FakeRow Row(std::initializer_list<std::pair<const std::string, std::optional<std::string>>> values) {
    return FakeRow(values);
}

// Columns not given read as NULL.
FakeRow Appointment(const char* szId, const char* szMarker) {
    FakeRow row = Row({{"id", szId}, {"interviewee_id", "40"}, {"create_time", "2024-03-15 08:00:00"}});
    if (szMarker != nullptr) row["row_status_implicit_upgrade"] = std::string(szMarker);
    return row;
}
const FakeRow kReview = Row({{"id", "5"}, {"appoint_review_status", "2"}, {"create_time", "2024-03-20 07:00:00"}});

void Script(EWorld eWorld, CFakeConnect (&conns)[3]) {
    const auto Range = [](CFakeConnect& conn, const std::string& strTable, const char* szMax, const char* szMin) {
        conn.OnRows("SELECT max(id) FROM " + strTable + ";", {Row({{"max", szMax}})})
            .OnRows("SELECT min(id) FROM " + strTable + ";", {Row({{"min", szMin}})});
    };
    const auto Draws = [](CFakeConnect& conn) {
        conn.OnRows("approve_process_id_seq", {Row({{"nextval", "57"}})}, true)
            .OnRows("approve_process_node_id_seq", {Row({{"nextval", "70"}})}, true);
    };
    switch (eWorld) {
        case EWorld::kNone: break;
        case EWorld::kVisitRecords:
            Range(conns[0], "rt_data.visitor_record", "6", "5");
            conns[0].OnRows("FROM rt_data.visitor_record WHERE id between",
                            {Row({{"id", "5"}, {"object_guid", "a"}}), Row({{"id", "6"}, {"object_guid", "b"}})}, true);
            break;
        case EWorld::kApproval:
            conns[1].OnRows("SELECT status, schedule, rate_progress",
                            {Row({{"status", "2"}, {"schedule", "0"}, {"rate_progress", "0"}})}, true);
            Range(conns[1], "visitor.visitor_appoint_record", "2", "1");
            Range(conns[1], "visitor.visitor_appoint_reveiw_record", "5", "5");
            conns[1].OnRows("FROM visitor.visitor_appoint_record WHERE id BETWEEN",
                            {Appointment("1", nullptr), Appointment("2", nullptr)}, true);
            conns[1].OnRows("FROM visitor.visitor_appoint_reveiw_record WHERE", {kReview}, true);
            Draws(conns[1]);
            break;
        case EWorld::kApprovalIncrement:
            conns[0].OnRows("SELECT status, schedule, rate_progress",
                            {Row({{"status", "1"}, {"schedule", "2"}, {"rate_progress", "0"}})}, true);
            Range(conns[0], "visitor.visitor_appoint_reveiw_record", "5", "5");
            conns[0].OnRows("FROM visitor.visitor_appoint_reveiw_record WHERE", {kReview}, true);
            Range(conns[2], "visitor.visitor_appoint_record", "3", "1");
            conns[2].OnRows("FROM visitor.visitor_appoint_record WHERE id BETWEEN",
                            {Appointment("1", "2"), Appointment("2", "3"), Appointment("3", "1")}, true);
            conns[1].OnRows("WHERE id = 1 ;", {Row({{"id", "1"}, {"appoint_approval_flow_id", "2024010177"}})}, true);
            Draws(conns[1]);
            break;
        case EWorld::kDuplicates:
            conns[1].OnRows("AS rn FROM visitor.visitor_record) t WHERE t.rn<>1; ",
                            {Row({{"id", "1"}, {"create_time", std::nullopt}})}, true);
            break;
        case EWorld::kTemplates:
            conns[2].OnRows("SELECT * FROM visitor.emailtemplate WHERE isdeleted = 0;",
                            {Row({{"id", "2"}, {"template_type", "0"}, {"name", "A"}, {"content", "We're here"}})});
            break;
    }
}

struct SRow {
    const char* szCase;
    EPass ePass;
    const char* szFrom;
    EWorld eWorld;
    int nConn;              // the connection (0 first, 1 second, 2 third) whose statement fails
    const char* szFailing;  // a part of the failing text; "BEGIN", "COMMIT" fail those calls
    bool bPassFails;        // false: the pass goes on and only keeps the error
    int nRollbackConn;      // where the open batch or range is rolled back; -1 nowhere
    const char* szLine;     // a part of a level-5 line: names the operation
};

const SRow kRows[] = {
    // The visit record copy of the step from 0.0.0.
    {"range insert", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 1, "INSERT INTO visitor.visitor_record", true, 1,
     "RecordsData2Destination_MEM] Insert new data failed"},
    {"progress update", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 1, "SET schedule = 0, rate_progress = 10006",
     true, 1, "RecordsData2Destination_MEM] Set upgrade status failed"},
    {"COMMIT refused", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 1, "COMMIT", true, -1,
     "RecordsData2Destination_MEM] Commit new data failed"},
    {"BEGIN refused", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 1, "BEGIN", true, -1,
     "RecordsData2Destination_MEM] Begin transaction failed"},
    {"id-range query", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 0, "SELECT max(id) FROM rt_data", true, -1,
     "Query id range failed"},
    {"range query", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 0, "WHERE id between 5 and", true, -1,
     "Query history data failed"},
    {"copy marked done", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 1, "SET schedule = 1, rate_progress = 0",
     true, -1, "mark status failed"},
    {"status query", EPass::kRecords, "0.0.0", EWorld::kVisitRecords, 1, "SELECT status, schedule", true, -1,
     "Query status info failed"},
    {"foreign server", EPass::kConfig, "0.0.0", EWorld::kNone, 1, "CREATE EXTENSION IF NOT EXISTS postgres_fdw", true,
     1, "RunUpgrade_Config][CUpgradeCourseManager::RunUpgrade] UpgradeCourse_Config Failed"},
    {"access levels", EPass::kConfig, "0.0.0", EWorld::kNone, 0, "FROM public.access_level_access_group_rel", true, 1,
     "UpdateVisitorALTable failed"},
    // A script step, its pass mark and its finished marker.
    {"script", EPass::kConfig, "1.15.0", EWorld::kNone, 1, "CREATE TABLE visitor.step_ready", true, 1,
     "UpgradeCourse_Config_UpgradeBySQLFile failed"},
    {"pass mark refused", EPass::kConfig, "1.15.0", EWorld::kNone, 1, "INSERT INTO visitor.module_upgrade_marker", true,
     1, "Write configuration pass mark configuration failed"},
    {"mark BEGIN refused", EPass::kConfig, "1.15.0", EWorld::kNone, 1, "BEGIN", true, -1,
     "Begin transaction of 1.16.0 configuration failed"},
    {"mark COMMIT refused", EPass::kConfig, "1.15.0", EWorld::kNone, 1, "COMMIT", true, -1,
     "Commit of 1.16.0 configuration failed"},
    {"finished marker", EPass::kRecords, "1.15.0", EWorld::kNone, 1, "SET achieve_time", false, -1, ""},
    {"replayed script", EPass::kConfigIncr, "1.8.0", EWorld::kNone, 2, "CREATE TABLE visitor.step_ready", true, 2,
     "UpgradeCourse_Config_IncreData Failed"},
    // The approval migration: check points, batches of the key walks.
    {"check point rebuild", EPass::kConfig, "1.11.0", EWorld::kNone, 1, "UPDATE visitor.visit_checkout_point SET", true,
     1, "InsertCheakPointInfo Failed"},
    {"approval batch", EPass::kRecords, "1.11.0", EWorld::kApproval, 1, "INSERT INTO officeworkflow.approve_process(",
     true, 1, "InsertAppointRecord]"},
    {"review batch", EPass::kRecords, "1.11.0", EWorld::kApproval, 1, "INSERT INTO visitor.visitor_appoint_record(",
     true, 1, "InsertAppointReviewRecord]"},
    {"approval COMMIT refused", EPass::kRecords, "1.11.0", EWorld::kApproval, 1, "COMMIT", true, -1,
     "Upgrade_Record_UpgradeVisitorRecord"},
    {"approval BEGIN refused", EPass::kRecords, "1.11.0", EWorld::kApproval, 1, "BEGIN", true, -1,
     "Upgrade_Record_UpgradeVisitorRecord"},
    {"approval progress", EPass::kRecords, "1.11.0", EWorld::kApproval, 1, "SET schedule = 0, rate_progress = 102",
     true, -1, "Set upgrade status failed"},
    {"flow number look-up", EPass::kRecordsIncr, "1.11.0", EWorld::kApprovalIncrement, 1, "WHERE id = 1 ;", true, 2,
     "QryFlowNumByAppointID failed"},
    {"incremental COMMIT refused", EPass::kRecordsIncr, "1.11.0", EWorld::kApprovalIncrement, 2, "COMMIT", true, -1,
     "IncreUpgrade_Record_UpgradeVisitorRecord"},
    {"soft deletion", EPass::kRecordsIncr, "1.11.0", EWorld::kApprovalIncrement, 1, "SET is_deleted = 1", true, 1,
     "IncreUpgrade_Record_UpgradeVisitorReviewRecord"},
    {"converted-range mark", EPass::kRecordsIncr, "1.11.0", EWorld::kApprovalIncrement, 1,
     "incremental_reviews_converted", true, 1, "Write configuration pass mark incremental_reviews_converted"},
    // Duplicate removal and the templates.
    {"duplicate removal", EPass::kConfig, "1.9.0", EWorld::kDuplicates, 1, "DELETE FROM visitor.visitor_record", true,
     1, "DeleteDuplicateValues"},
    {"sub-table keys", EPass::kRecordsIncr, "1.9.0", EWorld::kNone, 2, "AND NOT EXISTS (SELECT 1 FROM pg_constraint",
     true, -1, "ModifySubTablePrimaryKey"},
    {"template move", EPass::kConfigIncr, "1.13.0", EWorld::kTemplates, 1, "INSERT INTO visitor.emailtemplate", true, 2,
     "InsertAddedEmailTemplate failed"},
    {"template defaults", EPass::kConfig, "1.13.0", EWorld::kNone, 1, "SET is_default = 1", true, 1,
     "UpdateReceiveTemplate failed"},
    {"template rewrite", EPass::kConfig, "1.14.0", EWorld::kNone, 1,
     "FROM visitor.EmailTemplate WHERE template_type = 3", true, 1, "C1140ToC1150"},
};

bool Matches(const std::string& strCall, const std::string& strFailing) {
    if (strFailing == "BEGIN" || strFailing == "COMMIT") return strCall == strFailing;
    return strCall.find(strFailing) != std::string::npos;
}

TEST(FailurePaths, EachRefusedStatementFailsThePassWithItsErrorRollsBackWhatWasOpenAndWritesNoFinishedMarker) {
    db_layer::SetSerialSource([](const std::string&) { return 9001LL; });
    for (const SRow& row : kRows) {
        SCOPED_TRACE(std::string(row.szCase) + " from " + row.szFrom);
        vsu_test::CScriptTree tree;
        for (const char* szFolder : {"update_V1.5.0", "update_V1.8.0", "update_V1.16.0"})
            tree.Write(szFolder, "update.sql", "CREATE TABLE visitor.step_ready(id int);");
        vsu_test::CLogCapture log;
        CFakeConnect conns[3];
        conns[row.nConn].OnFail(row.szFailing, 77, "boom", true);  // first: the first matching script wins
        Script(row.eWorld, conns);
        db_layer::DBParam param;
        param.password = "it's";
        CUpgradeCourseManager manager;
        const CVersion from(row.szFrom);
        CFakeConnect *p0 = &conns[0], *p1 = &conns[1], *p2 = &conns[2];
        const bool bOk = row.ePass == EPass::kConfig    ? manager.RunUpgrade_Config(from, p0, p1, param)
                         : row.ePass == EPass::kRecords ? manager.RunUpgrade_Records(from, p0, p1, param)
                         : row.ePass == EPass::kConfigIncr
                             ? manager.RunUpgrade_Config_IncreData(from, p0, p1, p2, param)
                             : manager.RunUpgrade_Records_IncreData(from, p0, p1, p2, param);
        const auto& failing = conns[row.nConn].calls;
        const auto itFailed = std::find_if(failing.begin(), failing.end(),
                                           [&](const std::string& strCall) { return Matches(strCall, row.szFailing); });
        if (itFailed == failing.end()) {
            ADD_FAILURE() << "the failing text was never sent";
            continue;
        }
        EXPECT_EQ(bOk, !row.bPassFails);
        int nCode = 0;
        std::string strText;
        manager.GetLastError(nCode, strText);
        EXPECT_EQ(nCode, 77);
        EXPECT_EQ(strText, "boom");
        for (int i = 0; i < 3; ++i) {
            const auto& calls = conns[i].calls;
            const auto itFrom = i == row.nConn ? itFailed : calls.begin();
            EXPECT_EQ(std::count(itFrom, calls.end(), "ROLLBACK") > 0, i == row.nRollbackConn) << "connection " << i;
            // The finished marker only where it is the statement refused.
            for (const std::string& strSql : conns[i].Statements())
                EXPECT_TRUE(strSql.find("achieve_time") == std::string::npos || Matches(strSql, row.szFailing))
                    << strSql;
        }
        // The refusal is logged with its statement at level 4; the step's line at 5 names the operation.
        const auto Has = [&](int nLevel, const char* szPart) {
            std::string strAll;
            for (const std::string& strLine : log.Messages(nLevel)) strAll += strLine + "\n";
            return strAll.find(szPart) != std::string::npos;
        };
        EXPECT_TRUE(Has(4, "boom"));
        EXPECT_TRUE(Has(5, row.szLine)) << ::testing::PrintToString(log.Messages(5));
        EXPECT_EQ(row.bPassFails, !log.Messages(5).empty());
    }
    db_layer::SetSerialSource({});
}

}  // namespace
