// Step from 1.13.0 to 1.14.0: marks the built-in notification templates as
// defaults, loads the initial template data and writes the default WhatsApp
// template ids into the visit base configuration; its incremental pass moves the
// incremental database's e-mail templates into the upgraded one and re-points the
// incremental base configuration at them. Each pass does its work once per
// database (marks); the move skips templates already copied. Stateless; the
// manager owns it.
#pragma once
#include <set>
#include <string>
#include <vector>

#include "Upgrade/1130To1140/EmailTemplateInfo.h"
#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

// The records pass (finished marker) and the empty incremental records pass
// are those of every script step.
class C1130ToC1140 : public CScriptStep {
public:
    C1130ToC1140();

    bool UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                              db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    // Second connection: the upgraded database; third: the incremental database.
    bool UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                        db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                        db_layer::DBParam dbParam) override;

private:
    bool UpdateReceiveTemplate(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    bool InitialDataToReceiveTemplate(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    bool SetWhatsAppTemplateToBaseConfig(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    // The live (not deleted) templates, in the server's order.
    bool QueryAddedEmailTemplate(int& nErrorCode, std::string& strErrorInfo,
                                 std::vector<EmailTemplateInfo>& vecTemplates, DBAccessConnPtr pConn);
    // Inserts the templates with new ids of the target database, in one call;
    // templates the target database holds already (an interrupted move) are left out.
    bool InsertAddedEmailTemplate(int& nErrorCode, std::string& strErrorInfo,
                                  const std::vector<EmailTemplateInfo>& vecTemplates, DBAccessConnPtr pConn);
    bool ClearAddedEmailTemplateOfIncre(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    // Re-points the e-mail template references of the incremental base configuration,
    // by template name, at the ids in the upgraded database.
    bool AdjustBaseConfig(int& nErrorCode, std::string& strErrorInfo, const std::vector<EmailTemplateInfo>& vecTemplates,
                          DBAccessConnPtr pIncreConn, DBAccessConnPtr pUpgradedConn);
    // Writes the upgraded database's default WhatsApp template ids into the incremental base configuration.
    bool AdjustBaseConfig(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pIncreConn,
                          DBAccessConnPtr pUpgradedConn);

    // Ids (of the incremental database) of the templates whose copy the upgraded database holds already.
    bool FindCopiedEmailTemplate(int& nErrorCode, std::string& strErrorInfo,
                                 const std::vector<EmailTemplateInfo>& vecTemplates, DBAccessConnPtr pConn,
                                 std::set<int>& setCopiedIds);
    // "<operation> failed" line of a pass, with the error as the operation left it; false.
    bool PassFailed(const char* szPass, const char* szOperation, int nErrorCode,
                    const std::string& strErrorInfo) const;
    // One old reference: found in the list, looked up by name in the upgraded
    // database and written to the column of its template type.
    bool RepointTemplateReference(int& nErrorCode, std::string& strErrorInfo,
                                  const std::vector<EmailTemplateInfo>& vecTemplates, int nOldId,
                                  DBAccessConnPtr pIncreConn, DBAccessConnPtr pUpgradedConn);
    // Default templates of types 3 to 6 read on pRead, their ids written on pWrite;
    // on failure strFailedSql holds the statement that failed.
    bool WriteWhatsAppTemplateIds(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                  DBAccessConnPtr pWrite, std::string& strFailedSql);
};

}  // namespace UnifiedUpgradeComponent
