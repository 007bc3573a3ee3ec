// The records pass of the step from a database without version: the resumable
// copy of rt_data.visitor_record in ranges of 10001 ids, the status row it
// drives, and how it stops and resumes.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"
#include "db_layer/ErrorCodes.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;
using V = std::vector<std::string>;

namespace {

const std::string kStatusQuery =
    "SELECT status, schedule, rate_progress FROM platform.module_version_status WHERE module_identity = "
    "'visitor.s';";
const std::string kStartMarker =
    "UPDATE platform.module_version_status SET install_time = clock_timestamp(), status = 2, schedule = 0, "
    "rate_progress = 0 WHERE module_identity = 'visitor.s';";
const std::string kFinishedMarker =
    "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
    "rate_progress = -1, step_ver  = '1.0.0' WHERE module_identity = 'visitor.s';";
const std::string kStepVerQuery =
    "SELECT step_ver FROM platform.module_version_status WHERE module_identity = 'visitor.s';";
const std::string kMaxQuery = "SELECT max(id) FROM rt_data.visitor_record;";
const std::string kMinQuery = "SELECT min(id) FROM rt_data.visitor_record;";
const std::string kInsertHead =
    "INSERT INTO visitor.visitor_record(object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, "
    "visitor_status, start_valid_time, end_valid_time, create_time, update_time, start_time_differ, "
    "end_time_differ,temper,temper_status, is_deleted)VALUES (";

std::string Progress(int nSchedule, int nRate) {
    return "UPDATE platform.module_version_status SET schedule = " + std::to_string(nSchedule) +
           ", rate_progress = " + std::to_string(nRate) + " WHERE module_identity = 'visitor.s';";
}

std::string Range(long long nFrom) {
    return "SELECT * FROM rt_data.visitor_record WHERE id between " + std::to_string(nFrom) + " and " +
           std::to_string(nFrom + 10000) + ";";
}

std::string NextId(long long nAfter) {
    return "SELECT id FROM rt_data.visitor_record WHERE id > " + std::to_string(nAfter) + " ORDER BY id LIMIT 1;";
}

FakeRow Status(int nStatus, int nSchedule, int nRate) {
    return {{"status", std::to_string(nStatus)},
            {"schedule", std::to_string(nSchedule)},
            {"rate_progress", std::to_string(nRate)}};
}

// A source row whose values tell it apart by its guid.
FakeRow Record(const std::string& strGuid) {
    FakeRow row = {{"id", "1"}, {"object_guid", strGuid}, {"visitor_id", "11"}, {"interviewee_id", "12"},
                   {"visit_reason", "3"}, {"visit_reason_detail", "meeting"}, {"visitor_status", "1"},
                   {"start_valid_time", "2024-03-01 08:00:00"}, {"end_valid_time", "2024-03-01 18:00:00"},
                   {"create_time", "2024-02-28 10:00:00.5"}, {"update_time", "2024-02-29 10:00:00"},
                   {"start_time_differ", "-5"}, {"end_time_differ", "15"}, {"temper", "36.6"},
                   {"temper_status", "0"}, {"is_deleted", "0"}};
    return row;
}

std::string Insert(const std::string& strGuid) {
    return kInsertHead + ("'" + strGuid) +
           "', 11, 12, 3, 'meeting', 1, '2024-03-01 08:00:00', '2024-03-01 18:00:00', '2024-02-28 10:00:00.5', "
           "'2024-02-29 10:00:00', -5, 15,'36.6',0, 0)";
}

std::string Q(const std::string& strSql) { return "QUERY " + strSql; }
std::string X(const std::string& strSql) { return "EXEC " + strSql; }
FakeRow One(const char* szColumn, const char* szValue) { return {{szColumn, std::string(szValue)}}; }

struct SPass {
    vsu_test::CLogCapture log;
    CFakeConnect read, write;
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    bool Run() { return step.UpgradeCourse_Records(nCode, strText, &read, &write, db_layer::DBParam()); }
    // Messages of one level without their trailing "[file(line)]".
    V Lines(int nLevel) const {
        static const std::regex kPosition("\\[[^\\[\\]]*\\(\\d+\\)\\]$");
        V vecOut;
        for (const std::string& strLine : log.Messages(nLevel)) vecOut.push_back(std::regex_replace(strLine, kPosition, ""));
        return vecOut;
    }
};

const std::string kCopy = "[UnifiedUpgradeComponent::CRawTo100::RecordsData2Destination_VisitorRecord]";
const std::string kPass = "[UnifiedUpgradeComponent::CRawTo100::UpgradeCourse_Records]";
const V kNothingToCopy = {kStatusQuery, kStartMarker, Progress(1, 0), kFinishedMarker};

TEST(RawTo100Records, FirstRunCopiesEachNonEmptyRangeWithItsProgressAndSkipsEmptyOnesWithOneQuery) {
    // Keys 5, 20007 and the largest int: an empty range asks for the next key
    // once and the walk goes on at the range of its grid that holds it. The
    // last range ends past the largest int, whose next start does not fit the
    // status column: it stores the copy as complete instead.
    const long long nTop = 30008 + (2147483647LL - 30008) / 10001 * 10001;
    SPass pass;
    pass.read.OnRows(kMaxQuery, {One("max", "2147483647")})
        .OnRows(kMinQuery, {One("min", "5")})
        .OnRows(Range(5), {Record("a"), Record("b")})
        .OnRows(NextId(20006), {One("id", "20007")})
        .OnRows(Range(20007), {Record("c")})
        .OnRows(NextId(40008), {One("id", "2147483647")})
        .OnRows(Range(nTop), {Record("d")});
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.read.Statements(), (V{kMaxQuery, kMinQuery, Range(5), Range(10006), NextId(20006), Range(20007),
                                         Range(30008), NextId(40008), Range(nTop)}));
    const V expected = {Q(kStatusQuery), X(kStartMarker), "BEGIN", X(Insert("a")), X(Insert("b")),
                        X(Progress(0, 10006)), "COMMIT",
                        // an empty range writes nothing
                        "BEGIN", X(Insert("c")), X(Progress(0, 30008)), "COMMIT",
                        "BEGIN", X(Insert("d")), X(Progress(1, 0)), "COMMIT", X(Progress(1, 0)), X(kFinishedMarker)};
    EXPECT_EQ(pass.write.calls, expected);
    EXPECT_EQ(pass.Lines(3), (V{kCopy + "list data number: 0.",
                                kCopy + "Get max relation id empty, plan number: 20007, max: 2147483647.",
                                kCopy + "list data number: 0.",
                                kCopy + "Get max relation id empty, plan number: " + std::to_string(nTop) +
                                    ", max: 2147483647."}));
    EXPECT_EQ(pass.nCode, 0);
}

TEST(RawTo100Records, EveryTextFieldIsQuotedAndNullsAreWrittenAsNull) {
    FakeRow nulls = Record("g'1");
    nulls["create_time"] = std::string("2024-02-28 10:00:00'");
    nulls["visit_reason_detail"] = std::string("");
    for (const char* szColumn : {"end_valid_time", "update_time", "visitor_id", "temper"}) nulls[szColumn] = std::nullopt;
    FakeRow quotes = Record("x");
    quotes["visit_reason_detail"] = std::string("it's \\n ${x} \xc3\xa9");
    quotes["temper"] = std::string("3'6");
    const std::pair<FakeRow, std::string> cases[] = {
        {nulls, "'g''1', NULL, 12, 3, '', 1, '2024-03-01 08:00:00', NULL, '2024-02-28 10:00:00''', NULL, -5, 15,NULL,0, "
                "0)"},
        {quotes, "'x', 11, 12, 3, 'it''s \\n ${x} \xc3\xa9', 1, '2024-03-01 08:00:00', '2024-03-01 18:00:00', "
                 "'2024-02-28 10:00:00.5', '2024-02-29 10:00:00', -5, 15,'3''6',0, 0)"},
    };
    for (const auto& c : cases) {
        CFakeConnect conn;
        conn.OnRows("rows", {c.first});
        conn.Query("rows");
        EXPECT_EQ(CRawTo100::VisitorRecordInsert(stru_visitor_record::ReadFrom(conn)), kInsertHead + c.second);
    }
}

TEST(RawTo100Records, EmptyOrMissingSourceTableQueriesNoRowAndFinishes) {
    {
        SPass pass;  // max and min of an empty table read as 0
        ASSERT_TRUE(pass.Run());
        EXPECT_EQ(pass.read.Statements(), (V{kMaxQuery, kMinQuery, Range(0)}));
        EXPECT_EQ(pass.write.Statements(), kNothingToCopy);
    }
    for (const char* szState : {"42P01", "3F000"}) {
        SPass pass;
        pass.nCode = 3;
        pass.strText = "earlier";
        pass.read.OnFail(kMaxQuery, db_layer::SqlStateToCode(szState), "relation does not exist");
        ASSERT_TRUE(pass.Run());
        EXPECT_EQ(pass.write.Statements(), kNothingToCopy);
        EXPECT_EQ(pass.nCode, 3);
        EXPECT_EQ(pass.strText, "earlier");
        EXPECT_TRUE(pass.log.Messages(5).empty());
        EXPECT_TRUE(pass.log.Contains("rt_data.visitor_record does not exist, no visit record to copy."));
    }
}

TEST(RawTo100Records, ResumeStartsAtTheStoredPositionWithoutResettingIt) {
    // An interrupted copy: started, two ranges stored.
    SPass pass;
    pass.write.OnRows(kStatusQuery, {Status(2, 0, 20007)}).OnRows(kStepVerQuery, {One("step_ver", "0.0.0")});
    pass.read.OnRows(kMaxQuery, {One("max", "20010")})
        .OnRows(kMinQuery, {One("min", "5")})
        .OnRows(Range(20007), {Record("c")});
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.read.Statements(), (V{kMaxQuery, kMinQuery, Range(20007)}));
    EXPECT_EQ(pass.write.Statements(), (V{kStatusQuery, kStepVerQuery, Insert("c"), Progress(0, 30008),
                                          Progress(1, 0), kFinishedMarker}));

    // Started but no range stored yet: from the lowest id, still without a new start marker.
    SPass fresh;
    fresh.write.OnRows(kStatusQuery, {Status(2, 0, 0)});
    fresh.read.OnRows(kMaxQuery, {One("max", "9")}).OnRows(kMinQuery, {One("min", "5")});
    ASSERT_TRUE(fresh.Run());
    EXPECT_EQ(fresh.read.Statements().back(), Range(5));
    EXPECT_TRUE(fresh.write.StatementsContaining("install_time").empty());

    // A status row that is not started yet gets the start marker, also with a position stored.
    SPass unstarted;
    unstarted.write.OnRows(kStatusQuery, {Status(0, 0, 10006)});
    unstarted.read.OnRows(kMaxQuery, {One("max", "20010")});
    ASSERT_TRUE(unstarted.Run());
    EXPECT_EQ(unstarted.write.Statements()[1], kStartMarker);
    EXPECT_EQ(unstarted.read.Statements()[2], Range(10006));
}

TEST(RawTo100Records, FinishedOrCopiedStatesCopyNothingAgain) {
    // Finished (the last row counts); copy completed with the finished marker
    // missing, and an unknown sub-step counter; status 2 of a later step's
    // migration (the row is shared): the copy is done and nothing is written, not
    // even the finished marker, which would hide the later step's unfinished work.
    const std::string strAlready = kPass + "[CRawTo100::UpgradeCourse_Records] visitor.s ";
    const struct {
        std::vector<FakeRow> status;
        const char* szReached;
        V written;
        V info;
    } cases[] = {
        {{Status(2, 0, 0), Status(1, -1, -1)}, nullptr, {kStatusQuery}, {strAlready + "upgrade has finished"}},
        {{Status(2, 1, 0)}, nullptr, {kStatusQuery, kStepVerQuery, kFinishedMarker}, {}},
        {{Status(2, 4, 0)}, nullptr, {kStatusQuery, kStepVerQuery, kFinishedMarker}, {}},
        {{Status(2, 0, 4711)}, "1.0.0", {kStatusQuery, kStepVerQuery},
         {strAlready + "visit records already copied, step_ver 1.0.0"}},
        {{Status(2, 0, 4711)}, "1.11.0", {kStatusQuery, kStepVerQuery},
         {strAlready + "visit records already copied, step_ver 1.11.0"}},
    };
    for (const auto& c : cases) {
        SPass pass;
        pass.write.OnRows(kStatusQuery, c.status);
        if (c.szReached) pass.write.OnRows(kStepVerQuery, {One("step_ver", c.szReached)});
        ASSERT_TRUE(pass.Run());
        EXPECT_EQ(pass.write.Statements(), c.written);
        EXPECT_TRUE(pass.read.calls.empty());
        EXPECT_EQ(pass.Lines(3), c.info);
    }
}

TEST(RawTo100Records, FailuresInsideARangeRollItBackAndFailThePass) {
    const std::string kStepFailed =
        kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 upgrade failed";
    const std::string kMem = kCopy + "[CRawTo100::RecordsData2Destination_MEM] ";
    const std::string kStatusFailed = kPass + "[CRawTo100::UpgradeCourse_Records] Query status info failed";
    const struct {
        std::string strFailing;
        bool bOnRead;
        V vecLines;  // level-5 lines
        V vecWriteTail;
    } cases[] = {
        {Insert("b"), false,
         {"[UnifiedUpgradeComponent::CRawTo100::WriteDateToVisitorRecord]Query failed, errorcode:71, "
          "errorinfo:bad value",
          kMem + "Insert new data failed", kStepFailed},
         {"BEGIN", X(Insert("a")), X(Insert("b")), "ROLLBACK"}},
        {Progress(0, 10006), false, {kMem + "Set upgrade status failed", kStepFailed},
         {"BEGIN", X(Insert("a")), X(Insert("b")), X(Progress(0, 10006)), "ROLLBACK"}},
        {"COMMIT", false, {kMem + "Commit new data failed", kStepFailed},
         {"BEGIN", X(Insert("a")), X(Insert("b")), X(Progress(0, 10006)), "COMMIT"}},
        {"BEGIN", false, {kMem + "Begin transaction failed", kStepFailed}, {X(kStartMarker), "BEGIN"}},
        {Range(5), true, {kMem + "Query history data failed", kStepFailed}, {X(kStartMarker)}},
        {NextId(10005), true, {kMem + "Query next data id failed", kStepFailed}, {X(kStartMarker)}},
        {Progress(1, 0), false,
         {kPass + "[CRawTo100::RecordsData2Destination_VisitorRecord] visitor.s step 1 mark status failed"},
         {"COMMIT", X(Progress(1, 0))}},
        {kStatusQuery, false, {kStatusFailed}, {Q(kStatusQuery)}},
        {kStepVerQuery, false, {kStatusFailed}, {Q(kStepVerQuery)}},
        // A failed range query on an existing table is no empty table.
        {kMaxQuery, true, {kMem + "Query id range failed", kStepFailed}, {X(kStartMarker)}},
        {kMinQuery, true, {kMem + "Query id range failed", kStepFailed}, {X(kStartMarker)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strFailing);
        SPass pass;
        (c.bOnRead ? pass.read : pass.write).OnFail(c.strFailing, 71, "bad value");
        if (c.strFailing == kStepVerQuery) pass.write.OnRows(kStatusQuery, {Status(2, 0, 0)});
        // An empty first range below the highest id asks for the next key.
        if (c.strFailing == NextId(10005)) pass.read.OnRows(kMaxQuery, {One("max", "20000")}).OnRows(Range(5), {});
        pass.read.OnRows(kMaxQuery, {One("max", "9")})
            .OnRows(kMinQuery, {One("min", "5")})
            .OnRows(Range(5), {Record("a"), Record("b")});
        EXPECT_FALSE(pass.Run());
        EXPECT_EQ(pass.nCode, 71);
        EXPECT_EQ(pass.strText, "bad value");
        EXPECT_EQ(pass.Lines(5), c.vecLines);
        ASSERT_GE(pass.write.calls.size(), c.vecWriteTail.size());
        EXPECT_EQ(V(pass.write.calls.end() - c.vecWriteTail.size(), pass.write.calls.end()), c.vecWriteTail);
        EXPECT_TRUE(pass.write.StatementsContaining("status = 1").empty());
    }
}

TEST(RawTo100Records, FailedMarkersLeaveTheirErrorButNotFailThePass) {
    SPass pass;
    pass.write.OnFail(kStartMarker, 81, "start failed").OnFail(kFinishedMarker, 82, "finish failed");
    pass.read.OnRows(kMaxQuery, {One("max", "9")}).OnRows(Range(0), {Record("a")});
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(pass.write.StatementsContaining("INSERT").size(), 1u);
    EXPECT_EQ(pass.nCode, 82);
    EXPECT_EQ(pass.strText, "finish failed");
}

}  // namespace
