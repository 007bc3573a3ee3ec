#include "Export/ModuleUpgrade.h"

#include "Upgrade/LogPosition.h"
#include "Upgrade/UpgradeCourseManager.h"
#include "Upgrade/Version.h"

namespace UnifiedUpgradeComponent {

bool ProvideLastVersion(std::string& strVersion) {
    strVersion = CUpgradeCourseManager::GetInstance().ProvideLastVersion();
    if (strVersion.empty()) {
        UPG_LOG(LOG_ERROR, "[%s][MODULE_UPGRADE_API::ProvideLastVersion] Version content is Empty.[%s(%d)]",
                "UnifiedUpgradeComponent::ProvideLastVersion");
        return false;
    }
    return true;
}

bool GetLastError(int& nErrorCode, std::string& strErrorInfo) {
    return CUpgradeCourseManager::GetInstance().GetLastError(nErrorCode, strErrorInfo);
}

bool RunUpgrade_Config(std::string strVersion, db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                       db_layer::DBParam dbParam) {
    return CUpgradeCourseManager::GetInstance().RunUpgrade_Config(CVersion(strVersion), pFirstConn, pSecondConn,
                                                                  dbParam);
}

bool RunUpgrade_Records(std::string strVersion, db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                        db_layer::DBParam dbParam) {
    return CUpgradeCourseManager::GetInstance().RunUpgrade_Records(CVersion(strVersion), pFirstConn, pSecondConn,
                                                                   dbParam);
}

bool RunUpgrade_Config_IncreData(std::string strVersion, db_layer::CConnect* pFirstConn,
                                 db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                 db_layer::DBParam dbParam) {
    return CUpgradeCourseManager::GetInstance().RunUpgrade_Config_IncreData(CVersion(strVersion), pFirstConn,
                                                                            pSecondConn, pThirdConn, dbParam);
}

bool RunUpgrade_Records_IncreData(std::string strVersion, db_layer::CConnect* pFirstConn,
                                  db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                  db_layer::DBParam dbParam) {
    return CUpgradeCourseManager::GetInstance().RunUpgrade_Records_IncreData(CVersion(strVersion), pFirstConn,
                                                                             pSecondConn, pThirdConn, dbParam);
}

bool RunUpgrade_ResetPKorSEQ(std::string strVersion, db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                             db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    return CUpgradeCourseManager::GetInstance().RunUpgrade_ResetPKorSEQ(CVersion(strVersion), pFirstConn, pSecondConn,
                                                                        pThirdConn, dbParam);
}

}  // namespace UnifiedUpgradeComponent
