// A version step that applies its delivered SQL script in the configuration
// pass (on the second connection) and writes its finished marker in the records
// pass; optionally it replays the script on the third connection in the
// incremental configuration pass. Members differ only in their literals.
#pragma once
#include "Upgrade/ModuleUpgradeBase.h"

namespace UnifiedUpgradeComponent {

class CScriptStep : public CModuleUpgradeBase {
public:
    enum EIncrementalScript { NO_INCREMENTAL_SCRIPT, SCRIPT_ON_THIRD };

    CScriptStep(const SStepLiterals& literals, EIncrementalScript eIncremental);

    bool UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                              db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                               db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                        db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                        db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Records_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                         db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                         db_layer::DBParam dbParam) override;

private:
    EIncrementalScript m_eIncremental;
};

}  // namespace UnifiedUpgradeComponent
