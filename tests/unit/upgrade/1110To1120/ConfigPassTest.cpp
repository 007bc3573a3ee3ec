// The configuration passes of the step to 1.12.0, full and incremental: check
// points rebuilt per card reader and component, self-appointment checks
// inverted, which connection gets what, repeated passes left without effect,
// and what each failure reports and leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "ApprovalTestSupport.h"
#include "ScriptTree.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"

using namespace UnifiedUpgradeComponent;
using approval_test::Calls;
using approval_test::kCreateMarks;
using approval_test::kSelectMarks;
using approval_test::Mark;
using approval_test::Lines;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;
using V = std::vector<std::string>;

namespace {

std::string Q(const std::string& strSql) { return "QUERY " + strSql; }
std::string X(const std::string& strSql) { return "EXEC " + strSql; }

const std::string kScript = "CREATE TABLE visitor.approval_ready(id int);";
const std::string kPoints =
    "SELECT l.element_id, r.resource_id FROM visitor.visit_checkout_point l, platform.element r WHERE l.is_deleted = "
    "0 and l.element_id = r.id ; ";
const std::string kNextId = "SELECT nextVal('visitor.visit_checkout_point_id_seq')";
const std::string kChecksOff = "SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = 0";
const std::string kChecksOn = "SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = 1";
const std::string kIdentity =
    "SELECT current_database() AS db_name, (SELECT oid FROM pg_database WHERE datname = current_database())::text "
    "AS db_oid, to_char(pg_postmaster_start_time() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US') AS started;";

std::string Readers(int nDoor) {
    return "select cr.id from deviceaccess.card_reader cr, deviceaccess.door dr where cr.device_id = dr.device_id and "
           "(cr.card_reader_index = (dr.door_index * 2) or cr.card_reader_index = (dr.door_index * 2 - 1))and dr.id = " +
           std::to_string(nDoor) + "; ";
}
std::string Components(int nElement) {
    return "SELECT re.related_source_id FROM platform.element el, platform.resource_related re WHERE el.id = "
           "re.source_id AND el.id = " +
           std::to_string(nElement) + "; ";
}
std::string CheckPointRow(int nId, int nElement, int nReader, int nType) {
    return "INSERT INTO visitor.visit_checkout_point(id ,element_id, cardreader_id ,type, create_time, update_time "
           ",is_deleted)VALUES (" +
           std::to_string(nId) + ", " + std::to_string(nElement) + ", " + std::to_string(nReader) + ", " +
           std::to_string(nType) + ",'<now>', '<now>',0) ;";
}
std::string SetChecks(int nTo, const std::string& strUsers) {
    return "UPDATE visitor.self_appoint_setting SET appoint_check = " + std::to_string(nTo) +
           " ,update_time = '<now>' WHERE user_id IN (" + strUsers + ")";
}
const std::string kSoftDelete =
    "UPDATE visitor.visit_checkout_point SET is_deleted = 1 ,update_time = '<now>' WHERE is_deleted = 0;";
const std::string kRebuildText = kSoftDelete + CheckPointRow(500, 10, 7, 8) + CheckPointRow(501, 10, 8, 8) +
                                 CheckPointRow(502, 10, 30, 9) + CheckPointRow(503, 11, 0, 6);
const V kMarksRead = {X(kCreateMarks), Q(kSelectMarks)};
V Joined(V vecHead, const V& vecTail) {
    vecHead.insert(vecHead.end(), vecTail.begin(), vecTail.end());
    return vecHead;
}

// Element 10 is a door (resource 100) with two readers and one related
// component; element 11 is neither; users 1 and 2 have checks off, 3 on.
void ScriptDatabase(CFakeConnect& conn) {
    conn.OnRows(kPoints, {{{"element_id", "10"}, {"resource_id", "100"}}, {{"element_id", "11"}, {"resource_id", "101"}}})
        .OnRows(Readers(100), {{{"id", "7"}}, {{"id", "8"}}})
        .OnRows(Components(10), {{{"related_source_id", "30"}}});
    for (int nId = 500; nId < 504; ++nId) conn.OnRows(kNextId, {{{"nextval", std::to_string(nId)}}}, false, 1);
    conn.OnRows(kChecksOff, {{{"user_id", "1"}}, {{"user_id", "2"}}}).OnRows(kChecksOn, {{{"user_id", "3"}}});
}

FakeRow Identity(const std::string& strName, const std::string& strOid, const std::string& strStarted) {
    return {{"db_name", strName}, {"db_oid", strOid}, {"started", strStarted}};
}
const FakeRow kVisitor = Identity("visitor", "16384", "2024-05-01 08:00:00.123456");

struct SRun {
    vsu_test::CLogCapture capture;
    vsu_test::CScriptTree tree;
    CFakeConnect first, second, third;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    SRun() { tree.Write("update_V1.8.0", "update.sql", kScript); }
    bool Config() { return step.UpgradeCourse_Config(nCode, strText, &first, &second, db_layer::DBParam()); }
    // Element 11 on the first connection's database; user 3 with the check on, on the third's.
    bool Incremental() {
        first.OnRows(kPoints, {{{"element_id", "11"}, {"resource_id", "101"}}});
        second.OnRows(kNextId, {{{"nextval", "900"}}});
        third.OnRows(kChecksOn, {{{"user_id", "3"}}});
        return step.UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, &third, db_layer::DBParam());
    }
};

TEST(ApprovalConfigPass, FirstRunSendsScriptRebuildAndInversionInOrderInOneTransactionWithTheMark) {
    SRun run;
    ScriptDatabase(run.second);
    ASSERT_TRUE(run.Config());
    const V expected = {X(kCreateMarks), Q(kSelectMarks), "BEGIN", X(kScript), Q(kPoints), Q(Readers(100)),
                        Q(Components(10)), Q(Readers(101)), Q(Components(11)), Q(kNextId), Q(kNextId), Q(kNextId),
                        Q(kNextId), X(kRebuildText), Q(kChecksOff), Q(kChecksOn), X(SetChecks(1, "1,2")),
                        X(SetChecks(0, "3")), X(Mark("configuration")), "COMMIT"};
    EXPECT_EQ(Calls(run.second), expected);
    EXPECT_TRUE(run.first.calls.empty());
    EXPECT_TRUE(run.capture.Messages(5).empty());

    // One time stamp serves the soft deletion and every new row.
    const std::string strText = run.second.StatementsContaining("visit_checkout_point SET")[0];
    std::set<std::string> setStamps;
    const std::regex kStamp("'\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}'");
    for (std::sregex_iterator it(strText.begin(), strText.end(), kStamp), end; it != end; ++it)
        setStamps.insert(it->str());
    EXPECT_EQ(setStamps.size(), 1u);
}

TEST(ApprovalConfigPass, NoLiveCheckPointAndNoSettingsSendOnlyTheSoftDeletion) {
    SRun run;
    ASSERT_TRUE(run.Config());
    const V texts = run.second.StatementsContaining("visit_checkout_point SET");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(approval_test::WithoutNow(texts[0]), kSoftDelete);
    EXPECT_TRUE(run.second.StatementsContaining("UPDATE visitor.self_appoint_setting").empty());
}

TEST(ApprovalConfigPass, RepeatedPassDoesNothingMarkedByThisOrAnEarlierBuild) {
    const V kInversion = {Q(kChecksOff), Q(kChecksOn), X(SetChecks(1, "1,2")), X(SetChecks(0, "3"))};
    const struct {
        const char* szCase;
        std::vector<FakeRow> marks;
        V calls;  // after the marks were read
        size_t nInfoLines;
    } cases[] = {
        {"pass marked", {{{"pass_part", "configuration"}}}, {}, 1},
        // An earlier build marked the rebuild and the inversion one by one, having run the script.
        {"both parts marked", {{{"pass_part", "check_point_rebuild"}}, {{"pass_part", "self_appoint_check_inversion"}}},
         {"BEGIN", X(Mark("configuration")), "COMMIT"}, 2},
        {"rebuild marked", {{{"pass_part", "check_point_rebuild"}}},
         Joined(Joined({"BEGIN"}, kInversion), {X(Mark("configuration")), "COMMIT"}), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        SRun run;
        run.second.OnRows(kSelectMarks, c.marks);
        ScriptDatabase(run.second);
        ASSERT_TRUE(run.Config());
        EXPECT_EQ(Calls(run.second), Joined(kMarksRead, c.calls));
        EXPECT_EQ(Lines(run.capture, 3).size(), c.nInfoLines);
    }
}

const std::string kStep = "[UnifiedUpgradeComponent::C1110ToC1120::";
const std::string kErr = "Error Code:77, Error Info:boom";
const std::string kPassLine = kStep + "UpgradeCourse_Config]UpgradeCourse_Config_CheakPoint failed, " + kErr + ".";

TEST(ApprovalConfigPass, EachFailureReportsItsLinesKeepsTheErrorAndLeavesNothing) {
    const struct {
        std::string strFailing;  // exact text that fails, or a part of it with bPart
        bool bPart;
        V vecErrorLines;
        bool bRolledBack;
        const char* szNotSent;  // a part of a text that must not have been sent, if any
    } failures[] = {
        {kSelectMarks, false, {kStep + "UpgradeCourse_Config]Read configuration pass marks failed, " + kErr + "."},
         false, "visit_checkout_point"},
        {"BEGIN", false,
         {kStep + "UpgradeCourse_Config]Begin transaction of 1.12.0 configuration failed, " + kErr + "."}, false,
         "visit_checkout_point"},
        {kScript, false,
         {kStep + "UpgradeCourse_Config_UpgradeBySQLFile][ExecuteHelper] ExecuteTransaction failed,sql:[" + kScript +
              "], " + kErr + ".",
          kStep + "UpgradeCourse_Config]UpgradeCourse_Config_UpgradeBySQLFile failed, " + kErr + "."},
         true, "visit_checkout_point"},
        {kPoints, false,
         {kStep + "QueryAllCheakDoorPoint][C1110ToC1120::QueryAllCheakDoorPoint] Get CheakDoorPoint Failed.Sql:" +
              kPoints + ", " + kErr,
          kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {Readers(101), false,
         {kStep + "QueryCardReaderID][C1110ToC1120::QueryCardReaderID] Get CardReader Failed.Sql:" + Readers(101) +
              ", " + kErr,
          kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {Components(10), false,
         {kStep + "QueryComponentID][C1110ToC1120] QueryComponentID Failed.Sql:" + Components(10) + ", " + kErr,
          kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {kNextId, false,
         {kStep + "InsertCheakPointInfo][ExecuteHelper] InsertCheakPointInfo failed, " + kErr + ".", kPassLine}, true,
         "UPDATE visitor.visit_checkout_point"},
        {"UPDATE visitor.visit_checkout_point SET", true,
         {kStep + "InsertCheakPointInfo][C1110ToC1120] InsertCheakPointInfo Failed.Sql:" + kRebuildText + ", " + kErr,
          kPassLine},
         true, "self_appoint_setting"},
        {kChecksOff, false,
         {kStep + "UpdateSelfAppointInfo][ExecuteHelper] UpdateSelfAppointInfos failed, " + kErr + ".", kPassLine},
         true, "UPDATE visitor.self_appoint_setting"},
        {kChecksOn, false,
         {kStep + "UpdateSelfAppointInfo][ExecuteHelper] UpdateSelfAppointInfo failed, " + kErr + ".", kPassLine}, true,
         "UPDATE visitor.self_appoint_setting"},
        {"SET appoint_check = 0", true,
         {kStep + "UpdateSelfAppointInfo][C1110ToC1120] UpdateSelfAppointInfo Failed.Sql:" + SetChecks(0, "3") + ", " +
              kErr,
          kPassLine},
         true, "INSERT INTO visitor.module_upgrade_marker"},
        {"COMMIT", false, {kStep + "UpgradeCourse_Config]Commit of 1.12.0 configuration failed, " + kErr + "."}, false,
         nullptr},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.strFailing);
        SRun run;
        // Scripts match the first rule, so the failure goes in front of the database's rows.
        run.second.OnFail(failure.strFailing, 77, "boom", failure.bPart);
        ScriptDatabase(run.second);
        EXPECT_FALSE(run.Config());
        EXPECT_EQ(run.nCode, 77);
        EXPECT_EQ(run.strText, "boom");
        EXPECT_EQ(Lines(run.capture, 5), failure.vecErrorLines);
        EXPECT_EQ(std::count(run.second.calls.begin(), run.second.calls.end(), "ROLLBACK"), failure.bRolledBack);
        if (failure.szNotSent != nullptr) {
            EXPECT_TRUE(run.second.StatementsContaining(failure.szNotSent).empty());
        }
    }
}

const std::string kIncrementalMark = Mark("incremental_configuration");
const std::string kRebuildMark = Mark("incremental_check_point_rebuild");
const V kRebuildOnSecond = {Q(kNextId), X(kSoftDelete + CheckPointRow(900, 11, 0, 6)), X(kRebuildMark), "COMMIT"};
const V kScriptAndChecksOnThird =
    Joined(kMarksRead, {"BEGIN", X(kScript), Q(kChecksOff), Q(kChecksOn), X(SetChecks(0, "3")), X(kIncrementalMark),
                        "COMMIT"});
const V kReadOnFirst = {kIdentity, kPoints, Readers(101), Components(11)};
const std::string kConfigName = kStep + "UpgradeCourse_Config_IncreData]";

TEST(ApprovalIncrementalPass, ConfigurationOnTwoDatabasesReadsOnFirstWritesCheckPointsOnSecondAndChecksOnThird) {
    // Databases told apart by name, by oid, or by server (same name and oid, other start);
    // identities that give no row are not known to be the same database.
    const std::vector<FakeRow> others = {Identity("visitor_copy", "16384", "2024-05-01 08:00:00.123456"),
                                         Identity("visitor", "16390", "2024-05-01 08:00:00.123456"),
                                         Identity("visitor", "16384", "2024-05-02 09:30:00.000001"), {}};
    for (const FakeRow& other : others) {
        SCOPED_TRACE(other.empty() ? "no identity" : *other.at("db_name") + " " + *other.at("db_oid"));
        SRun run;
        if (!other.empty()) {
            run.first.OnRows(kIdentity, {kVisitor});
            run.second.OnRows(kIdentity, {other});
        }
        run.second.OnRows(kSelectMarks, {{{"pass_part", "configuration"}}});
        ASSERT_TRUE(run.Incremental());
        EXPECT_EQ(run.first.Statements(), kReadOnFirst);
        EXPECT_EQ(Calls(run.second), Joined(Joined(kMarksRead, {"BEGIN", Q(kIdentity)}), kRebuildOnSecond));
        EXPECT_EQ(Calls(run.third), kScriptAndChecksOnThird);
        EXPECT_TRUE(Lines(run.capture, 3).empty());
    }
}

TEST(ApprovalIncrementalPass, ConfigurationOnOneDatabaseLeavesCheckPointsTheFullPassRebuiltAndStillInvertsChecks) {
    const std::string strLeftLine = kConfigName +
                                    "first and second connection reach one database, visitor (oid 16384, server "
                                    "started 2024-05-01 08:00:00.123456 UTC), whose check points the configuration "
                                    "pass of 1.12.0 already rebuilt; they are left as they are";
    const V kLeft = Joined(kMarksRead, {"BEGIN", Q(kIdentity), X(kRebuildMark), "COMMIT"});
    // Without the full pass's mark there: rebuilt as on two databases.
    const struct {
        std::vector<FakeRow> marks;
        V first, second, info;
    } cases[] = {
        {{{{"pass_part", "configuration"}}}, {kIdentity}, kLeft, {strLeftLine}},
        {{{{"pass_part", "check_point_rebuild"}}}, {kIdentity}, kLeft, {strLeftLine}},  // marked by an earlier build
        {{{{"pass_part", "self_appoint_check_inversion"}}}, kReadOnFirst,
         Joined(Joined(kMarksRead, {"BEGIN", Q(kIdentity)}), kRebuildOnSecond), {}},
    };
    for (const auto& c : cases) {
        SRun run;
        run.first.OnRows(kIdentity, {kVisitor});
        run.second.OnRows(kIdentity, {kVisitor}).OnRows(kSelectMarks, c.marks);
        ASSERT_TRUE(run.Incremental());
        EXPECT_EQ(run.first.Statements(), c.first);
        EXPECT_EQ(Calls(run.second), c.second);
        EXPECT_EQ(Calls(run.third), kScriptAndChecksOnThird);
        EXPECT_EQ(Lines(run.capture, 3), c.info);
    }
}

TEST(ApprovalIncrementalPass, RepeatedConfigurationDoesWhatAnEarlierRunLeftAndNothingTwice) {
    SRun done;
    done.third.OnRows(kSelectMarks, {{{"pass_part", "incremental_configuration"}}});
    ASSERT_TRUE(done.Incremental());
    EXPECT_EQ(Calls(done.third), kMarksRead);
    EXPECT_TRUE(done.first.calls.empty() && done.second.calls.empty());

    // Killed after the rebuild committed on the second, before the third committed.
    SRun killed;
    killed.second.OnRows(kSelectMarks, {{{"pass_part", "incremental_check_point_rebuild"}}});
    ASSERT_TRUE(killed.Incremental());
    EXPECT_TRUE(killed.first.calls.empty());
    EXPECT_EQ(Calls(killed.second), kMarksRead);
    EXPECT_EQ(Calls(killed.third), kScriptAndChecksOnThird);
}

TEST(ApprovalIncrementalPass, ConfigurationFailingBeforeOrInTheRebuildTakesBackTheThirdsWork) {
    const std::string strPassLine = kConfigName + "UpgradeCourse_Config_CheakPoint failed, " + kErr + ".";
    const struct {
        bool bOnSecond;
        std::string strFailing;
        V vecErrorLines;
    } cases[] = {
        {false, kIdentity, {strPassLine}},
        {true, kIdentity, {strPassLine}},
        {true, kSelectMarks, {kConfigName + "Read configuration pass marks failed, " + kErr + ".", strPassLine}},
        {true, "COMMIT",
         {kConfigName + "Commit of 1.12.0 incremental_check_point_rebuild failed, " + kErr + ".", strPassLine}},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.strFailing);
        SRun run;
        (failure.bOnSecond ? run.second : run.first).OnFail(failure.strFailing, 77, "boom");
        run.first.OnRows(kIdentity, {kVisitor});
        run.second.OnRows(kIdentity, {kVisitor});
        EXPECT_FALSE(run.Incremental());
        EXPECT_EQ(run.nCode, 77);
        EXPECT_EQ(run.strText, "boom");
        EXPECT_EQ(Lines(run.capture, 5), failure.vecErrorLines);
        EXPECT_EQ(Calls(run.third), Joined(kMarksRead, {"BEGIN", X(kScript), "ROLLBACK"}));
    }
}

}  // namespace
