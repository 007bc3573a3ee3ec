#include "Upgrade/ScriptReplayStep.h"

#include <memory>

#include "Upgrade/LogPosition.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/ScriptFile.h"

namespace UnifiedUpgradeComponent {

CScriptReplayStep::CScriptReplayStep(const SStepLiterals& literals)
    : CScriptStep(literals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

bool CScriptReplayStep::UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                       db_layer::CConnect* /*pFirstConn*/,
                                                       db_layer::CConnect* pSecondConn,
                                                       db_layer::CConnect* pThirdConn,
                                                       db_layer::DBParam /*dbParam*/) {
    if (pThirdConn == nullptr || pSecondConn == nullptr) return false;

    const std::string strName = QualifiedName("UpgradeCourse_Config_IncreData");
    const std::string strPath = ScriptPath();
    std::string strScript;
    SScriptOrigin origin;
    // Unlike the configuration pass, a replay never sends an empty text for a
    // missing script: the third database would silently stay behind.
    if (!ReadScriptFile(strScript, strPath, "", origin)) {
        UPG_LOG(LOG_WARN, "[%s]ReadFile Failed, file: %s[%s(%d)]", strName.c_str(), strPath.c_str());
        return false;
    }
    // The replay is the step's configuration work on the third database: done
    // once there, in one transaction with its mark. The script itself still goes
    // straight on the connection; the wrapper carries only the mark and the bracket.
    auto pThird = std::make_shared<CDBAccessConn>(pThirdConn);
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kIncrementalConfiguration,
                   "UpgradeCourse_Config_IncreData", pThird, [&] {
                       return ScriptHistory("UpgradeCourse_Config_IncreData")
                           .Run(nErrorCode, strErrorInfo, origin, pThird, [&] {
                               if (pThirdConn->Execute(strScript)) return true;
                               nErrorCode = pThirdConn->GetLastError(strErrorInfo);
                               UPG_LOG(LOG_WARN, "[%s]Failed, errorcode: %d, errorinfo: %s, sql: %s[%s(%d)]",
                                       strName.c_str(), nErrorCode, strErrorInfo.c_str(), strScript.c_str());
                               return false;
                           });
                   });
}

}  // namespace UnifiedUpgradeComponent
