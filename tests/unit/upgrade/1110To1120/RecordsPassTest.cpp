// The records pass of the step to 1.12.0: appointments and live reviews tied to
// approval processes in key ranges of 101, the exact statements of a first run,
// the walk's widths and ends, reruns that convert nothing twice, and failures.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <regex>

#include "ApprovalTestSupport.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"
#include "db_layer/GloballySerial.h"

using namespace UnifiedUpgradeComponent;
using approval_test::Lines;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

const char* const kStatus =
    "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = 'visitor.s' "
    "AND version_no = '1.12.0';";
const char* const kFinished =
    "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
    "rate_progress = -1, step_ver = '1.12.0' WHERE module_identity = 'visitor.s';";
const char* const kMaxAppoint = "SELECT max(id) FROM visitor.visitor_appoint_record;";
const char* const kMinAppoint = "SELECT min(id) FROM visitor.visitor_appoint_record;";
const char* const kMaxReview = "SELECT max(id) FROM visitor.visitor_appoint_reveiw_record;";
const char* const kMinReview = "SELECT min(id) FROM visitor.visitor_appoint_reveiw_record;";
const char* const kNextProcess = "SELECT nextVal('officeworkflow.approve_process_id_seq')";
const char* const kNextNode = "SELECT nextVal('officeworkflow.approve_process_node_id_seq')";

std::string Progress(int nSchedule, int nRate) {
    return "UPDATE platform.module_version_status SET schedule = " + std::to_string(nSchedule) +
           ", rate_progress = " + std::to_string(nRate) + " WHERE module_identity = 'visitor.s' AND version_no = '1.12.0';";
}
std::string AppointRange(long long llFrom) {
    return "SELECT * FROM visitor.visitor_appoint_record WHERE id BETWEEN " + std::to_string(llFrom) + " AND " +
           std::to_string(llFrom + 100) + ";";
}
std::string ReviewRange(long long llFrom) {
    return "SELECT * FROM visitor.visitor_appoint_reveiw_record WHERE appoint_review_status IN (0,2,3)  and "
           "is_deleted = 0  AND id BETWEEN " +
           std::to_string(llFrom) + " AND " + std::to_string(llFrom + 100) + ";";
}

FakeRow Appointment(int nId, std::optional<std::string> create, std::optional<std::string> update,
                    std::optional<std::string> flow = std::nullopt) {
    return {{"id", std::to_string(nId)}, {"visitor_id", "20"}, {"interviewee_id", std::to_string(39 + nId)},
            {"start_valid_time", "2024-04-01 08:00:00"}, {"end_valid_time", "2024-04-01 18:00:00"},
            {"start_time_differ", "0"}, {"end_time_differ", "0"}, {"create_time", create}, {"update_time", update},
            {"is_deleted", "0"}, {"appoint_approval_flow_id", flow}};
}

FakeRow Review(int nId, int nStatus, std::optional<std::string> flow = std::nullopt) {
    return {{"id", std::to_string(nId)}, {"appoint_review_status", std::to_string(nStatus)},
            {"visit_reason_id", "3"}, {"visit_reason_detail", std::string("it's \\'; DROP TABLE x; --")},
            {"visitor_id", "20"}, {"interviewee_id", "41"}, {"start_valid_time", std::nullopt},
            {"end_valid_time", "2024-04-01 18:00:00"}, {"start_time_differ", "5"}, {"end_time_differ", "10"},
            {"object_guid", std::nullopt}, {"visitor_group_id", "4"}, {"create_time", "2024-03-20 07:00:00"},
            {"update_time", "2024-03-20 07:30:00"}, {"appoint_approval_flow_id", flow}};
}

// Registers an id source for the test's lifetime.
struct SSerialSource {
    explicit SSerialSource(long long llFirst, bool bFail = false) {
        db_layer::SetSerialSource([llNext = llFirst, bFail](const std::string&) mutable {
            return bFail ? -1LL : llNext++;
        });
    }
    ~SSerialSource() { db_layer::SetSerialSource({}); }
};

// Appointments 1 and 2, review 5 (status 2); process draws 57, 58, 60 and node draws 70, 71, 72.
void ScriptDatabase(CFakeConnect& conn, bool bAppointments = true) {
    conn.OnRows(kStatus, {{{"status", "2"}, {"schedule", "0"}, {"rate_progress", "0"}}});
    if (bAppointments) {
        conn.OnRows(kMaxAppoint, {{{"max", "2"}}}).OnRows(kMinAppoint, {{{"min", "1"}}});
        conn.OnRows(AppointRange(1), {Appointment(1, "2024-03-15 08:00:00.123", "2024-03-16 09:00:00"),
                                      Appointment(2, "2024-03-17 10:00:00", std::nullopt)});
    }
    conn.OnRows(kMaxReview, {{{"max", "5"}}}).OnRows(kMinReview, {{{"min", "5"}}});
    conn.OnRows(ReviewRange(5), {Review(5, 2)});
    for (int nId : {57, 58, 60}) conn.OnRows(kNextProcess, {{{"nextval", std::to_string(nId)}}}, false, 1);
    for (int nId : {70, 71, 72}) conn.OnRows(kNextNode, {{{"nextval", std::to_string(nId)}}}, false, 1);
}

const std::string kAppointBatch =
    "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '2024031557',submit_person_type = 0 , "
    "submit_person_id = 1 WHERE id = 1;"
    "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
    "next_approve_node_id, agnet_user_id ,status ,is_auto_approval,create_time ,update_time , is_deleted)VALUES "
    "(57,'2024031557',4,40,-1,1,1,1,1 ,'2024-03-15 08:00:00.123','2024-03-16 09:00:00',0);"
    "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
    "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time "
    ",is_deleted)VALUES (70,57,-1,1,1,1,'',0,'2024-03-15 08:00:00.123','2024-03-15 08:00:00.123','2024-03-16 "
    "09:00:00',0);"
    "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '2024031758',submit_person_type = 0 , "
    "submit_person_id = 1 WHERE id = 2;"
    "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
    "next_approve_node_id, agnet_user_id ,status ,is_auto_approval,create_time ,update_time , is_deleted)VALUES "
    "(58,'2024031758',4,41,-1,1,1,1,1 ,'2024-03-17 10:00:00',NULL,0);"
    "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
    "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time "
    ",is_deleted)VALUES (71,58,-1,1,1,1,'',0,'2024-03-17 10:00:00','2024-03-17 10:00:00',NULL,0);";

const std::string kReviewBatch =
    "INSERT INTO visitor.visitor_appoint_record(appoint_approval_flow_id,submit_person_type,submit_person_id ,id "
    ",object_guid ,visitor_id,interviewee_id,visit_reason_id ,visit_reason_detail,appointment_status "
    ",start_valid_time,end_valid_time,start_time_differ,end_time_differ,create_time,update_time,qr_code_valid_num "
    ")VALUES ('202403201000060',0,1 ,9001,NULL,20,41,3,'it''s \\''; DROP TABLE x; --',9,NULL,'2024-04-01 "
    "18:00:00',5,10,'2024-03-20 07:00:00','2024-03-20 07:30:00',0);"
    "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
    "next_approve_node_id, agnet_user_id ,status,abnormal_cause ,is_auto_approval,create_time ,update_time "
    ",is_deleted)VALUES (1000060,'202403201000060',4,41,-1,1,-1,3,0,0 ,'2024-03-20 07:00:00','2024-03-20 "
    "07:30:00',0);"
    "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
    "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time "
    ",is_deleted)VALUES (1000072,1000060,-1,1,2,1,'',0,'2024-03-20 07:00:00','2024-03-20 07:00:00','2024-03-20 "
    "07:30:00',0);"
    "UPDATE visitor.visitor_appoint_reveiw_record SET appoint_approval_flow_id = '202403201000060' WHERE id = 5;";

struct SRecordsRun {
    CFakeConnect first, second;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    bool Run() { return step.UpgradeCourse_Records(nCode, strText, &first, &second, db_layer::DBParam()); }
};

TEST(ApprovalRecordsPass, FirstRunSendsTheStatementsOfBothTablesInOrder) {
    vsu_test::CLogCapture capture;
    SSerialSource serial(9001);
    SRecordsRun run;
    ScriptDatabase(run.second);
    ASSERT_TRUE(run.Run());

    const std::string q = "QUERY ";
    const std::vector<std::string> expected = {
        q + kStatus, q + kMaxAppoint, q + kMinAppoint, q + AppointRange(1), "BEGIN", q + kNextProcess,
        q + kNextNode, q + kNextProcess, q + kNextNode, "EXEC " + kAppointBatch, "COMMIT", "EXEC " + Progress(0, 102),
        q + kMaxReview, q + kMinReview, q + ReviewRange(5), "BEGIN", q + kNextProcess, q + kNextNode,
        "EXEC " + kReviewBatch, "COMMIT", "EXEC " + Progress(0, 106), std::string("EXEC ") + kFinished};
    EXPECT_EQ(run.second.calls, expected);
    EXPECT_TRUE(run.first.calls.empty());
    const std::vector<std::string> progress = {
        "[UnifiedUpgradeComponent::C1110ToC1120::UpgradeCourse_Records][C1110ToC1120::UpgradeCourse_Records] "
        "UpgradeCourse_Records start!",
        "[UnifiedUpgradeComponent::C1110ToC1120::UpgradeCourse_Records][C1110ToC1120::UpgradeCourse_Records] "
        "UpgradeCourse_Records end!"};
    EXPECT_EQ(Lines(capture, 3), progress);
    EXPECT_TRUE(capture.Messages(5).empty());
}

TEST(ApprovalRecordsPass, ReviewStatusesMapToAppointmentAndProcessStates) {
    struct SCase {
        int nReview, nAppointment, nProcess, nCause;
    };
    for (const SCase& c : {SCase{0, 8, 0, 0}, SCase{2, 9, 3, 0}, SCase{3, 1, 5, 3}, SCase{7, 8, 0, 0}}) {
        SCOPED_TRACE(c.nReview);
        SSerialSource serial(9001);
        CFakeConnect conn;
        conn.OnRows(kNextProcess, {{{"nextval", "60"}}}).OnRows(kNextNode, {{{"nextval", "72"}}});
        stru_appoint_review_record record;
        record.id = 5;
        record.appoint_review_status = c.nReview;
        record.create_time = "2024-03-20 07:00:00";
        C1110ToC1120 step;
        int nCode = 0;
        std::string strText;
        ASSERT_TRUE(step.InsertAppointReviewRecord(nCode, strText, {record}, std::make_shared<CDBAccessConn>(&conn)));
        const std::string strSql = conn.Statements().back();
        EXPECT_NE(strSql.find("'',-1,-1,-1,''," + std::to_string(c.nAppointment) + ",''"), std::string::npos) << strSql;
        EXPECT_NE(strSql.find("(1000060,'202403201000060',4,-1,-1,1,-1," + std::to_string(c.nProcess) + "," +
                              std::to_string(c.nCause) + ",0 ,"),
                  std::string::npos)
            << strSql;
    }
}

TEST(ApprovalRecordsPass, FlowNumberTakesTheFirstTenCharactersWithoutDashesThenTheProcessId) {
    EXPECT_EQ(C1110ToC1120::MakeFlowNumber("2024-03-15 08:00:00.123456", 5), "202403155");
    EXPECT_EQ(C1110ToC1120::MakeFlowNumber("2024-3-1", 1000005), "2024311000005");
    EXPECT_EQ(C1110ToC1120::MakeFlowNumber("", 57), "57");
    EXPECT_EQ(C1110ToC1120::MakeFlowNumber("2024-03-15", -3), "20240315-3");
}

// Start keys of the batch queries the walk sent, in order.
std::vector<long long> BatchStarts(const CFakeConnect& conn) {
    static const std::regex kRange("BETWEEN (-?\\d+) AND");
    std::vector<long long> vecOut;
    for (const std::string& strSql : conn.StatementsContaining("BETWEEN")) {
        std::smatch match;
        if (std::regex_search(strSql, match, kRange)) vecOut.push_back(std::stoll(match[1]));
    }
    return vecOut;
}

TEST(ApprovalRecordsPass, WalkCoversTheKeyRangeInStepsOf101AfterRowsAnd100AfterGapsAndEnds) {
    struct SCase {
        const char* szCase;
        int nMax, nMin, nStart;
        std::vector<long long> vecRowsAt;  // ranges that hold rows
        std::vector<long long> vecStarts;
        int nProgress;
    };
    const int kTop = INT_MAX;
    const std::vector<SCase> cases = {
        {"keys 1 to 250", 250, 1, 0, {1, 102, 203}, {1, 102, 203}, 304},
        {"keys 1 to 50 and 900 to 1000", 1000, 1, 0, {1, 802, 903},
         {1, 102, 202, 302, 402, 502, 602, 702, 802, 903}, 1004},
        {"empty table", 0, 0, 0, {}, {0}, 100},
        {"stored -1", 10, 1, -1, {-1}, {-1}, 100},
        {"resumed inside", 400, 1, 150, {150}, {150, 251, 351}, 451},
        {"top of the 32-bit keys", kTop, kTop - 150, 0, {kTop - 150, kTop - 49}, {kTop - 150, kTop - 49}, kTop},
        {"negative lowest key", 100, -200, 0, {}, {-200, -100, 0, 100}, 200},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szCase);
        CFakeConnect conn;
        conn.OnRows(kMaxAppoint, {{{"max", std::to_string(c.nMax)}}})
            .OnRows(kMinAppoint, {{{"min", std::to_string(c.nMin)}}});
        for (long long llAt : c.vecRowsAt)
            conn.OnRows(AppointRange(llAt), {Appointment(static_cast<int>(llAt), "2024-03-15 08:00:00.1", "x")});
        C1110ToC1120 step;
        int nCode = 0;
        std::string strText;
        ASSERT_TRUE(
            step.Upgrade_Record_UpgradeVisitorRecord(nCode, strText, std::make_shared<CDBAccessConn>(&conn), 3, c.nStart));
        EXPECT_EQ(BatchStarts(conn), c.vecStarts);
        EXPECT_EQ(conn.Statements().back(), Progress(3, c.nProgress));
        EXPECT_EQ(std::count(conn.calls.begin(), conn.calls.end(), "COMMIT"),
                  static_cast<long>(c.vecRowsAt.size()));
    }
}

TEST(ApprovalRecordsPass, RerunSkipsRowsThatCarryAFlowNumberAndStartsReviewsAtTheirLowestKey) {
    SSerialSource serial(9001);
    {
        // One of two appointments converted before: only the other one is drawn for.
        CFakeConnect conn;
        conn.OnRows(kMaxAppoint, {{{"max", "150"}}}).OnRows(kMinAppoint, {{{"min", "1"}}});
        conn.OnRows(AppointRange(1), {Appointment(1, "2024-03-15 08:00:00.1", "x", std::string("2024031557")),
                                      Appointment(2, "2024-03-15 08:00:00.1", "x", std::string(""))});
        conn.OnRows(AppointRange(102), {Appointment(120, "2024-03-15 08:00:00.1", "x", std::string("202403159")),
                                        Appointment(121, "2024-03-15 08:00:00.1", "x", std::string("2024031510"))});
        C1110ToC1120 step;
        int nCode = 0;
        std::string strText;
        ASSERT_TRUE(step.Upgrade_Record_UpgradeVisitorRecord(nCode, strText, std::make_shared<CDBAccessConn>(&conn), 0, 0));
        EXPECT_EQ(conn.StatementsContaining(kNextProcess).size(), 1u);
        const auto texts = conn.StatementsContaining("UPDATE visitor.visitor_appoint_record");
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_NE(texts[0].find("WHERE id = 2;"), std::string::npos);
        EXPECT_EQ(texts[0].find("WHERE id = 1;"), std::string::npos);
        // A range whose rows are all converted opens no transaction and still moves on by 101.
        EXPECT_EQ(std::count(conn.calls.begin(), conn.calls.end(), "BEGIN"), 1);
        EXPECT_EQ(conn.Statements().back(), Progress(0, 203));
    }
    {
        CFakeConnect conn;
        conn.OnRows(kMaxReview, {{{"max", "5"}}}).OnRows(kMinReview, {{{"min", "5"}}});
        conn.OnRows(ReviewRange(5), {Review(5, 2, std::string("202403201000060")), Review(6, 0)});
        C1110ToC1120 step;
        int nCode = 0;
        std::string strText;
        ASSERT_TRUE(step.Upgrade_Record_UpgradeVisitorReviewRecord(nCode, strText,
                                                                    std::make_shared<CDBAccessConn>(&conn), 0, 0));
        EXPECT_EQ(conn.StatementsContaining("INSERT INTO visitor.visitor_appoint_record").size(), 1u);
        EXPECT_EQ(conn.StatementsContaining("WHERE id = 5;").size(), 0u);
        EXPECT_EQ(conn.StatementsContaining("WHERE id = 6;").size(), 1u);
    }
    {
        // A stored position past the appointments' walk is that table's end, not the reviews'.
        SRecordsRun run;
        run.second.OnRows(kStatus, {{{"status", "1"}, {"schedule", "0"}, {"rate_progress", "1500"}}});
        run.second.OnRows(kMaxAppoint, {{{"max", "2000"}}}).OnRows(kMinAppoint, {{{"min", "1"}}});
        run.second.OnRows(kMaxReview, {{{"max", "10"}}}).OnRows(kMinReview, {{{"min", "3"}}});
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(run.second.StatementsContaining(AppointRange(1500)).size(), 1u);
        EXPECT_EQ(run.second.StatementsContaining(ReviewRange(3)).size(), 1u);
    }
}

struct SFailure {
    const char* szCase;
    bool bAppointments;       // false: the appointment table is empty, the failure hits the reviews
    std::string strFailing;   // text that fails (substring)
    bool bSerialFails;
    std::vector<std::string> vecLines;
    bool bRolledBack;
};

const std::string kName = "[UnifiedUpgradeComponent::C1110ToC1120::";
const std::string kErr = "Error Code:77, Error Info:boom";
const std::string kTableLine = kName +
                               "UpgradeCourse_Records][C1110ToC1120::RecordsData2Destination_VisitorRecord] visitor.s "
                               "step 1 upgrade failed";
const std::string kDrawLine = kName +
                              "QueryNextIdOfApproveProcess][ExecuteHelper] ExecuteTransaction "
                              "QueryNextIdOfApproveProcess failed, " +
                              kErr + ".";
const std::string kNodeDrawLine = kName +
                                  "QueryNextIdOfApproveProcessNode][ExecuteHelper] ExecuteTransaction "
                                  "QueryNextIdOfApproveProcessNode failed, " +
                                  kErr + ".";

TEST(ApprovalRecordsPass, EachFailureReportsItsLinesKeepsTheErrorAndStops) {
    const std::vector<SFailure> failures = {
        {"status", true, kStatus, false,
         {kName + "UpgradeCourse_Records][C1110ToC1120::UpgradeCourse_Records] Query status info failed"}, false},
        {"range", true, kMaxAppoint, false, {kTableLine}, false},
        {"batch query", true, AppointRange(1), false,
         {kName + "QueryApppointRecord]errorcode:77, errorinfo:boom", kTableLine}, false},
        {"process draw", true, kNextProcess, false,
         {kDrawLine, kName + "InsertAppointRecord][C1110ToC1120] QueryNextIdOfApproveProcess failed, " + kErr + ".",
          kTableLine},
         true},
        {"node draw", true, kNextNode, false,
         {kNodeDrawLine,
          kName + "InsertAppointRecord][C1110ToC1120]  QueryNextIdOfApproveProcessNode failed, " + kErr + ".",
          kTableLine},
         true},
        {"batch text", true, "SET appoint_approval_flow_id", false,
         {kName + "InsertAppointRecord][C1110To1120::InsertEventRecord] Insert Record Failed.Sql:" + kAppointBatch +
              ", " + kErr,
          kTableLine},
         true},
        {"progress", true, Progress(0, 102), false,
         {kName + "Upgrade_Record_UpgradeVisitorRecord][C1110ToC1120::RecordsData2Destination_MEM] Set upgrade "
                  "status failed",
          kTableLine},
         false},
        {"review process draw", false, kNextProcess, false,
         {kDrawLine,
          kName + "InsertAppointReviewRecord][C1110ToC1120]QueryNextIdOfApproveProcess failed, " + kErr + ".",
          kTableLine},
         true},
        {"review node draw", false, kNextNode, false,
         {kNodeDrawLine,
          kName + "InsertAppointReviewRecord][C1110ToC1120] QueryNextIdOfApproveProcessNode failed, " + kErr + ".",
          kTableLine},
         true},
        {"no appointment id", false, "<none>", true,
         {kName + "InsertAppointReviewRecord][C1110ToC1120]GloballySerial failed, Error Code:-7, Error "
                  "Info:db_layer::GloballySerial gave -1, not an appointment id within 1..2147483647.",
          kTableLine},
         true},
        {"review text", false, "INSERT INTO visitor.visitor_appoint_record", false,
         {kName + "InsertAppointReviewRecord][C1110To1120::InsertEventRecord] Insert Record Failed.Sql:" +
              std::regex_replace(std::regex_replace(kReviewBatch, std::regex("1000060"), "1000057"),
                                 std::regex("1000072"), "1000070") +
              ", " + kErr,
          kTableLine},
         true},
    };
    for (const SFailure& failure : failures) {
        SCOPED_TRACE(failure.szCase);
        vsu_test::CLogCapture capture;
        SSerialSource serial(9001, failure.bSerialFails);
        SRecordsRun run;
        run.second.OnFail(failure.strFailing, 77, "boom", true);
        ScriptDatabase(run.second, failure.bAppointments);
        EXPECT_FALSE(run.Run());
        if (!failure.bSerialFails) {
            EXPECT_EQ(run.nCode, 77);
            EXPECT_EQ(run.strText, "boom");
        }
        std::vector<std::string> vecExpected;
        for (const std::string& strLine : failure.vecLines) vecExpected.push_back(approval_test::WithoutNow(strLine));
        EXPECT_EQ(Lines(capture, 5), vecExpected);
        EXPECT_EQ(std::count(run.second.calls.begin(), run.second.calls.end(), "ROLLBACK"),
                  failure.bRolledBack ? 1 : 0);
        EXPECT_TRUE(run.second.StatementsContaining("achieve_time").empty());
    }
}

TEST(ApprovalRecordsPass, FailedFinishedMarkerLeavesThePassSuccessfulWithTheErrorKept) {
    SSerialSource serial(9001);
    SRecordsRun run;
    run.second.OnFail(kFinished, 77, "boom");
    ScriptDatabase(run.second);
    EXPECT_TRUE(run.Run());
    EXPECT_EQ(run.nCode, 77);
    EXPECT_EQ(run.strText, "boom");
}

}  // namespace
