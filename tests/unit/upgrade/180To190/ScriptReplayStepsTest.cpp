// The two steps that replay their script on the third connection (1.8.0 -> 1.9.0
// and 1.10.0 -> 1.11.0), checked with the same cases under each step's literals.
// What they share with every script step (configuration and records pass, the
// replay done once per database) is checked with the script steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/110To111/UpgradeFunc_111.h"
#include "Upgrade/180To190/UpgradeFunc_190.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using V = std::vector<std::string>;

namespace {

struct SReplayCase {
    const char* szClass;
    const char* szFolder;
    std::function<std::shared_ptr<CModuleUpgradeBase>()> fnMake;
};

const char* const kScript = "CREATE TABLE visitor.t1(id int);\nINSERT INTO visitor.t1 VALUES (1);";

class ScriptReplaySteps : public ::testing::TestWithParam<SReplayCase> {
protected:
    std::shared_ptr<CModuleUpgradeBase> m_pStep = GetParam().fnMake();
    vsu_test::CScriptTree m_tree;
    vsu_test::CLogCapture m_log;
    CFakeConnect m_first, m_second, m_third;
    int m_nCode = 5;
    std::string m_strText = "earlier";
    bool Config(CFakeConnect* pSecond) {
        return m_pStep->UpgradeCourse_Config(m_nCode, m_strText, &m_first, pSecond, db_layer::DBParam());
    }
    bool Incremental(CFakeConnect* pSecond, CFakeConnect* pThird) {
        return m_pStep->UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, pSecond, pThird,
                                                       db_layer::DBParam());
    }
    // The only line of that level, without its trailing "[file(line)]".
    std::string OnlyLine(int nLevel, size_t nLines) const {
        const auto lines = m_log.Lines();
        EXPECT_EQ(lines.size(), nLines);
        if (lines.empty() || lines.back().nLevel != nLevel) return "";
        return vsu_test::WithoutPosition(lines.back().strMessage);
    }
    std::string Name(const char* szOperation) const {
        return std::string("[UnifiedUpgradeComponent::") + GetParam().szClass + "::" + szOperation + "]";
    }
};

TEST_P(ScriptReplaySteps, IncrementalPassSendsTheScriptOnTheThirdConnectionAndReportsItsOwnFailure) {
    m_tree.Write(GetParam().szFolder, "update.sql", kScript);
    EXPECT_TRUE(Incremental(&m_second, &m_third));
    EXPECT_EQ(m_third.StatementsContaining(kScript), V{kScript});
    EXPECT_TRUE(m_first.calls.empty());
    EXPECT_TRUE(m_second.calls.empty());
    EXPECT_EQ(m_nCode, 5);
    EXPECT_TRUE(m_log.Lines().empty());

    // The failure comes from the third connection itself, in one level-4 line;
    // the transaction is rolled back without its mark.
    CFakeConnect failing;
    failing.OnFail(kScript, 9, "permission denied");
    EXPECT_FALSE(Incremental(&m_second, &failing));
    EXPECT_EQ(m_nCode, 9);
    EXPECT_EQ(m_strText, "permission denied");
    EXPECT_EQ(failing.calls.back(), "ROLLBACK");
    EXPECT_TRUE(failing.StatementsContaining("INSERT INTO visitor.module_upgrade_marker").empty());
    EXPECT_EQ(OnlyLine(4, 1), Name("UpgradeCourse_Config_IncreData") +
                                  "Failed, errorcode: 9, errorinfo: permission denied, sql: " + kScript);
}

TEST_P(ScriptReplaySteps, IncrementalPassWithoutScriptOrConnectionSendsNothing) {
    EXPECT_FALSE(Incremental(&m_second, &m_third));  // no script at all
    EXPECT_TRUE(m_third.calls.empty());
    EXPECT_EQ(OnlyLine(4, 1), Name("UpgradeCourse_Config_IncreData") +
                                  "ReadFile Failed, file: META_INFO/visitor.s/runtime_script/db_init/" +
                                  GetParam().szFolder + "/update.sql");
    EXPECT_EQ(m_nCode, 5);
    EXPECT_EQ(m_strText, "earlier");

    // The configuration pass, by contrast, runs the empty text.
    EXPECT_TRUE(Config(&m_second));
    EXPECT_EQ(std::count(m_second.calls.begin(), m_second.calls.end(), "EXEC "), 1);

    // A missing second or third connection fails before the script is read.
    m_log.Clear();
    m_tree.Write(GetParam().szFolder, "update.sql", kScript);
    EXPECT_FALSE(Incremental(nullptr, &m_third));
    EXPECT_FALSE(Incremental(&m_second, nullptr));
    EXPECT_TRUE(m_third.calls.empty());
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_EQ(m_nCode, 5);
    EXPECT_EQ(m_strText, "earlier");

    EXPECT_TRUE(m_pStep->UpgradeCourse_Records_IncreData(m_nCode, m_strText, nullptr, nullptr, nullptr,
                                                         db_layer::DBParam()));
    EXPECT_EQ(m_nCode, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Twins, ScriptReplaySteps,
    ::testing::Values(SReplayCase{"C180ToC190", "update_V1.5.0",
                                  [] { return std::make_shared<C180ToC190>(); }},
                      SReplayCase{"C110ToC111", "update_V1.7.0",
                                  [] { return std::make_shared<C110ToC111>(); }}),
    [](const ::testing::TestParamInfo<SReplayCase>& info) { return std::string(info.param.szClass); });

}  // namespace
