// The approval migration against a real server: what the configuration and
// records passes leave in the database, that reruns after a completed or a
// broken-off pass convert every record exactly once, and the id source.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "ApprovalSchema.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"
#include "db_layer/GloballySerial.h"
#include "db_layer/SequenceSerialSource.h"

using namespace UnifiedUpgradeComponent;
using approval_server_test::kSchema;

namespace {

const char* const kScript = "CREATE TABLE IF NOT EXISTS visitor.script_ran (id int);";

// Registers the host's id source on the test database for the test's lifetime.
struct SHostIdSource {
    explicit SHostIdSource(const vsu_test::CTestDatabase& db) {
        db_layer::SetSerialSource(db_layer::CSequenceSerialSource::AsSerialSource(
            std::make_shared<db_layer::CSequenceSerialSource>(db.ConnInfo(), "visitor.visitor_appoint_record", "id")));
    }
    ~SHostIdSource() { db_layer::SetSerialSource({}); }
};

struct SPasses {
    vsu_test::CScriptTree tree;
    std::unique_ptr<db_layer::CConnect> pFirst, pSecond;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    explicit SPasses(const vsu_test::CTestDatabase& db) : pFirst(db.Connect()), pSecond(db.Connect()) {
        tree.Write("update_V1.8.0", "update.sql", kScript);
    }
    bool Config() { return step.UpgradeCourse_Config(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam()); }
    bool Records() {
        return step.UpgradeCourse_Records(nCode, strText, pFirst.get(), pSecond.get(), db_layer::DBParam());
    }
};

TEST(ApprovalServer, ConfigPassRebuildsCheckPointsInvertsChecksAndARepeatChangesNothing) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec(R"SQL(
INSERT INTO platform.element VALUES (10, 100), (11, 101), (12, 102);
INSERT INTO deviceaccess.door VALUES (100, 1, 1);
INSERT INTO deviceaccess.card_reader VALUES (7, 1, 1), (8, 1, 2), (9, 1, 3), (6, 2, 1);
INSERT INTO platform.resource_related VALUES (12, 30), (12, 31);
INSERT INTO visitor.visit_checkout_point(id, element_id, is_deleted) VALUES
    (1, 10, 0), (2, 11, 0), (3, 12, 0), (4, 10, 0), (5, 99, 0), (6, 11, 1);
INSERT INTO visitor.self_appoint_setting VALUES (1, 0, NULL), (2, 1, NULL), (3, 5, NULL);
)SQL");
    SPasses passes(db);
    ASSERT_TRUE(passes.Config()) << passes.strText;

    const std::string strLive =
        "SELECT string_agg(element_id || ':' || cardreader_id || ':' || type, ',' ORDER BY id) FROM "
        "visitor.visit_checkout_point WHERE is_deleted = 0";
    // Both live rows of element 10 get its two readers (index 3 is the next door's); 99 has no element.
    EXPECT_EQ(db.Scalar(strLive), "10:7:8,10:8:8,11:0:6,12:30:9,12:31:9,10:7:8,10:8:8");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visit_checkout_point WHERE id < 1000 AND is_deleted = 0"), "0");
    EXPECT_EQ(db.Scalar("SELECT count(DISTINCT update_time) FROM visitor.visit_checkout_point WHERE update_time IS "
                        "NOT NULL"),
              "1");
    const std::string strChecks =
        "SELECT string_agg(user_id || ':' || appoint_check, ',' ORDER BY user_id) FROM visitor.self_appoint_setting";
    EXPECT_EQ(db.Scalar(strChecks), "1:1,2:0,3:5");

    const std::string strAllRows = db.Scalar(
        "SELECT string_agg(id || ':' || element_id || ':' || is_deleted, ',' ORDER BY id) FROM "
        "visitor.visit_checkout_point");
    ASSERT_TRUE(passes.Config()) << passes.strText;
    EXPECT_EQ(db.Scalar("SELECT string_agg(id || ':' || element_id || ':' || is_deleted, ',' ORDER BY id) FROM "
                        "visitor.visit_checkout_point"),
              strAllRows);
    EXPECT_EQ(db.Scalar(strChecks), "1:1,2:0,3:5");
}

const char* const kCheckPointSeed = R"SQL(
INSERT INTO platform.element VALUES (10, 100), (11, 101), (12, 102);
INSERT INTO deviceaccess.door VALUES (100, 1, 1);
INSERT INTO deviceaccess.card_reader VALUES (7, 1, 1), (8, 1, 2), (9, 1, 3), (6, 2, 1);
INSERT INTO platform.resource_related VALUES (12, 30), (12, 31);
INSERT INTO visitor.visit_checkout_point(id, element_id, is_deleted) VALUES (1, 10, 0), (2, 11, 0), (3, 12, 0);
INSERT INTO visitor.self_appoint_setting VALUES (1, 0, NULL), (2, 1, NULL);
)SQL";

TEST(ApprovalServer, IncrementalConfigPassRebuildsCheckPointsOnlyOnADatabaseOtherThanTheOneItReadsAndOnce) {
    VSU_REQUIRE_SERVER();
    const std::string strAllPoints = "SELECT string_agg(id || ':' || element_id || ':' || cardreader_id || ':' || "
                                     "type || ':' || is_deleted, ',' ORDER BY id) FROM visitor.visit_checkout_point";
    const std::string strLive = "SELECT string_agg(element_id || ':' || cardreader_id || ':' || type, ',' ORDER BY "
                                "element_id, cardreader_id) FROM visitor.visit_checkout_point WHERE is_deleted = 0";
    const std::string strChecks =
        "SELECT string_agg(user_id || ':' || appoint_check, ',' ORDER BY user_id) FROM visitor.self_appoint_setting";
    const auto Seeded = [](vsu_test::CTestDatabase& db) {
        db.Exec(kSchema);
        db.Exec(kCheckPointSeed);
    };
    vsu_test::CTestDatabase main("approval_incr_main"), third("approval_incr_third");
    vsu_test::CTestDatabase other("approval_incr_other"), third2("approval_incr_third2"), source("approval_incr_src");
    for (vsu_test::CTestDatabase* pDb : {&main, &third, &other, &third2, &source}) Seeded(*pDb);
    source.Exec("INSERT INTO visitor.visit_checkout_point(id, element_id, is_deleted) VALUES (4, 10, 0)");

    // Both connections on the database the full pass rebuilt, one of them in
    // another time zone and date style: left as it is, the checks still inverted.
    SPasses passes(main);
    ASSERT_TRUE(passes.Config()) << passes.strText;
    const std::string strRebuilt = main.Scalar(strAllPoints);
    EXPECT_EQ(main.Scalar(strLive), "10:7:8,10:8:8,11:0:6,12:30:9,12:31:9");
    std::unique_ptr<db_layer::CConnect> pThird = third.Connect();
    ASSERT_TRUE(passes.pSecond->Execute("SET TimeZone TO 'Pacific/Chatham'; SET DateStyle TO 'SQL, DMY';"));
    const auto Incremental = [&](db_layer::CConnect* pFirst, db_layer::CConnect* pSecond, db_layer::CConnect* pInc) {
        return passes.step.UpgradeCourse_Config_IncreData(passes.nCode, passes.strText, pFirst, pSecond, pInc,
                                                          db_layer::DBParam());
    };
    {
        vsu_test::CLogCapture capture;
        ASSERT_TRUE(Incremental(passes.pFirst.get(), passes.pSecond.get(), pThird.get())) << passes.strText;
        const std::vector<std::string> vecInfo = capture.Messages(3);
        ASSERT_EQ(vecInfo.size(), 1u);
        EXPECT_NE(vecInfo[0].find("first and second connection reach one database, " + main.Name() + " (oid "),
                  std::string::npos)
            << vecInfo[0];
    }
    EXPECT_EQ(main.Scalar(strAllPoints), strRebuilt);
    EXPECT_EQ(third.Scalar(strChecks), "1:1,2:0");

    // Reading the earlier points from another database: the second one's live
    // points are replaced by those read, and the third's checks inverted; a
    // repeated pass leaves both as the first run left them.
    std::unique_ptr<db_layer::CConnect> pSource = source.Connect(), pOther = other.Connect(), pThird2 = third2.Connect();
    for (int nRun = 0; nRun < 2; ++nRun) {
        SCOPED_TRACE(nRun);
        ASSERT_TRUE(Incremental(pSource.get(), pOther.get(), pThird2.get())) << passes.strText;
        EXPECT_EQ(other.Scalar(strLive), "10:7:8,10:7:8,10:8:8,10:8:8,11:0:6,12:30:9,12:31:9");
        EXPECT_EQ(other.Scalar("SELECT count(*) FROM visitor.visit_checkout_point WHERE is_deleted = 1"), "3");
        EXPECT_EQ(source.Scalar(strAllPoints), "1:10:0:6:0,2:11:0:6:0,3:12:0:6:0,4:10:0:6:0");
        EXPECT_EQ(third2.Scalar(strChecks), "1:1,2:0");
        EXPECT_EQ(third.Scalar(strChecks), "1:1,2:0");
    }
}

const char* const kRecords = R"SQL(
INSERT INTO visitor.visitor_appoint_record(id, visitor_id, interviewee_id, create_time, update_time, is_deleted) VALUES
    (1, 20, 40, '2024-03-15 08:00:00.25', '2024-03-16 09:00:00', 0),
    (2, 21, 41, '2024-03-17 10:00:00', NULL, 1),
    (3, 22, 42, NULL, NULL, 0);
INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, visit_reason_id, visit_reason_detail,
    visitor_id, interviewee_id, start_valid_time, end_valid_time, object_guid, visitor_group_id, create_time,
    update_time, is_deleted) VALUES
    (5, 0, 1, 'plain', 30, 50, '2024-04-01 08:00', '2024-04-01 18:00', 'g-5', 1, '2024-03-20 07:00', '2024-03-20 07:30', 0),
    (6, 2, 2, E'it''s \\''; DROP TABLE x; --', 31, 51, NULL, '2024-04-02 18:00', NULL, 2, '2024-03-21 07:00', NULL, 0),
    (7, 3, NULL, NULL, 32, 52, NULL, NULL, 'g-7', 3, '2024-03-22 07:00', '2024-03-22 07:30', 0),
    (8, 1, 1, 'approved', 33, 53, NULL, NULL, 'g-8', 4, '2024-03-23 07:00', NULL, 0),
    (9, 0, 1, 'deleted', 34, 54, NULL, NULL, 'g-9', 5, '2024-03-24 07:00', NULL, 1);
)SQL";

TEST(ApprovalServer, RecordsPassTiesEveryRecordToOneProcessKeepsNullsAndTextsAndARerunAddsNothing) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec(kRecords);
    db.Exec("UPDATE platform.module_version_status SET status = 2, schedule = 0, rate_progress = 0 WHERE version_no "
            "= '1.12.0'");
    SHostIdSource ids(db);
    SPasses passes(db);
    ASSERT_TRUE(passes.Records()) << passes.strText;

    // Appointments: flow number = date digits + process id; submitter set; deleted ones too.
    EXPECT_EQ(db.Scalar("SELECT string_agg(id || ':' || appoint_approval_flow_id || ':' || submit_person_type || ':' "
                        "|| submit_person_id, ',' ORDER BY id) FROM visitor.visitor_appoint_record WHERE id <= 3"),
              "1:202403151:0:1,2:202403172:0:1,3:3:0:1");
    EXPECT_EQ(db.Scalar("SELECT string_agg(p.id || ':' || p.status || ':' || n.node_status || ':' || "
                        "coalesce(p.update_time::text, 'null'), ',' ORDER BY p.id) FROM officeworkflow.approve_process p "
                        "JOIN officeworkflow.approve_process_node n ON n.approve_process_id = p.id WHERE p.id < 1000000"),
              "1:1:1:2024-03-16 09:00:00,2:1:1:null,3:1:1:null");

    // Reviews 5, 6, 7 became appointments with processes and nodes 1000000 above the draws; 8 and 9 did not.
    EXPECT_EQ(db.Scalar("SELECT string_agg(r.id || ':' || a.id || ':' || a.appointment_status || ':' || p.status || ':' "
                        "|| p.abnormal_cause || ':' || n.node_status, ',' ORDER BY r.id) FROM "
                        "visitor.visitor_appoint_reveiw_record r JOIN visitor.visitor_appoint_record a ON "
                        "a.appoint_approval_flow_id = r.appoint_approval_flow_id JOIN officeworkflow.approve_process p "
                        "ON p.process_num = r.appoint_approval_flow_id JOIN officeworkflow.approve_process_node n ON "
                        "n.approve_process_id = p.id"),
              "5:4:8:0:0:2,6:5:9:3:0:2,7:6:1:5:3:2");
    EXPECT_EQ(db.Scalar("SELECT string_agg(appoint_approval_flow_id, ',' ORDER BY id) FROM "
                        "visitor.visitor_appoint_reveiw_record"),
              "202403201000004,202403211000005,202403221000006");
    // The detail typed with quotes and a backslash is stored as typed; NULLs stay NULL.
    EXPECT_EQ(db.Scalar("SELECT visit_reason_detail FROM visitor.visitor_appoint_record WHERE id = 5"),
              "it's \\'; DROP TABLE x; --");
    EXPECT_EQ(db.Scalar("SELECT coalesce(object_guid, 'null') || coalesce(start_valid_time::text, 'null') || "
                        "coalesce(update_time::text, 'null') FROM visitor.visitor_appoint_record WHERE id = 5"),
              "nullnullnull");
    EXPECT_EQ(db.Scalar("SELECT coalesce(visit_reason_detail, 'null') FROM visitor.visitor_appoint_record WHERE id = 6"),
              "null");
    EXPECT_EQ(db.Scalar("SELECT string_agg(status || ':' || schedule || ':' || rate_progress || ':' || step_ver, ',') "
                        "FROM platform.module_version_status"),
              "1:-1:-1:1.12.0,1:-1:-1:1.12.0");

    // The host repeats the pass after a later step failed: nothing is converted again.
    ASSERT_TRUE(passes.Records()) << passes.strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM officeworkflow.approve_process"), "6");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM officeworkflow.approve_process_node"), "6");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_appoint_record"), "6");
}

// Refuses, at COMMIT, every process of applicant 777 in the database it is made in.
const char* const kRefuseAtCommit = R"SQL(
CREATE FUNCTION visitor.refuse_777() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF NEW.applicant_id = 777 THEN RAISE EXCEPTION 'process of applicant 777 refused'; END IF;
    RETURN NEW;
END $$;
CREATE CONSTRAINT TRIGGER refuse_777 AFTER INSERT ON officeworkflow.approve_process DEFERRABLE INITIALLY DEFERRED
    FOR EACH ROW EXECUTE FUNCTION visitor.refuse_777();
)SQL";
const char* const kDropRefusal = "DROP TRIGGER refuse_777 ON officeworkflow.approve_process";

TEST(ApprovalServer, PassWhoseCommitIsRefusedInTheReviewWalkFailsUnfinishedAndARerunConvertsEachRecordOnce) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec("UPDATE platform.module_version_status SET status = 2, schedule = 0, rate_progress = 0");
    db.Exec("INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, create_time) SELECT g, 1, "
            "'2024-01-01'::timestamp + g * interval '1 minute' FROM generate_series(1, 250) g");
    db.Exec("INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, interviewee_id, create_time) "
            "SELECT g, g % 4, CASE WHEN g = 150 THEN 777 ELSE 2 END, '2024-02-01'::timestamp FROM "
            "generate_series(1, 300) g");
    db.Exec(kRefuseAtCommit);  // the process of review 150
    SHostIdSource ids(db);
    SPasses passes(db);
    {
        vsu_test::CLogCapture capture;
        EXPECT_FALSE(passes.Records());
        const std::vector<std::string> vecErrors = capture.Messages(5);
        ASSERT_FALSE(vecErrors.empty());
        EXPECT_NE(vecErrors[0].find("Upgrade_Record_UpgradeVisitorReviewRecord][C1110ToC1120::RecordsData2Destination_"
                                    "MEM] Commit failed, keys 102 to 202"),
                  std::string::npos)
            << vecErrors[0];
    }
    EXPECT_NE(passes.strText.find("process of applicant 777 refused"), std::string::npos) << passes.strText;
    // Not finished; the appointment walk completed and stored its end; nothing from review 102 on was kept.
    EXPECT_EQ(db.Scalar("SELECT status || ':' || rate_progress || ':' || step_ver FROM platform.module_version_status "
                        "WHERE version_no = '1.12.0'"),
              "2:304:1.11.0");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE id >= 102 AND "
                        "appoint_approval_flow_id IS NOT NULL"),
              "0");
    db.Exec(kDropRefusal);
    ASSERT_TRUE(passes.Records()) << passes.strText;

    const std::string strLiveReviews =
        "FROM visitor.visitor_appoint_reveiw_record WHERE appoint_review_status IN (0, 2, 3) AND is_deleted = 0";
    const std::string strConverting = db.Scalar("SELECT count(*) " + strLiveReviews);
    EXPECT_EQ(db.Scalar("SELECT count(*) " + strLiveReviews + " AND appoint_approval_flow_id IS NOT NULL"),
              strConverting);
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_appoint_record"),
              std::to_string(250 + std::stoi(strConverting)));
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM officeworkflow.approve_process"),
              std::to_string(250 + std::stoi(strConverting)));
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM (SELECT process_num FROM officeworkflow.approve_process GROUP BY "
                        "process_num HAVING count(*) > 1) d"),
              "0");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_appoint_record WHERE appoint_approval_flow_id IS NULL"),
              "0");
}

// The incremental records pass over three databases. First: the live reviews
// to convert (150 by applicant 777). Second: appointments 1 and 2, reviews 1 to
// 200 linked by the full pass (201 to 250 are not there). Third: appointments
// with the platform's change markers.
const char* const kIncrementalFirst = R"SQL(
INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, interviewee_id, object_guid, create_time)
SELECT g, g % 4, CASE WHEN g = 150 THEN 777 ELSE 2 END, 'review-' || g, '2024-02-01'::timestamp + g * interval '1 minute'
FROM generate_series(1, 250) g;
)SQL";
const char* const kIncrementalSecond = R"SQL(
INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, appoint_approval_flow_id, create_time) VALUES
    (1, 1, 'A1', '2024-01-01'), (2, 1, 'A2', '2024-01-01');
INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, status) VALUES
    (1, 'A1', 4, 1, 1), (2, 'A2', 4, 1, 1);
INSERT INTO visitor.visitor_appoint_reveiw_record(id, appoint_review_status, interviewee_id, create_time,
    appoint_approval_flow_id)
SELECT g, g % 4, 2, '2024-02-01', CASE WHEN g % 4 <> 1 THEN 'R' || g END FROM generate_series(1, 200) g;
INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, appoint_approval_flow_id, create_time)
SELECT 1000 + g, 2, 'R' || g, '2024-02-01' FROM generate_series(1, 200) g WHERE g % 4 <> 1;
INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, status)
SELECT 1000 + g, 'R' || g, 4, 2, 0 FROM generate_series(1, 200) g WHERE g % 4 <> 1;
)SQL";
const char* const kIncrementalThird = R"SQL(
INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, create_time, row_status_implicit_upgrade) VALUES
    (1, 5, '2024-07-01', 2), (2, 5, '2024-07-01', 3), (10, 5, '2024-07-01', 2), (20, 6, '2024-07-02', 1),
    (21, 6, '2024-07-02', 0), (22, 6, '2024-07-02', -1), (23, 6, '2024-07-02', NULL);
)SQL";

// Rows of a table as sorted text, one "a:b:c" per row of the given columns.
std::string Rows(const vsu_test::CTestDatabase& db, const std::string& strTable, const std::string& strColumns) {
    return strTable + "=" +
           db.Scalar("SELECT coalesce(string_agg(r, ',' ORDER BY r), '') FROM (SELECT concat_ws(':', " + strColumns +
                     ") AS r FROM " + strTable + ") t") +
           "\n";
}

// What the pass wrote, without generated ids, the flow numbers made of them, and times.
std::string IncrementalState(const vsu_test::CTestDatabase& second, const vsu_test::CTestDatabase& third) {
    // Flow numbers the seed gave (A.., R..) as they are; those a pass made only as made.
    const auto Kind = [](const std::string& strColumn) {
        return "CASE WHEN " + strColumn + " ~ '^[AR]' OR coalesce(" + strColumn + ", '') = '' THEN coalesce(" +
               strColumn + ", 'null') ELSE 'made' END";
    };
    const std::string strFlow = Kind("appoint_approval_flow_id");
    return Rows(second, "visitor.visitor_appoint_record",
                "interviewee_id, object_guid, appointment_status, is_deleted, " + strFlow) +
           Rows(second, "visitor.visitor_appoint_reveiw_record", "id, " + strFlow) +
           Rows(second, "officeworkflow.approve_process",
                "process_type, applicant_id, status, abnormal_cause, is_deleted, " + Kind("process_num")) +
           Rows(second, "officeworkflow.approve_process_node", "node_status, is_deleted") +
           Rows(second, "visitor.module_upgrade_marker", "step_ver, pass_part") +
           Rows(third, "visitor.visitor_appoint_record", "id, row_status_implicit_upgrade, " + strFlow) +
           Rows(third, "officeworkflow.approve_process",
                "applicant_id, row_status_implicit_upgrade, related_id_implicit_upgrade, is_deleted") +
           Rows(third, "officeworkflow.approve_process_node", "node_status, row_status_implicit_upgrade") +
           Rows(third, "platform.module_version_status", "version_no, schedule, rate_progress");
}

struct SIncrementalDatabases {
    vsu_test::CTestDatabase first{"approval_ir_first"}, second{"approval_ir_second"}, third{"approval_ir_third"};
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    SIncrementalDatabases() {
        for (const vsu_test::CTestDatabase* pDb : {&first, &second, &third}) pDb->Exec(kSchema);
        first.Exec(kIncrementalFirst);
        second.Exec(kIncrementalSecond);
        third.Exec(kIncrementalThird);
    }
    bool Run() {
        SHostIdSource ids(second);
        std::unique_ptr<db_layer::CConnect> pFirst = first.Connect(), pSecond = second.Connect(),
                                            pThird = third.Connect();
        return step.UpgradeCourse_Records_IncreData(nCode, strText, pFirst.get(), pSecond.get(), pThird.get(),
                                                    db_layer::DBParam());
    }
    std::string State() const { return IncrementalState(second, third); }
};

TEST(ApprovalServer, IncrementalRecordsPassRunTwiceOrRunAgainAfterARefusedCommitEndsAsOneRun) {
    VSU_REQUIRE_SERVER();
    SIncrementalDatabases once;
    ASSERT_TRUE(once.Run()) << once.strText;
    const std::string strOnce = once.State();
    // Every live review of status 0, 2 or 3 of the first database has one live process and appointment made for
    // it; the full pass's rows for reviews are marked deleted; 1 and 2 took over A1 and A2, 10 found nothing.
    EXPECT_EQ(once.second.Scalar("SELECT count(*) FROM officeworkflow.approve_process WHERE is_deleted = 0 AND "
                                 "process_num !~ '^[AR]'"),
              "187");
    EXPECT_EQ(once.second.Scalar("SELECT count(*) FROM visitor.visitor_appoint_record WHERE is_deleted = 1"), "150");
    EXPECT_EQ(once.third.Scalar("SELECT string_agg(id || ':' || appoint_approval_flow_id, ',' ORDER BY id) FROM "
                                "visitor.visitor_appoint_record WHERE row_status_implicit_upgrade IN (2, 3)"),
              "1:A1,2:A2,10:");
    EXPECT_EQ(once.third.Scalar("SELECT count(*) FROM officeworkflow.approve_process"), "4");
    ASSERT_TRUE(once.Run()) << once.strText;
    EXPECT_EQ(once.State(), strOnce);

    SIncrementalDatabases broken;
    broken.second.Exec(kRefuseAtCommit);
    {
        vsu_test::CLogCapture quiet;
        EXPECT_FALSE(broken.Run());
    }
    EXPECT_NE(broken.State(), strOnce);
    broken.second.Exec(kDropRefusal);
    ASSERT_TRUE(broken.Run()) << broken.strText;
    EXPECT_EQ(broken.State(), strOnce);
}

// A connection that keeps the texts of its queries.
class CQueryLog : public db_layer::CConnect {
public:
    std::vector<std::string> vecQueries;
    bool Query(const std::string& strSql) override {
        vecQueries.push_back(strSql);
        return db_layer::CConnect::Query(strSql);
    }
    size_t Count(const std::string& strPart) const {
        return static_cast<size_t>(std::count_if(vecQueries.begin(), vecQueries.end(), [&](const std::string& s) {
            return s.find(strPart) != std::string::npos;
        }));
    }
};

TEST(ApprovalServer, RecordsPassOverOneKeyAt2147483647AmongAThousandReadsAFewRanges) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec("UPDATE platform.module_version_status SET status = 2, schedule = 0, rate_progress = 0");
    db.Exec("INSERT INTO visitor.visitor_appoint_record(id, interviewee_id, create_time) SELECT g, 1, "
            "'2024-01-01'::timestamp FROM generate_series(1, 1000) g UNION ALL SELECT 2147483647, 1, '2024-01-01'");
    SPasses passes(db);
    CQueryLog second;
    ASSERT_TRUE(second.Open(db.ConnInfo()));
    ASSERT_TRUE(passes.step.UpgradeCourse_Records(passes.nCode, passes.strText, passes.pFirst.get(), &second,
                                                  db_layer::DBParam()))
        << passes.strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_appoint_record a JOIN officeworkflow.approve_process p "
                        "ON p.process_num = a.appoint_approval_flow_id"),
              "1001");
    EXPECT_EQ(db.Scalar("SELECT step_ver FROM platform.module_version_status WHERE version_no = '1.12.0'"), "1.12.0");
    // Ten ranges of rows, the empty one after them, the range of the outlier; one look for the next key.
    EXPECT_EQ(second.Count("FROM visitor.visitor_appoint_record WHERE id BETWEEN"), 12u);
    EXPECT_EQ(second.Count("FROM visitor.visitor_appoint_record WHERE id >"), 1u);
    EXPECT_EQ(second.Count("SELECT * FROM visitor.visitor_appoint_record WHERE id BETWEEN 2147483611 AND 2147483711;"),
              1u);
}

TEST(ApprovalServer, IdSourceGivesNewKeysAboveTheTableAcrossSourcesAndRefusesToLeave32Bits) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec("INSERT INTO visitor.visitor_appoint_record(id) VALUES (5), (500)");  // explicit ids: sequence behind
    db_layer::CSequenceSerialSource one(db.ConnInfo(), "visitor.visitor_appoint_record", "id");
    db_layer::CSequenceSerialSource two(db.ConnInfo(), "visitor.visitor_appoint_record", "id");
    EXPECT_EQ(one.Next(""), 501);
    EXPECT_EQ(two.Next(""), 502);
    EXPECT_EQ(one.Next(""), 503);
    EXPECT_EQ(one.SequenceName(), "visitor.visitor_appoint_record_id_seq");
    // The platform's own inserts draw from the same sequence and never meet these keys.
    db.Exec("INSERT INTO visitor.visitor_appoint_record(visitor_id) VALUES (1)");
    EXPECT_EQ(db.Scalar("SELECT max(id) FROM visitor.visitor_appoint_record"), "504");

    // A key without a sequence of its own gets one; an empty table starts at 1.
    db.Exec("CREATE TABLE visitor.plain (id integer)");
    db_layer::CSequenceSerialSource plain(db.ConnInfo(), "visitor.plain", "id");
    EXPECT_EQ(plain.Next(""), 1);

    db.Exec("SELECT setval('visitor.visitor_appoint_record_id_seq', 2147483647)");
    db_layer::CSequenceSerialSource top(db.ConnInfo(), "visitor.visitor_appoint_record", "id");
    EXPECT_EQ(top.Next(""), -1);
    EXPECT_NE(top.LastError(), "");
}

}  // namespace
