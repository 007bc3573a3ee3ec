// A script step whose incremental configuration pass replays its script straight
// on the host's third connection, without a connection wrapper, once per third
// database (CPassMarker). Configuration and records passes are those of every
// script step; members differ only in their literals.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class CScriptReplayStep : public CScriptStep {
public:
    explicit CScriptReplayStep(const SStepLiterals& literals);

    // Fails without touching anything when the second or third connection is
    // missing; a script that cannot be read fails before anything is sent. A
    // database whose replay is marked done is not sent the script again.
    bool UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                        db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                        db_layer::DBParam dbParam) override;
};

}  // namespace UnifiedUpgradeComponent
