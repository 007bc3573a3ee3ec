// Step from 1.14.0 to 1.15.0: after its script, rewrites the notification
// templates of type 3 (QR-code placeholders out, button "View QR Code") and type
// 6 (link placeholder out, button "Reserve"), in the configuration pass and again
// on the incremental database, once per database (marks); the incremental pass
// also rewrites the templates moved into the upgraded database after its
// configuration pass. Stateless; the manager owns it.
#pragma once
#include <string>
#include <vector>

#include "Upgrade/1140To1150/EmailTemplateContent.h"
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

// The records pass (finished marker) and the empty incremental records pass
// are those of every script step.
class C1140ToC1150 : public CScriptStep {
public:
    C1140ToC1150();

    bool UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                              db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    // Script and rewrite on the third connection (the incremental database), then
    // the moved templates on the second.
    bool UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                        db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                        db_layer::DBParam dbParam) override;

private:
    // Reads and rewrites every template of types 3 and 6 through one wrapper, in one call.
    bool UpdateCourse_EmailConfig(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    // The same for the templates of types 3 and 6 that lack their button text
    // (moved in after the rewrite); rewritten ones are not selected again.
    bool UpdateMovedEmailTemplates(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);

    // Script, then the rewrite; szOperation names the pass in the script's failure line.
    bool UpgradeTemplates(int& nErrorCode, std::string& strErrorInfo, const db_layer::DBParam& dbParam,
                          DBAccessConnPtr pConn, const char* szOperation);
    // The rewrite; szOperation names it in its failure lines.
    bool RewriteTemplates(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn, bool bOnlyWithoutButton,
                          const char* szOperation);
};

}  // namespace UnifiedUpgradeComponent
