#include "Upgrade/190To1100/UpgradeFunc_1100.h"

#include <memory>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

using Qarn::Base::StringUtil::str_fmt;

namespace {

const SStepLiterals kLiterals = {"C190ToC1100", "1.9.0", "1.10.0", "update_V1.6.0", nullptr, " "};

// The record tables in the order every pass handles them. The log lines spell the
// review table correctly; the database keeps its own spelling.
struct SRecordTable {
    const char* szTable;
    const char* szLogName;
};
const SRecordTable kRecordTables[] = {
    {"visitor_appoint_record", "visitor_appoint_record"},
    {"visitor_appoint_reveiw_record", "visitor_appoint_review_record"},
    {"visitor_record", "visitor_record"},
};
const char* const kKeyField = "id";

const char* const kFindDuplicates =
    "SELECT id,create_time FROM (SELECT id, create_time, row_number() OVER(PARTITION BY id ORDER BY create_time) "
    "AS rn FROM visitor.%s) t WHERE t.rn<>1; ";
// A table alone: its ctid names each row.
const char* const kDeleteDuplicates =
    "DELETE FROM visitor.%s WHERE(ctid) IN( SELECT ctid FROM( SELECT ctid, id, create_time, row_number() "
    "OVER(PARTITION BY id ORDER BY create_time) AS rn FROM visitor.%s) t WHERE t.rn<>1); ";
// A table with sub-tables: a ctid repeats across the physical tables, so a row is
// named by the table that holds it (tableoid) together with its ctid. The ranking
// still runs over the parent and every sub-table together.
const char* const kDeleteDuplicatesOfSubTables =
    "DELETE FROM visitor.%s WHERE(tableoid, ctid) IN( SELECT tableoid, ctid FROM( SELECT tableoid, ctid, id, "
    "create_time, row_number() OVER(PARTITION BY id ORDER BY create_time) AS rn FROM visitor.%s) t WHERE t.rn<>1); ";
const char* const kListSubTables =
    "SELECT c.relname FROM pg_class c JOIN pg_inherits i ON i.inhrelid = c.oid JOIN pg_class d ON d.oid = "
    "i.inhparent JOIN pg_namespace pn ON pn.oid = d.relnamespace WHERE  pn.nspname = 'visitor' AND d.relname = '%s'";
// Appended to the sub-table list before the keys are added: a sub-table that has a
// primary key (from an earlier run, or a key on the parent that its partitions
// inherit) cannot take a second one, so it is left out.
const char* const kWithoutPrimaryKey =
    " AND NOT EXISTS (SELECT 1 FROM pg_constraint k WHERE k.conrelid = c.oid AND k.contype = 'p')";
const char* const kAddSubTableKey = " ALTER TABLE visitor.%s ADD PRIMARY KEY(%s); ";

}  // namespace

C190ToC1100::C190ToC1100() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

bool C190ToC1100::UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* /*pFirstConn*/,
                                       db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) {
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    // Duplicates, keys and script commit together with the mark, or not at all.
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kConfiguration, "UpgradeCourse_Config", pSecond, [&] {
        return PrepareRecordTables(nErrorCode, strErrorInfo, pSecond, "UpgradeCourse_Config") &&
               RunStepScript(nErrorCode, strErrorInfo, dbParam, pSecond, "UpgradeCourse_Config");
    });
}

bool C190ToC1100::UpgradeCourse_Records_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                  db_layer::CConnect* /*pFirstConn*/, db_layer::CConnect* pSecondConn,
                                                  db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    if (pSecondConn == nullptr || pThirdConn == nullptr) return false;
    auto pThird = std::make_shared<CDBAccessConn>(pThirdConn);
    // Removing duplicates and adding missing keys is safe to repeat, so it runs on
    // every call and takes what arrived since; the script is the step's
    // configuration work on this database and runs once.
    const char* szOperation = "UpgradeCourse_Records_IncreData";
    if (!PrepareRecordTables(nErrorCode, strErrorInfo, pThird, szOperation)) return false;
    return RunOnce(nErrorCode, strErrorInfo, CPassMarker::kIncrementalConfiguration, szOperation, pThird,
                   [&] { return RunStepScript(nErrorCode, strErrorInfo, dbParam, pThird, szOperation); });
}

bool C190ToC1100::PrepareRecordTables(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                      const char* szOperation) {
    const std::string strName = QualifiedName(szOperation);
    for (const SRecordTable& table : kRecordTables) {
        if (!DeleteDuplicateValues(nErrorCode, strErrorInfo, pConn, table.szTable)) {
            UPG_LOG(LOG_ERROR, "[%s]visitor.s [C190To1100::DeleteDuplicateValues] %s is fail[%s(%d)]",
                    strName.c_str(), table.szLogName);
            return false;
        }
    }
    for (const SRecordTable& table : kRecordTables) {
        if (!ModifySubTablePrimaryKey(nErrorCode, strErrorInfo, pConn, table.szTable, kKeyField)) {
            UPG_LOG(LOG_ERROR, "[%s]visitor.s [C190To1100::ModifySubTablePrimaryKey] %s is fail[%s(%d)]",
                    strName.c_str(), table.szLogName);
            return false;
        }
    }
    return true;
}

bool C190ToC1100::QuerySubTables(DBAccessConnPtr pConn, const std::string& strTableName, bool bWithoutKeyOnly,
                                 std::vector<std::string>& vecNames, std::string& strSql) {
    strSql = str_fmt(kListSubTables, CSqlText::Escape(strTableName).c_str());
    if (bWithoutKeyOnly) strSql += kWithoutPrimaryKey;
    auto fnReader = [&vecNames](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            vecNames.push_back(conn.GetString("relname"));
            conn.MoveNext();
        }
    };
    return pConn->ExecuteQuery(strSql, fnReader);
}

bool C190ToC1100::DeleteDuplicateValues(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                        const std::string& strTableName) {
    const std::string strName = QualifiedName("DeleteDuplicateValues");
    if (strTableName.empty() || !pConn) {
        UPG_LOG(LOG_ERROR, "[%s]visitor CRawTo1100::DeleteDuplicateValues param is error table_name = %s[%s(%d)]",
                strName.c_str(), strTableName.c_str());
        return false;
    }
    const std::string strFind = str_fmt(kFindDuplicates, strTableName.c_str());
    // Only whether a duplicate exists matters; the ids are not read, so an id
    // beyond the 32-bit range cannot upset the connection.
    std::vector<int> vecDuplicates;
    auto fnCount = [&vecDuplicates](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            vecDuplicates.push_back(static_cast<int>(vecDuplicates.size()));
            conn.MoveNext();
        }
    };
    if (!pConn->ExecuteQuery(strFind, fnCount)) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR, "[%s]visitor CRawTo1100::DeleteDuplicateValues get table list is fail sql = %s[%s(%d)]",
                    strName.c_str(), strFind.c_str());
        });
    }
    if (vecDuplicates.empty()) return true;

    // Only a table that really has duplicates pays for the look at its sub-tables.
    std::vector<std::string> vecSubTables;
    std::string strList;
    if (!QuerySubTables(pConn, strTableName, false, vecSubTables, strList)) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR, "[%s]visitor CRawTo1100::DeleteDuplicateValues get table list is fail sql = %s[%s(%d)]",
                    strName.c_str(), strList.c_str());
        });
    }
    const char* szDelete = vecSubTables.empty() ? kDeleteDuplicates : kDeleteDuplicatesOfSubTables;
    const std::string strDelete = str_fmt(szDelete, strTableName.c_str(), strTableName.c_str());
    if (!pConn->ExecuteHelper(strDelete)) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR, "[%s][DeleteDuplicateValues] failed, sql = %s[%s(%d)]", strName.c_str(),
                    strDelete.c_str());
        });
    }
    return true;
}

bool C190ToC1100::ModifySubTablePrimaryKey(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                           const std::string& strTableName, const std::string& strFieldName) {
    const std::string strName = QualifiedName("ModifySubTablePrimaryKey");
    if (strTableName.empty() || strFieldName.empty() || !pConn) {
        UPG_LOG(LOG_ERROR,
                "[%s]visitor CRawTo1100::ModifySubTablePrimaryKey param is error table_name = %s, field_name = "
                "%s[%s(%d)]",
                strName.c_str(), strTableName.c_str(), strFieldName.c_str());
        return false;
    }
    std::vector<std::string> vecSubTables;
    std::string strList;
    if (!QuerySubTables(pConn, strTableName, true, vecSubTables, strList)) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR,
                    "[%s]visitor CRawTo1100::ModifySubTablePrimaryKey get table list is fail sql = %s[%s(%d)]",
                    strName.c_str(), strList.c_str());
        });
    }
    if (vecSubTables.empty()) return true;

    // One call for all sub-tables: the server takes the whole batch at once.
    std::string strKeys;
    for (const std::string& strSubTable : vecSubTables)
        strKeys += str_fmt(kAddSubTableKey, strSubTable.c_str(), strFieldName.c_str());
    if (!pConn->ExecuteHelper(strKeys)) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR,
                    "[%s][AddPartitionTablePrimaryKey] alter part table primary key failed, sql = %s[%s(%d)]",
                    strName.c_str(), strKeys.c_str());
        });
    }
    return true;
}

}  // namespace UnifiedUpgradeComponent
