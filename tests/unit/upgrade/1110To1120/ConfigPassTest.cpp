// The configuration pass of the step to 1.12.0: check points rebuilt per card
// reader and component, self-appointment checks inverted, a repeated pass left
// without effect, and what each failure reports and leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>

#include "ApprovalTestSupport.h"
#include "ScriptTree.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"

using namespace UnifiedUpgradeComponent;
using approval_test::Calls;
using approval_test::Lines;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

const char* const kScript = "CREATE TABLE visitor.approval_ready(id int);";
const char* const kCreateMarks =
    "CREATE TABLE IF NOT EXISTS visitor.module_upgrade_marker(step_ver varchar(16) NOT NULL, pass_part varchar(64) "
    "NOT NULL, done_time timestamp NOT NULL, PRIMARY KEY (step_ver, pass_part));";
const char* const kSelectMarks = "SELECT pass_part FROM visitor.module_upgrade_marker WHERE step_ver = '1.12.0';";
const char* const kMarkCheckPoints =
    "INSERT INTO visitor.module_upgrade_marker(step_ver, pass_part, done_time) VALUES ('1.12.0', "
    "'check_point_rebuild', clock_timestamp());";
const char* const kMarkFlags =
    "INSERT INTO visitor.module_upgrade_marker(step_ver, pass_part, done_time) VALUES ('1.12.0', "
    "'self_appoint_check_inversion', clock_timestamp());";
const char* const kPoints =
    "SELECT l.element_id, r.resource_id FROM visitor.visit_checkout_point l, platform.element r WHERE l.is_deleted = "
    "0 and l.element_id = r.id ; ";
const char* const kNextId = "SELECT nextVal('visitor.visit_checkout_point_id_seq')";
const char* const kChecksOff = "SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = 0";
const char* const kChecksOn = "SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = 1";

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
const std::string kSoftDelete =
    "UPDATE visitor.visit_checkout_point SET is_deleted = 1 ,update_time = '<now>' WHERE is_deleted = 0;";
const std::string kRebuildText = kSoftDelete + CheckPointRow(500, 10, 7, 8) + CheckPointRow(501, 10, 8, 8) +
                                 CheckPointRow(502, 10, 30, 9) + CheckPointRow(503, 11, 0, 6);
const std::string kChecksOnText =
    "UPDATE visitor.self_appoint_setting SET appoint_check = 1 ,update_time = '<now>' WHERE user_id IN (1,2)";
const std::string kChecksOffText =
    "UPDATE visitor.self_appoint_setting SET appoint_check = 0 ,update_time = '<now>' WHERE user_id IN (3)";

// Element 10 is a door (resource 100) with two readers and one related
// component; element 11 is neither; users 1 and 2 have checks off, 3 on.
void ScriptDatabase(CFakeConnect& conn) {
    conn.OnRows(kPoints, {{{"element_id", "10"}, {"resource_id", "100"}}, {{"element_id", "11"}, {"resource_id", "101"}}})
        .OnRows(Readers(100), {{{"id", "7"}}, {{"id", "8"}}})
        .OnRows(Components(10), {{{"related_source_id", "30"}}});
    for (int nId = 500; nId < 504; ++nId) conn.OnRows(kNextId, {{{"nextval", std::to_string(nId)}}}, false, 1);
    conn.OnRows(kChecksOff, {{{"user_id", "1"}}, {{"user_id", "2"}}}).OnRows(kChecksOn, {{{"user_id", "3"}}});
}

struct SConfigRun {
    vsu_test::CScriptTree tree;
    CFakeConnect first, second;
    C1110ToC1120 step;
    int nCode = 0;
    std::string strText;
    SConfigRun() {
        tree.Write("update_V1.8.0", "update.sql", kScript);
        ScriptDatabase(second);
    }
    bool Run() { return step.UpgradeCourse_Config(nCode, strText, &first, &second, db_layer::DBParam()); }
};

TEST(ApprovalConfigPass, FirstRunRebuildsCheckPointsAndInvertsChecksInOrderWithMarks) {
    vsu_test::CLogCapture capture;
    SConfigRun run;
    ASSERT_TRUE(run.Run());

    const std::vector<std::string> expected = {
        std::string("EXEC ") + kScript, std::string("EXEC ") + kCreateMarks, std::string("QUERY ") + kSelectMarks,
        "BEGIN", std::string("QUERY ") + kPoints, "QUERY " + Readers(100), "QUERY " + Components(10),
        "QUERY " + Readers(101), "QUERY " + Components(11), std::string("QUERY ") + kNextId,
        std::string("QUERY ") + kNextId, std::string("QUERY ") + kNextId, std::string("QUERY ") + kNextId,
        "EXEC " + kRebuildText, std::string("EXEC ") + kMarkCheckPoints, "COMMIT", "BEGIN",
        std::string("QUERY ") + kChecksOff, std::string("QUERY ") + kChecksOn, "EXEC " + kChecksOnText,
        "EXEC " + kChecksOffText, std::string("EXEC ") + kMarkFlags, "COMMIT"};
    EXPECT_EQ(Calls(run.second), expected);
    EXPECT_TRUE(run.first.calls.empty());
    EXPECT_TRUE(capture.Messages(5).empty());

    // One time stamp serves the soft deletion and every new row.
    const std::string strText = run.second.StatementsContaining("visit_checkout_point SET")[0];
    std::set<std::string> setStamps;
    const std::regex kStamp("'\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}'");
    for (std::sregex_iterator it(strText.begin(), strText.end(), kStamp), end; it != end; ++it)
        setStamps.insert(it->str());
    EXPECT_EQ(setStamps.size(), 1u);
}

TEST(ApprovalConfigPass, NoLiveCheckPointAndNoSettingsSendOnlyTheSoftDeletion) {
    SConfigRun run;
    CFakeConnect empty;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(run.step.UpgradeCourse_Config(nCode, strText, &run.first, &empty, db_layer::DBParam()));
    EXPECT_EQ(empty.StatementsContaining("visit_checkout_point SET").size(), 1u);
    EXPECT_EQ(approval_test::WithoutNow(empty.StatementsContaining("visit_checkout_point SET")[0]), kSoftDelete);
    EXPECT_TRUE(empty.StatementsContaining("INSERT INTO visitor.visit_checkout_point").empty());
    EXPECT_TRUE(empty.StatementsContaining("UPDATE visitor.self_appoint_setting").empty());
}

TEST(ApprovalConfigPass, RepeatedPassLeavesMarkedPartsAsTheFirstRunLeftThem) {
    {
        vsu_test::CLogCapture capture;
        SConfigRun run;
        run.second.OnRows(kSelectMarks,
                          {{{"pass_part", "check_point_rebuild"}}, {{"pass_part", "self_appoint_check_inversion"}}});
        ASSERT_TRUE(run.Run());
        const std::vector<std::string> expected = {std::string("EXEC ") + kScript, std::string("EXEC ") + kCreateMarks,
                                                   std::string("QUERY ") + kSelectMarks};
        EXPECT_EQ(Calls(run.second), expected);
        EXPECT_EQ(Lines(capture, 3).size(), 2u);
    }
    {
        // Only the rebuild took effect before: the inversion still runs, once.
        SConfigRun run;
        run.second.OnRows(kSelectMarks, {{{"pass_part", "check_point_rebuild"}}});
        ASSERT_TRUE(run.Run());
        EXPECT_TRUE(run.second.StatementsContaining("visit_checkout_point").empty());
        EXPECT_EQ(run.second.StatementsContaining("UPDATE visitor.self_appoint_setting").size(), 2u);
        EXPECT_EQ(run.second.StatementsContaining("self_appoint_check_inversion").size(), 1u);
    }
}

struct SFailure {
    const char* szCase;
    std::string strFailing;  // exact text that fails
    std::vector<std::string> vecErrorLines;
    bool bRolledBack;
    const char* szNotSent;  // a part of a text that must not have been sent
};

const std::string kStep = "[UnifiedUpgradeComponent::C1110ToC1120::";
const std::string kErr = "Error Code:77, Error Info:boom";
const std::string kPassLine = kStep + "UpgradeCourse_Config]UpgradeCourse_Config_CheakPoint failed, " + kErr + ".";

TEST(ApprovalConfigPass, EachFailureReportsItsLinesKeepsTheErrorAndStops) {
    const std::vector<SFailure> failures = {
        {"script", kScript,
         {kStep + "UpgradeCourse_Config_UpgradeBySQLFile][ExecuteHelper] ExecuteTransaction failed,sql:[" + kScript +
              "], " + kErr + ".",
          kStep + "UpgradeCourse_Config]UpgradeCourse_Config_UpgradeBySQLFile failed, " + kErr + "."},
         false, "visit_checkout_point"},
        {"marks", kSelectMarks,
         {kStep + "UpgradeCourse_Config]Read configuration pass marks failed, " + kErr + ".", kPassLine},
         false, "visit_checkout_point"},
        {"check points", kPoints,
         {kStep + "QueryAllCheakDoorPoint][C1110ToC1120::QueryAllCheakDoorPoint] Get CheakDoorPoint Failed.Sql:" +
              kPoints + ", " + kErr,
          kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {"card readers", Readers(101),
         {kStep + "QueryCardReaderID][C1110ToC1120::QueryCardReaderID] Get CardReader Failed.Sql:" + Readers(101) +
              ", " + kErr,
          kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {"components", Components(10),
         {kStep + "QueryComponentID][C1110ToC1120] QueryComponentID Failed.Sql:" + Components(10) + ", " + kErr,
          kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {"id draw", kNextId,
         {kStep + "InsertCheakPointInfo][ExecuteHelper] InsertCheakPointInfo failed, " + kErr + ".", kPassLine},
         true, "UPDATE visitor.visit_checkout_point"},
        {"rebuild text", "<rebuild>",
         {kStep + "InsertCheakPointInfo][C1110ToC1120] InsertCheakPointInfo Failed.Sql:" + kRebuildText + ", " + kErr,
          kPassLine},
         true, "self_appoint_setting"},
        {"checks off read", kChecksOff,
         {kStep + "UpdateSelfAppointInfo][ExecuteHelper] UpdateSelfAppointInfos failed, " + kErr + ".", kPassLine},
         true, "UPDATE visitor.self_appoint_setting"},
        {"checks on read", kChecksOn,
         {kStep + "UpdateSelfAppointInfo][ExecuteHelper] UpdateSelfAppointInfo failed, " + kErr + ".", kPassLine},
         true, "UPDATE visitor.self_appoint_setting"},
        {"second update", "<checks off>",
         {kStep + "UpdateSelfAppointInfo][C1110ToC1120] UpdateSelfAppointInfo Failed.Sql:" + kChecksOffText + ", " +
              kErr,
          kPassLine},
         true, "self_appoint_check_inversion"},
    };
    for (const SFailure& failure : failures) {
        SCOPED_TRACE(failure.szCase);
        vsu_test::CLogCapture capture;
        SConfigRun run;
        CFakeConnect conn;
        // Scripts match the first rule, so the failure goes in front of the database's rows.
        if (failure.strFailing == "<rebuild>")
            conn.OnFail("UPDATE visitor.visit_checkout_point SET", 77, "boom", true);
        else if (failure.strFailing == "<checks off>")
            conn.OnFail("SET appoint_check = 0", 77, "boom", true);
        else
            conn.OnFail(failure.strFailing, 77, "boom");
        ScriptDatabase(conn);
        EXPECT_FALSE(run.step.UpgradeCourse_Config(run.nCode, run.strText, &run.first, &conn, db_layer::DBParam()));
        EXPECT_EQ(run.nCode, 77);
        EXPECT_EQ(run.strText, "boom");
        EXPECT_EQ(Lines(capture, 5), failure.vecErrorLines);
        const std::vector<std::string> calls = conn.calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "ROLLBACK"), failure.bRolledBack ? 1 : 0);
        EXPECT_TRUE(conn.StatementsContaining(failure.szNotSent).empty());
    }
}

}  // namespace
