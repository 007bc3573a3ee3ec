// The script steps: each member's script runs once per database, a failing
// script leaves neither work nor mark, and the records pass marks the version.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/100To130/UpgradeFunc_130.h"
#include "Upgrade/110To111/UpgradeFunc_111.h"
#include "Upgrade/1120To1130/UpgradeFunc_1130.h"
#include "Upgrade/1150To1160/UpgradeFunc_1160.h"
#include "Upgrade/130To160/UpgradeFunc_160.h"
#include "Upgrade/160To170/UpgradeFunc_170.h"
#include "Upgrade/170To180/UpgradeFunc_180.h"
#include "Upgrade/180To190/UpgradeFunc_190.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;

namespace {

enum EReplay { NO_REPLAY, REPLAY_ON_THIRD };

struct SMember {
    std::function<std::shared_ptr<CModuleUpgradeBase>()> fnMake;
    const char* szClass;
    const char* szFrom;
    const char* szTo;
    const char* szFolder;
    EReplay eReplay;
};

template <class T>
std::shared_ptr<CModuleUpgradeBase> Make() {
    return std::make_shared<T>();
}

// The six script steps and the two that replay their script by a route of their own.
const SMember kMembers[] = {
    {Make<C100ToC130>, "C100ToC130", "1.0.0", "1.3.0", "update_V1.1.0", NO_REPLAY},
    {Make<C130ToC160>, "C130ToC160", "1.3.0", "1.6.0", "update_V1.2.0", NO_REPLAY},
    {Make<C160ToC170>, "C160ToC170", "1.6.0", "1.7.0", "update_V1.3.0", NO_REPLAY},
    {Make<C170ToC180>, "C170ToC180", "1.7.0", "1.8.0", "update_V1.4.0", NO_REPLAY},
    {Make<C180ToC190>, "C180ToC190", "1.8.0", "1.9.0", "update_V1.5.0", REPLAY_ON_THIRD},
    {Make<C110ToC111>, "C110ToC111", "1.10.0", "1.11.0", "update_V1.7.0", REPLAY_ON_THIRD},
    {Make<C1120ToC1130>, "C1120ToC1130", "1.12.0", "1.13.0", "update_V1.9.0", REPLAY_ON_THIRD},
    {Make<C1150ToC1160>, "C1150ToC1160", "1.15.0", "1.16.0", "update_V1.16.0", REPLAY_ON_THIRD},
};

std::string Finished(const char* szTo) {
    return std::string("UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, "
                       "schedule = -1, rate_progress = -1, step_ver = '") +
           szTo + "' WHERE module_identity = 'visitor.s';";
}

size_t Count(const std::vector<std::string>& calls, const std::string& strCall) {
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), strCall));
}

// fnRun twice on conn: the first run sends the script once, after a BEGIN and
// before the COMMIT that also carries the step's mark of szPart; once that mark
// is there, a run sends neither the script nor a transaction and says so.
void ExpectDoneOnce(CFakeConnect& conn, const std::function<bool()>& fnRun, const std::string& strScript,
                    const char* szTo, const char* szPart) {
    EXPECT_TRUE(fnRun());
    const auto& calls = conn.calls;
    const auto itScript = std::find(calls.begin(), calls.end(), "EXEC " + strScript);
    ASSERT_NE(itScript, calls.end());
    EXPECT_EQ(Count(calls, "EXEC " + strScript), 1u);
    EXPECT_EQ(Count(calls, "BEGIN"), 1u);
    EXPECT_NE(std::find(calls.begin(), itScript, "BEGIN"), itScript);
    const std::string strMark = std::string("('") + szTo + "', '" + szPart + "', clock_timestamp())";
    const auto itMark = std::find_if(itScript, calls.end(), [&](const std::string& strCall) {
        return strCall.find("INSERT INTO visitor.module_upgrade_marker") != std::string::npos &&
               strCall.find(strMark) != std::string::npos;
    });
    ASSERT_NE(itMark, calls.end());
    EXPECT_EQ(calls.back(), "COMMIT");

    conn.calls.clear();
    conn.OnRows(std::string("module_upgrade_marker WHERE step_ver = '") + szTo + "'", {{{"pass_part", szPart}}},
                true);
    vsu_test::CLogCapture log;
    EXPECT_TRUE(fnRun());
    EXPECT_TRUE(conn.StatementsContaining(strScript).empty());
    EXPECT_EQ(Count(conn.calls, "BEGIN"), 0u);
    EXPECT_TRUE(log.Contains(std::string(szTo) + " " + szPart + " was done before on this database"));
}

TEST(ScriptSteps, EachMemberRunsItsScriptOncePerDatabaseAndMarksItsVersion) {
    vsu_test::CScriptTree tree;
    for (const auto& m : kMembers) tree.Write(m.szFolder, "update.sql", std::string("SELECT '") + m.szFolder + "';\n");

    for (const auto& m : kMembers) {
        SCOPED_TRACE(m.szClass);
        auto pStep = m.fnMake();
        EXPECT_TRUE(pStep->GetFromVersion() == CVersion(m.szFrom));
        EXPECT_TRUE(pStep->GetToVersion() == CVersion(m.szTo));
        EXPECT_EQ(pStep->ScriptPath(),
                  std::string("META_INFO/visitor.s/runtime_script/db_init/") + m.szFolder + "/update.sql");

        CFakeConnect first, second, third;
        int nCode = 0;
        std::string strText;
        const std::string strScript = std::string("SELECT '") + m.szFolder + "';";

        ExpectDoneOnce(
            second,
            [&] { return pStep->UpgradeCourse_Config(nCode, strText, &first, &second, db_layer::DBParam()); },
            strScript, m.szTo, "configuration");

        second.calls.clear();
        EXPECT_TRUE(pStep->UpgradeCourse_Records(nCode, strText, &first, &second, db_layer::DBParam()));
        ASSERT_FALSE(second.Statements().empty());
        EXPECT_EQ(second.Statements().back(), Finished(m.szTo));

        second.calls.clear();
        auto fnIncremental = [&] {
            return pStep->UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, &third,
                                                         db_layer::DBParam());
        };
        if (m.eReplay == REPLAY_ON_THIRD)
            ExpectDoneOnce(third, fnIncremental, strScript, m.szTo, "incremental_configuration");
        else
            EXPECT_TRUE(fnIncremental());
        third.calls.clear();
        EXPECT_TRUE(
            pStep->UpgradeCourse_Records_IncreData(nCode, strText, nullptr, nullptr, nullptr, db_layer::DBParam()));

        EXPECT_TRUE(first.calls.empty()) << "the first connection is never touched";
        EXPECT_TRUE(second.calls.empty());
        EXPECT_TRUE(third.calls.empty());
        EXPECT_EQ(nCode, 0);
    }
}

TEST(ScriptSteps, FailingScriptIsRolledBackWithoutMarkAndStopsThePassWithTwoErrorLines) {
    vsu_test::CScriptTree tree;
    tree.Write("update_V1.9.0", "update.sql", "BROKEN;");
    C1120ToC1130 step;
    for (const char* szOperation : {"UpgradeCourse_Config", "UpgradeCourse_Config_IncreData"}) {
        SCOPED_TRACE(szOperation);
        CFakeConnect conn;
        conn.OnFail("BROKEN;", 601, "syntax error at or near \"BROKEN\" (SQLSTATE 42601)");
        vsu_test::CLogCapture log;
        int nCode = 0;
        std::string strText;
        const bool bConfig = std::string(szOperation) == "UpgradeCourse_Config";
        const bool bOk = bConfig ? step.UpgradeCourse_Config(nCode, strText, nullptr, &conn, db_layer::DBParam())
                                 : step.UpgradeCourse_Config_IncreData(nCode, strText, nullptr, nullptr, &conn,
                                                                       db_layer::DBParam());
        EXPECT_FALSE(bOk);
        EXPECT_EQ(nCode, 601);
        EXPECT_EQ(strText, "syntax error at or near \"BROKEN\" (SQLSTATE 42601)");
        EXPECT_EQ(conn.calls.back(), "ROLLBACK");
        EXPECT_TRUE(conn.StatementsContaining("INSERT INTO visitor.module_upgrade_marker").empty());
        EXPECT_EQ(Count(conn.calls, "COMMIT"), 0u);
        EXPECT_EQ(log.Messages(4).size(), 1u) << "the wrapper's line";
        const auto errors = log.Messages(5);
        ASSERT_EQ(errors.size(), 2u);
        EXPECT_NE(errors[0].find("[ExecuteHelper] ExecuteTransaction failed,sql:[BROKEN;]"), std::string::npos);
        EXPECT_EQ(errors[1].rfind(std::string("[UnifiedUpgradeComponent::C1120ToC1130::") + szOperation +
                                      "]UpgradeCourse_Config_UpgradeBySQLFile failed, Error Code:601, Error "
                                      "Info:syntax error at or near \"BROKEN\" (SQLSTATE 42601).[upgrade/src/",
                                  0),
                  0u)
            << errors[1];
    }
}

TEST(ScriptSteps, RecordsPassSucceedsWhenTheFinishedMarkerFails) {
    CFakeConnect conn;
    conn.OnFail(Finished("1.3.0"), 91, "relation \"platform.module_version_status\" does not exist");
    C100ToC130 step;
    int nCode = 0;
    std::string strText;
    EXPECT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, &conn, db_layer::DBParam()));
    EXPECT_EQ(nCode, 91);
    EXPECT_EQ(strText, "relation \"platform.module_version_status\" does not exist");
}

TEST(ScriptSteps, GroupFixUpRunsBothTablesThenTheMarkerWhateverFails) {
    const std::string strVisitRecords =
        "update visitor.visitor_record  set visitor_group_id = (select visitor.visit_group_visitor_rel.visitor_group_id "
        "from visitor.visit_group_visitor_rel where visitor.visit_group_visitor_rel.visitor_id = "
        "visitor.visitor_record.visitor_id order by visitor.visit_group_visitor_rel.update_time LIMIT 1)";
    const std::string strAppointRecords =
        "update visitor.visitor_appoint_record  set visitor_group_id = (select "
        "visitor.visit_group_visitor_rel.visitor_group_id from visitor.visit_group_visitor_rel where "
        "visitor.visit_group_visitor_rel.visitor_id = visitor.visitor_appoint_record.visitor_id order by "
        "visitor.visit_group_visitor_rel.update_time LIMIT 1)";
    const std::string strCreateIndex =
        "CREATE INDEX IF NOT EXISTS visit_group_visitor_rel_visitor_id_update_time_idx "
        "ON visitor.visit_group_visitor_rel (visitor_id, update_time)";
    CFakeConnect conn;
    conn.OnRows("FROM pg_catalog.pg_index", {{{"table_found", "1"}, {"serving_indexes", "0"}}}, true);
    conn.OnFail(strCreateIndex, 13, "must be owner of table visit_group_visitor_rel");
    conn.OnFail(strVisitRecords, 11, "no visitor_record");
    conn.OnFail(strAppointRecords, 12, "no visitor_appoint_record");
    vsu_test::CLogCapture log;
    C130ToC160 step;
    int nCode = 0;
    std::string strText;

    EXPECT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, &conn, db_layer::DBParam()));
    std::vector<std::string> sent;
    for (const std::string& strSql : conn.Statements())
        if (strSql.find("module_upgrade_marker") == std::string::npos) sent.push_back(strSql);
    EXPECT_TRUE(conn.StatementsContaining("'group_fixup'").empty()) << "a failed fix-up is not marked done";
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_NE(sent[0].find("FROM pg_catalog.pg_index"), std::string::npos) << "the index look-up comes first";
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 1, sent.end()),
              (std::vector<std::string>{strCreateIndex, strVisitRecords, strAppointRecords, Finished("1.6.0")}))
        << "a refused index is passed over";
    EXPECT_EQ(nCode, 12) << "the index's failure is not the pass's";
    const auto warnings = log.Messages(4);
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const std::string& strLine) {
                                return strLine.rfind("[UnifiedUpgradeComponent::C130ToC160::UpgradeCourse_Records]"
                                                     "group fix-up goes on without an index on "
                                                     "visitor.visit_group_visitor_rel (visitor_id, update_time), "
                                                     "errorcode:13, errorinfo:must be owner of table "
                                                     "visit_group_visitor_rel[",
                                                     0) == 0;
                            }),
              1);
    const auto errors = log.Messages(5);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("[UnifiedUpgradeComponent::C130ToC160::UpgradeCourse_Records]update "
                              "visitor.visitor_record  set visitor_group_id  failed, errorcode:11, errorinfo:no "
                              "visitor_record[",
                              0),
              0u);
    EXPECT_EQ(errors[1].rfind("[UnifiedUpgradeComponent::C130ToC160::UpgradeCourse_Records]update "
                              "visitor.visitor_record  set visitor_group_id  failed, errorcode:12, errorinfo:no "
                              "visitor_appoint_record[",
                              0),
              0u)
        << "the same text for the appointment table";
}

TEST(ScriptSteps, GroupFixUpIsDoneOncePerDatabase) {
    // Appointments that later steps make get no group in one run; a records pass run again must not give them one.
    CFakeConnect first;
    C130ToC160 step;
    int nCode = 0;
    std::string strText;
    EXPECT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, &first, db_layer::DBParam()));
    EXPECT_EQ(first.StatementsContaining("set visitor_group_id").size(), 2u);
    EXPECT_EQ(first.StatementsContaining("VALUES ('1.6.0', 'group_fixup'").size(), 1u);

    CFakeConnect again;
    again.OnRows("SELECT pass_part FROM visitor.module_upgrade_marker WHERE step_ver = '1.6.0';",
                 {{{"pass_part", "group_fixup"}}});
    EXPECT_TRUE(step.UpgradeCourse_Records(nCode, strText, nullptr, &again, db_layer::DBParam()));
    EXPECT_TRUE(again.StatementsContaining("set visitor_group_id").empty());
    EXPECT_EQ(again.Statements().back(), Finished("1.6.0")) << "the finished marker is still written";
}

}  // namespace
