// The two steps that replay their script on the third connection (1.8.0 -> 1.9.0
// and 1.10.0 -> 1.11.0), checked with the same cases under each step's literals.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/110To111/UpgradeFunc_111.h"
#include "Upgrade/180To190/UpgradeFunc_190.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;

namespace {

struct SReplayCase {
    const char* szClass;
    const char* szFolder;
    const char* szStepVer;
    std::function<std::shared_ptr<CModuleUpgradeBase>()> fnMake;
};

const char* const kScript = "CREATE TABLE visitor.t1(id int);\nINSERT INTO visitor.t1 VALUES (1);";

class ScriptReplaySteps : public ::testing::TestWithParam<SReplayCase> {
protected:
    std::shared_ptr<CModuleUpgradeBase> m_pStep = GetParam().fnMake();
    std::string Name(const char* szOperation) const {
        return std::string("UnifiedUpgradeComponent::") + GetParam().szClass + "::" + szOperation;
    }
};

TEST_P(ScriptReplaySteps, ConfigPassRunsTheScriptOnTheSecondConnectionAndReportsItsFailure) {
    vsu_test::CScriptTree tree;
    tree.Write(GetParam().szFolder, "update.sql", std::string(kScript) + "\n\n");
    CFakeConnect first, second;
    int nCode = 0;
    std::string strText;

    EXPECT_TRUE(m_pStep->UpgradeCourse_Config(nCode, strText, &first, &second, db_layer::DBParam()));
    EXPECT_TRUE(first.calls.empty());
    EXPECT_EQ(second.calls, std::vector<std::string>{std::string("EXEC ") + kScript});

    CFakeConnect failing;
    failing.OnFail(kScript, 77, "syntax error");
    vsu_test::CLogCapture log;
    EXPECT_FALSE(m_pStep->UpgradeCourse_Config(nCode, strText, &first, &failing, db_layer::DBParam()));
    EXPECT_EQ(nCode, 77);
    EXPECT_EQ(strText, "syntax error");
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].nLevel, 4);
    EXPECT_EQ(lines[1].nLevel, 5);
    EXPECT_EQ(lines[2].nLevel, 5);
    EXPECT_EQ(lines[2].strMessage.rfind("[" + Name("UpgradeCourse_Config") +
                                            "]UpgradeCourse_Config_UpgradeBySQLFile failed, Error Code:77, Error "
                                            "Info:syntax error.[",
                                        0),
              0u)
        << lines[2].strMessage;
}

TEST_P(ScriptReplaySteps, RecordsPassWritesTheFinishedMarkerAndSucceedsWhenItFails) {
    const std::string strMarker = std::string(
                                      "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), "
                                      "status = 1, schedule = -1, rate_progress = -1, step_ver = '") +
                                  GetParam().szStepVer + "' WHERE module_identity = 'visitor.s';";
    CFakeConnect first, second;
    int nCode = 0;
    std::string strText;
    EXPECT_TRUE(m_pStep->UpgradeCourse_Records(nCode, strText, &first, &second, db_layer::DBParam()));
    EXPECT_EQ(second.Statements(), std::vector<std::string>{strMarker});
    EXPECT_TRUE(first.calls.empty());

    CFakeConnect missingTable;
    missingTable.OnFail(strMarker, 42, "relation \"platform.module_version_status\" does not exist");
    EXPECT_TRUE(m_pStep->UpgradeCourse_Records(nCode, strText, &first, &missingTable, db_layer::DBParam()));
    EXPECT_EQ(nCode, 42);
    EXPECT_EQ(strText, "relation \"platform.module_version_status\" does not exist");
}

TEST_P(ScriptReplaySteps, IncrementalPassSendsTheScriptStraightOnTheThirdConnection) {
    vsu_test::CScriptTree tree;
    tree.Write(GetParam().szFolder, "update.sql", kScript);
    CFakeConnect first, second, third;
    int nCode = 5;
    std::string strText = "earlier";
    vsu_test::CLogCapture log;

    EXPECT_TRUE(m_pStep->UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, &third,
                                                        db_layer::DBParam()));
    EXPECT_EQ(third.calls, std::vector<std::string>{std::string("EXEC ") + kScript});
    EXPECT_TRUE(first.calls.empty());
    EXPECT_TRUE(second.calls.empty());
    EXPECT_EQ(nCode, 5);
    EXPECT_TRUE(log.Lines().empty());

    // The failure comes from the third connection itself, in one level-4 line.
    CFakeConnect failing;
    failing.OnFail(kScript, 9, "permission denied");
    EXPECT_FALSE(m_pStep->UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, &failing,
                                                         db_layer::DBParam()));
    EXPECT_EQ(nCode, 9);
    EXPECT_EQ(strText, "permission denied");
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].nLevel, 4);
    EXPECT_EQ(lines[0].strMessage.rfind("[" + Name("UpgradeCourse_Config_IncreData") +
                                            "]Failed, errorcode: 9, errorinfo: permission denied, sql: " + kScript +
                                            "[",
                                        0),
              0u)
        << lines[0].strMessage;
}

TEST_P(ScriptReplaySteps, IncrementalPassWithoutScriptOrConnectionSendsNothing) {
    vsu_test::CScriptTree tree;  // no script at all
    CFakeConnect first, second, third;
    int nCode = 5;
    std::string strText = "earlier";
    vsu_test::CLogCapture log;

    EXPECT_FALSE(m_pStep->UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, &third,
                                                         db_layer::DBParam()));
    EXPECT_TRUE(third.calls.empty());
    const std::string strPath =
        std::string("META_INFO/visitor.s/runtime_script/db_init/") + GetParam().szFolder + "/update.sql";
    ASSERT_EQ(log.Messages(4).size(), 1u);
    EXPECT_EQ(log.Messages(4)[0].rfind("[" + Name("UpgradeCourse_Config_IncreData") + "]ReadFile Failed, file: " +
                                           strPath + "[",
                                       0),
              0u);
    EXPECT_EQ(nCode, 5);
    EXPECT_EQ(strText, "earlier");

    // The configuration pass, by contrast, runs the empty text.
    EXPECT_TRUE(m_pStep->UpgradeCourse_Config(nCode, strText, &first, &second, db_layer::DBParam()));
    EXPECT_EQ(second.calls, std::vector<std::string>{"EXEC "});

    // A missing second or third connection fails before the script is read.
    log.Clear();
    tree.Write(GetParam().szFolder, "update.sql", kScript);
    EXPECT_FALSE(m_pStep->UpgradeCourse_Config_IncreData(nCode, strText, &first, nullptr, &third,
                                                         db_layer::DBParam()));
    EXPECT_FALSE(m_pStep->UpgradeCourse_Config_IncreData(nCode, strText, &first, &second, nullptr,
                                                         db_layer::DBParam()));
    EXPECT_TRUE(third.calls.empty());
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(nCode, 5);
    EXPECT_EQ(strText, "earlier");

    EXPECT_TRUE(m_pStep->UpgradeCourse_Records_IncreData(nCode, strText, nullptr, nullptr, nullptr,
                                                         db_layer::DBParam()));
    EXPECT_EQ(nCode, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Twins, ScriptReplaySteps,
    ::testing::Values(SReplayCase{"C180ToC190", "update_V1.5.0", "1.9.0",
                                  [] { return std::make_shared<C180ToC190>(); }},
                      SReplayCase{"C110ToC111", "update_V1.7.0", "1.11.0",
                                  [] { return std::make_shared<C110ToC111>(); }}),
    [](const ::testing::TestParamInfo<SReplayCase>& info) { return std::string(info.param.szClass); });

}  // namespace
