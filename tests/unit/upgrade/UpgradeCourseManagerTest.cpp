// The manager over steps that only record their calls: which chain a start
// version gets (the failure table runs every pass loop over the module's own
// chain), and that the module's own registry is one chain in order.
#include <gtest/gtest.h>

#include <algorithm>

#include "LogCapture.h"
#include "Upgrade/UpgradeCourseManager.h"

using namespace UnifiedUpgradeComponent;

namespace {

class CProbeStep : public CModuleUpgradeBase {
public:
    CProbeStep(const char* szFrom, const char* szTo)
        : CModuleUpgradeBase(SStepLiterals{szFrom, szFrom, szTo, nullptr, nullptr, " "}) {}
    int nCalls = 0;
    bool bFails = false;
    bool Answer(int& nCode, std::string& strText) {
        ++nCalls;
        if (bFails) nCode = 2201, strText = "step failed";
        return !bFails;
    }
    bool UpgradeCourse_Config(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                              db_layer::DBParam) override {
        return Answer(c, t);
    }
    bool UpgradeCourse_Records(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                               db_layer::DBParam) override {
        return Answer(c, t);
    }
    bool UpgradeCourse_Config_IncreData(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                                        db_layer::CConnect*, db_layer::DBParam) override {
        return Answer(c, t);
    }
    bool UpgradeCourse_Records_IncreData(int& c, std::string& t, db_layer::CConnect*, db_layer::CConnect*,
                                         db_layer::CConnect*, db_layer::DBParam) override {
        return Answer(c, t);
    }
};

const char* const kBounds[] = {"0.0.0",  "1.0.0",  "1.3.0",  "1.6.0",  "1.7.0",  "1.8.0",  "1.9.0",
                               "1.10.0", "1.11.0", "1.12.0", "1.13.0", "1.14.0", "1.15.0", "1.16.0"};

struct SChain {
    std::vector<std::shared_ptr<CProbeStep>> steps;
    std::unique_ptr<CUpgradeCourseManager> pManager;
    SChain() {
        UpgradeCourse registry;
        for (size_t i = 0; i + 1 < std::size(kBounds); ++i) {
            steps.push_back(std::make_shared<CProbeStep>(kBounds[i], kBounds[i + 1]));
            registry.push_back(steps.back());
        }
        pManager = std::make_unique<CUpgradeCourseManager>(registry);
    }
};

TEST(UpgradeCourseManager, StartVersionChoosesTheChainAndOneWithoutAStepFailsWithCode1) {
    // Malformed versions stand for 0.0.0; a version between boundaries starts no chain.
    const struct {
        const char* szStart;
        size_t nSteps;  // 0: no chain
    } cases[] = {{"0.0.0", 13}, {"", 13},      {"1.10", 13},  {"1.0.0", 12}, {"01.003.0", 11},
                 {"1.11.0", 5}, {"1.15.0", 1}, {"1.16.0", 0}, {"1.4.0", 0},  {"2.0.0", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szStart);
        SChain chain;
        vsu_test::CLogCapture quiet;
        EXPECT_EQ(chain.pManager->RunUpgrade_Config(CVersion(c.szStart), nullptr, nullptr, {}), c.nSteps > 0);
        for (size_t i = 0; i < chain.steps.size(); ++i) EXPECT_EQ(chain.steps[i]->nCalls, i + c.nSteps >= 13 ? 1 : 0);
        int nCode = 0;
        std::string strText;
        chain.pManager->GetLastError(nCode, strText);
        EXPECT_EQ(nCode, c.nSteps > 0 ? 0 : 1);
    }
}

TEST(UpgradeCourseManager, RegistryIsOneChainOverTheModulesVersionBoundaries) {
    CUpgradeCourseManager manager;
    const auto& registry = manager.Registry();
    ASSERT_EQ(registry.size(), std::size(kBounds) - 1);
    for (size_t i = 0; i < registry.size(); ++i) {
        EXPECT_EQ(registry[i]->GetFromVersion().GetVersionString(), kBounds[i]);
        EXPECT_EQ(registry[i]->GetToVersion().GetVersionString(), kBounds[i + 1]);
    }
}

}  // namespace
