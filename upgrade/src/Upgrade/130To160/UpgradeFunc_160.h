// Step from 1.3.0 to 1.6.0: applies the update_V1.2.0 script; its records pass
// gives every visit and appointment record the group of the visitor's earliest
// group relation (after making sure an index serves that look-up) before it
// marks 1.6.0 reached. Stateless; the index it may create stays in place.
#pragma once
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

class C130ToC160 : public CScriptStep {
public:
    C130ToC160();

    bool UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                               db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;

private:
    // Creates the group fix-up's index on the memberships when no valid index
    // leads with (visitor_id, update_time). Failures are logged, not reported.
    void EnsureGroupIndex(const DBAccessConnPtr& pConn) const;
};

}  // namespace UnifiedUpgradeComponent
