// The records pass of the step from a database without version: the resumable
// copy of rt_data.visitor_record in ranges of 10001 ids, the status row it
// drives, and how it stops and resumes.
#include <gtest/gtest.h>

#include <memory>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"
#include "db_layer/ErrorCodes.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

const char* const kStatusQuery =
    "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = "
    "'visitor.s';";
const char* const kStartMarker =
    "UPDATE platform.module_version_status SET install_time = clock_timestamp(), status = 2, schedule = 0, "
    "rate_progress = 0 WHERE module_identity = 'visitor.s';";
const char* const kFinishedMarker =
    "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
    "rate_progress = -1, step_ver  = '1.0.0' WHERE module_identity = 'visitor.s';";
const char* const kStepVerQuery =
    "SELECT step_ver FROM platform.module_version_status WHERE module_identity = 'visitor.s';";
const char* const kMaxQuery = "SELECT max(id) FROM rt_data.visitor_record;";
const char* const kMinQuery = "SELECT min(id) FROM rt_data.visitor_record;";
const char* const kInsertHead =
    "INSERT INTO visitor.visitor_record(object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, "
    "visitor_status, start_valid_time, end_valid_time, create_time, update_time, start_time_differ, "
    "end_time_differ,temper,temper_status, is_deleted)VALUES (";

std::string Progress(int nSchedule, int nRate) {
    return "UPDATE platform.module_version_status SET schedule = " + std::to_string(nSchedule) +
           ", rate_progress = " + std::to_string(nRate) + " WHERE module_identity = 'visitor.s';";
}

std::string Range(int nFrom) {
    return "SELECT * FROM rt_data.visitor_record WHERE id between " + std::to_string(nFrom) + " and " +
           std::to_string(nFrom + 10000) + ";";
}

FakeRow Status(int nStatus, int nSchedule, int nRate) {
    return {{"status", std::to_string(nStatus)},
            {"schedule", std::to_string(nSchedule)},
            {"rate_progress", std::to_string(nRate)}};
}

// A source row whose values tell it apart by its guid.
FakeRow Record(const std::string& strGuid) {
    return {{"id", std::string("1")},
            {"object_guid", strGuid},
            {"visitor_id", std::string("11")},
            {"interviewee_id", std::string("12")},
            {"visit_reason", std::string("3")},
            {"visit_reason_detail", std::string("meeting")},
            {"visitor_status", std::string("1")},
            {"start_valid_time", std::string("2024-03-01 08:00:00")},
            {"end_valid_time", std::string("2024-03-01 18:00:00")},
            {"create_time", std::string("2024-02-28 10:00:00.5")},
            {"update_time", std::string("2024-02-29 10:00:00")},
            {"start_time_differ", std::string("-5")},
            {"end_time_differ", std::string("15")},
            {"temper", std::string("36.6")},
            {"temper_status", std::string("0")},
            {"is_deleted", std::string("0")}};
}

std::string Insert(const std::string& strGuid) {
    return kInsertHead + ("'" + strGuid) +
           "', 11, 12, 3, 'meeting', 1, '2024-03-01 08:00:00', '2024-03-01 18:00:00', '2024-02-28 10:00:00.5', "
           "'2024-02-29 10:00:00', -5, 15,'36.6',0, 0)";
}

struct SPass {
    CFakeConnect read, write;
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    bool Run() { return step.UpgradeCourse_Records(nCode, strText, &read, &write, db_layer::DBParam()); }
};

TEST(RawTo100Records, FirstRunCopiesEachNonEmptyRangeWithItsProgressInOneTransaction) {
    SPass pass;
    pass.read.OnRows(kMaxQuery, {{{"max", std::string("20010")}}})
        .OnRows(kMinQuery, {{{"min", std::string("5")}}})
        .OnRows(Range(5), {Record("a"), Record("b")})
        .OnRows(Range(20007), {Record("c")});
    vsu_test::CLogCapture log;

    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.read.calls, (std::vector<std::string>{"QUERY " + std::string(kMaxQuery),
                                                         "QUERY " + std::string(kMinQuery), "QUERY " + Range(5),
                                                         "QUERY " + Range(10006), "QUERY " + Range(20007)}));
    const std::vector<std::string> expected = {
        std::string("QUERY ") + kStatusQuery,
        std::string("EXEC ") + kStartMarker,
        "BEGIN",
        "EXEC " + Insert("a"),
        "EXEC " + Insert("b"),
        "EXEC " + Progress(0, 10006),
        "COMMIT",
        // the empty range 10006..20006 writes nothing
        "BEGIN",
        "EXEC " + Insert("c"),
        "EXEC " + Progress(0, 30008),
        "COMMIT",
        "EXEC " + Progress(1, 0),
        std::string("EXEC ") + kFinishedMarker,
    };
    EXPECT_EQ(pass.write.calls, expected);
    const std::string strName = "[UnifiedUpgradeComponent::CRawTo100::RecordsData2Destination_VisitorRecord]";
    const auto infos = log.Messages(3);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].rfind(strName + "list data number: 0.[", 0), 0u);
    EXPECT_EQ(infos[1].rfind(strName + "Get max relation id empty, plan number: 20007, max: 20010.[", 0), 0u);
    EXPECT_EQ(pass.nCode, 0);
}

TEST(RawTo100Records, EveryTextFieldIsQuotedAndNullsAreWrittenAsNull) {
    FakeRow row = Record("g'1");
    row["visit_reason_detail"] = std::string("it's \\n ${x}");
    row["temper"] = std::string("3'6");
    row["create_time"] = std::string("2024-02-28 10:00:00'");
    row["end_valid_time"] = std::nullopt;
    row["update_time"] = std::nullopt;
    row["visitor_id"] = std::nullopt;
    row["temper"] = std::nullopt;
    row["visit_reason_detail"] = std::string("");
    CFakeConnect conn;
    conn.OnRows("rows", {row});
    conn.Query("rows");
    const stru_visitor_record record = stru_visitor_record::ReadFrom(conn);
    EXPECT_EQ(CRawTo100::VisitorRecordInsert(record),
              kInsertHead + std::string("'g''1', NULL, 12, 3, '', 1, '2024-03-01 08:00:00', NULL, "
                                        "'2024-02-28 10:00:00''', NULL, -5, 15,NULL,0, 0)"));

    row = Record("x");
    row["visit_reason_detail"] = std::string("it's \\n ${x} \xc3\xa9");
    row["temper"] = std::string("3'6");
    conn.OnRows("row2", {row});
    conn.Query("row2");
    EXPECT_EQ(CRawTo100::VisitorRecordInsert(stru_visitor_record::ReadFrom(conn)),
              kInsertHead + std::string("'x', 11, 12, 3, 'it''s \\n ${x} \xc3\xa9', 1, '2024-03-01 08:00:00', "
                                        "'2024-03-01 18:00:00', '2024-02-28 10:00:00.5', '2024-02-29 10:00:00', -5, "
                                        "15,'3''6',0, 0)"));
}

TEST(RawTo100Records, EmptySourceTableQueriesOneRangeAndFinishes) {
    SPass pass;  // max and min of an empty table read as 0
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.read.Statements(), (std::vector<std::string>{kMaxQuery, kMinQuery, Range(0)}));
    EXPECT_EQ(pass.write.Statements(),
              (std::vector<std::string>{kStatusQuery, kStartMarker, Progress(1, 0), kFinishedMarker}));
}

TEST(RawTo100Records, ResumeStartsAtTheStoredPositionWithoutResettingIt) {
    // An interrupted copy: started, two ranges stored.
    SPass pass;
    pass.write.OnRows(kStatusQuery, {Status(2, 0, 20007)})
        .OnRows(kStepVerQuery, {{{"step_ver", std::string("0.0.0")}}});
    pass.read.OnRows(kMaxQuery, {{{"max", std::string("20010")}}})
        .OnRows(kMinQuery, {{{"min", std::string("5")}}})
        .OnRows(Range(20007), {Record("c")});
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.read.Statements(), (std::vector<std::string>{kMaxQuery, kMinQuery, Range(20007)}));
    EXPECT_EQ(pass.write.Statements(),
              (std::vector<std::string>{kStatusQuery, kStepVerQuery, Insert("c"), Progress(0, 30008),
                                        Progress(1, 0), kFinishedMarker}));

    // Started but no range stored yet: from the lowest id, still without a new start marker.
    SPass fresh;
    fresh.write.OnRows(kStatusQuery, {Status(2, 0, 0)});
    fresh.read.OnRows(kMaxQuery, {{{"max", std::string("9")}}}).OnRows(kMinQuery, {{{"min", std::string("5")}}});
    ASSERT_TRUE(fresh.Run());
    EXPECT_EQ(fresh.read.Statements().back(), Range(5));
    EXPECT_TRUE(fresh.write.StatementsContaining("install_time").empty());

    // A status row that is not started yet gets the start marker, also with a position stored.
    SPass unstarted;
    unstarted.write.OnRows(kStatusQuery, {Status(0, 0, 10006)});
    unstarted.read.OnRows(kMaxQuery, {{{"max", std::string("20010")}}});
    ASSERT_TRUE(unstarted.Run());
    EXPECT_EQ(unstarted.write.Statements()[1], kStartMarker);
    EXPECT_EQ(unstarted.read.Statements()[2], Range(10006));
}

TEST(RawTo100Records, FinishedOrCopiedStatesCopyNothingAgain) {
    SPass finished;
    finished.write.OnRows(kStatusQuery, {Status(2, 0, 0), Status(1, -1, -1)});  // the last row counts
    vsu_test::CLogCapture log;
    ASSERT_TRUE(finished.Run());
    EXPECT_EQ(finished.write.Statements(), std::vector<std::string>{kStatusQuery});
    EXPECT_TRUE(finished.read.calls.empty());
    ASSERT_EQ(log.Messages(3).size(), 1u);
    EXPECT_EQ(log.Messages(3)[0].rfind("[UnifiedUpgradeComponent::CRawTo100::UpgradeCourse_Records][CRawTo100::"
                                       "UpgradeCourse_Records] visitor.s upgrade has finished[",
                                       0),
              0u);

    // Copy completed, finished marker missing; and an unknown sub-step counter.
    for (int nSchedule : {1, 4}) {
        SPass copied;
        copied.write.OnRows(kStatusQuery, {Status(2, nSchedule, 0)});
        ASSERT_TRUE(copied.Run());
        EXPECT_EQ(copied.write.Statements(), (std::vector<std::string>{kStatusQuery, kStepVerQuery, kFinishedMarker}));
        EXPECT_TRUE(copied.read.calls.empty());
    }

    // Status 2 of a later step's migration (the row is shared): the copy is done
    // and nothing is written, not even the finished marker, which would hide the
    // later step's unfinished work.
    for (const char* szReached : {"1.0.0", "1.11.0"}) {
        SPass later;
        later.write.OnRows(kStatusQuery, {Status(2, 0, 4711)})
            .OnRows(kStepVerQuery, {{{"step_ver", std::string(szReached)}}});
        log.Clear();
        ASSERT_TRUE(later.Run());
        EXPECT_EQ(later.write.Statements(), (std::vector<std::string>{kStatusQuery, kStepVerQuery}));
        EXPECT_TRUE(later.read.calls.empty());
        ASSERT_EQ(log.Messages(3).size(), 1u);
        EXPECT_NE(log.Messages(3)[0].find(std::string("visitor.s visit records already copied, step_ver ") + szReached),
                  std::string::npos);
    }
}

TEST(RawTo100Records, FailuresInsideARangeRollItBackAndFailThePass) {
    struct SCase {
        std::string strFailing;
        bool bOnRead;
        std::vector<std::string> vecLines;  // level-5 lines after the name
        std::vector<std::string> vecWriteTail;
    };
    const std::string kCopy = "[UnifiedUpgradeComponent::CRawTo100::RecordsData2Destination_VisitorRecord]";
    const std::string kPass = "[UnifiedUpgradeComponent::CRawTo100::UpgradeCourse_Records]";
    const SCase cases[] = {
        {Insert("b"), false,
         {"[UnifiedUpgradeComponent::CRawTo100::WriteDateToVisitorRecord]Query failed, errorcode:71, "
          "errorinfo:bad value[",
          kCopy + "[CRawTo100::RecordsData2Destination_MEM] Insert new data failed[",
          kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed["},
         {"BEGIN", "EXEC " + Insert("a"), "EXEC " + Insert("b"), "ROLLBACK"}},
        {Progress(0, 10006), false,
         {kCopy + "[CRawTo100::RecordsData2Destination_MEM] Set upgrade status failed[",
          kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed["},
         {"BEGIN", "EXEC " + Insert("a"), "EXEC " + Insert("b"), "EXEC " + Progress(0, 10006), "ROLLBACK"}},
        {Range(5), true,
         {kCopy + "[CRawTo100::RecordsData2Destination_MEM] Query history data failed[",
          kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed["},
         {std::string("EXEC ") + kStartMarker}},
        {Progress(1, 0), false,
         {kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 mark status failed["},
         {"COMMIT", "EXEC " + Progress(1, 0)}},
        {kStatusQuery, false,
         {kPass + "[CRawTo100::UpgradeCourse_Records] Query status info failed["},
         {std::string("QUERY ") + kStatusQuery}},
        {kStepVerQuery, false,
         {kPass + "[CRawTo100::UpgradeCourse_Records] Query status info failed["},
         {std::string("QUERY ") + kStepVerQuery}},
        // A failed range query on an existing table is no empty table.
        {kMaxQuery, true,
         {kCopy + "[CRawTo100::RecordsData2Destination_MEM] Query id range failed[",
          kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed["},
         {std::string("EXEC ") + kStartMarker}},
        {kMinQuery, true,
         {kCopy + "[CRawTo100::RecordsData2Destination_MEM] Query id range failed[",
          kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed["},
         {std::string("EXEC ") + kStartMarker}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.strFailing);
        SPass pass;
        (c.bOnRead ? pass.read : pass.write).OnFail(c.strFailing, 71, "bad value");
        if (c.strFailing == kStepVerQuery) pass.write.OnRows(kStatusQuery, {Status(2, 0, 0)});
        pass.read.OnRows(kMaxQuery, {{{"max", std::string("9")}}})
            .OnRows(kMinQuery, {{{"min", std::string("5")}}})
            .OnRows(Range(5), {Record("a"), Record("b")});
        vsu_test::CLogCapture log;
        EXPECT_FALSE(pass.Run());
        EXPECT_EQ(pass.nCode, 71);
        EXPECT_EQ(pass.strText, "bad value");
        const auto lines = log.Messages(5);
        ASSERT_EQ(lines.size(), c.vecLines.size());
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(c.vecLines[i], 0), 0u) << lines[i];
        ASSERT_GE(pass.write.calls.size(), c.vecWriteTail.size());
        EXPECT_EQ(std::vector<std::string>(pass.write.calls.end() - c.vecWriteTail.size(), pass.write.calls.end()),
                  c.vecWriteTail);
        EXPECT_TRUE(pass.write.StatementsContaining("status = 1").empty());
    }
}

TEST(RawTo100Records, MissingSourceTableIsNothingToCopy) {
    for (const char* szState : {"42P01", "3F000"}) {
        SPass pass;
        pass.nCode = 3;
        pass.strText = "earlier";
        pass.read.OnFail(kMaxQuery, db_layer::SqlStateToCode(szState), "relation does not exist");
        vsu_test::CLogCapture log;
        ASSERT_TRUE(pass.Run());
        EXPECT_EQ(pass.write.Statements(),
                  (std::vector<std::string>{kStatusQuery, kStartMarker, Progress(1, 0), kFinishedMarker}));
        EXPECT_EQ(pass.nCode, 3);
        EXPECT_EQ(pass.strText, "earlier");
        EXPECT_TRUE(log.Messages(5).empty());
        EXPECT_TRUE(log.Contains("rt_data.visitor_record does not exist, no visit record to copy."));
    }
}

TEST(RawTo100Records, FailedMarkersLeaveTheirErrorButNotFailThePass) {
    SPass pass;
    pass.write.OnFail(kStartMarker, 81, "start failed").OnFail(kFinishedMarker, 82, "finish failed");
    pass.read.OnRows(kMaxQuery, {{{"max", std::string("9")}}}).OnRows(Range(0), {Record("a")});
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.write.StatementsContaining("INSERT").size(), 1u);
    EXPECT_EQ(pass.nCode, 82);
    EXPECT_EQ(pass.strText, "finish failed");
}

}  // namespace
