// The incremental passes of the step to 1.12.0 over three connections: which
// statement goes where, the change markers of appointments, the soft deletion
// and re-conversion of review-derived rows, and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "ApprovalTestSupport.h"
#include "ScriptTree.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"
#include "db_layer/GloballySerial.h"

using namespace UnifiedUpgradeComponent;
using approval_test::Calls;
using approval_test::Lines;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

const char* const kStatus =
    "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = 'visitor.s' "
    "AND version_no = '1.12.0';";
const char* const kNextProcess = "SELECT nextVal('officeworkflow.approve_process_id_seq')";
const char* const kNextNode = "SELECT nextVal('officeworkflow.approve_process_node_id_seq')";
const char* const kAppointRange = "SELECT * FROM visitor.visitor_appoint_record WHERE id BETWEEN 1 AND 101;";
const char* const kReviewRange =
    "SELECT * FROM visitor.visitor_appoint_reveiw_record WHERE appoint_review_status IN (0,2,3)  and is_deleted = 0  "
    "AND id BETWEEN 5 AND 105;";
const std::string kSoftDeletion =
    "UPDATE visitor.visitor_appoint_record a SET is_deleted = 1 ,update_time = '<now>' WHERE "
    "a.appoint_approval_flow_id = ( select r.appoint_approval_flow_id from visitor.visitor_appoint_reveiw_record r "
    "where a.appoint_approval_flow_id = r.appoint_approval_flow_id)  ;"
    "UPDATE officeworkflow.approve_process a SET is_deleted = 1 ,update_time = '<now>' WHERE a.process_num = ( "
    "select r.appoint_approval_flow_id from visitor.visitor_appoint_reveiw_record r where a.process_num = "
    "r.appoint_approval_flow_id)  ;";

std::string Progress(int nRate) {
    return "UPDATE platform.module_version_status SET schedule = 2, rate_progress = " + std::to_string(nRate) +
           " WHERE module_identity = 'visitor.s' AND version_no = '1.12.0';";
}
std::string ById(int nId) { return "SELECT * FROM visitor.visitor_appoint_record WHERE id = " + std::to_string(nId) + " ;"; }

FakeRow Appointment(int nId, int nMarker) {
    return {{"id", std::to_string(nId)}, {"visitor_id", "20"}, {"interviewee_id", std::to_string(39 + nId)},
            {"start_valid_time", "2024-04-01 08:00:00.5"}, {"end_valid_time", "2024-04-01 18:00:00.5"},
            {"start_time_differ", "0"}, {"end_time_differ", "0"}, {"create_time", "2024-03-17 10:00:00.5"},
            {"update_time", "2024-03-18 10:00:00.5"}, {"is_deleted", "0"},
            {"row_status_implicit_upgrade", std::to_string(nMarker)}, {"appoint_approval_flow_id", std::nullopt}};
}

FakeRow Review(int nId, const std::string& strFlow) {
    return {{"id", std::to_string(nId)}, {"appoint_review_status", "0"}, {"visit_reason_id", "3"},
            {"visit_reason_detail", "talk"}, {"visitor_id", "20"}, {"interviewee_id", "41"},
            {"start_valid_time", "2024-04-01 08:00:00.5"}, {"end_valid_time", "2024-04-01 18:00:00.5"},
            {"start_time_differ", "0"}, {"end_time_differ", "0"}, {"object_guid", "g-5"}, {"visitor_group_id", "4"},
            {"create_time", "2024-03-20 07:00:00.5"}, {"update_time", "2024-03-20 07:30:00.5"},
            {"appoint_approval_flow_id", strFlow}};
}

struct SSerialSource {
    SSerialSource() { db_layer::SetSerialSource([](const std::string&) { return 9001LL; }); }
    ~SSerialSource() { db_layer::SetSerialSource({}); }
};

// First: status and review 5 (already linked once); third: appointments 1, 2
// and 3 marked 2, 3 and 1; second: the flow number of appointment 1, draws.
struct SIncrementalRun {
    CFakeConnect first, second, third;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    // A failure given here is scripted before the rows, so it wins.
    explicit SIncrementalRun(int nFailConn = -1, const std::string& strFail = "") {
        CFakeConnect* conns[] = {&first, &second, &third};
        if (nFailConn >= 0) conns[nFailConn]->OnFail(strFail, 77, "boom", true);
        first.OnRows(kStatus, {{{"status", "1"}, {"schedule", "2"}, {"rate_progress", "0"}}})
            .OnRows("SELECT max(id) FROM visitor.visitor_appoint_reveiw_record;", {{{"max", "5"}}})
            .OnRows("SELECT min(id) FROM visitor.visitor_appoint_reveiw_record;", {{{"min", "5"}}})
            .OnRows(kReviewRange, {Review(5, "202403201000060")});
        third.OnRows("SELECT max(id) FROM visitor.visitor_appoint_record;", {{{"max", "3"}}})
            .OnRows("SELECT min(id) FROM visitor.visitor_appoint_record;", {{{"min", "1"}}})
            .OnRows(kAppointRange, {Appointment(1, 2), Appointment(2, 3), Appointment(3, 1)});
        second.OnRows(ById(1), {{{"id", "1"}, {"appoint_approval_flow_id", "2024010177"}}});
        for (int nId : {57, 58}) second.OnRows(kNextProcess, {{{"nextval", std::to_string(nId)}}}, false, 1);
        for (int nId : {70, 71}) second.OnRows(kNextNode, {{{"nextval", std::to_string(nId)}}}, false, 1);
    }
    bool Run() {
        return step.UpgradeCourse_Records_IncreData(nCode, strText, &first, &second, &third, db_layer::DBParam());
    }
};

TEST(ApprovalIncrementalPass, NullConnectionsFailAtOnceWithoutTouchingTheError) {
    CFakeConnect a, b, c;
    C1110ToC1120 step;
    int nCode = 5;
    std::string strText = "older";
    const db_layer::DBParam param;
    EXPECT_FALSE(step.UpgradeCourse_Config_IncreData(nCode, strText, nullptr, &b, &c, param));
    EXPECT_FALSE(step.UpgradeCourse_Config_IncreData(nCode, strText, &a, nullptr, &c, param));
    EXPECT_FALSE(step.UpgradeCourse_Config_IncreData(nCode, strText, &a, &b, nullptr, param));
    EXPECT_FALSE(step.UpgradeCourse_Records_IncreData(nCode, strText, &a, nullptr, &c, param));
    EXPECT_FALSE(step.UpgradeCourse_Records_IncreData(nCode, strText, &a, &b, nullptr, param));
    EXPECT_EQ(nCode, 5);
    EXPECT_EQ(strText, "older");
    EXPECT_TRUE(a.calls.empty() && b.calls.empty() && c.calls.empty());
}

const char* const kIdentity =
    "SELECT current_database() AS db_name, (SELECT oid FROM pg_database WHERE datname = current_database())::text "
    "AS db_oid, to_char(pg_postmaster_start_time() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US') AS started;";
const char* const kCreateMarks =
    "CREATE TABLE IF NOT EXISTS visitor.module_upgrade_marker(step_ver varchar(16) NOT NULL, pass_part varchar(64) "
    "NOT NULL, done_time timestamp NOT NULL, PRIMARY KEY (step_ver, pass_part));";
const char* const kSelectMarks = "SELECT pass_part FROM visitor.module_upgrade_marker WHERE step_ver = '1.12.0';";
const std::string kConfigName = "[UnifiedUpgradeComponent::C1110ToC1120::UpgradeCourse_Config_IncreData]";

FakeRow Identity(const std::string& strName, const std::string& strOid, const std::string& strStarted) {
    return {{"db_name", strName}, {"db_oid", strOid}, {"started", strStarted}};
}

// Element 11 (neither door nor component) on the first connection's database;
// user 3 with the check on, on the third's.
struct SConfigIncrementalRun {
    vsu_test::CScriptTree tree;
    CFakeConnect first, second, third;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    SConfigIncrementalRun() {
        tree.Write("update_V1.8.0", "update.sql", "SELECT 18;");
        first.OnRows("SELECT l.element_id", {{{"element_id", "11"}, {"resource_id", "101"}}}, true);
        second.OnRows("nextVal('visitor.visit_checkout_point_id_seq')", {{{"nextval", "900"}}}, true);
        third.OnRows("appoint_check = 1", {{{"user_id", "3"}}}, true);
    }
    bool Run() {
        return step.UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, &third, db_layer::DBParam());
    }
};

const std::vector<std::string> kRebuildOnSecond = {
    "QUERY SELECT nextVal('visitor.visit_checkout_point_id_seq')",
    "EXEC UPDATE visitor.visit_checkout_point SET is_deleted = 1 ,update_time = '<now>' WHERE is_deleted = "
    "0;INSERT INTO visitor.visit_checkout_point(id ,element_id, cardreader_id ,type, create_time, update_time "
    ",is_deleted)VALUES (900, 11, 0, 6,'<now>', '<now>',0) ;"};
const std::vector<std::string> kScriptAndChecksOnThird = {
    "EXEC SELECT 18;", "QUERY SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = 0",
    "QUERY SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = 1",
    "EXEC UPDATE visitor.self_appoint_setting SET appoint_check = 0 ,update_time = '<now>' WHERE user_id IN (3)"};

std::vector<std::string> Prefixed(const std::string& strFirst, std::vector<std::string> vecRest) {
    vecRest.insert(vecRest.begin(), strFirst);
    return vecRest;
}

TEST(ApprovalIncrementalPass, ConfigurationOnTwoDatabasesReadsOnFirstWritesCheckPointsOnSecondAndChecksOnThird) {
    // Databases told apart by name, by oid, or by server (same name and oid, other start).
    const std::vector<FakeRow> others = {Identity("visitor_copy", "16384", "2024-05-01 08:00:00.123456"),
                                         Identity("visitor", "16390", "2024-05-01 08:00:00.123456"),
                                         Identity("visitor", "16384", "2024-05-02 09:30:00.000001")};
    for (const FakeRow& other : others) {
        SCOPED_TRACE(*other.at("db_name") + " " + *other.at("db_oid") + " " + *other.at("started"));
        vsu_test::CLogCapture capture;
        SConfigIncrementalRun run;
        run.first.OnRows(kIdentity, {Identity("visitor", "16384", "2024-05-01 08:00:00.123456")});
        run.second.OnRows(kIdentity, {other}).OnRows(kSelectMarks, {{{"pass_part", "check_point_rebuild"}}});
        ASSERT_TRUE(run.Run());

        const std::vector<std::string> firstStatements = run.first.Statements();
        ASSERT_EQ(firstStatements.size(), 4u);  // identity, check points, readers, components
        EXPECT_EQ(firstStatements[0], kIdentity);
        EXPECT_EQ(Calls(run.second), Prefixed(std::string("QUERY ") + kIdentity, kRebuildOnSecond));
        EXPECT_EQ(Calls(run.third), kScriptAndChecksOnThird);
        EXPECT_TRUE(Lines(capture, 3).empty());
    }
    // Identities that give no row are not known to be the same database: rebuilt.
    SConfigIncrementalRun run;
    run.second.OnRows(kSelectMarks, {{{"pass_part", "check_point_rebuild"}}});
    ASSERT_TRUE(run.Run());
    EXPECT_EQ(Calls(run.second), Prefixed(std::string("QUERY ") + kIdentity, kRebuildOnSecond));
}

TEST(ApprovalIncrementalPass, ConfigurationOnOneDatabaseLeavesCheckPointsTheFullPassRebuiltAndStillInvertsChecks) {
    const FakeRow same = Identity("visitor", "16384", "2024-05-01 08:00:00.123456");
    {
        vsu_test::CLogCapture capture;
        SConfigIncrementalRun run;
        run.first.OnRows(kIdentity, {same});
        run.second.OnRows(kIdentity, {same}).OnRows(kSelectMarks, {{{"pass_part", "self_appoint_check_inversion"}},
                                                                   {{"pass_part", "check_point_rebuild"}}});
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(run.first.Statements(), std::vector<std::string>({kIdentity}));
        const std::vector<std::string> secondCalls = {std::string("QUERY ") + kIdentity,
                                                      std::string("EXEC ") + kCreateMarks,
                                                      std::string("QUERY ") + kSelectMarks};
        EXPECT_EQ(Calls(run.second), secondCalls);
        EXPECT_EQ(Calls(run.third), kScriptAndChecksOnThird);
        EXPECT_EQ(Lines(capture, 3),
                  std::vector<std::string>({kConfigName + "first and second connection reach one database, visitor "
                                                          "(oid 16384, server started 2024-05-01 08:00:00.123456 UTC), "
                                                          "whose check points the configuration pass of 1.12.0 "
                                                          "already rebuilt; they are left as they are"}));
    }
    {
        // One database, but no rebuild marked there: rebuilt as on two databases.
        SConfigIncrementalRun run;
        run.first.OnRows(kIdentity, {same});
        run.second.OnRows(kIdentity, {same}).OnRows(kSelectMarks, {{{"pass_part", "self_appoint_check_inversion"}}});
        ASSERT_TRUE(run.Run());
        std::vector<std::string> secondCalls = {std::string("QUERY ") + kIdentity,
                                                std::string("EXEC ") + kCreateMarks,
                                                std::string("QUERY ") + kSelectMarks};
        secondCalls.insert(secondCalls.end(), kRebuildOnSecond.begin(), kRebuildOnSecond.end());
        EXPECT_EQ(Calls(run.second), secondCalls);
        EXPECT_EQ(run.first.Statements().size(), 4u);
    }
}

TEST(ApprovalIncrementalPass, ConfigurationFailingToTellTheDatabasesApartStopsBeforeTheRebuild) {
    const FakeRow same = Identity("visitor", "16384", "2024-05-01 08:00:00.123456");
    const std::string strPassLine =
        kConfigName + "UpgradeCourse_Config_CheakPoint failed, Error Code:77, Error Info:boom.";
    struct SCase {
        const char* szCase;
        int nConn;  // 0 first, 1 second
        const char* szFailing;
        std::vector<std::string> vecErrorLines;
    };
    const std::vector<SCase> cases = {
        {"first identity", 0, kIdentity, {strPassLine}},
        {"second identity", 1, kIdentity, {strPassLine}},
        {"marks", 1, kSelectMarks,
         {kConfigName + "Read configuration pass marks failed, Error Code:77, Error Info:boom.", strPassLine}},
    };
    for (const SCase& failure : cases) {
        SCOPED_TRACE(failure.szCase);
        vsu_test::CLogCapture capture;
        SConfigIncrementalRun run;
        CFakeConnect* conns[] = {&run.first, &run.second};
        conns[failure.nConn]->OnFail(failure.szFailing, 77, "boom");
        run.first.OnRows(kIdentity, {same});
        run.second.OnRows(kIdentity, {same});
        EXPECT_FALSE(run.Run());
        EXPECT_EQ(run.nCode, 77);
        EXPECT_EQ(run.strText, "boom");
        EXPECT_EQ(Lines(capture, 5), failure.vecErrorLines);
        EXPECT_EQ(Lines(capture, 4).size(), 1u);  // the wrapper's line with the failing text
        EXPECT_TRUE(run.first.StatementsContaining("visit_checkout_point").empty());
        EXPECT_TRUE(run.second.StatementsContaining("visit_checkout_point").empty());
        EXPECT_EQ(Calls(run.third), std::vector<std::string>({"EXEC SELECT 18;"}));
    }
}

TEST(ApprovalIncrementalPass, RecordsTakeOverMarkedFlowNumbersAndReconvertReviewsAfterTheSoftDeletion) {
    vsu_test::CLogCapture capture;
    SSerialSource serial;
    SIncrementalRun run;
    ASSERT_TRUE(run.Run());

    const std::vector<std::string> firstCalls = {
        std::string("QUERY ") + kStatus, "QUERY SELECT max(id) FROM visitor.visitor_appoint_reveiw_record;",
        "QUERY SELECT min(id) FROM visitor.visitor_appoint_reveiw_record;", std::string("QUERY ") + kReviewRange};
    EXPECT_EQ(run.first.calls, firstCalls);

    const std::string strAppointText =
        "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '2024010177' WHERE id = 1;"
        "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '' WHERE id = 2;"
        "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '202403171000057',submit_person_type = "
        "0 , submit_person_id = 1 WHERE id = 3;"
        "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
        "next_approve_node_id, agnet_user_id ,status ,is_auto_approval,create_time ,update_time , "
        "row_status_implicit_upgrade, related_id_implicit_upgrade, is_deleted)VALUES "
        "(1000057,'202403171000057',4,42,-1,1,1,1,1 ,'2024-03-17 10:00:00.5','2024-03-18 10:00:00.5', 1, 0, 0);"
        "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
        "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time , "
        "row_status_implicit_upgrade, related_id_implicit_upgrade, is_deleted)VALUES "
        "(1000070,1000057,-1,1,1,1,'',0,'2024-03-17 10:00:00.5','2024-03-17 10:00:00.5','2024-03-18 10:00:00.5',1, 0, "
        "0);";
    const std::vector<std::string> thirdCalls = {
        "QUERY SELECT max(id) FROM visitor.visitor_appoint_record;",
        "QUERY SELECT min(id) FROM visitor.visitor_appoint_record;", std::string("QUERY ") + kAppointRange, "BEGIN",
        "EXEC " + strAppointText, "COMMIT", "EXEC " + Progress(102), "EXEC " + Progress(106)};
    EXPECT_EQ(run.third.calls, thirdCalls);

    // The review already linked once is converted again: new ids, its flow number replaced.
    const std::vector<std::string> secondCalls = {"QUERY " + ById(1), "QUERY " + ById(2), std::string("QUERY ") +
                                                  kNextProcess, std::string("QUERY ") + kNextNode, "BEGIN",
                                                  "EXEC " + kSoftDeletion, "COMMIT", "BEGIN",
                                                  std::string("QUERY ") + kNextProcess,
                                                  std::string("QUERY ") + kNextNode};
    const std::vector<std::string> calls = Calls(run.second);
    ASSERT_EQ(calls.size(), secondCalls.size() + 2);
    EXPECT_TRUE(std::equal(secondCalls.begin(), secondCalls.end(), calls.begin()));
    EXPECT_NE(calls[secondCalls.size()].find(
                  "UPDATE visitor.visitor_appoint_reveiw_record SET appoint_approval_flow_id = '202403201000058' WHERE "
                  "id = 5;"),
              std::string::npos);
    EXPECT_NE(calls[secondCalls.size()].find("VALUES (1000071,1000058,-1,1,2,1,'',0,"), std::string::npos);
    EXPECT_EQ(calls.back(), "COMMIT");

    const std::string strOpening = "[UnifiedUpgradeComponent::C1110ToC1120::UpgradeCourse_Records_IncreData]"
                                   "[C1110ToC1120::UpgradeCourse_Records] UpgradeCourse_Records end!";
    EXPECT_EQ(Lines(capture, 3), std::vector<std::string>({strOpening, strOpening}));
    EXPECT_TRUE(run.third.StatementsContaining("achieve_time").empty());
}

struct SFailure {
    const char* szCase;
    int nConn;  // 0 first, 1 second, 2 third
    std::string strFailing;
    std::vector<std::string> vecLines;
    int nRollbackConn;  // -1: none
};

const std::string kName = "[UnifiedUpgradeComponent::C1110ToC1120::";
const std::string kErr = "Error Code:77, Error Info:boom";
const std::string kPassLine = kName +
                              "UpgradeCourse_Records_IncreData][C1110ToC1120::RecordsData2Destination_VisitorRecord] "
                              "visitor.s step 1 upgrade failed";

TEST(ApprovalIncrementalPass, EachFailureReportsItsLinesAndStops) {
    const std::vector<SFailure> failures = {
        {"status", 0, kStatus,
         {kName + "UpgradeCourse_Records_IncreData][C1110ToC1120::UpgradeCourse_Records] Query status info failed"},
         -1},
        {"batch query", 2, kAppointRange,
         {kName + "QueryApppointRecordForIncreUpdate]errorcode:77, errorinfo:boom", kPassLine}, -1},
        {"flow number", 1, ById(1),
         {kName + "QryFlowNumByAppointID]errorcode:77, errorinfo:boom",
          kName + "InsertAppointRecordForIncre][C1110ToC1120] QryFlowNumByAppointID failed, " + kErr + ".", kPassLine},
         2},
        {"process draw", 1, kNextProcess,
         {kName + "QueryNextIdOfApproveProcess][ExecuteHelper] ExecuteTransaction QueryNextIdOfApproveProcess failed, " +
              kErr + ".",
          kName + "InsertAppointRecordForIncre][C1110ToC1120] QueryNextIdOfApproveProcess failed, " + kErr + ".",
          kPassLine},
         2},
        {"appointment progress", 2, Progress(102),
         {kName + "IncreUpgrade_Record_UpgradeVisitorRecord][C1110ToC1120::RecordsData2Destination_MEM] Set upgrade "
                  "status failed",
          kPassLine},
         -1},
        {"soft deletion", 1, "SET is_deleted = 1",
         {kName + "IncreUpgrade_Record_UpgradeVisitorReviewRecord]stru_db_com.cms_up_connect delete already updated "
                  "data in table :visitor_appoint_reveiw_record Failed.Sql:" +
              kSoftDeletion + ", " + kErr,
          kPassLine},
         1},
        {"review progress", 2, Progress(106),
         {kName + "IncreUpgrade_Record_UpgradeVisitorReviewRecord][C1110ToC1120::RecordsData2Destination_MEM] Set "
                  "upgrade status failed",
          kPassLine},
         -1},
    };
    for (const SFailure& failure : failures) {
        SCOPED_TRACE(failure.szCase);
        vsu_test::CLogCapture capture;
        SSerialSource serial;
        SIncrementalRun run(failure.nConn, failure.strFailing);
        CFakeConnect* conns[] = {&run.first, &run.second, &run.third};
        EXPECT_FALSE(run.Run());
        EXPECT_EQ(run.nCode, 77);
        std::vector<std::string> vecExpected;
        for (const std::string& strLine : failure.vecLines) vecExpected.push_back(approval_test::WithoutNow(strLine));
        EXPECT_EQ(Lines(capture, 5), vecExpected);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(std::count(conns[i]->calls.begin(), conns[i]->calls.end(), "ROLLBACK"),
                      failure.nRollbackConn == i ? 1 : 0);
    }
}

}  // namespace
