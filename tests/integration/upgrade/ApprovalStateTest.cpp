// The approval migration on the reference database at 1.11.0, as tables of
// states: start state -> records pass(es) -> end state. The full pass over one
// database (every appointment and live review tied to one process, statuses
// mapped, the status row), and the incremental pass over three databases, whose
// end state after a repeat or a refused COMMIT and a rerun is that of one run.
// The full pass both in the default mode and in bulk mode.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "LogCapture.h"
#include "ReferenceDatabase.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"
#include "db_layer/GloballySerial.h"
#include "db_layer/SequenceSerialSource.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CTestDatabase;
using vsu_test::Rows;

namespace {

// The host's id source over the module database's appointments, for the object's lifetime.
struct SHostIdSource {
    explicit SHostIdSource(const CTestDatabase& db) {
        db_layer::SetSerialSource(db_layer::CSequenceSerialSource::AsSerialSource(
            std::make_shared<db_layer::CSequenceSerialSource>(db.ConnInfo(), "visitor.visitor_appoint_record", "id")));
    }
    ~SHostIdSource() { db_layer::SetSerialSource({}); }
};

// Refuses, at COMMIT, every process of applicant 777.
const char* const kRefuseAtCommit =
    "CREATE FUNCTION visitor.refuse_777() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.applicant_id = 777 THEN"
    " RAISE EXCEPTION 'process of applicant 777 refused'; END IF; RETURN NEW; END $$;"
    "CREATE CONSTRAINT TRIGGER refuse_777 AFTER INSERT ON officeworkflow.approve_process DEFERRABLE INITIALLY"
    " DEFERRED FOR EACH ROW EXECUTE FUNCTION visitor.refuse_777();";
const char* const kDropRefusal = "DROP TRIGGER refuse_777 ON officeworkflow.approve_process";
// Refuses the process of applicant 777 as its row is written, in the middle of a batch.
const char* const kRefuseRow =
    "ALTER TABLE officeworkflow.approve_process ADD CONSTRAINT no_777 CHECK (applicant_id <> 777) NOT VALID;";
const char* const kDropRowRefusal = "ALTER TABLE officeworkflow.approve_process DROP CONSTRAINT no_777";

// Appointments 1-250 and 1000-1010 (a gap of several ranges), reviews 1-300 of
// every status (review 150 by applicant 777, every 7th deleted), a copy under way.
const std::string kRecords =
    "INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, create_time, update_time) SELECT g, 1,"
    " '2024-01-01'::timestamp + g * interval '1 minute', CASE WHEN g % 2 = 0 THEN '2024-06-01'::timestamp END"
    " FROM generate_series(1, 250) g UNION ALL SELECT g, 1, '2023-05-01', NULL::timestamp FROM generate_series(1000, "
    "1010) g;"
    "INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, interviewee_id, visit_reason_detail,"
    " create_time, is_deleted) SELECT g, g % 4, CASE WHEN g = 150 THEN 777 ELSE 2 END, CASE WHEN g % 5 = 0 THEN"
    " 'it''s \\''; DROP TABLE x; --' END, '2024-02-01'::timestamp + g * interval '1 second',"
    " CASE WHEN g % 7 = 0 THEN 1 ELSE 0 END FROM generate_series(1, 300) g;"
    "UPDATE platform.module_version_status SET status = 2, schedule = 0, rate_progress = 0;";
// An earlier run converted appointments 1-100 and lost its progress.
const std::string kHalfConverted =
    "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = 'E' || id WHERE id <= 100;"
    "INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, status)"
    " SELECT 500000 + g, 'E' || g, 4, 1, 1 FROM generate_series(1, 100) g;";

// Duplicate ids, appointments without or sharing a process, processes of no appointment, live reviews not
// converted, what each review status became, the kept detail texts, the status row.
std::string State(const CTestDatabase& db) {
    const char* const kLive = "appoint_review_status IN (0, 2, 3) AND is_deleted = 0";
    return db.Scalar(
               std::string(
                   "SELECT concat_ws('|', (SELECT count(*) - count(DISTINCT id) FROM visitor.visitor_appoint_record),"
                   " (SELECT count(*) FROM visitor.visitor_appoint_record a WHERE NOT EXISTS (SELECT 1 FROM"
                   " officeworkflow.approve_process p WHERE p.process_num = a.appoint_approval_flow_id)),"
                   " (SELECT count(*) FROM (SELECT process_num FROM officeworkflow.approve_process GROUP BY"
                   " process_num HAVING count(*) > 1) d), (SELECT count(*) FROM officeworkflow.approve_process p"
                   " WHERE NOT EXISTS (SELECT 1 FROM visitor.visitor_appoint_record a WHERE"
                   " a.appoint_approval_flow_id = p.process_num)), (SELECT count(*) FROM"
                   " visitor.visitor_appoint_reveiw_record WHERE ") +
               kLive +
               " AND appoint_approval_flow_id IS NULL), (SELECT count(*) FROM visitor.visitor_appoint_reveiw_record"
               " r JOIN visitor.visitor_appoint_record a USING (appoint_approval_flow_id) WHERE r.visit_reason_detail"
               " IS NOT DISTINCT FROM a.visit_reason_detail), (SELECT concat_ws(':', status, rate_progress,"
               " step_ver) FROM platform.module_version_status))") +
           "|" +
           Rows(db,
                "(SELECT DISTINCT r.appoint_review_status s, a.appointment_status, p.status, p.abnormal_cause,"
                " n.node_status FROM visitor.visitor_appoint_reveiw_record r JOIN visitor.visitor_appoint_record a"
                " USING (appoint_approval_flow_id) JOIN officeworkflow.approve_process p ON p.process_num ="
                " r.appoint_approval_flow_id JOIN officeworkflow.approve_process_node n ON n.approve_process_id ="
                " p.id) m",
                "s, appointment_status, status, abnormal_cause, node_status");
}

TEST(ApprovalStates, RecordsPassTiesEveryAppointmentAndLiveReviewToOneProcessFromEachStartStateInBothModes) {
    VSU_REQUIRE_SERVER();
    // Live reviews: 300 - 43 deleted, of which 3/4 of status 0, 2, 3. Converted-detail rows equal the live reviews.
    const char* const kDone = "0|0|0|0|0|193|1:-1:1.12.0|0:8:0:0:2,2:9:3:0:2,3:1:5:3:2";
    const struct {
        const char* szCase;
        std::string strStart;
        int nRuns;
        bool bOk;  // of the last run
        const char* szEnd;
        const char* szRemoveCause = kDropRefusal;  // of the failure, before the rerun
    } cases[] = {
        {"first run, sequence behind the keys",
         kRecords + "SELECT setval('visitor.visitor_appoint_record_id_seq', 1010, false);", 1, true, kDone},
        {"run again after success", kRecords, 2, true, kDone},
        {"half converted, progress lost", kRecords + kHalfConverted, 1, true, kDone},
        {"COMMIT refused in the review walk", kRecords + kRefuseAtCommit, 1, false,
         "0|0|0|0|129|64|2:1106:1.11.0|0:8:0:0:2,2:9:3:0:2,3:1:5:3:2"},
        {"row refused in the middle of a review batch", kRecords + kRefuseRow, 1, false,
         "0|0|0|0|129|64|2:1106:1.11.0|0:8:0:0:2,2:9:3:0:2,3:1:5:3:2", kDropRowRefusal},
    };
    for (const char* szBulk : {"0", "1"})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.szCase) + ", VSU_BULK=" + szBulk);
            setenv("VSU_BULK", szBulk, 1);
            CTestDatabase db;
            vsu_test::BuildAt(db, "1.11.0");
            db.Exec(c.strStart);
            SHostIdSource ids(db);
            auto pFirst = db.Connect(), pSecond = db.Connect();
            C1110ToC1120 step;
            bool bOk = false;
            int nCode = 0;
            std::string strText;
            vsu_test::CLogCapture quiet;
            for (int nRun = 0; nRun < c.nRuns; ++nRun)
                bOk = step.UpgradeCourse_Records(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam());
            EXPECT_EQ(bOk, c.bOk) << strText;
            EXPECT_EQ(State(db), c.szEnd);
            if (c.bOk) continue;
            // The pass reports the server's refusal of that row: the trigger's text or the constraint's name.
            EXPECT_TRUE(strText.find("process of applicant 777 refused") != std::string::npos ||
                        strText.find("check constraint \"no_777\"") != std::string::npos)
                << strText;
            db.Exec(c.szRemoveCause);
            EXPECT_TRUE(step.UpgradeCourse_Records(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam()));
            EXPECT_EQ(State(db), kDone) << "the rerun after the refusal";
        }
    unsetenv("VSU_BULK");
}

// First database: the live reviews to convert (150 by applicant 777). Second:
// appointments 1 and 2, reviews 1 to 200 that the full pass linked. Third:
// appointments with the platform's change markers.
const char* const kIncrementalFirst =
    "INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, interviewee_id, object_guid,"
    " create_time) SELECT g, g % 4, CASE WHEN g = 150 THEN 777 ELSE 2 END, 'review-' || g, '2024-02-01'::timestamp"
    " + g * interval '1 minute' FROM generate_series(1, 250) g;";
const char* const kIncrementalSecond =
    "INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, appoint_approval_flow_id, create_time) VALUES"
    " (1, 1, 'A1', '2024-01-01'), (2, 1, 'A2', '2024-01-01');"
    "INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, status) VALUES"
    " (1, 'A1', 4, 1, 1), (2, 'A2', 4, 1, 1);"
    "INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, interviewee_id, create_time,"
    " appoint_approval_flow_id) SELECT g, g % 4, 2, '2024-02-01', CASE WHEN g % 4 <> 1 THEN 'R' || g END FROM"
    " generate_series(1, 200) g;"
    "INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, appoint_approval_flow_id, create_time)"
    " SELECT 1000 + g, 2, 'R' || g, '2024-02-01' FROM generate_series(1, 200) g WHERE g % 4 <> 1;"
    "INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, status)"
    " SELECT 1000 + g, 'R' || g, 4, 2, 0 FROM generate_series(1, 200) g WHERE g % 4 <> 1;";
const char* const kIncrementalThird =
    "ALTER TABLE visitor.visitor_appoint_record ADD COLUMN row_status_implicit_upgrade integer;"
    "INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, create_time, row_status_implicit_upgrade) VALUES"
    " (1, 5, '2024-07-01', 2), (2, 5, '2024-07-01', 3), (10, 5, '2024-07-01', 2), (20, 6, '2024-07-02', 1),"
    " (21, 6, '2024-07-02', 0), (22, 6, '2024-07-02', -1), (23, 6, '2024-07-02', NULL);";

struct SIncremental {
    CTestDatabase first{"approval_first"}, second{"approval_second"}, third{"approval_third"};
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    SIncremental() {
        for (const CTestDatabase* pDb : {&first, &second, &third}) vsu_test::BuildAt(*pDb, "1.11.0");
        first.Exec(kIncrementalFirst);
        second.Exec(kIncrementalSecond);
        third.Exec(kIncrementalThird);
    }
    bool Run() {
        SHostIdSource ids(second);
        auto pFirst = first.Connect(), pSecond = second.Connect(), pThird = third.Connect();
        vsu_test::CLogCapture quiet;
        return step.UpgradeCourse_Records_IncreData(nCode, strText, pFirst.get(), pSecond.get(), pThird.get(),
                                                    db_layer::DBParam());
    }
    // Without generated ids, flow numbers made of them, and times.
    std::string State() const {
        const auto Kind = [](const std::string& strColumn) {
            return "CASE WHEN " + strColumn + " ~ '^[AR]' OR coalesce(" + strColumn + ", '') = '' THEN coalesce(" +
                   strColumn + ", 'null') ELSE 'made' END";
        };
        const std::string strFlow = Kind("appoint_approval_flow_id");
        return Rows(second, "visitor.visitor_appoint_record", "interviewee_id, object_guid, is_deleted, " + strFlow) +
               "\n" + Rows(second, "visitor.visitor_appoint_reveiw_record", "id, " + strFlow) + "\n" +
               Rows(second, "officeworkflow.approve_process",
                    "applicant_id, status, abnormal_cause, is_deleted, " + Kind("process_num")) +
               "\n" + Rows(second, "officeworkflow.approve_process_node", "node_status, is_deleted") + "\n" +
               Rows(third, "visitor.visitor_appoint_record", "id, row_status_implicit_upgrade, " + strFlow) + "\n" +
               Rows(third, "officeworkflow.approve_process",
                    "applicant_id, row_status_implicit_upgrade, related_id_implicit_upgrade, is_deleted") +
               "\n" + Rows(third, "platform.module_version_status", "version_no, schedule, rate_progress");
    }
};

TEST(ApprovalStates, IncrementalRecordsPassRepeatedOrRerunAfterARefusedCommitEndsAsOneRun) {
    VSU_REQUIRE_SERVER();
    SIncremental once;
    ASSERT_TRUE(once.Run()) << once.strText;
    const std::string strOnce = once.State();
    // One live process per live review of status 0, 2, 3; 1 and 2 take over A1 and A2, 10 finds nothing.
    EXPECT_EQ(once.second.Scalar("SELECT count(*) FROM officeworkflow.approve_process WHERE is_deleted = 0 AND"
                                 " process_num !~ '^[AR]'"),
              "187");
    EXPECT_EQ(Rows(once.third, "visitor.visitor_appoint_record WHERE row_status_implicit_upgrade IN (2, 3)",
                   "id, appoint_approval_flow_id"),
              "10:,1:A1,2:A2");
    ASSERT_TRUE(once.Run()) << once.strText;
    EXPECT_EQ(once.State(), strOnce) << "run twice";

    SIncremental broken;
    broken.second.Exec(kRefuseAtCommit);
    EXPECT_FALSE(broken.Run());
    EXPECT_NE(broken.State(), strOnce);
    broken.second.Exec(kDropRefusal);
    ASSERT_TRUE(broken.Run()) << broken.strText;
    EXPECT_EQ(broken.State(), strOnce) << "run again after a refused COMMIT";
}

}  // namespace
