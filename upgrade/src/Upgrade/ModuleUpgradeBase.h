// Abstract version step: its from and to versions, the four passes the manager
// calls, and the step forms every step shares (script runner, status protocol,
// key-range queries), written once and made concrete by the step's literals.
// Steps hold no state between calls; what must survive lives in the database.
#pragma once
#include <functional>
#include <string>

#include "Upgrade/DBAccessConn.h"
#include "Upgrade/ScriptHistory.h"
#include "Upgrade/StepLiterals.h"
#include "Upgrade/Version.h"
#include "db_layer/CConnect.h"
#include "db_layer/DBParam.h"

namespace UnifiedUpgradeComponent {

class CModuleUpgradeBase {
public:
    explicit CModuleUpgradeBase(const SStepLiterals& literals);
    virtual ~CModuleUpgradeBase();
    CModuleUpgradeBase(const CModuleUpgradeBase&) = delete;
    CModuleUpgradeBase& operator=(const CModuleUpgradeBase&) = delete;

    virtual bool UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                      db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) = 0;
    virtual bool UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                       db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) = 0;
    virtual bool UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                                                db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) = 0;
    virtual bool UpgradeCourse_Records_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                 db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                                                 db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) = 0;

    CVersion GetFromVersion() const { return CVersion(m_strFromVersion); }
    CVersion GetToVersion() const { return CVersion(m_strToVersion); }

    // The progress update and the key range, also for the key walk a step hands its batches to.
    bool SetUpgradeProgress(int& nErrorCode, std::string& strErrorInfo, int nSchedule, int nRateProgress,
                            DBAccessConnPtr pConn);
    bool QueryMaxMinValue(int& nErrorCode, std::string& strErrorInfo, int* pMax, int* pMin, std::string strTable,
                          std::string strColumn, DBAccessConnPtr pConn);

    // "META_INFO/visitor.s/runtime_script/db_init/<folder>/update.sql"
    std::string ScriptPath() const;
    // "UnifiedUpgradeComponent::<step class>::<operation>"
    std::string QualifiedName(const char* szOperation) const;
    const SStepLiterals& Literals() const { return m_literals; }

protected:
    // The step forms every step shares. Runs the step's script whole on the wrapper and records the run in its
    // history (CScriptHistory); the parameters are unused.
    bool UpgradeCourse_Config_UpgradeBySQLFile(int& nErrorCode, std::string& strErrorInfo,
                                               db_layer::DBParam dbParam, DBAccessConnPtr pConn);
    void SetUpgradeFinished(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    void SetUpgradeStarted(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    bool QueryUpgradeStatus(int& nErrorCode, std::string& strErrorInfo, int* pStatus, int* pSchedule,
                            int* pRateProgress, DBAccessConnPtr pConn);
    bool QueryMaxValue(int& nErrorCode, std::string& strErrorInfo, int* pMax, std::string strTable,
                       std::string strColumn, DBAccessConnPtr pConn);
    bool QueryMinValue(int& nErrorCode, std::string& strErrorInfo, int* pMin, std::string strTable,
                       std::string strColumn, DBAccessConnPtr pConn);

    // The pass of a step that has no work in it: true, touches nothing.
    static bool UpgradeCourse_Trivial() { return true; }
    // The runner on the given wrapper, and on failure the step's line
    // "[%s]UpgradeCourse_Config_UpgradeBySQLFile failed, ..." naming szOperation.
    bool RunStepScript(int& nErrorCode, std::string& strErrorInfo, const db_layer::DBParam& dbParam,
                       DBAccessConnPtr pConn, const char* szOperation);
    // The step's configuration work (szPart of CPassMarker) done once per
    // database: skipped when marked, else in one transaction with its mark on
    // pConn. szOperation names the pass in the marker's log lines.
    bool RunOnce(int& nErrorCode, std::string& strErrorInfo, const char* szPart, const char* szOperation,
                 DBAccessConnPtr pConn, const std::function<bool()>& fnWork) const;
    // The run history of the scripts that the pass szOperation sends: every
    // runner of a delivered script goes through it.
    CScriptHistory ScriptHistory(const char* szOperation) const;
    // The status statements' WHERE clause: the module, narrowed to the step's version_no where it has one.
    std::string StatusCondition() const;

    std::string m_strFromVersion;
    std::string m_strToVersion;

private:
    // The runner, recording its script under the pass szOperation.
    bool RunScriptFile(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn, const char* szOperation);

    SStepLiterals m_literals;
};

}  // namespace UnifiedUpgradeComponent
