#include <gtest/gtest.h>

#include <memory>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "Upgrade/UpgradeCourseManager.h"

using namespace UnifiedUpgradeComponent;

namespace {

// A step that records which pass ran on it and answers as told.
class CProbeStep : public CModuleUpgradeBase {
public:
    CProbeStep(const char* szName, const char* szFrom, const char* szTo)
        : CModuleUpgradeBase(SStepLiterals{szName, szFrom, szTo, nullptr, nullptr, " "}) {}

    std::vector<std::string> passes;
    bool bResult = true;
    int nFailCode = 0;

    bool Answer(const char* szPass, int& nCode, std::string& strText) {
        passes.push_back(szPass);
        if (!bResult) {
            nCode = nFailCode;
            strText = std::string(Literals().szClassName) + " failed";
        }
        return bResult;
    }
    bool UpgradeCourse_Config(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                              db_layer::DBParam) override { return Answer("config", c, t); }
    bool UpgradeCourse_Records(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                               db_layer::DBParam) override { return Answer("records", c, t); }
    bool UpgradeCourse_Config_IncreData(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                                        db_layer::CConnect*, db_layer::DBParam) override {
        return Answer("config-incr", c, t);
    }
    bool UpgradeCourse_Records_IncreData(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                                         db_layer::CConnect*, db_layer::DBParam) override {
        return Answer("records-incr", c, t);
    }
};

// The module's thirteen version boundaries.
const char* const kBounds[] = {"0.0.0", "1.0.0",  "1.3.0",  "1.6.0",  "1.7.0",  "1.8.0", "1.9.0",
                               "1.10.0", "1.11.0", "1.12.0", "1.13.0", "1.14.0", "1.15.0", "1.16.0"};

struct SChain {
    std::vector<std::shared_ptr<CProbeStep>> steps;
    std::unique_ptr<CUpgradeCourseManager> pManager;
    SChain() {
        UpgradeCourse registry;
        for (size_t i = 0; i + 1 < std::size(kBounds); ++i) {
            steps.push_back(std::make_shared<CProbeStep>(kBounds[i], kBounds[i], kBounds[i + 1]));
            registry.push_back(steps.back());
        }
        pManager = std::make_unique<CUpgradeCourseManager>(registry);
    }
    std::vector<std::string> FromVersions(const UpgradeCourse& chain) const {
        std::vector<std::string> out;
        for (const auto& p : chain) out.push_back(p->GetFromVersion().GetVersionString());
        return out;
    }
};

TEST(UpgradeCourseManager, ChoosesTheChainFromTheStartVersionToTheLast) {
    SChain chain;
    struct {
        const char* szStart;
        size_t nSteps;
        const char* szFirst;
    } cases[] = {{"0.0.0", 13, "0.0.0"}, {"", 13, "0.0.0"},     {"1.10", 13, "0.0.0"}, {"1.2.3.4", 13, "0.0.0"},
                 {"1.0.0", 12, "1.0.0"}, {"01.003.0", 11, "1.3.0"}, {"1.11.0", 5, "1.11.0"}, {"1.15.0", 1, "1.15.0"}};
    for (const auto& c : cases) {
        UpgradeCourse course;
        ASSERT_TRUE(chain.pManager->EnumerateUpgradeVersion(course, CVersion(c.szStart))) << c.szStart;
        ASSERT_EQ(course.size(), c.nSteps) << c.szStart;
        EXPECT_EQ(chain.FromVersions(course).front(), c.szFirst);
        EXPECT_EQ(course.back()->GetToVersion().GetVersionString(), "1.16.0");
    }
}

TEST(UpgradeCourseManager, LogsFromAndToOnlyWhereTheChainIsOneStep) {
    SChain chain;
    {
        vsu_test::CLogCapture log;
        UpgradeCourse course;
        chain.pManager->EnumerateUpgradeVersion(course, CVersion("1.15.0"));
        const auto lines = log.Messages(3);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].rfind("[UnifiedUpgradeComponent::CUpgradeCourseManager::EnumerateUpgradeVersion]"
                                 "[CUpgradeCourseManager::EnumerateUpgradeVersion] From Version: 1.15.0[",
                                 0),
                  0u);
        EXPECT_EQ(lines[1].rfind("[UnifiedUpgradeComponent::CUpgradeCourseManager::EnumerateUpgradeVersion]"
                                 "[CUpgradeCourseManager::EnumerateUpgradeVersion] To Version: 1.16.0[",
                                 0),
                  0u);
    }
    vsu_test::CLogCapture log;
    UpgradeCourse course;
    chain.pManager->EnumerateUpgradeVersion(course, CVersion("1.0.0"));
    ASSERT_EQ(log.Messages(3).size(), 1u);
    EXPECT_NE(log.Messages(3)[0].find("From Version: 1.0.0["), std::string::npos);
}

TEST(UpgradeCourseManager, VersionsThatStartNoStepFailWithCode1AndRunNothing) {
    for (const char* szStart : {"1.16.0", "1.4.0", "2.0.0", "01.004.0"}) {
        SChain chain;
        vsu_test::CLogCapture log;
        EXPECT_FALSE(chain.pManager->RunUpgrade_Config(CVersion(szStart), nullptr, nullptr, db_layer::DBParam()));
        int nCode = 0;
        std::string strText;
        chain.pManager->GetLastError(nCode, strText);
        EXPECT_EQ(nCode, 1);
        EXPECT_EQ(strText, std::string("Not Support Upgrade! From DB Version:[") + szStart +
                               "], To DB Version:[1.16.0]");
        for (const auto& p : chain.steps) EXPECT_TRUE(p->passes.empty());
        ASSERT_EQ(log.Messages(4).size(), 1u);
        EXPECT_NE(log.Messages(4)[0].find("[CUpgradeCourseManager::EnumerateUpgradeVersion] Not Support Upgrade!"),
                  std::string::npos);
        ASSERT_EQ(log.Messages(5).size(), 1u);
        EXPECT_NE(log.Messages(5)[0].find("[UnifiedUpgradeComponent::CUpgradeCourseManager::RunUpgrade_Config]"
                                          "[CUpgradeCourseManager::RunUpgrade] EnumerateUpgradeVersion Failed!["),
                  std::string::npos);
    }
}

TEST(UpgradeCourseManager, EachRunCallsItsPassInOrderAndStopsAtTheFirstFailure) {
    struct SRun {
        const char* szPass;
        std::function<bool(CUpgradeCourseManager&, CVersion)> fnRun;
        int nEnumerateFailedLevel;
        const char* szEnumerateFailed;
        const char* szStepFailed;
    };
    db_layer::DBParam param;
    const SRun runs[] = {
        {"config", [&](CUpgradeCourseManager& m, CVersion v) { return m.RunUpgrade_Config(v, nullptr, nullptr, param); },
         5, "] EnumerateUpgradeVersion Failed![", "] UpgradeCourse_Config Failed!["},
        {"records",
         [&](CUpgradeCourseManager& m, CVersion v) { return m.RunUpgrade_Records(v, nullptr, nullptr, param); }, 5,
         "] EnumerateUpgradeVersion Failed![", "] UpgradeCourse_Records Failed!["},
        {"config-incr",
         [&](CUpgradeCourseManager& m, CVersion v) {
             return m.RunUpgrade_Config_IncreData(v, nullptr, nullptr, nullptr, param);
         },
         4, "] EnumerateUpgradeVersion Failed, Start or End Version NOT Found![",
         "] UpgradeCourse_Config_IncreData Failed!["},
        {"records-incr",
         [&](CUpgradeCourseManager& m, CVersion v) {
             return m.RunUpgrade_Records_IncreData(v, nullptr, nullptr, nullptr, param);
         },
         5, "] EnumerateUpgradeVersion Failed![", "] UpgradeCourse_Records_IncreData Failed!["},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.szPass);
        SChain chain;
        ASSERT_TRUE(run.fnRun(*chain.pManager, CVersion("1.12.0")));
        for (size_t i = 0; i < chain.steps.size(); ++i)
            EXPECT_EQ(chain.steps[i]->passes.size(), i >= 9 ? 1u : 0u) << i;
        EXPECT_EQ(chain.steps[9]->passes[0], run.szPass);

        chain.steps[11]->bResult = false;
        chain.steps[11]->nFailCode = 2201;
        vsu_test::CLogCapture log;
        EXPECT_FALSE(run.fnRun(*chain.pManager, CVersion("1.11.0")));
        EXPECT_EQ(chain.steps[12]->passes.size(), 1u) << "the step after the failed one is not called";
        int nCode = 0;
        std::string strText;
        chain.pManager->GetLastError(nCode, strText);
        EXPECT_EQ(nCode, 2201);
        EXPECT_EQ(strText, "1.14.0 failed");
        ASSERT_EQ(log.Messages(5).size(), 1u);
        EXPECT_NE(log.Messages(5)[0].find(run.szStepFailed), std::string::npos) << log.Messages(5)[0];
        const bool bTestLine = std::string(run.szPass) == "config-incr";
        EXPECT_EQ(log.Contains("[CUpgradeCourseManager::RunUpgrade] TEST - Runned!["), bTestLine);

        log.Clear();
        EXPECT_FALSE(run.fnRun(*chain.pManager, CVersion("1.4.0")));
        ASSERT_EQ(log.Messages(run.nEnumerateFailedLevel).size(), bTestLine ? 2u : 1u);
        EXPECT_NE(log.Messages(run.nEnumerateFailedLevel).back().find(run.szEnumerateFailed), std::string::npos);

        chain.steps[11]->bResult = true;
        EXPECT_TRUE(run.fnRun(*chain.pManager, CVersion("1.14.0")));
        chain.pManager->GetLastError(nCode, strText);
        EXPECT_EQ(nCode, 1) << "a success keeps the last failure";
    }
}

TEST(UpgradeCourseManager, ResetTouchesNothing) {
    SChain chain;
    vsu_test::CFakeConnect conn;
    EXPECT_TRUE(chain.pManager->RunUpgrade_ResetPKorSEQ(CVersion("9.9.9"), &conn, &conn, &conn, db_layer::DBParam()));
    EXPECT_TRUE(chain.pManager->RunUpgrade_ResetPKorSEQ(CVersion(""), nullptr, nullptr, nullptr, db_layer::DBParam()));
    EXPECT_TRUE(conn.calls.empty());
    for (const auto& p : chain.steps) EXPECT_TRUE(p->passes.empty());
}

TEST(UpgradeCourseManager, RegistryIsOneUnbrokenChainEndingAtTheLastVersion) {
    CUpgradeCourseManager manager;
    const auto& registry = manager.Registry();
    ASSERT_FALSE(registry.empty());
    EXPECT_EQ(registry.back()->GetToVersion().GetVersionString(), "1.16.0");
    for (size_t i = 1; i < registry.size(); ++i)
        EXPECT_TRUE(registry[i]->GetFromVersion().IsNotOlderThan(registry[i - 1]->GetToVersion()))
            << "step " << i << " starts before its predecessor ends";
    // Each registered step is at its place among the module's boundaries.
    for (const auto& p : registry) {
        const auto it = std::find(std::begin(kBounds), std::end(kBounds), p->GetFromVersion().GetVersionString());
        ASSERT_NE(it, std::end(kBounds)) << p->Literals().szClassName;
        EXPECT_EQ(p->GetToVersion().GetVersionString(), *(it + 1)) << p->Literals().szClassName;
    }
}

}  // namespace
