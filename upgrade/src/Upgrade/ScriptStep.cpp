#include "Upgrade/ScriptStep.h"

#include <memory>

#include "Upgrade/PassMarker.h"

namespace UnifiedUpgradeComponent {

CScriptStep::CScriptStep(const SStepLiterals& literals, EIncrementalScript eIncremental)
    : CModuleUpgradeBase(literals), m_eIncremental(eIncremental) {}

bool CScriptStep::UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* /*pFirstConn*/,
                                       db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) {
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kConfiguration, "UpgradeCourse_Config", pSecond, [&] {
        return RunStepScript(nErrorCode, strErrorInfo, dbParam, pSecond, "UpgradeCourse_Config");
    });
}

bool CScriptStep::UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* /*pFirstConn*/,
                                        db_layer::CConnect* pSecondConn, db_layer::DBParam /*dbParam*/) {
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    // A failed marker leaves its error in the fields but does not stop the pass.
    SetUpgradeFinished(nErrorCode, strErrorInfo, pSecond);
    return true;
}

bool CScriptStep::UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                 db_layer::CConnect* /*pFirstConn*/,
                                                 db_layer::CConnect* /*pSecondConn*/, db_layer::CConnect* pThirdConn,
                                                 db_layer::DBParam dbParam) {
    if (m_eIncremental == NO_INCREMENTAL_SCRIPT) return UpgradeCourse_Trivial();
    auto pThird = std::make_shared<CDBAccessConn>(pThirdConn);
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kIncrementalConfiguration, "UpgradeCourse_Config_IncreData",
                   pThird, [&] {
                       return RunStepScript(nErrorCode, strErrorInfo, dbParam, pThird,
                                            "UpgradeCourse_Config_IncreData");
                   });
}

bool CScriptStep::UpgradeCourse_Records_IncreData(int& /*nErrorCode*/, std::string& /*strErrorInfo*/,
                                                  db_layer::CConnect* /*pFirstConn*/,
                                                  db_layer::CConnect* /*pSecondConn*/,
                                                  db_layer::CConnect* /*pThirdConn*/, db_layer::DBParam /*dbParam*/) {
    return UpgradeCourse_Trivial();
}

}  // namespace UnifiedUpgradeComponent
