// Step from 1.9.0 to 1.10.0: before its script runs, rows that repeat an id go
// (across a table and its sub-tables) and each sub-table without a primary key gets
// one on id; the incremental records pass repeats this on the third connection.
// Stateless, owned by the manager; its script runs once per database (CPassMarker).
#pragma once
#include <string>
#include <vector>

#include "Upgrade/ScriptStep.h"

namespace UnifiedUpgradeComponent {

// The records pass (finished marker) and the empty incremental configuration
// pass are those of every script step.
class C190ToC1100 : public CScriptStep {
public:
    C190ToC1100();

    bool UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                              db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Records_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                         db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                         db_layer::DBParam dbParam) override;

private:
    // Keeps, per id, the row first by ascending create_time over the table and all
    // its sub-tables together; every other row of that id is deleted.
    bool DeleteDuplicateValues(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                               const std::string& strTableName);
    // Adds a primary key on the field to every direct sub-table that has no primary
    // key yet, all in one call.
    bool ModifySubTablePrimaryKey(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                  const std::string& strTableName, const std::string& strFieldName);

    // Duplicates, then keys, on one wrapper; log lines name szOperation.
    bool PrepareRecordTables(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                             const char* szOperation);
    // Direct sub-tables of visitor.<table> in the server's order, with bWithoutKeyOnly
    // only those without a primary key; strSql receives the catalog query.
    bool QuerySubTables(DBAccessConnPtr pConn, const std::string& strTableName, bool bWithoutKeyOnly,
                        std::vector<std::string>& vecNames, std::string& strSql);
};

}  // namespace UnifiedUpgradeComponent
