// The configuration pass of the step from a database without version: the
// foreign server and its scripts, access levels, visit groups and memberships.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"
#include "db_layer/ErrorCodes.h"

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

FakeRow Setting(const char* szName, const char* szValue, bool bMaySet, const char* szSource = "configuration file") {
    return {{"name", std::string(szName)},
            {"setting", std::string(szValue)},
            {"source", std::string(szSource)},
            {"may_set", std::string(bMaySet ? "1" : "0")}};
}

TEST(RawTo100Config, ForeignServerIsBuiltWithQuotedParametersOutOfTheLogAsFarAsTheRoleMayAndDroppedAfterBothScripts) {
    const std::string strServer =
        "EXEC CREATE EXTENSION IF NOT EXISTS postgres_fdw; DROP SERVER IF EXISTS foreign_lumo_server CASCADE; CREATE "
        "SERVER foreign_lumo_server FOREIGN DATA WRAPPER postgres_fdw OPTIONS(host 'db.o''host', port '5433', dbname "
        "'lumo'); CREATE USER MAPPING FOR CURRENT_USER SERVER foreign_lumo_server OPTIONS(user 'o''user', password "
        "'pa''''ss''');";
    const std::string strUsable = "QUERY SELECT count(*)::int AS usable FROM pg_foreign_data_wrapper";
    const V scripts = {"QUERY IMPORT FOREIGN SCHEMA public FROM SERVER foreign_lumo_server INTO lumo;",
                       "EXEC DROP SCHEMA lumo CASCADE;", "EXEC " + kDropServer};
    const struct {
        std::vector<FakeRow> settings;
        const char* szUsable;  // whether a role that leaves a setting unprotected may use postgres_fdw
        V calls;               // after the settings query, up to the foreign server statement's end
        const char* szNamed;   // the settings the level-3 line names
    } cases[] = {
        // A superuser on a site that logs every statement: switched off for the one statement and
        // then back to the values read; a setting already quiet is left alone.
        {{Setting("log_statement", "all", true), Setting("log_min_duration_statement", "-1", true),
          Setting("log_min_error_statement", "error", true), Setting("track_activities", "on", true)},
         nullptr,
         {"EXEC SET LOCAL log_statement = 'none';SET LOCAL log_min_error_statement = 'panic';SET LOCAL "
          "track_activities = 'off';",
          strServer,
          "EXEC SET LOCAL log_statement = 'all';SET LOCAL log_min_error_statement = 'error';SET LOCAL "
          "track_activities = 'on';"},
         nullptr},
        // No superuser: what it may change is switched off, the rest is named, and the statement is
        // sent only when the role may use the wrapper (else it could only fail, and be logged whole).
        {{Setting("log_min_error_statement", "error", false), Setting("debug_print_parse", "on", true),
          Setting("log_statement", "none", false)},
         "1",
         {strUsable, "EXEC SET LOCAL debug_print_parse = 'off';", strServer,
          "EXEC SET LOCAL debug_print_parse = 'on';"},
         "log_min_error_statement"},
        {{Setting("log_min_error_statement", "error", false), Setting("track_activities", "on", false)},
         "0",
         {strUsable},
         "log_min_error_statement, track_activities"},
    };
    for (const auto& c : cases) {
        SRun run;
        run.tree.Write("update_V2.0", "FDW_Improt_Tables.sql",
                       "IMPORT FOREIGN SCHEMA public FROM SERVER foreign_lumo_server INTO lumo;\n");
        run.tree.Write("update_V2.0", "FDW_Drop_Tables.sql", "DROP SCHEMA lumo CASCADE;");
        run.write.OnRows("FROM pg_settings s", c.settings, true);
        if (c.szUsable) run.write.OnRows("AS usable", {{{"usable", std::string(c.szUsable)}}}, true);
        const bool bSent = c.szUsable == nullptr || std::string(c.szUsable) == "1";
        EXPECT_EQ(run.Import(Param("db.o'host", 5433, "o'user", "pa''ss'")), bSent);

        ASSERT_FALSE(run.write.calls.empty());
        EXPECT_NE(run.write.calls[0].find(" FROM pg_settings s, pg_roles r WHERE r.rolname = current_user AND s.name "
                                          "IN ('log_statement', 'log_min_duration_statement', "),
                  std::string::npos) << run.write.calls[0];
        V vecCalls(run.write.calls.begin() + 1, run.write.calls.end());
        for (auto& strCall : vecCalls)
            if (strCall.rfind(strUsable, 0) == 0) strCall.resize(strUsable.size());
        V expected = c.calls;
        if (bSent) expected.insert(expected.end(), scripts.begin(), scripts.end());
        EXPECT_EQ(vecCalls, expected);
        EXPECT_EQ(run.log.Contains("The role may not change " + std::string(c.szNamed ? c.szNamed : "") + ":"),
                  c.szNamed != nullptr);
        if (!bSent) {
            EXPECT_EQ(run.nCode, db_layer::SqlStateToCode("42501"));
            EXPECT_EQ(run.strText.find("permission denied for foreign-data wrapper postgres_fdw"), 0u) << run.strText;
            EXPECT_EQ(run.log.Messages(5).size(), 1u);
        }
    }
}

TEST(RawTo100Config, ForeignServerFailureRollsBackWithThePasswordMaskedAndSamplingIsPausedAroundThePass) {
    // A site that samples transactions for its log: sampling is stopped before BEGIN, where the server
    // decides it, and given back after the transaction whatever its end: RESET where the session had
    // not set it itself. Giving it back is checked like any statement.
    const struct {
        const char* szSource;
        bool bServerFails;
        bool bResumeFails;
        const char* szResume;
    } cases[] = {
        {"database", true, false, "EXEC RESET log_transaction_sample_rate;"},
        {"session", true, true, "EXEC SET log_transaction_sample_rate = '0.5';"},
        {"database", false, true, "EXEC RESET log_transaction_sample_rate;"},
    };
    for (const auto& c : cases) {
        SRun run;
        run.write.OnRows("IN ('log_transaction_sample_rate')",
                         {Setting("log_transaction_sample_rate", "0.5", true, c.szSource)}, true);
        if (c.bServerFails)
            run.write.OnFail("CREATE EXTENSION IF NOT EXISTS postgres_fdw;", 33, "could not connect", true);
        if (c.bResumeFails) run.write.OnFail(c.szResume + 5, 34, "connection lost");
        EXPECT_FALSE(run.step.UpgradeCourse_Config(run.nCode, run.strText, &run.read, &run.write,
                                                   Param("h", 5432, "u", "s3cr'et")));
        // The first failure is the one reported.
        EXPECT_EQ(run.nCode, c.bServerFails ? 33 : 34);
        EXPECT_EQ(run.write.calls[1], "EXEC SET log_transaction_sample_rate = '0';");
        const V vecTail(run.write.calls.end() - 2, run.write.calls.end());
        EXPECT_EQ(vecTail, (V{c.bServerFails ? "ROLLBACK" : "COMMIT", c.szResume}));
        if (!c.bServerFails) continue;
        EXPECT_EQ(run.strText, "could not connect");
        // Nothing after the failed statement but the rollback of the pass's transaction.
        EXPECT_EQ(run.write.StatementsContaining("foreign_lumo_server").size(), 1u);
        EXPECT_TRUE(run.read.calls.empty());
        const auto lines = run.log.Lines();
        ASSERT_EQ(lines.size(), c.bResumeFails ? 2u : 1u);  // the wrapper's lines only
        EXPECT_EQ(lines[0].nLevel, 4);
        EXPECT_NE(lines[0].strLine.find("CREATE USER MAPPING FOR CURRENT_USER SERVER foreign_lumo_server OPTIONS(user "
                                        "'u', password '***');"),
                  std::string::npos) << lines[0].strLine;
        EXPECT_EQ(lines[0].strLine.find("s3cr"), std::string::npos) << lines[0].strLine;
    }
}

TEST(RawTo100Config, MissingForeignTableScriptsAreSentAsEmptyTextsAndTheirFailureStopsThePass) {
    {
        SRun run;
        ASSERT_TRUE(run.Import(Param("h", 1, "u", "p")));
        ASSERT_EQ(run.write.calls.size(), 5u);  // the settings query first
        EXPECT_EQ(run.write.calls[2], "QUERY ");
        EXPECT_EQ(run.write.calls[3], "EXEC ");
    }
    // Each later statement failing ends the operation there.
    const std::string failingTexts[] = {"IMPORT 1;", "DROP 2;", kDropServer};
    for (size_t nFailing = 0; nFailing < 3; ++nFailing) {
        SRun run;
        run.tree.Write("update_V2.0", "FDW_Improt_Tables.sql", "IMPORT 1;");
        run.tree.Write("update_V2.0", "FDW_Drop_Tables.sql", "DROP 2;");
        run.write.OnFail(failingTexts[nFailing], 51 + static_cast<int>(nFailing), "failed");
        EXPECT_FALSE(run.Import(Param("h", 1, "u", "p")));
        EXPECT_EQ(run.nCode, 51 + static_cast<int>(nFailing));
        EXPECT_EQ(run.write.calls.size(), nFailing + 3);
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
