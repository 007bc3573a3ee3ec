// The records passes of the step to 1.12.0, full and incremental: appointments
// and live reviews tied to approval processes in key ranges of 101, the exact
// statements of a first run and which connection gets them, the walk's widths
// and ends, reruns that convert nothing twice, and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <regex>
#include <set>
#include <utility>

#include "ApprovalTestSupport.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"
#include "db_layer/GloballySerial.h"

using namespace UnifiedUpgradeComponent;
using approval_test::Calls;
using approval_test::Lines;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;
using V = std::vector<std::string>;
using Opt = std::optional<std::string>;

namespace {

std::string Q(const std::string& strSql) { return "QUERY " + strSql; }
std::string X(const std::string& strSql) { return "EXEC " + strSql; }
std::string N(long long llValue) { return std::to_string(llValue); }

const std::string kStatus =
    "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = 'visitor.s' "
    "AND version_no = '1.12.0';";
const std::string kFinished =
    "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
    "rate_progress = -1, step_ver = '1.12.0' WHERE module_identity = 'visitor.s';";
const std::string kMaxAppoint = "SELECT max(id) FROM visitor.visitor_appoint_record;";
const std::string kMinAppoint = "SELECT min(id) FROM visitor.visitor_appoint_record;";
const std::string kMaxReview = "SELECT max(id) FROM visitor.visitor_appoint_reveiw_record;";
const std::string kMinReview = "SELECT min(id) FROM visitor.visitor_appoint_reveiw_record;";
const std::string kNextProcess = "SELECT nextVal('officeworkflow.approve_process_id_seq')";
const std::string kNextNode = "SELECT nextVal('officeworkflow.approve_process_node_id_seq')";

std::string Progress(int nSchedule, int nRate) {
    return "UPDATE platform.module_version_status SET schedule = " + N(nSchedule) + ", rate_progress = " + N(nRate) +
           " WHERE module_identity = 'visitor.s' AND version_no = '1.12.0';";
}
std::string AppointRange(long long llFrom) {
    return "SELECT * FROM visitor.visitor_appoint_record WHERE id BETWEEN " + N(llFrom) + " AND " + N(llFrom + 100) +
           ";";
}
std::string ReviewRange(long long llFrom) {
    return "SELECT * FROM visitor.visitor_appoint_reveiw_record WHERE appoint_review_status IN (0,2,3)  and "
           "is_deleted = 0  AND id BETWEEN " +
           N(llFrom) + " AND " + N(llFrom + 100) + ";";
}
std::string ById(int nId) { return "SELECT * FROM visitor.visitor_appoint_record WHERE id = " + N(nId) + " ;"; }

// nMarker < 0: a row of the full pass, read without the change marker.
FakeRow Appointment(int nId, Opt create, Opt update, Opt flow = std::nullopt, int nMarker = -1) {
    FakeRow row = {{"id", N(nId)}, {"visitor_id", "20"}, {"interviewee_id", N(39 + nId)},
                   {"start_valid_time", "2024-04-01 08:00:00"}, {"end_valid_time", "2024-04-01 18:00:00"},
                   {"start_time_differ", "0"}, {"end_time_differ", "0"}, {"create_time", create},
                   {"update_time", update}, {"is_deleted", "0"}, {"appoint_approval_flow_id", flow}};
    if (nMarker >= 0) row["row_status_implicit_upgrade"] = N(nMarker);
    return row;
}
FakeRow Review(int nId, int nStatus, Opt flow = std::nullopt) {
    return {{"id", N(nId)}, {"appoint_review_status", N(nStatus)}, {"visit_reason_id", "3"},
            {"visit_reason_detail", std::string("it's \\'; DROP TABLE x; --")}, {"visitor_id", "20"},
            {"interviewee_id", "41"}, {"start_valid_time", std::nullopt}, {"end_valid_time", "2024-04-01 18:00:00"},
            {"start_time_differ", "5"}, {"end_time_differ", "10"}, {"object_guid", std::nullopt},
            {"visitor_group_id", "4"}, {"create_time", "2024-03-20 07:00:00"}, {"update_time", "2024-03-20 07:30:00"},
            {"appoint_approval_flow_id", flow}};
}

// Registers an id source for the test's lifetime.
struct SSerialSource {
    explicit SSerialSource(long long llFirst = 9001, bool bFail = false) {
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
    for (int nId : {57, 58, 60}) conn.OnRows(kNextProcess, {{{"nextval", N(nId)}}}, false, 1);
    for (int nId : {70, 71, 72}) conn.OnRows(kNextNode, {{{"nextval", N(nId)}}}, false, 1);
}

// One appointment's flow number, process and first node; times given as SQL literals.
std::string AppointRows(int nId, const std::string& strFlow, int nProcess, int nApplicant, int nNode,
                        const std::string& strCreate, const std::string& strUpdate) {
    return "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '" + strFlow +
           "',submit_person_type = 0 , submit_person_id = 1 WHERE id = " + N(nId) +
           ";INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
           "next_approve_node_id, agnet_user_id ,status ,is_auto_approval,create_time ,update_time , is_deleted)VALUES "
           "(" + N(nProcess) + ",'" + strFlow + "',4," + N(nApplicant) + ",-1,1,1,1,1 ," + strCreate + "," +
           strUpdate +
           ",0);INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, "
           "serial_num, node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time "
           ",update_time ,is_deleted)VALUES (" +
           N(nNode) + "," + N(nProcess) + ",-1,1,1,1,'',0," + strCreate + "," + strCreate + "," + strUpdate + ",0);";
}
const std::string kAppointBatch =
    AppointRows(1, "2024031557", 57, 40, 70, "'2024-03-15 08:00:00.123'", "'2024-03-16 09:00:00'") +
    AppointRows(2, "2024031758", 58, 41, 71, "'2024-03-17 10:00:00'", "NULL");

// Review 5 of ScriptDatabase converted with process nProcess and node nNode.
std::string ReviewBatch(int nProcess, int nNode) {
    const std::string strFlow = "20240320" + N(nProcess);
    return "INSERT INTO visitor.visitor_appoint_record(appoint_approval_flow_id,submit_person_type,submit_person_id ,id "
           ",object_guid ,visitor_id,interviewee_id,visit_reason_id ,visit_reason_detail,appointment_status "
           ",start_valid_time,end_valid_time,start_time_differ,end_time_differ,create_time,update_time,qr_code_valid_num "
           ")VALUES ('" + strFlow + "',0,1 ,9001,NULL,20,41,3,'it''s \\''; DROP TABLE x; --',9,NULL,'2024-04-01 "
           "18:00:00',5,10,'2024-03-20 07:00:00','2024-03-20 07:30:00',0);"
           "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
           "next_approve_node_id, agnet_user_id ,status,abnormal_cause ,is_auto_approval,create_time ,update_time "
           ",is_deleted)VALUES (" + N(nProcess) + ",'" + strFlow + "',4,41,-1,1,-1,3,0,0 ,'2024-03-20 07:00:00',"
           "'2024-03-20 07:30:00',0);"
           "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
           "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time "
           ",is_deleted)VALUES (" + N(nNode) + "," + N(nProcess) + ",-1,1,2,1,'',0,'2024-03-20 07:00:00',"
           "'2024-03-20 07:00:00','2024-03-20 07:30:00',0);"
           "UPDATE visitor.visitor_appoint_reveiw_record SET appoint_approval_flow_id = '" + strFlow + "' WHERE id = 5;";
}

struct SRun {
    vsu_test::CLogCapture capture;
    CFakeConnect first, second, third;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    bool Run() { return step.UpgradeCourse_Records(nCode, strText, &first, &second, db_layer::DBParam()); }
    std::shared_ptr<CDBAccessConn> Second() { return std::make_shared<CDBAccessConn>(&second); }
};

TEST(ApprovalRecordsPass, FirstRunSendsTheStatementsOfBothTablesInOrder) {
    SSerialSource serial;
    SRun run;
    ScriptDatabase(run.second);
    ASSERT_TRUE(run.Run());
    const V expected = {Q(kStatus), Q(kMaxAppoint), Q(kMinAppoint), Q(AppointRange(1)), "BEGIN", Q(kNextProcess),
                        Q(kNextNode), Q(kNextProcess), Q(kNextNode), X(kAppointBatch), "COMMIT",
                        X(Progress(0, 102)), Q(kMaxReview), Q(kMinReview), Q(ReviewRange(5)), "BEGIN",
                        Q(kNextProcess), Q(kNextNode), X(ReviewBatch(1000060, 1000072)), "COMMIT",
                        X(Progress(0, 106)), X(kFinished)};
    EXPECT_EQ(run.second.calls, expected);
    EXPECT_TRUE(run.first.calls.empty());
    const std::string strName =
        "[UnifiedUpgradeComponent::C1110ToC1120::UpgradeCourse_Records][C1110ToC1120::UpgradeCourse_Records] ";
    EXPECT_EQ(Lines(run.capture, 3), (V{strName + "UpgradeCourse_Records start!", strName + "UpgradeCourse_Records end!"}));
    EXPECT_TRUE(run.capture.Messages(5).empty());
}

TEST(ApprovalRecordsPass, ReviewStatusesMapToAppointmentAndProcessStates) {
    struct SCase {
        int nReview, nAppointment, nProcess, nCause;
    };
    for (const SCase& c : {SCase{0, 8, 0, 0}, SCase{2, 9, 3, 0}, SCase{3, 1, 5, 3}, SCase{7, 8, 0, 0}}) {
        SCOPED_TRACE(c.nReview);
        SSerialSource serial;
        SRun run;
        run.second.OnRows(kNextProcess, {{{"nextval", "60"}}}).OnRows(kNextNode, {{{"nextval", "72"}}});
        stru_appoint_review_record record;
        record.id = 5;
        record.appoint_review_status = c.nReview;
        record.create_time = "2024-03-20 07:00:00";
        ASSERT_TRUE(run.step.InsertAppointReviewRecord(run.nCode, run.strText, {record}, run.Second()));
        const std::string strSql = run.second.Statements().back();
        EXPECT_NE(strSql.find("'',-1,-1,-1,''," + N(c.nAppointment) + ",''"), std::string::npos) << strSql;
        EXPECT_NE(strSql.find("(1000060,'202403201000060',4,-1,-1,1,-1," + N(c.nProcess) + "," + N(c.nCause) + ",0 ,"),
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

// A table of appointment keys that answers the walk's queries as a server
// would: max, min, the rows of a range, the lowest key above a value.
class CKeyedTable : public CFakeConnect {
public:
    explicit CKeyedTable(std::set<long long> keys) : m_keys(std::move(keys)) {}
    std::vector<long long> vecRowRanges;  // starts of the ranges that held rows, in order
    int nRangeQueries = 0;
    int nNextKeyQueries = 0;

    bool Query(const std::string& strSql) override {
        static const std::regex kRange(
            "SELECT \\* FROM visitor\\.visitor_appoint_record WHERE id BETWEEN (-?\\d+) AND (-?\\d+);");
        static const std::regex kAbove("SELECT min\\(id\\) FROM visitor\\.visitor_appoint_record WHERE id > (-?\\d+);");
        const auto Value = [](bool bNull, long long llKey) { return bNull ? Opt() : Opt(N(llKey)); };
        std::smatch match;
        std::vector<FakeRow> rows;
        if (std::regex_match(strSql, match, kRange)) {
            ++nRangeQueries;
            for (auto it = m_keys.lower_bound(std::stoll(match[1])); it != m_keys.end() && *it <= std::stoll(match[2]);
                 ++it)
                rows.push_back(Appointment(static_cast<int>(*it), "2024-03-15 08:00:00", "x"));
            if (!rows.empty()) vecRowRanges.push_back(std::stoll(match[1]));
        } else if (std::regex_match(strSql, match, kAbove)) {
            ++nNextKeyQueries;
            const auto it = m_keys.upper_bound(std::stoll(match[1]));
            rows.push_back({{"min", Value(it == m_keys.end(), it == m_keys.end() ? 0 : *it)}});
        } else if (strSql == kMaxAppoint) {
            rows.push_back({{"max", Value(m_keys.empty(), m_keys.empty() ? 0 : *m_keys.rbegin())}});
        } else if (strSql == kMinAppoint) {
            rows.push_back({{"min", Value(m_keys.empty(), m_keys.empty() ? 0 : *m_keys.begin())}});
        } else {
            return CFakeConnect::Query(strSql);
        }
        OnRows(strSql, rows, false, 1);
        return CFakeConnect::Query(strSql);
    }

private:
    std::set<long long> m_keys;
};

// The walk as it went before it looked for the next key: 100 keys on after an
// empty range, 101 after one with rows. Ranges that held rows, and the end.
std::pair<std::vector<long long>, long long> SteppedWalk(const std::set<long long>& keys, long long llCursor) {
    const long long llMax = keys.empty() ? 0 : *keys.rbegin();
    std::vector<long long> vecRowRanges;
    bool bLowestTaken = false;
    while (llCursor <= llMax) {
        if (llCursor == 0 && !bLowestTaken) {
            llCursor = keys.empty() ? 0 : *keys.begin();
            bLowestTaken = true;
        }
        const auto it = keys.lower_bound(llCursor);
        const bool bRows = it != keys.end() && *it <= llCursor + 100;
        if (bRows) vecRowRanges.push_back(llCursor);
        llCursor += bRows ? 101 : 100;
    }
    return {vecRowRanges, std::min<long long>(llCursor, INT_MAX)};
}

std::set<long long> Keys(long long llFrom, long long llTo, std::set<long long> extra = {}) {
    for (long long llKey = llFrom; llKey <= llTo; ++llKey) extra.insert(llKey);
    return extra;
}

TEST(ApprovalRecordsPass, WalkReadsTheRangesWithRowsAsSteppingWouldAndJumpsGapsWithOneQuery) {
    const int kTop = INT_MAX;
    std::vector<long long> vecOutlierRanges;
    for (long long llStart = 1; llStart <= 1000; llStart += 101) vecOutlierRanges.push_back(llStart);
    vecOutlierRanges.push_back(2147483611);  // 1011 + k * 100: the first such range that holds 2147483647
    const struct {
        const char* szCase;
        std::set<long long> keys;
        int nStart;
        std::optional<std::pair<std::vector<long long>, long long>> expected;  // else as stepping went
    } cases[] = {
        {"keys 1 to 250", Keys(1, 250), 0, {}},
        {"keys 1 to 50 and 900 to 1000", Keys(900, 1000, Keys(1, 50)), 0, {}},
        {"a key shared by two ranges after a gap", Keys(1, 50, {302}), 0, {}},
        {"empty table", {}, 0, {}},
        {"stored -1", Keys(1, 10), -1, {}},
        {"resumed inside, then a gap", Keys(380, 400, Keys(1, 160)), 150, {}},
        {"top of the 32-bit keys", {kTop - 150, kTop - 49, kTop}, 0, {}},
        {"negative keys", {-250, -120, 30, 100}, 0, {}},
        {"start below 0 on the grid: 0 still yields to the lowest key", {-5000, 500}, -1000, {}},
        {"one key at 2147483647 among 1,000", Keys(1, 1000, {kTop}), 0, {{vecOutlierRanges, kTop}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        const auto expected = c.expected ? *c.expected : SteppedWalk(c.keys, c.nStart);
        SRun run;
        CKeyedTable table(c.keys);
        ASSERT_TRUE(run.step.Upgrade_Record_UpgradeVisitorRecord(run.nCode, run.strText,
                                                                 std::make_shared<CDBAccessConn>(&table), 3, c.nStart));
        EXPECT_EQ(table.vecRowRanges, expected.first);
        EXPECT_EQ(table.Statements().back(), Progress(3, static_cast<int>(expected.second)));
        // Each empty range read is followed by one look for the next key, which leads to rows or past max.
        EXPECT_EQ(table.nNextKeyQueries, table.nRangeQueries - static_cast<int>(expected.first.size()));
        EXPECT_LE(table.nNextKeyQueries, static_cast<int>(expected.first.size()) + 2);
    }
}

TEST(ApprovalRecordsPass, RerunSkipsRowsThatCarryAFlowNumberAndStartsReviewsAtTheirLowestKey) {
    SSerialSource serial;
    {
        // One of two appointments converted before: only the other one is drawn for.
        SRun run;
        const auto Converted = [](int nId, Opt flow) { return Appointment(nId, "2024-03-15 08:00:00.1", "x", flow); };
        run.second.OnRows(kMaxAppoint, {{{"max", "150"}}}).OnRows(kMinAppoint, {{{"min", "1"}}});
        run.second.OnRows(AppointRange(1), {Converted(1, "2024031557"), Converted(2, "")});
        run.second.OnRows(AppointRange(102), {Converted(120, "202403159"), Converted(121, "2024031510")});
        ASSERT_TRUE(run.step.Upgrade_Record_UpgradeVisitorRecord(run.nCode, run.strText, run.Second(), 0, 0));
        EXPECT_EQ(run.second.StatementsContaining(kNextProcess).size(), 1u);
        const auto texts = run.second.StatementsContaining("UPDATE visitor.visitor_appoint_record");
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_NE(texts[0].find("WHERE id = 2;"), std::string::npos);
        EXPECT_EQ(texts[0].find("WHERE id = 1;"), std::string::npos);
        // A range whose rows are all converted opens no transaction and still moves on by 101.
        EXPECT_EQ(std::count(run.second.calls.begin(), run.second.calls.end(), "BEGIN"), 1);
        EXPECT_EQ(run.second.Statements().back(), Progress(0, 203));
    }
    {
        SRun run;
        run.second.OnRows(kMaxReview, {{{"max", "5"}}}).OnRows(kMinReview, {{{"min", "5"}}});
        run.second.OnRows(ReviewRange(5), {Review(5, 2, "202403201000060"), Review(6, 0)});
        ASSERT_TRUE(run.step.Upgrade_Record_UpgradeVisitorReviewRecord(run.nCode, run.strText, run.Second(), 0, 0));
        EXPECT_EQ(run.second.StatementsContaining("INSERT INTO visitor.visitor_appoint_record").size(), 1u);
        EXPECT_EQ(run.second.StatementsContaining("WHERE id = 5;").size(), 0u);
        EXPECT_EQ(run.second.StatementsContaining("WHERE id = 6;").size(), 1u);
    }
    {
        // A stored position past the appointments' walk is that table's end, not the reviews'.
        SRun run;
        run.second.OnRows(kStatus, {{{"status", "1"}, {"schedule", "0"}, {"rate_progress", "1500"}}});
        run.second.OnRows(kMaxAppoint, {{{"max", "2000"}}}).OnRows(kMinAppoint, {{{"min", "1"}}});
        run.second.OnRows(kMaxReview, {{{"max", "10"}}}).OnRows(kMinReview, {{{"min", "3"}}});
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(run.second.StatementsContaining(AppointRange(1500)).size(), 1u);
        EXPECT_EQ(run.second.StatementsContaining(ReviewRange(3)).size(), 1u);
    }
}

const std::string kName = "[UnifiedUpgradeComponent::C1110ToC1120::";
const std::string kErr = "Error Code:77, Error Info:boom";
std::string TableLine(const std::string& strPass) {
    return kName + strPass + "][C1110ToC1120::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed";
}
std::string DrawLine(const std::string& strWhat) {
    return kName + strWhat + "][ExecuteHelper] ExecuteTransaction " + strWhat + " failed, " + kErr + ".";
}
const std::string kTableLine = TableLine("UpgradeCourse_Records");
// A refused transaction call of the batch from nFrom to nFrom + 100.
std::string WalkLine(const std::string& strDriver, const std::string& strCall, int nFrom) {
    return kName + strDriver + "][C1110ToC1120::RecordsData2Destination_MEM] " + strCall + " failed, keys " + N(nFrom) +
           " to " + N(nFrom + 100) + ", " + kErr + ".";
}

TEST(ApprovalRecordsPass, EachFailureReportsItsLinesKeepsTheErrorAndStops) {
    const struct {
        bool bAppointments;      // false: the appointment table is empty, the failure hits the reviews
        std::string strFailing;  // text that fails (substring); empty: the id source fails
        V vecLines;
        bool bRolledBack;
    } failures[] = {
        {true, kStatus, {kName + "UpgradeCourse_Records][C1110ToC1120::UpgradeCourse_Records] Query status info failed"},
         false},
        {true, kMaxAppoint, {kTableLine}, false},
        {true, AppointRange(1), {kName + "QueryApppointRecord]errorcode:77, errorinfo:boom", kTableLine}, false},
        {true, kNextProcess,
         {DrawLine("QueryNextIdOfApproveProcess"),
          kName + "InsertAppointRecord][C1110ToC1120] QueryNextIdOfApproveProcess failed, " + kErr + ".", kTableLine},
         true},
        {true, kNextNode,
         {DrawLine("QueryNextIdOfApproveProcessNode"),
          kName + "InsertAppointRecord][C1110ToC1120]  QueryNextIdOfApproveProcessNode failed, " + kErr + ".",
          kTableLine},
         true},
        {true, "SET appoint_approval_flow_id",
         {kName + "InsertAppointRecord][C1110To1120::InsertEventRecord] Insert Record Failed.Sql:" + kAppointBatch +
              ", " + kErr,
          kTableLine},
         true},
        {true, "BEGIN", {WalkLine("Upgrade_Record_UpgradeVisitorRecord", "BeginTransaction", 1), kTableLine}, false},
        {true, "COMMIT", {WalkLine("Upgrade_Record_UpgradeVisitorRecord", "Commit", 1), kTableLine}, false},
        {false, "COMMIT", {WalkLine("Upgrade_Record_UpgradeVisitorReviewRecord", "Commit", 5), kTableLine}, false},
        {true, Progress(0, 102),
         {kName + "Upgrade_Record_UpgradeVisitorRecord][C1110ToC1120::RecordsData2Destination_MEM] Set upgrade "
                  "status failed",
          kTableLine},
         false},
        {false, kNextProcess,
         {DrawLine("QueryNextIdOfApproveProcess"),
          kName + "InsertAppointReviewRecord][C1110ToC1120]QueryNextIdOfApproveProcess failed, " + kErr + ".",
          kTableLine},
         true},
        {false, kNextNode,
         {DrawLine("QueryNextIdOfApproveProcessNode"),
          kName + "InsertAppointReviewRecord][C1110ToC1120] QueryNextIdOfApproveProcessNode failed, " + kErr + ".",
          kTableLine},
         true},
        {false, "",
         {kName + "InsertAppointReviewRecord][C1110ToC1120]GloballySerial failed, Error Code:-7, Error "
                  "Info:db_layer::GloballySerial gave -1, not an appointment id within 1..2147483647.",
          kTableLine},
         true},
        {false, "INSERT INTO visitor.visitor_appoint_record",
         {kName + "InsertAppointReviewRecord][C1110To1120::InsertEventRecord] Insert Record Failed.Sql:" +
              ReviewBatch(1000057, 1000070) + ", " + kErr,
          kTableLine},
         true},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.strFailing);
        SSerialSource serial(9001, failure.strFailing.empty());
        SRun run;
        if (!failure.strFailing.empty()) run.second.OnFail(failure.strFailing, 77, "boom", true);
        ScriptDatabase(run.second, failure.bAppointments);
        EXPECT_FALSE(run.Run());
        if (!failure.strFailing.empty()) {
            EXPECT_EQ(run.nCode, 77);
            EXPECT_EQ(run.strText, "boom");
        }
        V vecExpected;
        for (const std::string& strLine : failure.vecLines) vecExpected.push_back(approval_test::WithoutNow(strLine));
        EXPECT_EQ(Lines(run.capture, 5), vecExpected);
        EXPECT_EQ(std::count(run.second.calls.begin(), run.second.calls.end(), "ROLLBACK"), failure.bRolledBack);
        EXPECT_TRUE(run.second.StatementsContaining("achieve_time").empty());
    }
}

TEST(ApprovalRecordsPass, FailedFinishedMarkerLeavesThePassSuccessfulWithTheErrorKept) {
    SSerialSource serial;
    SRun run;
    run.second.OnFail(kFinished, 77, "boom");
    ScriptDatabase(run.second);
    EXPECT_TRUE(run.Run());
    EXPECT_EQ(run.nCode, 77);
    EXPECT_EQ(run.strText, "boom");
}

const std::string kSoftDeletionMark = "incremental_review_soft_deletion";

// First: status and review 5 (already linked once); third: appointments 1, 2
// and 3 marked 2, 3 and 1; second: the flow number of appointment 1, draws.
struct SIncrementalRun : SRun {
    // A failure given here is scripted before the rows, so it wins.
    explicit SIncrementalRun(int nFailConn = -1, const std::string& strFail = "") {
        CFakeConnect* conns[] = {&first, &second, &third};
        if (nFailConn >= 0) conns[nFailConn]->OnFail(strFail, 77, "boom", true);
        const auto Marked = [](int nId, int nMarker) {
            return Appointment(nId, "2024-03-17 10:00:00.5", "2024-03-18 10:00:00.5", std::nullopt, nMarker);
        };
        first.OnRows(kStatus, {{{"status", "1"}, {"schedule", "2"}, {"rate_progress", "0"}}})
            .OnRows(kMaxReview, {{{"max", "5"}}})
            .OnRows(kMinReview, {{{"min", "5"}}})
            .OnRows(ReviewRange(5), {Review(5, 0, "202403201000060")});
        third.OnRows(kMaxAppoint, {{{"max", "3"}}})
            .OnRows(kMinAppoint, {{{"min", "1"}}})
            .OnRows(AppointRange(1), {Marked(1, 2), Marked(2, 3), Marked(3, 1)});
        second.OnRows(ById(1), {{{"id", "1"}, {"appoint_approval_flow_id", "2024010177"}}});
        for (int nId : {57, 58}) second.OnRows(kNextProcess, {{{"nextval", N(nId)}}}, false, 1);
        for (int nId : {70, 71}) second.OnRows(kNextNode, {{{"nextval", N(nId)}}}, false, 1);
        db_layer::SetSerialSource([](const std::string&) { return 9001LL; });
    }
    ~SIncrementalRun() { db_layer::SetSerialSource({}); }
    bool Run() {
        return step.UpgradeCourse_Records_IncreData(nCode, strText, &first, &second, &third, db_layer::DBParam());
    }
};

TEST(ApprovalIncrementalPass, NullConnectionsFailAtOnceWithoutTouchingTheError) {
    SRun run;
    run.nCode = 5;
    run.strText = "older";
    CFakeConnect *a = &run.first, *b = &run.second, *c = &run.third;
    const db_layer::DBParam param;
    EXPECT_FALSE(run.step.UpgradeCourse_Config_IncreData(run.nCode, run.strText, nullptr, b, c, param));
    EXPECT_FALSE(run.step.UpgradeCourse_Config_IncreData(run.nCode, run.strText, a, nullptr, c, param));
    EXPECT_FALSE(run.step.UpgradeCourse_Config_IncreData(run.nCode, run.strText, a, b, nullptr, param));
    EXPECT_FALSE(run.step.UpgradeCourse_Records_IncreData(run.nCode, run.strText, a, nullptr, c, param));
    EXPECT_FALSE(run.step.UpgradeCourse_Records_IncreData(run.nCode, run.strText, a, b, nullptr, param));
    EXPECT_EQ(run.nCode, 5);
    EXPECT_EQ(run.strText, "older");
    EXPECT_TRUE(a->calls.empty() && b->calls.empty() && c->calls.empty());
}

const std::string kIncrementalAppointText =
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

const std::string kSoftDeletion =
    "UPDATE visitor.visitor_appoint_record a SET is_deleted = 1 ,update_time = '<now>' WHERE "
    "a.appoint_approval_flow_id = ( select r.appoint_approval_flow_id from visitor.visitor_appoint_reveiw_record r "
    "where a.appoint_approval_flow_id = r.appoint_approval_flow_id)  ;"
    "UPDATE officeworkflow.approve_process a SET is_deleted = 1 ,update_time = '<now>' WHERE a.process_num = ( "
    "select r.appoint_approval_flow_id from visitor.visitor_appoint_reveiw_record r where a.process_num = "
    "r.appoint_approval_flow_id)  ;";

TEST(ApprovalIncrementalPass, RecordsTakeOverMarkedFlowNumbersAndReconvertReviewsAfterTheSoftDeletion) {
    SIncrementalRun run;
    ASSERT_TRUE(run.Run());
    EXPECT_EQ(run.first.calls, (V{Q(kStatus), Q(kMaxReview), Q(kMinReview), Q(ReviewRange(5))}));
    EXPECT_EQ(run.third.calls, (V{Q(kMaxAppoint), Q(kMinAppoint), Q(AppointRange(1)), "BEGIN", X(kIncrementalAppointText),
                                  "COMMIT", X(Progress(2, 102)), X(Progress(2, 106))}));

    // The soft deletion commits with its mark; the review already linked once is
    // converted again (new ids, its flow number replaced), its range marked in its batch.
    const V secondCalls = {Q(ById(1)), Q(ById(2)), Q(kNextProcess), Q(kNextNode), X(approval_test::kCreateMarks),
                           Q(approval_test::kSelectMarks), "BEGIN", X(kSoftDeletion),
                           X(approval_test::Mark(kSoftDeletionMark)), "COMMIT", "BEGIN", Q(kNextProcess),
                           Q(kNextNode)};
    const V calls = Calls(run.second);
    ASSERT_EQ(calls.size(), secondCalls.size() + 3);
    EXPECT_TRUE(std::equal(secondCalls.begin(), secondCalls.end(), calls.begin()));
    EXPECT_NE(calls[secondCalls.size()].find("UPDATE visitor.visitor_appoint_reveiw_record SET "
                                             "appoint_approval_flow_id = '202403201000058' WHERE id = 5;"),
              std::string::npos);
    EXPECT_NE(calls[secondCalls.size()].find("VALUES (1000071,1000058,-1,1,2,1,'',0,"), std::string::npos);
    EXPECT_EQ(calls[secondCalls.size() + 1], X(approval_test::Mark("incremental_reviews_converted 5 105")));
    EXPECT_EQ(calls.back(), "COMMIT");

    const std::string strEnd = kName + "UpgradeCourse_Records_IncreData][C1110ToC1120::UpgradeCourse_Records] "
                                       "UpgradeCourse_Records end!";
    EXPECT_EQ(Lines(run.capture, 3), (V{strEnd, strEnd}));
    EXPECT_TRUE(run.third.StatementsContaining("achieve_time").empty());
}

TEST(ApprovalIncrementalPass, EachFailureReportsItsLinesAndStops) {
    const std::string strPassLine = TableLine("UpgradeCourse_Records_IncreData");
    const std::string strSetStatus = "][C1110ToC1120::RecordsData2Destination_MEM] Set upgrade status failed";
    const std::string strReviews = kName + "IncreUpgrade_Record_UpgradeVisitorReviewRecord";
    const struct {
        int nConn;  // 0 first, 1 second, 2 third
        std::string strFailing;
        V vecLines;
        int nRollbackConn;  // -1: none
    } failures[] = {
        {0, kStatus,
         {kName + "UpgradeCourse_Records_IncreData][C1110ToC1120::UpgradeCourse_Records] Query status info failed"},
         -1},
        {2, AppointRange(1), {kName + "QueryApppointRecordForIncreUpdate]errorcode:77, errorinfo:boom", strPassLine},
         -1},
        {1, ById(1),
         {kName + "QryFlowNumByAppointID]errorcode:77, errorinfo:boom",
          kName + "InsertAppointRecordForIncre][C1110ToC1120] QryFlowNumByAppointID failed, " + kErr + ".",
          strPassLine},
         2},
        {1, kNextProcess,
         {DrawLine("QueryNextIdOfApproveProcess"),
          kName + "InsertAppointRecordForIncre][C1110ToC1120] QueryNextIdOfApproveProcess failed, " + kErr + ".",
          strPassLine},
         2},
        {2, Progress(2, 102), {kName + "IncreUpgrade_Record_UpgradeVisitorRecord" + strSetStatus, strPassLine}, -1},
        {1, "SET is_deleted = 1",
         {kName + "IncreUpgrade_Record_UpgradeVisitorReviewRecord]stru_db_com.cms_up_connect delete already updated "
                  "data in table :visitor_appoint_reveiw_record Failed.Sql:" +
              kSoftDeletion + ", " + kErr,
          strPassLine},
         1},
        {2, Progress(2, 106), {kName + "IncreUpgrade_Record_UpgradeVisitorReviewRecord" + strSetStatus, strPassLine},
         -1},
        {2, "COMMIT", {WalkLine("IncreUpgrade_Record_UpgradeVisitorRecord", "Commit", 1), strPassLine}, -1},
        {1, "BEGIN", {strReviews + "]Begin transaction of 1.12.0 " + kSoftDeletionMark + " failed, " + kErr + ".",
                      strPassLine}, -1},
        {1, "COMMIT", {strReviews + "]Commit of 1.12.0 " + kSoftDeletionMark + " failed, " + kErr + ".", strPassLine},
         -1},
        {1, "incremental_reviews_converted",
         {strReviews + "]Write configuration pass mark incremental_reviews_converted 5 105 failed, " + kErr + ".",
          strPassLine},
         1},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.strFailing);
        SIncrementalRun run(failure.nConn, failure.strFailing);
        EXPECT_FALSE(run.Run());
        EXPECT_EQ(run.nCode, 77);
        EXPECT_EQ(Lines(run.capture, 5), failure.vecLines);
        const CFakeConnect* conns[] = {&run.first, &run.second, &run.third};
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(std::count(conns[i]->calls.begin(), conns[i]->calls.end(), "ROLLBACK"),
                      failure.nRollbackConn == i ? 1 : 0);
    }
}

}  // namespace
