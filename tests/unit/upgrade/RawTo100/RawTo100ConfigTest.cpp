// The configuration pass of the step from a database without version: the
// foreign server and its scripts, access levels, visit groups and memberships.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;
using V = std::vector<std::string>;

namespace {

const std::string kAccessLevelQuery =
    "SELECT access_level_id, access_group_id FROM public.access_level_access_group_rel WHERE is_deleted = 0 and "
    "access_group_id in ( select id from access_group where is_deleted = 0 and ag_type = 1) ;";
const std::string kDefaultGroupQuery =
    "select id from access_group where is_deleted = 0 and ag_type = 1 and is_default = 1;";
const std::string kGroupQuery = "SELECT id, name FROM public.person_group WHERE is_deleted = 0 and type =2;";
const std::string kPersonQuery = "SELECT id, person_group_id FROM public.person WHERE person_type = 1 and is_deleted =0;";
const std::string kSequenceReset =
    "SELECT SETVAL('visitor.visit_group_id_seq', (SELECT max(id) FROM visitor.visit_group), true)";
const std::string kDropServer = "DROP SERVER IF EXISTS foreign_lumo_server CASCADE;";
const std::string kLevelRow =
    "INSERT INTO visitor.visitor_access_level(access_level_id, is_default_al, create_time, update_time)VALUES ( ";
const std::string kGroupRow = "INSERT INTO visitor.visit_group (id, name, update_time, create_time) VALUES ( ";

// Replaces each row's time text by <T> after checking that both times of a
// statement are the same instant.
V WithoutTimes(const V& vecSql) {
    static const std::regex timePair("'(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})', '\\1'");
    static const std::regex anyTime("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}");
    V vecOut;
    for (const auto& strSql : vecSql) {
        vecOut.push_back(std::regex_replace(strSql, timePair, "<T>"));
        EXPECT_FALSE(std::regex_search(vecOut.back(), anyTime)) << "time texts of one row differ: " << strSql;
    }
    return vecOut;
}

FakeRow Rel(int nLevel, int nGroup) {
    return {{"access_level_id", std::to_string(nLevel)}, {"access_group_id", std::to_string(nGroup)}};
}
FakeRow Group(const char* szId, std::optional<std::string> name) { return {{"id", std::string(szId)}, {"name", name}}; }

db_layer::DBParam Param(const std::string& strHost, int nPort, const std::string& strUser,
                        const std::string& strPassword) {
    db_layer::DBParam param;
    param.host = strHost;
    param.port = nPort;
    param.user = strUser;
    param.password = strPassword;
    return param;
}

struct SRun {
    vsu_test::CScriptTree tree;
    vsu_test::CLogCapture log;
    CFakeConnect read, write;
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    std::shared_ptr<CDBAccessConn> R() { return std::make_shared<CDBAccessConn>(&read); }
    std::shared_ptr<CDBAccessConn> W() { return std::make_shared<CDBAccessConn>(&write); }
    bool Import(const db_layer::DBParam& param) { return step.ImportForeignTables(nCode, strText, param, W()); }
};

TEST(RawTo100Config, ForeignServerIsBuiltWithQuotedParametersAndDroppedAfterBothScripts) {
    SRun run;
    run.tree.Write("update_V2.0", "FDW_Improt_Tables.sql",
                   "IMPORT FOREIGN SCHEMA public FROM SERVER foreign_lumo_server INTO lumo;\n");
    run.tree.Write("update_V2.0", "FDW_Drop_Tables.sql", "DROP SCHEMA lumo CASCADE;");
    ASSERT_TRUE(run.Import(Param("db.o'host", 5433, "o'user", "pa''ss'")));
    const V expected = {
        "EXEC CREATE EXTENSION IF NOT EXISTS postgres_fdw; DROP SERVER IF EXISTS foreign_lumo_server CASCADE; CREATE "
        "SERVER foreign_lumo_server FOREIGN DATA WRAPPER postgres_fdw OPTIONS(host 'db.o''host', port '5433', dbname "
        "'lumo'); CREATE USER MAPPING FOR postgres SERVER foreign_lumo_server OPTIONS(user 'o''user', password "
        "'pa''''ss''');",
        "QUERY IMPORT FOREIGN SCHEMA public FROM SERVER foreign_lumo_server INTO lumo;",
        "EXEC DROP SCHEMA lumo CASCADE;", "EXEC " + kDropServer};
    EXPECT_EQ(run.write.calls, expected);
}

TEST(RawTo100Config, ForeignServerFailureStopsThePassAndLogsThePasswordMasked) {
    SRun run;
    run.write.OnFail("CREATE EXTENSION IF NOT EXISTS postgres_fdw;", 33, "could not connect", true);
    EXPECT_FALSE(run.step.UpgradeCourse_Config(run.nCode, run.strText, &run.read, &run.write,
                                               Param("h", 5432, "u", "s3cr'et")));
    EXPECT_EQ(run.nCode, 33);
    EXPECT_EQ(run.strText, "could not connect");
    // Nothing after the failed statement but the rollback of the pass's transaction.
    EXPECT_EQ(run.write.StatementsContaining("foreign_lumo_server").size(), 1u);
    EXPECT_EQ(run.write.calls.back(), "ROLLBACK");
    EXPECT_TRUE(run.read.calls.empty());
    const auto lines = run.log.Lines();
    ASSERT_EQ(lines.size(), 1u);  // the wrapper's line only
    EXPECT_EQ(lines[0].nLevel, 4);
    EXPECT_NE(lines[0].strLine.find("user 'u', password '"), std::string::npos);
    EXPECT_EQ(lines[0].strLine.find("s3cr"), std::string::npos) << lines[0].strLine;
}

TEST(RawTo100Config, MissingForeignTableScriptsAreSentAsEmptyTextsAndTheirFailureStopsThePass) {
    {
        SRun run;
        ASSERT_TRUE(run.Import(Param("h", 1, "u", "p")));
        ASSERT_EQ(run.write.calls.size(), 4u);
        EXPECT_EQ(run.write.calls[1], "QUERY ");
        EXPECT_EQ(run.write.calls[2], "EXEC ");
    }
    // Each later statement failing leaves the server in place and ends the operation there.
    const std::string failingTexts[] = {"IMPORT 1;", "DROP 2;", kDropServer};
    for (size_t nFailing = 0; nFailing < 3; ++nFailing) {
        SRun run;
        run.tree.Write("update_V2.0", "FDW_Improt_Tables.sql", "IMPORT 1;");
        run.tree.Write("update_V2.0", "FDW_Drop_Tables.sql", "DROP 2;");
        run.write.OnFail(failingTexts[nFailing], 51 + static_cast<int>(nFailing), "failed");
        EXPECT_FALSE(run.Import(Param("h", 1, "u", "p")));
        EXPECT_EQ(run.nCode, 51 + static_cast<int>(nFailing));
        EXPECT_EQ(run.write.calls.size(), nFailing + 2);
    }
}

TEST(RawTo100Config, AccessLevelsAreInsertedOnceEachWithTheDefaultGroupsFlagInOneText) {
    // No default group, or a default group without levels: every flag is 0; no relation row: nothing written.
    const struct {
        std::vector<FakeRow> rels;
        const char* szDefault;
        V written;
    } cases[] = {
        {{Rel(7, 1), Rel(3, 1), Rel(7, 4), Rel(9, 4), Rel(3, 5)}, "4",
         {kLevelRow + "3, 0, <T>);" + kLevelRow + "7, 1, <T>);" + kLevelRow + "9, 1, <T>);"}},
        {{Rel(3, 1), Rel(7, 4)}, nullptr, {kLevelRow + "3, 0, <T>);" + kLevelRow + "7, 0, <T>);"}},
        {{Rel(3, 1), Rel(7, 4)}, "8", {kLevelRow + "3, 0, <T>);" + kLevelRow + "7, 0, <T>);"}},
        {{}, "4", {}},
    };
    for (const auto& c : cases) {
        SRun run;
        run.read.OnRows(kAccessLevelQuery, c.rels);
        if (c.szDefault) run.read.OnRows(kDefaultGroupQuery, {{{"id", std::string(c.szDefault)}}});
        ASSERT_TRUE(run.step.UpdateVisitorALTable(run.nCode, run.strText, run.R(), run.W()));
        EXPECT_EQ(run.read.Statements(), (V{kAccessLevelQuery, kDefaultGroupQuery}));
        EXPECT_EQ(WithoutTimes(run.write.calls), c.written.empty() ? V{} : V{"EXEC " + c.written[0]});
    }
}

TEST(RawTo100Config, VisitGroupsMapPlatformGroupTwoToVisitorsKeepQuotesAndNullsAndResetTheSequence) {
    // Without groups the sequence is still reset.
    const struct {
        std::vector<FakeRow> groups;
        V calls;
    } cases[] = {
        {{Group("2", "Guests"), Group("5", "O'Brien's"), Group("6", std::nullopt)},
         {"EXEC " + kGroupRow + "1, 'Visitors', <T>)", "EXEC " + kGroupRow + "5, 'O''Brien''s', <T>)",
          "EXEC " + kGroupRow + "6, NULL, <T>)", "QUERY " + kSequenceReset}},
        {{}, {"QUERY " + kSequenceReset}},
    };
    for (const auto& c : cases) {
        SRun run;
        run.read.OnRows(kGroupQuery, c.groups);
        ASSERT_TRUE(run.step.UpdateVisitorGroupTable(run.nCode, run.strText, run.R(), run.W()));
        EXPECT_EQ(WithoutTimes(run.write.calls), c.calls);
    }
}

TEST(RawTo100Config, EachTableOperationsFailureEndsThePassWithItsOwnLine) {
    const struct {
        std::string strFailing;
        bool bOnRead;
        const char* szOperation;
        size_t nGroupInserts;  // visit group rows sent, a failing one included
    } cases[] = {
        {kAccessLevelQuery, true, "UpdateVisitorALTable", 0},
        {kDefaultGroupQuery, true, "UpdateVisitorALTable", 0},
        {"INSERT INTO visitor.visitor_access_level", false, "UpdateVisitorALTable", 0},
        {kGroupQuery, true, "UpdateVisitorGroupTable", 0},
        {"VALUES ( 4,", false, "UpdateVisitorGroupTable", 1},
        {kSequenceReset, false, "UpdateVisitorGroupTable", 2},
        {kPersonQuery, true, "UpdateVisitorGroupRelVisitorTable", 2},
        {"visit_group_visitor_rel", false, "UpdateVisitorGroupRelVisitorTable", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strFailing);
        SRun run;
        (c.bOnRead ? run.read : run.write).OnFail(c.strFailing, 61, "broken", true);
        run.read.OnRows(kAccessLevelQuery, {Rel(3, 1)})
            .OnRows(kGroupQuery, {Group("4", "a"), Group("5", "b")})
            .OnRows(kPersonQuery, {{{"id", std::string("100")}, {"person_group_id", std::string("2")}}});
        EXPECT_FALSE(run.step.UpgradeCourse_Config(run.nCode, run.strText, &run.read, &run.write, Param("h", 1, "u", "p")));
        EXPECT_EQ(run.nCode, 61);
        static const std::regex kPosition("\\[[^\\[\\]]*\\(\\d+\\)\\]$");
        V vecErrors;
        for (const std::string& strLine : run.log.Messages(5)) vecErrors.push_back(std::regex_replace(strLine, kPosition, ""));
        EXPECT_EQ(vecErrors, V{"[UnifiedUpgradeComponent::CRawTo100::UpgradeCourse_Config] " +
                               std::string(c.szOperation) + " failed.Error Code:61, Error Info:broken."});
        EXPECT_EQ(run.write.StatementsContaining("INSERT INTO visitor.visit_group (").size(), c.nGroupInserts);
    }
}

}  // namespace
