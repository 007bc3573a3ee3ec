#include "StepTable.h"

#include <algorithm>

namespace VisitorUpgradeHost {

namespace {

// The passes that read a script, as bits; the configuration and records passes
// of the plug-in read none beyond these.
enum EPass : unsigned { kConfig = 1, kConfigIncr = 2, kRecordsIncr = 4 };

struct SScript {
    const char* szFile;  // under CStepTable::kScriptRoot
    unsigned nPasses;
};

struct SStep {
    const char* szFrom;
    const char* szClass;
    SScript aScripts[2];
    const char* szWalkedTable;
};

constexpr const char* kLastVersion = "1.16.0";

constexpr SStep kSteps[] = {
    {"0.0.0", "CRawTo100",
     {{"update_V2.0/FDW_Improt_Tables.sql", kConfig}, {"update_V2.0/FDW_Drop_Tables.sql", kConfig}},
     "rt_data.visitor_record"},
    {"1.0.0", "C100ToC130", {{"update_V1.1.0/update.sql", kConfig}}, nullptr},
    {"1.3.0", "C130ToC160", {{"update_V1.2.0/update.sql", kConfig}}, nullptr},
    {"1.6.0", "C160ToC170", {{"update_V1.3.0/update.sql", kConfig}}, nullptr},
    {"1.7.0", "C170ToC180", {{"update_V1.4.0/update.sql", kConfig}}, nullptr},
    {"1.8.0", "C180ToC190", {{"update_V1.5.0/update.sql", kConfig | kConfigIncr}}, nullptr},
    {"1.9.0", "C190ToC1100", {{"update_V1.6.0/update.sql", kConfig | kRecordsIncr}}, nullptr},
    {"1.10.0", "C110ToC111", {{"update_V1.7.0/update.sql", kConfig | kConfigIncr}}, nullptr},
    {"1.11.0", "C1110ToC1120", {{"update_V1.8.0/update.sql", kConfig | kConfigIncr}}, "visitor.visitor_appoint_record"},
    {"1.12.0", "C1120ToC1130", {{"update_V1.9.0/update.sql", kConfig | kConfigIncr}}, nullptr},
    {"1.13.0", "C1130ToC1140",
     {{"update_V1.14.0/update.sql", kConfig | kConfigIncr}, {"update_V1.14.0/init_data.sql", kConfig}},
     nullptr},
    {"1.14.0", "C1140ToC1150", {{"update_V1.15.0/update.sql", kConfig | kConfigIncr}}, nullptr},
    {"1.15.0", "C1150ToC1160", {{"update_V1.16.0/update.sql", kConfig | kConfigIncr}}, nullptr},
};

unsigned PassBit(const std::string& strPass) {
    if (strPass == "config") return kConfig;
    if (strPass == "config-incr") return kConfigIncr;
    if (strPass == "records-incr") return kRecordsIncr;
    return 0;
}

}  // namespace

const char* CStepTable::LastVersion() { return kLastVersion; }

int CStepTable::FindStart(const CVersionArgument& from) {
    for (size_t i = 0; i < sizeof(kSteps) / sizeof(kSteps[0]); ++i) {
        CVersionArgument stepFrom;
        if (CVersionArgument::Parse(kSteps[i].szFrom, stepFrom) && stepFrom == from) return static_cast<int>(i);
    }
    return -1;
}

std::string CStepTable::FromVersions() {
    std::string strList;
    for (const SStep& step : kSteps) strList += (strList.empty() ? "" : ", ") + std::string(step.szFrom);
    return strList;
}

std::vector<CStepTable::SChainStep> CStepTable::Chain(int nStart) {
    const size_t nSteps = sizeof(kSteps) / sizeof(kSteps[0]);
    std::vector<SChainStep> vecChain;
    for (size_t i = static_cast<size_t>(std::max(nStart, 0)); i < nSteps; ++i) {
        vecChain.push_back({kSteps[i].szFrom, i + 1 < nSteps ? kSteps[i + 1].szFrom : kLastVersion, kSteps[i].szClass});
    }
    return vecChain;
}

std::vector<CStepTable::SScriptNeed> CStepTable::ScriptsNeeded(int nStart, const std::vector<std::string>& vecPasses) {
    unsigned nPasses = 0;
    for (const std::string& strPass : vecPasses) nPasses |= PassBit(strPass);
    std::vector<SScriptNeed> vecNeeds;
    for (size_t i = static_cast<size_t>(std::max(nStart, 0)); i < sizeof(kSteps) / sizeof(kSteps[0]); ++i) {
        for (const SScript& script : kSteps[i].aScripts) {
            if (script.szFile == nullptr || (script.nPasses & nPasses) == 0) continue;
            vecNeeds.push_back({std::string(kScriptRoot) + script.szFile, kSteps[i].szClass});
        }
    }
    return vecNeeds;
}

std::string CStepTable::WalkedTable(const std::string& strStepClass) {
    for (const SStep& step : kSteps) {
        if (strStepClass == step.szClass) return step.szWalkedTable != nullptr ? step.szWalkedTable : "";
    }
    return std::string();
}

}  // namespace VisitorUpgradeHost
