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

namespace {

const char* const kAccessLevelQuery =
    "SELECT access_level_id, access_group_id FROM public.access_level_access_group_rel WHERE is_deleted = 0 and "
    "access_group_id in ( select id from access_group where is_deleted = 0 and ag_type = 1) ;";
const char* const kDefaultGroupQuery =
    "select id from access_group where is_deleted = 0 and ag_type = 1 and is_default = 1;";
const char* const kGroupQuery = "SELECT id, name FROM public.person_group WHERE is_deleted = 0 and type =2;";
const char* const kPersonQuery = "SELECT id, person_group_id FROM public.person WHERE person_type = 1 and is_deleted =0;";
const char* const kSequenceReset =
    "SELECT SETVAL('visitor.visit_group_id_seq', (SELECT max(id) FROM visitor.visit_group), true)";
const char* const kDropServer = "DROP SERVER IF EXISTS foreign_lumo_server CASCADE;";

// Replaces each row's time text by <T> after checking that both times of a
// statement are the same instant.
std::string WithoutTimes(const std::string& strSql) {
    static const std::regex timePair("'(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})', '\\1'");
    static const std::regex anyTime("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}");
    const std::string strOut = std::regex_replace(strSql, timePair, "<T>");
    EXPECT_FALSE(std::regex_search(strOut, anyTime)) << "time texts of one row differ: " << strSql;
    return strOut;
}

std::vector<std::string> WithoutTimes(const std::vector<std::string>& vecSql) {
    std::vector<std::string> vecOut;
    for (const auto& strSql : vecSql) vecOut.push_back(WithoutTimes(strSql));
    return vecOut;
}

FakeRow Rel(int nLevel, int nGroup) {
    return {{"access_level_id", std::to_string(nLevel)}, {"access_group_id", std::to_string(nGroup)}};
}

db_layer::DBParam Param(const std::string& strHost, int nPort, const std::string& strUser,
                        const std::string& strPassword) {
    db_layer::DBParam param;
    param.host = strHost;
    param.port = nPort;
    param.user = strUser;
    param.password = strPassword;
    return param;
}

TEST(RawTo100Config, ForeignServerIsBuiltWithQuotedParametersAndDroppedAfterBothScripts) {
    vsu_test::CScriptTree tree;
    tree.Write("update_V2.0", "FDW_Improt_Tables.sql", "IMPORT FOREIGN SCHEMA public FROM SERVER foreign_lumo_server INTO lumo;\n");
    tree.Write("update_V2.0", "FDW_Drop_Tables.sql", "DROP SCHEMA lumo CASCADE;");
    CFakeConnect write;
    auto pWrite = std::make_shared<CDBAccessConn>(&write);
    CRawTo100 step;
    int nCode = 0;
    std::string strText;

    ASSERT_TRUE(step.ImportForeignTables(nCode, strText, Param("db.o'host", 5433, "o'user", "pa''ss'"), pWrite));
    const std::vector<std::string> expected = {
        "EXEC CREATE EXTENSION IF NOT EXISTS postgres_fdw; DROP SERVER IF EXISTS foreign_lumo_server CASCADE; CREATE "
        "SERVER foreign_lumo_server FOREIGN DATA WRAPPER postgres_fdw OPTIONS(host 'db.o''host', port '5433', dbname "
        "'lumo'); CREATE USER MAPPING FOR postgres SERVER foreign_lumo_server OPTIONS(user 'o''user', password "
        "'pa''''ss''');",
        "QUERY IMPORT FOREIGN SCHEMA public FROM SERVER foreign_lumo_server INTO lumo;",
        "EXEC DROP SCHEMA lumo CASCADE;",
        std::string("EXEC ") + kDropServer,
    };
    EXPECT_EQ(write.calls, expected);
}

TEST(RawTo100Config, ForeignServerFailureStopsThePassAndLogsThePasswordMasked) {
    vsu_test::CScriptTree tree;
    CFakeConnect read, write;
    write.OnFail("CREATE EXTENSION IF NOT EXISTS postgres_fdw;", 33, "could not connect", true);
    vsu_test::CLogCapture log;
    CRawTo100 step;
    int nCode = 0;
    std::string strText;

    EXPECT_FALSE(step.UpgradeCourse_Config(nCode, strText, &read, &write, Param("h", 5432, "u", "s3cr'et")));
    EXPECT_EQ(nCode, 33);
    EXPECT_EQ(strText, "could not connect");
    EXPECT_EQ(write.calls.size(), 1u);
    EXPECT_TRUE(read.calls.empty());
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);  // the wrapper's line only
    EXPECT_EQ(lines[0].nLevel, 4);
    EXPECT_NE(lines[0].strLine.find("user 'u', password '"), std::string::npos);
    EXPECT_EQ(lines[0].strLine.find("s3cr"), std::string::npos) << lines[0].strLine;
}

TEST(RawTo100Config, MissingForeignTableScriptsAreSentAsEmptyTextsAndTheirFailureStopsThePass) {
    vsu_test::CScriptTree tree;
    CFakeConnect write;
    auto pWrite = std::make_shared<CDBAccessConn>(&write);
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.ImportForeignTables(nCode, strText, Param("h", 1, "u", "p"), pWrite));
    ASSERT_EQ(write.calls.size(), 4u);
    EXPECT_EQ(write.calls[1], "QUERY ");
    EXPECT_EQ(write.calls[2], "EXEC ");

    // Each later statement failing leaves the server in place and ends the operation there.
    tree.Write("update_V2.0", "FDW_Improt_Tables.sql", "IMPORT 1;");
    tree.Write("update_V2.0", "FDW_Drop_Tables.sql", "DROP 2;");
    const char* const failingTexts[] = {"IMPORT 1;", "DROP 2;", kDropServer};
    for (size_t nFailing = 0; nFailing < 3; ++nFailing) {
        CFakeConnect failing;
        failing.OnFail(failingTexts[nFailing], 51 + static_cast<int>(nFailing), "failed");
        auto pFailing = std::make_shared<CDBAccessConn>(&failing);
        EXPECT_FALSE(step.ImportForeignTables(nCode, strText, Param("h", 1, "u", "p"), pFailing));
        EXPECT_EQ(nCode, 51 + static_cast<int>(nFailing));
        EXPECT_EQ(failing.calls.size(), nFailing + 2);
    }
}

TEST(RawTo100Config, AccessLevelsAreInsertedOnceEachWithTheDefaultGroupsFlagInOneText) {
    CFakeConnect read, write;
    read.OnRows(kAccessLevelQuery, {Rel(7, 1), Rel(3, 1), Rel(7, 4), Rel(9, 4), Rel(3, 5)})
        .OnRows(kDefaultGroupQuery, {{{"id", std::string("4")}}});
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.UpdateVisitorALTable(nCode, strText, std::make_shared<CDBAccessConn>(&read),
                                          std::make_shared<CDBAccessConn>(&write)));
    EXPECT_EQ(read.Statements(), (std::vector<std::string>{kAccessLevelQuery, kDefaultGroupQuery}));
    const std::string strRow = "INSERT INTO visitor.visitor_access_level(access_level_id, is_default_al, "
                               "create_time, update_time)VALUES ( ";
    ASSERT_EQ(write.Statements().size(), 1u);
    EXPECT_EQ(WithoutTimes(write.Statements()[0]),
              strRow + "3, 0, <T>);" + strRow + "7, 1, <T>);" + strRow + "9, 1, <T>);");

    // No default group, or a default group without levels: every flag is 0.
    for (const char* szDefault : {static_cast<const char*>(nullptr), "8"}) {
        CFakeConnect read2, write2;
        read2.OnRows(kAccessLevelQuery, {Rel(3, 1), Rel(7, 4)});
        if (szDefault) read2.OnRows(kDefaultGroupQuery, {{{"id", std::string(szDefault)}}});
        ASSERT_TRUE(step.UpdateVisitorALTable(nCode, strText, std::make_shared<CDBAccessConn>(&read2),
                                              std::make_shared<CDBAccessConn>(&write2)));
        EXPECT_EQ(WithoutTimes(write2.Statements()), std::vector<std::string>{strRow + "3, 0, <T>);" + strRow +
                                                                               "7, 0, <T>);"});
    }

    // No relation rows: nothing is written.
    CFakeConnect read3, write3;
    ASSERT_TRUE(step.UpdateVisitorALTable(nCode, strText, std::make_shared<CDBAccessConn>(&read3),
                                          std::make_shared<CDBAccessConn>(&write3)));
    EXPECT_TRUE(write3.calls.empty());
}

TEST(RawTo100Config, VisitGroupsMapPlatformGroupTwoToVisitorsKeepQuotesAndNullsAndResetTheSequence) {
    CFakeConnect read, write;
    read.OnRows(kGroupQuery, {{{"id", std::string("2")}, {"name", std::string("Guests")}},
                              {{"id", std::string("5")}, {"name", std::string("O'Brien's")}},
                              {{"id", std::string("6")}, {"name", std::nullopt}}});
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.UpdateVisitorGroupTable(nCode, strText, std::make_shared<CDBAccessConn>(&read),
                                             std::make_shared<CDBAccessConn>(&write)));
    const std::string strInsert = "INSERT INTO visitor.visit_group (id, name, update_time, create_time) VALUES ( ";
    EXPECT_EQ(WithoutTimes(write.calls),
              (std::vector<std::string>{"EXEC " + strInsert + "1, 'Visitors', <T>)",
                                        "EXEC " + strInsert + "5, 'O''Brien''s', <T>)",
                                        "EXEC " + strInsert + "6, NULL, <T>)", std::string("QUERY ") + kSequenceReset}));

    // Without groups the sequence is still reset.
    CFakeConnect read2, write2;
    ASSERT_TRUE(step.UpdateVisitorGroupTable(nCode, strText, std::make_shared<CDBAccessConn>(&read2),
                                             std::make_shared<CDBAccessConn>(&write2)));
    EXPECT_EQ(write2.calls, std::vector<std::string>{std::string("QUERY ") + kSequenceReset});
}

TEST(RawTo100Config, MembersOfPlatformGroupTwoJoinVisitGroupOne) {
    CFakeConnect read, write;
    read.OnRows(kPersonQuery, {{{"id", std::string("100")}, {"person_group_id", std::string("2")}},
                               {{"id", std::string("101")}, {"person_group_id", std::string("7")}}});
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.UpdateVisitorGroupRelVisitorTable(nCode, strText, std::make_shared<CDBAccessConn>(&read),
                                                       std::make_shared<CDBAccessConn>(&write)));
    const std::string strInsert =
        "INSERT INTO visitor.visit_group_visitor_rel (visitor_id, visitor_group_id, update_time, create_time) VALUES (";
    EXPECT_EQ(WithoutTimes(write.Statements()),
              (std::vector<std::string>{strInsert + "100, 1, <T>)", strInsert + "101, 7, <T>)"}));
}

TEST(RawTo100Config, EachTableOperationsFailureEndsThePassWithItsOwnLine) {
    struct SCase {
        const char* szFailing;
        bool bOnRead;
        const char* szLine;
        size_t nGroupInserts;  // visit group rows sent, a failing one included
    };
    const SCase cases[] = {
        {kAccessLevelQuery, true, "] UpdateVisitorALTable failed.Error Code:61, Error Info:broken.[", 0},
        {kDefaultGroupQuery, true, "] UpdateVisitorALTable failed.Error Code:61, Error Info:broken.[", 0},
        {"INSERT INTO visitor.visitor_access_level", false,
         "] UpdateVisitorALTable failed.Error Code:61, Error Info:broken.[", 0},
        {kGroupQuery, true, "] UpdateVisitorGroupTable failed.Error Code:61, Error Info:broken.[", 0},
        {"VALUES ( 4,", false, "] UpdateVisitorGroupTable failed.Error Code:61, Error Info:broken.[", 1},
        {kSequenceReset, false, "] UpdateVisitorGroupTable failed.Error Code:61, Error Info:broken.[", 2},
        {kPersonQuery, true, "] UpdateVisitorGroupRelVisitorTable failed.Error Code:61, Error Info:broken.[", 2},
        {"visit_group_visitor_rel", false,
         "] UpdateVisitorGroupRelVisitorTable failed.Error Code:61, Error Info:broken.[", 2},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szFailing);
        vsu_test::CScriptTree tree;
        CFakeConnect read, write;
        (c.bOnRead ? read : write).OnFail(c.szFailing, 61, "broken", true);
        read.OnRows(kAccessLevelQuery, {Rel(3, 1)})
            .OnRows(kGroupQuery, {{{"id", std::string("4")}, {"name", std::string("a")}},
                                  {{"id", std::string("5")}, {"name", std::string("b")}}})
            .OnRows(kPersonQuery, {{{"id", std::string("100")}, {"person_group_id", std::string("2")}}});
        vsu_test::CLogCapture log;
        CRawTo100 step;
        int nCode = 0;
        std::string strText;
        EXPECT_FALSE(step.UpgradeCourse_Config(nCode, strText, &read, &write, Param("h", 1, "u", "p")));
        EXPECT_EQ(nCode, 61);
        const auto vecErrors = log.Messages(5);
        ASSERT_EQ(vecErrors.size(), 1u);
        EXPECT_EQ(vecErrors[0].rfind(std::string("[UnifiedUpgradeComponent::CRawTo100::UpgradeCourse_Config") +
                                         c.szLine,
                                     0),
                  0u)
            << vecErrors[0];
        EXPECT_EQ(write.StatementsContaining("INSERT INTO visitor.visit_group (").size(), c.nGroupInserts);
    }
}

}  // namespace
